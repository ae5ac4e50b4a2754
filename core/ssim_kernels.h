// SSIM's two hot loops, as x264, x265 and ffmpeg split them: the sums of the
// 4x4 blocks of a block row, and the values of the 8x8 windows (2x2 blocks)
// between two block rows, summed. The plain C++ versions are the reference;
// the SIMD versions give bit-identical results, so that a score never depends
// on the CPU it was measured on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ssd.h"

namespace lorvane {

// The block sums of a block row, `blocks` wide, lie in four arrays one after
// another: s1[blocks] (Σa), s2[blocks] (Σb), ss[blocks] (Σa² + Σb²),
// s12[blocks] (Σab). Exact integers held in doubles: even for 16-bit samples
// every sum, and every product and difference the window value makes of them,
// stays far below 2^53.
constexpr std::size_t kSsimSums = 4;

// The sums of `blocks` 4x4 blocks side by side: rows `a` and `b` and the three
// below each (`strideA`, `strideB` bytes apart, either sign), 8-bit samples or,
// for the 16-bit version, 16-bit samples in native order taken whole (0..65535).
using SsimBlocksFunction = void (*)(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b,
                                    std::ptrdiff_t strideB, std::size_t blocks, double* sums);

// The sum of the SSIM values of the `blocks` - 1 windows between block rows
// `top` and `bottom` (sums as above). Window x's value is added into lane
// x mod 8, and the eight lanes are added in order: one fixed order of
// additions that vectors of 2, 4 or 8 doubles all follow.
using SsimWindowsFunction = double (*)(const double* top, const double* bottom, std::size_t blocks, double c1,
                                       double c2);

struct SsimKernels {
    SsimBlocksFunction blocks;    // 8-bit samples
    SsimBlocksFunction blocks16;  // 16-bit samples
    SsimWindowsFunction windows;
};

extern const SsimKernels kSsimKernelsC;

// The versions of `level`, or null when this build or CPU has none (as
// SsdForLevel). A metric takes those of MetricSetup::cpu, the level in use
// when its run starts.
const SsimKernels* SsimKernelsForLevel(CpuLevel level);

}  // namespace lorvane
