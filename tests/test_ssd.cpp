// Every SIMD version of the kernels against the C++ one: the sums of squared
// differences, SSIM's block sums and window values; then the choice of
// version: LimitCpuLevel and LORVANE_CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ssd.h"
#include "core/ssim_kernels.h"

namespace lorvane {
namespace {

constexpr CpuLevel kLevels[] = {CpuLevel::C, CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512};

// One family (8- or 16-bit samples, forLevel giving its versions) against its C++ version.
template <typename Sample, typename ForLevel>
void ExpectEverySimdVersionMatches(ForLevel forLevel)
{
    constexpr Sample kMax = std::numeric_limits<Sample>::max();
    constexpr std::size_t kLine = 64 / sizeof(Sample);  // samples in a cache line
    // The long run crosses many points where the 32-bit lane sums are widened;
    // all 0 against all kMax is the largest sum a lane can gather.
    const std::size_t lengths[] = {0,  1,  2,  3,  4,  5,  6,  7,   8,   9,   10,  11,   12,   13,         14,
                                   15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1920, 4095, (6 << 20) + 17};
    std::mt19937 random(20240517);
    for (std::size_t count : lengths) {
        // Each run starts `offset` samples past a 64-byte boundary, 256 guard samples around it:
        // guards kMax apart, then equal, so that reading any of them changes one of the sums.
        std::vector<Sample> blockA(count + 640), blockB(count + 640);
        const auto at = [](std::vector<Sample>& block, std::size_t offset) {
            return block.data() + (64 - reinterpret_cast<std::uintptr_t>(block.data()) % 64) % 64 / sizeof(Sample) +
                   256 + offset;
        };
        for (std::size_t offsetA = 0; offsetA < kLine; offsetA += count > 4095 ? 31 / sizeof(Sample) : 1)
            for (bool randomFill : {true, false}) {
                std::vector<Sample> x(count, 0), y(count, kMax);
                for (std::size_t i = 0; randomFill && i < count; ++i)
                    x[i] = Sample(random()), y[i] = Sample(random());
                const std::uint64_t expected = forLevel(CpuLevel::C)(x.data(), y.data(), count);
                ASSERT_TRUE(randomFill || expected == std::uint64_t(count) * kMax * kMax);
                const std::size_t offsetB = (offsetA * 7 + 3) % kLine;
                Sample *a = at(blockA, offsetA), *b = at(blockB, offsetB);
                for (CpuLevel level : {CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512})
                    for (int guard : {int(kMax), 90}) {
                        if (!forLevel(level))
                            continue;
                        std::fill(blockA.begin(), blockA.end(), Sample(guard));
                        std::fill(blockB.begin(), blockB.end(), Sample(guard == kMax ? 0 : 90));
                        std::copy(x.begin(), x.end(), a), std::copy(y.begin(), y.end(), b);
                        ASSERT_EQ(forLevel(level)(a, b, count), expected) << 8 * sizeof(Sample) << "-bit "
                            << CpuLevelName(level) << ", " << count << " at " << offsetA << "/" << offsetB;
                    }
            }
    }
}

TEST(SsdKernels, EverySimdVersionMatchesTheCppVersion)
{
    if (!SsdForLevel(CpuLevel::Sse2))
        GTEST_SKIP() << "this build or CPU has no SIMD version";
    ExpectEverySimdVersionMatches<std::uint8_t>(SsdForLevel);
    ExpectEverySimdVersionMatches<std::uint16_t>(Ssd16ForLevel);
}

// SSIM's kernels on block rows of awkward widths (1 to 3 vectors of blocks and
// a few more, around every level's step of 2, 4 and 8 blocks), rows starting
// anywhere and as far apart as any stride, upwards too; samples random (for
// 16 bits, also 10-bit values among a few large ones: two ways to the sums),
// and 0 against the peak, the largest sums. Each level's block sums must equal
// the C++ ones, and so must the window values made from them, to the bit.
template <typename Sample>
void ExpectEverySsimVersionMatches(SsimBlocksFunction SsimKernels::*blocksOf)
{
    constexpr Sample kMax = std::numeric_limits<Sample>::max();
    // At the largest sums 16-bit blocks need 64 bits: the C++ version's own check.
    {
        std::vector<Sample> a(4 * 4, kMax), b(4 * 4, 0);
        double sums[4];
        (kSsimKernelsC.*blocksOf)(reinterpret_cast<const std::uint8_t*>(a.data()), 4 * sizeof(Sample),
                                  reinterpret_cast<const std::uint8_t*>(b.data()), 4 * sizeof(Sample), 1, sums);
        EXPECT_EQ(sums[0], 16.0 * kMax);
        EXPECT_EQ(sums[1], 0.0);
        EXPECT_EQ(sums[2], 16.0 * kMax * kMax);
        EXPECT_EQ(sums[3], 0.0);
    }
    const double peak = kMax == 255 ? 255.0 : 1023.0;
    const double c1 = std::floor(0.01 * 0.01 * peak * peak * 64 + 0.5);
    const double c2 = std::floor(0.03 * 0.03 * peak * peak * 64 * 63 + 0.5);
    std::mt19937 random(20261207);
    for (std::size_t blocks : {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 33, 480})
        for (int fill = 0; fill < 3; ++fill) {
            // Two block rows, 8 sample rows, amid samples that would change a sum if read.
            const std::size_t width = 4 * blocks;
            const std::size_t start = random() % 37, stride = width + start + random() % 29;
            const bool upwards = (fill + blocks) % 2 == 1;
            std::vector<Sample> a(8 * stride + 64, Sample(kMax - 3)), b(8 * stride + 64, Sample(3));
            for (std::size_t y = 0; y < 8; ++y)
                for (std::size_t i = 0; i < width; ++i) {
                    Sample& u = a[y * stride + start + i];
                    Sample& v = b[y * stride + start + i];
                    if (fill == 0) {
                        u = 0, v = kMax;  // the largest sums
                    } else {
                        // Alike, as a window's planes are; 2: 10-bit values, now and then one far larger.
                        u = Sample(fill == 1 || random() % 50 == 0 ? random() : random() % 1024);
                        v = Sample(u + random() % 16);
                    }
                }
            const std::ptrdiff_t bytes = std::ptrdiff_t(stride * sizeof(Sample)) * (upwards ? -1 : 1);
            const std::uint8_t* firstA = reinterpret_cast<const std::uint8_t*>(&a[(upwards ? 7 : 0) * stride + start]);
            const std::uint8_t* firstB = reinterpret_cast<const std::uint8_t*>(&b[(upwards ? 7 : 0) * stride + start]);
            // Two block rows, then one more double each way that must stay untouched.
            const auto blockRows = [&](const SsimKernels& kernels) {
                std::vector<double> sums(2 * kSsimSums * blocks + 2, -1.0);
                for (int row = 0; row < 2; ++row)
                    (kernels.*blocksOf)(firstA + 4 * row * bytes, bytes, firstB + 4 * row * bytes, bytes, blocks,
                                        &sums[1 + row * kSsimSums * blocks]);
                return sums;
            };
            const std::vector<double> expected = blockRows(kSsimKernelsC);
            const double* top = &expected[1];
            const double* bottom = top + kSsimSums * blocks;
            const double window = kSsimKernelsC.windows(top, bottom, blocks, c1, c2);
            for (CpuLevel level : {CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512}) {
                const SsimKernels* kernels = SsimKernelsForLevel(level);
                if (!kernels)
                    continue;
                const std::string where = std::to_string(8 * sizeof(Sample)) + "-bit " + CpuLevelName(level) + ", " +
                                          std::to_string(blocks) + " blocks, fill " + std::to_string(fill);
                ASSERT_EQ(blockRows(*kernels), expected) << where;
                const double got = kernels->windows(top, bottom, blocks, c1, c2);
                ASSERT_EQ(std::memcmp(&got, &window, sizeof got), 0) << where << ": " << got << " against " << window;
            }
        }
}

TEST(SsimKernels, EverySimdVersionMatchesTheCppVersion)
{
    ExpectEverySsimVersionMatches<std::uint8_t>(&SsimKernels::blocks);
    ExpectEverySsimVersionMatches<std::uint16_t>(&SsimKernels::blocks16);
}

// The cap, set again and again while other threads sum, changes the version Ssd
// and Ssd16 call; every sum stays right.
TEST(SsdDispatch, LimitCpuLevelCapsTheVersionInUse)
{
    std::vector<std::uint8_t> a(4099, 200), b(4099, 10);
    std::vector<std::uint16_t> a16(4099, 60000), b16(4099, 10);
    std::atomic<bool> stop = false;
    std::atomic<int> wrong = 0;
    const auto sum = [&] {
        while (!stop) {
            wrong += Ssd(a.data(), b.data(), a.size()) != 4099u * 190u * 190u;
            wrong += Ssd16(a16.data(), b16.data(), a16.size()) != 4099u * 59990ull * 59990u;
        }
    };
    std::thread first(sum), second(sum);
    for (int round = 0; round < 500; ++round)
        for (CpuLevel level : kLevels) {
            EXPECT_EQ(SsdForLevel(level) != nullptr, level <= DetectedCpuLevel());
            EXPECT_EQ(Ssd16ForLevel(level) != nullptr, level <= DetectedCpuLevel());
            ASSERT_TRUE(LimitCpuLevel(CpuLevelName(level)));
            EXPECT_EQ(ActiveCpuLevel(), std::min(level, DetectedCpuLevel()));
            EXPECT_EQ(ActiveSsd(), SsdForLevel(std::min(level, DetectedCpuLevel())));
            EXPECT_EQ(ActiveSsd16(), Ssd16ForLevel(std::min(level, DetectedCpuLevel())));
        }
    stop = true;
    first.join(), second.join();
    EXPECT_EQ(wrong, 0);
    ASSERT_TRUE(LimitCpuLevel("c"));
    for (const char* unknown : {"", "C", "avx", "avx512bw", "avx2 "})
        EXPECT_FALSE(LimitCpuLevel(unknown)) << '"' << unknown << '"';
    EXPECT_EQ(ActiveSsd(), &SsdC);  // an unknown name changes nothing
    EXPECT_EQ(ActiveSsd16(), &Ssd16C);
    ASSERT_TRUE(LimitCpuLevel("avx512"));
}

#ifdef _WIN32
int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
#endif

// LORVANE_CPU is read once per process, so each case runs in a fresh one: the
// first call, of Ssd or of Ssd16, installs both families at the level it asks
// for; then LimitCpuLevel("avx2") replaces that cap.
TEST(SsdDispatchDeathTest, EnvironmentCapsAndLimitCpuLevelOverrides)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto capped = [](CpuLevel level) { return std::min(level, DetectedCpuLevel()); };
    const std::pair<const char*, CpuLevel> cases[] = {{"c", CpuLevel::C}, {"sse2", CpuLevel::Sse2}, {"bogus", CpuLevel::Avx512}};
    for (const auto& [environment, level] : cases)
        for (bool sixteen : {false, true}) {
            setenv("LORVANE_CPU", environment, 1);
            std::vector<std::uint8_t> a(100, 1), b(100, 0);
            std::vector<std::uint16_t> a16(100, 0), b16(100, 300);
            const auto firstCall = [&] {
                return sixteen ? Ssd16(a16.data(), b16.data(), 100) == 9000000 : Ssd(a.data(), b.data(), 100) == 100;
            };
            EXPECT_EXIT(std::exit(firstCall() && ActiveCpuLevel() == capped(level) &&
                                          ActiveSsd() == SsdForLevel(capped(level)) &&
                                          ActiveSsd16() == Ssd16ForLevel(capped(level)) && LimitCpuLevel("avx2") &&
                                          ActiveCpuLevel() == capped(CpuLevel::Avx2) &&
                                          ActiveSsd16() == Ssd16ForLevel(capped(CpuLevel::Avx2)) ? 0 : 1),
                        testing::ExitedWithCode(0), "") << environment << (sixteen ? ", 16-bit first" : "");
        }
    setenv("LORVANE_CPU", "", 1);  // caps nothing
}

}  // namespace
}  // namespace lorvane
