// Sum of squared differences of a run of samples, 8-bit or 16-bit: the one hot
// loop of a comparison. The plain C++ versions are the reference; faster
// versions must give bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lorvane {

using SsdFunction = std::uint64_t (*)(const std::uint8_t* a, const std::uint8_t* b,
                                      std::size_t count);

std::uint64_t SsdC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// The same for 16-bit samples (9- to 16-bit video) as they lie in memory, every
// value 0..65535 taken whole. A square can reach 65535^2, just under 2^32, so
// the sum wraps modulo 2^64 only past 2^32 samples.
using Ssd16Function = std::uint64_t (*)(const std::uint16_t* a, const std::uint16_t* b,
                                        std::size_t count);

std::uint64_t Ssd16C(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);

// Instruction-set levels, each including the ones before it.
enum class CpuLevel { C, Sse2, Avx2, Avx512 };

// Caps the instruction set in use: "c", "sse2", "avx2" or "avx512". False (and
// nothing changes) for an unknown name. Without a call the environment variable
// LORVANE_CPU sets the cap; a call replaces it, so a command-line choice wins
// over the environment. Takes effect for every later Ssd and Ssd16 call, from
// any thread.
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
Ssd16Function Ssd16ForLevel(CpuLevel level);

// The versions Ssd and Ssd16 call now, both chosen on the first use of either.
SsdFunction ActiveSsd();
Ssd16Function ActiveSsd16();

// The sum by the version in use.
std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
std::uint64_t Ssd16(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);

}  // namespace lorvane
