// Sum of squared differences of a run of 8-bit samples: the one hot loop of a
// comparison. The plain C++ version is the reference; faster versions must give
// bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lorvane {

using SsdFunction = std::uint64_t (*)(const std::uint8_t* a, const std::uint8_t* b,
                                      std::size_t count);

std::uint64_t SsdC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// Instruction-set levels, each including the ones before it.
enum class CpuLevel { C, Sse2, Avx2, Avx512 };

// Caps the instruction set in use: "c", "sse2", "avx2" or "avx512". False (and
// nothing changes) for an unknown name. Without a call the environment variable
// LORVANE_CPU sets the cap; a call replaces it, so a command-line choice wins
// over the environment. Takes effect for every later Ssd call, from any thread.
bool LimitCpuLevel(std::string_view name);
// The level in use: the highest this CPU offers, within the cap.
CpuLevel ActiveCpuLevel();
const char* CpuLevelName(CpuLevel level);

// The highest level this CPU and operating system can run, whatever the cap.
CpuLevel DetectedCpuLevel();
// The version of `level`, or null when this build has none (every level above C
// on a non-x86-64 build) or this CPU cannot run it. Ignores the cap; for tests
// and benchmarks that compare the versions with one another.
SsdFunction SsdForLevel(CpuLevel level);

// The version Ssd calls now, chosen on first use.
SsdFunction ActiveSsd();

// The sum by the version in use.
std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

}  // namespace lorvane
namespace lorvane {
std::uint64_t Ssd16(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);  // TEMP
}
