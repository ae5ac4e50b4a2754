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

enum class CpuLevel { C, Sse2, Avx2, Avx512 };

// Caps the instruction set in use: "c", "sse2", "avx2" or "avx512" (the
// environment variable LORVANE_CPU does the same). False for an unknown name.
bool LimitCpuLevel(std::string_view name);
// The level in use: the highest this CPU offers, within the cap.
CpuLevel ActiveCpuLevel();
const char* CpuLevelName(CpuLevel level);

// The version in use for this process.
std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

}  // namespace lorvane
