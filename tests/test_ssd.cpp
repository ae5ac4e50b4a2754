// Every version of the sum-of-squared-differences kernel that this machine can
// run, against the C++ version: exact equality on awkward lengths, unaligned
// starts, random and extreme samples, with guard bytes around the buffers. Then
// the choice of version: the CPU level cap from LORVANE_CPU and LimitCpuLevel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ssd.h"

namespace lorvane {
namespace {

constexpr std::size_t kGuard = 256;
constexpr std::size_t kMaxOffset = 63;
constexpr CpuLevel kSimdLevels[] = {CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512};

struct Version {
    const char* name;
    SsdFunction function;
};

std::vector<Version> SimdVersions()
{
    std::vector<Version> versions;
    for (CpuLevel level : kSimdLevels)
        if (SsdFunction function = SsdForLevel(level))
            versions.push_back({CpuLevelName(level), function});
    return versions;
}

// A run of `count` samples at `offset` bytes past a 64-byte boundary, with
// every other byte of the block (before and after it) a guard byte.
class GuardedRun {
public:
    GuardedRun(std::size_t count, std::size_t offset)
        : count_(count), offset_(offset), block_(kGuard + kMaxOffset + count + kGuard + 64)
    {
        const auto address = reinterpret_cast<std::uintptr_t>(block_.data());
        start_ = std::size_t((64 - address % 64) % 64) + kGuard + offset_;
    }

    std::uint8_t* data() { return block_.data() + start_; }

    void SetGuards(std::uint8_t value)
    {
        guard_ = value;
        std::memset(block_.data(), value, start_);
        std::memset(block_.data() + start_ + count_, value, block_.size() - start_ - count_);
    }

    bool GuardsIntact() const
    {
        for (std::size_t i = 0; i < block_.size(); ++i)
            if ((i < start_ || i >= start_ + count_) && block_[i] != guard_)
                return false;
        return true;
    }

private:
    std::size_t count_, offset_;
    std::vector<std::uint8_t> block_;
    std::size_t start_ = 0;
    std::uint8_t guard_ = 0;
};

enum class Fill { Random, Extremes };

// Checks every SIMD version on one length, fill and pair of start offsets.
void CheckLength(const std::vector<Version>& versions, std::size_t count, std::size_t offsetA,
                 std::size_t offsetB, Fill fill, std::mt19937& random)
{
    GuardedRun a(count, offsetA), b(count, offsetB);
    for (std::size_t i = 0; i < count; ++i) {
        if (fill == Fill::Random) {
            a.data()[i] = std::uint8_t(random());
            b.data()[i] = std::uint8_t(random());
        } else {
            a.data()[i] = 0;
            b.data()[i] = 255;
        }
    }
    // The guards: first each pair differs by 255, then not at all, so any
    // guard byte a kernel read would change its result between the two calls.
    a.SetGuards(255);
    b.SetGuards(0);
    const std::uint64_t expected = SsdC(a.data(), b.data(), count);
    if (fill == Fill::Extremes)
        ASSERT_EQ(expected, std::uint64_t(count) * 65025u);
    for (const Version& version : versions) {
        SCOPED_TRACE(std::string(version.name) + ", " + std::to_string(count) + " samples at offsets " +
                     std::to_string(offsetA) + " and " + std::to_string(offsetB));
        a.SetGuards(255);
        b.SetGuards(0);
        ASSERT_EQ(version.function(a.data(), b.data(), count), expected);
        ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact());
        a.SetGuards(90);
        b.SetGuards(90);
        ASSERT_EQ(version.function(a.data(), b.data(), count), expected);
        ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact());
    }
}

TEST(SsdKernels, EverySimdVersionMatchesTheCppVersion)
{
    const std::vector<Version> versions = SimdVersions();
    if (versions.empty())
        GTEST_SKIP() << "this build or CPU has no SIMD version";
    for (const Version& version : versions)
        std::printf("[ checking ] %s\n", version.name);

    std::vector<std::size_t> lengths = {0};
    for (std::size_t n = 1; n <= 17; ++n)
        lengths.push_back(n);
    for (std::size_t n : {31, 32, 33, 63, 64, 65, 127, 128, 129, 1920, 4095})
        lengths.push_back(n);

    std::mt19937 random(20240517);
    for (std::size_t count : lengths)
        for (std::size_t offset = 0; offset <= kMaxOffset; ++offset)
            for (Fill fill : {Fill::Random, Fill::Extremes}) {
                CheckLength(versions, count, offset, (offset * 7 + 3) % (kMaxOffset + 1), fill, random);
                if (HasFatalFailure())
                    return;
            }

    // Long runs cross many points where the 32-bit lane sums are widened; all
    // 0 against all 255 is the largest sum a lane can gather.
    for (std::size_t count : {std::size_t(1) << 20, (std::size_t(6) << 20) + 17})
        for (std::size_t offset : {0, 1, 31, 63})
            for (Fill fill : {Fill::Random, Fill::Extremes}) {
                CheckLength(versions, count, offset, (offset + 5) % (kMaxOffset + 1), fill, random);
                if (HasFatalFailure())
                    return;
            }
}

TEST(SsdKernels, VersionsAreOfferedUpToTheDetectedLevel)
{
    EXPECT_EQ(SsdForLevel(CpuLevel::C), &SsdC);
    for (CpuLevel level : kSimdLevels) {
        if (level <= DetectedCpuLevel())
#if defined(__x86_64__) || defined(_M_X64)
            EXPECT_NE(SsdForLevel(level), nullptr) << CpuLevelName(level);
#else
            ADD_FAILURE() << "a SIMD level detected outside x86-64";
#endif
        else
            EXPECT_EQ(SsdForLevel(level), nullptr) << CpuLevelName(level);
    }
}

// The cap, set after Ssd has already been used, changes the version Ssd calls.
TEST(SsdDispatch, LimitCpuLevelCapsTheVersionInUse)
{
    std::vector<std::uint8_t> a(1000, 3), b(1000, 7);
    EXPECT_EQ(Ssd(a.data(), b.data(), a.size()), 16000u);

    for (CpuLevel level : {CpuLevel::C, CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512}) {
        SCOPED_TRACE(CpuLevelName(level));
        ASSERT_TRUE(LimitCpuLevel(CpuLevelName(level)));
        const CpuLevel expected = std::min(level, DetectedCpuLevel());
        EXPECT_EQ(ActiveCpuLevel(), expected);
        EXPECT_EQ(ActiveSsd(), SsdForLevel(expected));
        EXPECT_EQ(Ssd(a.data(), b.data(), a.size()), 16000u);
    }

    ASSERT_TRUE(LimitCpuLevel("c"));
    for (const char* unknown : {"", "C", "AVX2", "avx", "avx512bw", "sse4", "native", "avx2 "})
        EXPECT_FALSE(LimitCpuLevel(unknown)) << '"' << unknown << '"';
    EXPECT_EQ(ActiveCpuLevel(), CpuLevel::C);  // an unknown name changes nothing
    EXPECT_EQ(ActiveSsd(), &SsdC);

    ASSERT_TRUE(LimitCpuLevel("avx512"));
    EXPECT_EQ(ActiveCpuLevel(), DetectedCpuLevel());
}

// Threads keep summing while the cap changes under them: every sum stays right.
TEST(SsdDispatch, CapChangesWhileOtherThreadsSum)
{
    std::vector<std::uint8_t> a(4099, 200), b(4099, 10);
    const std::uint64_t expected = 4099u * 190u * 190u;
    std::atomic<bool> stop = false;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (!stop)
                if (Ssd(a.data(), b.data(), a.size()) != expected)
                    ++wrong;
        });
    for (int round = 0; round < 2000; ++round)
        LimitCpuLevel(CpuLevelName(CpuLevel(round % 4)));
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    LimitCpuLevel("avx512");
}

void SetEnvironment(const char* value)
{
#ifdef _WIN32
    _putenv_s("LORVANE_CPU", value);
#else
    setenv("LORVANE_CPU", value, 1);
#endif
}

// LORVANE_CPU is read once per process, so each case runs in a fresh one.
TEST(SsdDispatchDeathTest, EnvironmentCapsAndLimitCpuLevelOverrides)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const CpuLevel top = DetectedCpuLevel();

    SetEnvironment("c");
    EXPECT_EXIT(std::exit(ActiveCpuLevel() == CpuLevel::C && ActiveSsd() == &SsdC ? 0 : 1),
                testing::ExitedWithCode(0), "");

    SetEnvironment("sse2");
    EXPECT_EXIT(std::exit(ActiveCpuLevel() == std::min(CpuLevel::Sse2, top) ? 0 : 1),
                testing::ExitedWithCode(0), "");

    // A command-line choice replaces the environment's.
    SetEnvironment("c");
    const auto usedCThenAvx2 = [top] {
        std::vector<std::uint8_t> a(100, 1), b(100, 0);
        const bool firstUsedC = Ssd(a.data(), b.data(), 100) == 100 && ActiveSsd() == &SsdC;
        LimitCpuLevel("avx2");
        return firstUsedC && ActiveCpuLevel() == std::min(CpuLevel::Avx2, top);
    };
    EXPECT_EXIT(std::exit(usedCThenAvx2() ? 0 : 1), testing::ExitedWithCode(0), "");

    // An unknown value caps nothing.
    SetEnvironment("bogus");
    EXPECT_EXIT(std::exit(ActiveCpuLevel() == top ? 0 : 1), testing::ExitedWithCode(0), "");

#ifdef _WIN32
    _putenv_s("LORVANE_CPU", "");
#else
    unsetenv("LORVANE_CPU");
#endif
}

}  // namespace
}  // namespace lorvane
