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

constexpr std::size_t kGuard = 256, kMaxOffset = 63;
constexpr CpuLevel kLevels[] = {CpuLevel::C, CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512};

// `count` samples at `offset` bytes past a 64-byte boundary, guard bytes all around.
std::uint8_t* Place(std::vector<std::uint8_t>& block, std::size_t count, std::size_t offset)
{
    block.resize(2 * kGuard + 2 * 64 + count);
    return block.data() + (64 - reinterpret_cast<std::uintptr_t>(block.data()) % 64) % 64 + kGuard + offset;
}

void Check(const std::vector<CpuLevel>& levels, std::size_t count, std::size_t offsetA, bool randomFill,
           std::mt19937& random)
{
    const std::size_t offsetB = (offsetA * 7 + 3) % (kMaxOffset + 1);
    std::vector<std::uint8_t> x(count, 0), y(count, 255), blockA, blockB;
    for (std::size_t i = 0; randomFill && i < count; ++i)
        x[i] = std::uint8_t(random()), y[i] = std::uint8_t(random());
    const std::uint64_t expected = SsdC(x.data(), y.data(), count);
    if (!randomFill)
        ASSERT_EQ(expected, std::uint64_t(count) * 65025u);
    std::uint8_t *a = Place(blockA, count, offsetA), *b = Place(blockB, count, offsetB);
    for (CpuLevel level : levels) {
        SCOPED_TRACE(testing::Message() << CpuLevelName(level) << ", " << count << " at " << offsetA << "/" << offsetB);
        // Guards 255 apart, then equal: reading any of them changes one of the sums.
        for (int guardA : {255, 90}) {
            std::fill(blockA.begin(), blockA.end(), std::uint8_t(guardA));
            std::fill(blockB.begin(), blockB.end(), std::uint8_t(guardA == 255 ? 0 : 90));
            std::copy(x.begin(), x.end(), a);
            std::copy(y.begin(), y.end(), b);
            ASSERT_EQ(SsdForLevel(level)(a, b, count), expected);
        }
    }
}

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
    std::vector<std::size_t> lengths = {31, 32, 33, 63, 64, 65, 127, 128, 129, 1920, 4095, (6 << 20) + 17};
    for (std::size_t n = 0; n <= 17; ++n)
        lengths.push_back(n);
    std::mt19937 random(20240517);
    for (std::size_t count : lengths)
        for (std::size_t offset = 0; offset <= kMaxOffset; offset += count > 4095 ? 31 : 1)
            for (bool randomFill : {true, false})
                ASSERT_NO_FATAL_FAILURE(Check(simd, count, offset, randomFill, random));
}

// The cap, set after Ssd has already been used, changes the version Ssd calls.
TEST(SsdDispatch, LimitCpuLevelCapsTheVersionInUse)
{
    std::vector<std::uint8_t> a(1000, 3), b(1000, 7);
    EXPECT_EQ(Ssd(a.data(), b.data(), a.size()), 16000u);
    for (CpuLevel level : kLevels) {
        SCOPED_TRACE(CpuLevelName(level));
        EXPECT_EQ(SsdForLevel(level) != nullptr, level <= DetectedCpuLevel());
        ASSERT_TRUE(LimitCpuLevel(CpuLevelName(level)));
        const CpuLevel expected = std::min(level, DetectedCpuLevel());
        EXPECT_EQ(ActiveCpuLevel(), expected);
        EXPECT_EQ(ActiveSsd(), SsdForLevel(expected));
        EXPECT_EQ(Ssd(a.data(), b.data(), a.size()), 16000u);
    }
    ASSERT_TRUE(LimitCpuLevel("c"));
    for (const char* unknown : {"", "C", "AVX2", "avx", "avx512bw", "native", "avx2 "})
        EXPECT_FALSE(LimitCpuLevel(unknown)) << '"' << unknown << '"';
    EXPECT_EQ(ActiveSsd(), &SsdC);  // an unknown name changes nothing
    ASSERT_TRUE(LimitCpuLevel("avx512"));
    EXPECT_EQ(ActiveCpuLevel(), DetectedCpuLevel());
}

// Threads keep summing while the cap changes under them: every sum stays right.
TEST(SsdDispatch, CapChangesWhileOtherThreadsSum)
{
    std::vector<std::uint8_t> a(4099, 200), b(4099, 10);
    std::atomic<bool> stop = false;
    std::atomic<int> wrong = 0;
    const auto sum = [&] {
        while (!stop)
            wrong += Ssd(a.data(), b.data(), a.size()) != 4099u * 190u * 190u;
    };
    std::thread first(sum), second(sum);
    for (int round = 0; round < 2000; ++round)
        LimitCpuLevel(CpuLevelName(CpuLevel(round % 4)));
    stop = true;
    first.join(), second.join();
    EXPECT_EQ(wrong, 0);
    LimitCpuLevel("avx512");
}

#ifdef _WIN32
int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
#endif

// In a fresh process: Ssd uses the level LORVANE_CPU asks for; then, if
// `limit` is given, LimitCpuLevel(limit) replaces the environment's cap.
bool ChildSees(CpuLevel fromEnvironment, const char* limit = nullptr, CpuLevel afterLimit = CpuLevel::C)
{
    const auto capped = [](CpuLevel level) { return std::min(level, DetectedCpuLevel()); };
    std::vector<std::uint8_t> a(100, 1), b(100, 0);
    return Ssd(a.data(), b.data(), 100) == 100 && ActiveCpuLevel() == capped(fromEnvironment) &&
           ActiveSsd() == SsdForLevel(capped(fromEnvironment)) &&
           (!limit || (LimitCpuLevel(limit) && ActiveCpuLevel() == capped(afterLimit)));
}

// LORVANE_CPU is read once per process, so each case runs in a fresh one.
TEST(SsdDispatchDeathTest, EnvironmentCapsAndLimitCpuLevelOverrides)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<const char*, CpuLevel> cases[] = {
        {"c", CpuLevel::C}, {"sse2", CpuLevel::Sse2}, {"bogus", CpuLevel::Avx512}};
    for (const auto& [environment, level] : cases) {
        setenv("LORVANE_CPU", environment, 1);
        EXPECT_EXIT(std::exit(ChildSees(level) ? 0 : 1), testing::ExitedWithCode(0), "") << environment;
    }
    setenv("LORVANE_CPU", "c", 1);
    EXPECT_EXIT(std::exit(ChildSees(CpuLevel::C, "avx2", CpuLevel::Avx2) ? 0 : 1), testing::ExitedWithCode(0), "");
    setenv("LORVANE_CPU", "", 1);  // caps nothing
}

}  // namespace
}  // namespace lorvane
