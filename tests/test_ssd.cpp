// Every SIMD version of the sum-of-squared-differences kernel against SsdC, then
// the choice of version: LimitCpuLevel and LORVANE_CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "core/ssd.h"

namespace lorvane {
namespace {

constexpr CpuLevel kLevels[] = {CpuLevel::C, CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512};

TEST(SsdKernels, EverySimdVersionMatchesTheCppVersion)
{
    std::vector<CpuLevel> simd;
    for (CpuLevel level : kLevels)
        if (level != CpuLevel::C && SsdForLevel(level))
            simd.push_back(level);
    if (simd.empty())
        GTEST_SKIP() << "this build or CPU has no SIMD version";
    // The long run crosses many points where the 32-bit lane sums are widened;
    // all 0 against all 255 is the largest sum a lane can gather.
    const std::size_t lengths[] = {0,  1,  2,  3,  4,  5,  6,  7,   8,   9,   10,  11,   12,   13,         14,
                                   15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1920, 4095, (6 << 20) + 17};
    std::mt19937 random(20240517);
    for (std::size_t count : lengths) {
        // Each run starts `offset` bytes past a 64-byte boundary, 256 guard bytes around it:
        // guards 255 apart, then equal, so that reading any of them changes one of the sums.
        std::vector<std::uint8_t> blockA(count + 640), blockB(count + 640);
        const auto at = [](std::vector<std::uint8_t>& block, std::size_t offset) {
            return block.data() + (64 - reinterpret_cast<std::uintptr_t>(block.data()) % 64) % 64 + 256 + offset;
        };
        for (std::size_t offsetA = 0; offsetA < 64; offsetA += count > 4095 ? 31 : 1)
            for (bool randomFill : {true, false}) {
                std::vector<std::uint8_t> x(count, 0), y(count, 255);
                for (std::size_t i = 0; randomFill && i < count; ++i)
                    x[i] = std::uint8_t(random()), y[i] = std::uint8_t(random());
                const std::uint64_t expected = SsdC(x.data(), y.data(), count);
                ASSERT_TRUE(randomFill || expected == std::uint64_t(count) * 65025u);
                const std::size_t offsetB = (offsetA * 7 + 3) % 64;
                std::uint8_t *a = at(blockA, offsetA), *b = at(blockB, offsetB);
                for (CpuLevel level : simd)
                    for (int guard : {255, 90}) {
                        std::fill(blockA.begin(), blockA.end(), std::uint8_t(guard));
                        std::fill(blockB.begin(), blockB.end(), std::uint8_t(guard == 255 ? 0 : 90));
                        std::copy(x.begin(), x.end(), a), std::copy(y.begin(), y.end(), b);
                        ASSERT_EQ(SsdForLevel(level)(a, b, count), expected)
                            << CpuLevelName(level) << ", " << count << " at " << offsetA << "/" << offsetB;
                    }
            }
    }
}

// The cap, set again and again while other threads sum, changes the version Ssd
// calls; every sum stays right.
TEST(SsdDispatch, LimitCpuLevelCapsTheVersionInUse)
{
    std::vector<std::uint8_t> a(4099, 200), b(4099, 10);
    std::atomic<bool> stop = false;
    std::atomic<int> wrong = 0;
    const auto sum = [&] { while (!stop) wrong += Ssd(a.data(), b.data(), a.size()) != 4099u * 190u * 190u; };
    std::thread first(sum), second(sum);
    for (int round = 0; round < 500; ++round)
        for (CpuLevel level : kLevels) {
            EXPECT_EQ(SsdForLevel(level) != nullptr, level <= DetectedCpuLevel());
            ASSERT_TRUE(LimitCpuLevel(CpuLevelName(level)));
            EXPECT_EQ(ActiveCpuLevel(), std::min(level, DetectedCpuLevel()));
            EXPECT_EQ(ActiveSsd(), SsdForLevel(std::min(level, DetectedCpuLevel())));
        }
    stop = true;
    first.join(), second.join();
    EXPECT_EQ(wrong, 0);
    ASSERT_TRUE(LimitCpuLevel("c"));
    for (const char* unknown : {"", "C", "avx", "avx512bw", "avx2 "})
        EXPECT_FALSE(LimitCpuLevel(unknown)) << '"' << unknown << '"';
    EXPECT_EQ(ActiveSsd(), &SsdC);  // an unknown name changes nothing
    ASSERT_TRUE(LimitCpuLevel("avx512"));
}

#ifdef _WIN32
int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
#endif

// LORVANE_CPU is read once per process, so each case runs in a fresh one: Ssd
// uses the level it asks for; then LimitCpuLevel("avx2") replaces that cap.
TEST(SsdDispatchDeathTest, EnvironmentCapsAndLimitCpuLevelOverrides)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto capped = [](CpuLevel level) { return std::min(level, DetectedCpuLevel()); };
    const std::pair<const char*, CpuLevel> cases[] = {{"c", CpuLevel::C}, {"sse2", CpuLevel::Sse2}, {"bogus", CpuLevel::Avx512}};
    for (const auto& [environment, level] : cases) {
        setenv("LORVANE_CPU", environment, 1);
        std::vector<std::uint8_t> a(100, 1), b(100, 0);
        EXPECT_EXIT(std::exit(Ssd(a.data(), b.data(), 100) == 100 && ActiveCpuLevel() == capped(level) &&
                                      ActiveSsd() == SsdForLevel(capped(level)) && LimitCpuLevel("avx2") &&
                                      ActiveCpuLevel() == capped(CpuLevel::Avx2) ? 0 : 1),
                    testing::ExitedWithCode(0), "") << environment;
    }
    setenv("LORVANE_CPU", "", 1);  // caps nothing
}

}  // namespace
}  // namespace lorvane
