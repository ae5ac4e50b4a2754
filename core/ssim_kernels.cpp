#include "ssim_kernels.h"

namespace lorvane {

#if defined(LORVANE_X86_SIMD)
// Each in a file of its own, compiled for its own instruction set.
extern const SsimKernels kSsimKernelsSse2;
extern const SsimKernels kSsimKernelsAvx2;
extern const SsimKernels kSsimKernelsAvx512;
#endif

namespace {

template <typename Sample, typename Sum>
void BlocksC(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
             std::size_t blocks, double* sums)
{
    for (std::size_t x = 0; x < blocks; ++x) {
        Sum s1 = 0, s2 = 0, ss = 0, s12 = 0;
        for (int y = 0; y < 4; ++y) {
            const Sample* ra = reinterpret_cast<const Sample*>(a + y * strideA) + 4 * x;
            const Sample* rb = reinterpret_cast<const Sample*>(b + y * strideB) + 4 * x;
            for (int i = 0; i < 4; ++i) {
                const Sum u = ra[i], v = rb[i];
                s1 += u;
                s2 += v;
                ss += u * u + v * v;
                s12 += u * v;
            }
        }
        sums[x] = double(s1);
        sums[blocks + x] = double(s2);
        sums[2 * blocks + x] = double(ss);
        sums[3 * blocks + x] = double(s12);
    }
}

// One window's SSIM from its sums. Every operation before the last three
// (two products and the division) is on integers below 2^53 and so exact:
// this is the value of the integer formula, rounded only where that formula
// goes to floating point, and the same in any version that makes these same
// last three operations, fused multiply-adds or not.
double Window(double s1, double s2, double ss, double s12, double c1, double c2)
{
    const double vars = ss * 64 - s1 * s1 - s2 * s2;
    const double covar = s12 * 64 - s1 * s2;
    return (2 * s1 * s2 + c1) * (2 * covar + c2) / ((s1 * s1 + s2 * s2 + c1) * (vars + c2));
}

double WindowsC(const double* top, const double* bottom, std::size_t blocks, double c1, double c2)
{
    double lanes[8] = {};
    for (std::size_t x = 0; x + 1 < blocks; ++x) {
        double w[kSsimSums];
        for (std::size_t k = 0; k < kSsimSums; ++k) {
            const std::size_t i = k * blocks + x;
            w[k] = top[i] + top[i + 1] + bottom[i] + bottom[i + 1];
        }
        lanes[x % 8] += Window(w[0], w[1], w[2], w[3], c1, c2);
    }
    double sum = 0;
    for (double lane : lanes)
        sum += lane;
    return sum;
}

}  // namespace

// 8-bit: a block's ss is at most 16 x 2 x 255^2, an int. 16-bit: up to
// 16 x 2 x 65535^2, so 64 bits.
constinit const SsimKernels kSsimKernelsC = {&BlocksC<std::uint8_t, std::int32_t>,
                                             &BlocksC<std::uint16_t, std::int64_t>, &WindowsC};

const SsimKernels* SsimKernelsForLevel(CpuLevel level)
{
    if (level > DetectedCpuLevel())
        return nullptr;
    switch (level) {
    case CpuLevel::C: return &kSsimKernelsC;
#if defined(LORVANE_X86_SIMD)
    case CpuLevel::Sse2: return &kSsimKernelsSse2;
    case CpuLevel::Avx2: return &kSsimKernelsAvx2;
    case CpuLevel::Avx512: return &kSsimKernelsAvx512;
#else
    default: break;
#endif
    }
    return nullptr;
}

}  // namespace lorvane
