// Sum of squared differences of a run of 8-bit samples: the one hot loop of a
// comparison. The plain C++ version is the reference; faster versions must give
// bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lorvane {

using SsdFunction = std::uint64_t (*)(const std::uint8_t* a, const std::uint8_t* b,
                                      std::size_t count);

std::uint64_t SsdC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// The version in use for this process.
std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

}  // namespace lorvane
