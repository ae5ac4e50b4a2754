// MS-SSIM's loops compiled for AVX2 (with -mavx2 only: no FMA, so the same
// bits as the baseline's).
#include "msssim_kernels.h"

namespace lorvane {

MsSsimKernels MsSsimKernelsAvx2() { return {&Tile, &Decimate}; }

}  // namespace lorvane
