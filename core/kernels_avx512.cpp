// AVX-512BW versions of the kernels: the sum of squared differences, SSIM's
// block sums and window values. Compiled with
// -mavx512f -mavx512bw only; nothing here may come from an inline function
// shared with other files, or the linker could hand this file's copy to code
// that runs on any CPU.
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_epi32() as the unused
// merge operand, which its own flow analysis then reports as uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <cstddef>
#include <cstdint>

#include "ssim_simd.h"

namespace lorvane {

namespace {

// 32 samples are widened to 16-bit words and squared in pairs: a 32-bit lane
// gains at most 2 x 255^2 = 130050 per vector, so it is widened to 64 bits
// every 8192 vectors of 64 bytes (2^13 x 2 x 130050 < 2^31), 512 KiB; the
// masked tail adds one more vector at most. Widening with 256-bit loads rather
// than taking the absolute difference of 512-bit loads keeps the speed up on
// runs larger than the caches.
constexpr std::size_t kBlockVectors = 8192;

inline __m512i Widen(const std::uint8_t* p)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Per 32-bit lane, the sum of the squared differences of two sample pairs.
inline __m512i SquaredDifferences(__m512i x, __m512i y)
{
    const __m512i d = _mm512_sub_epi16(x, y);
    return _mm512_madd_epi16(d, d);
}

inline __m512i AddTo64(__m512i total, __m512i sum)
{
    total = _mm512_add_epi64(total, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(sum)));
    return _mm512_add_epi64(total, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(sum, 1)));
}

// 16-bit samples. A difference d = |x - y| reaches 65535, whose square fills a
// 32-bit lane on its own, and _mm512_madd_epi16 multiplies signed words, so d
// is split into bytes, d = 256 h + l, with d^2 = 2^16 h^2 + 2^9 h l + l^2: the
// three products go through _mm512_madd_epi16 as small positive words and are
// summed apart. Each of the three 32-bit lane sums gains at most 2 x 255^2 =
// 130050 per vector, so they are widened every 16384 vectors of 32 samples
// (2^14 x 130050 < 2^31), 1 MiB per run; the masked tail adds one more vector
// at most.
constexpr std::size_t kBlockVectors16 = 16384;

struct Sums16 {
    __m512i hh = _mm512_setzero_si512(), hl = _mm512_setzero_si512(), ll = _mm512_setzero_si512();
};

inline void AddSquaredDifferences16(Sums16& sums, __m512i x, __m512i y)
{
    const __m512i d = _mm512_or_si512(_mm512_subs_epu16(x, y), _mm512_subs_epu16(y, x));  // |x - y|
    const __m512i h = _mm512_srli_epi16(d, 8);
    const __m512i l = _mm512_and_si512(d, _mm512_set1_epi16(0xFF));
    sums.hh = _mm512_add_epi32(sums.hh, _mm512_madd_epi16(h, h));
    sums.hl = _mm512_add_epi32(sums.hl, _mm512_madd_epi16(h, l));
    sums.ll = _mm512_add_epi32(sums.ll, _mm512_madd_epi16(l, l));
}

// Eight 64-bit sums of d^2 from the three parts, modulo 2^64 as Ssd16C wraps.
inline __m512i Combine(__m512i total, const Sums16& sums)
{
    const __m512i zero = _mm512_setzero_si512();
    total = _mm512_add_epi64(total, _mm512_slli_epi64(AddTo64(zero, sums.hh), 16));
    total = _mm512_add_epi64(total, _mm512_slli_epi64(AddTo64(zero, sums.hl), 9));
    return AddTo64(total, sums.ll);
}

}  // namespace

std::uint64_t SsdAvx512(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    const __m512i zero = _mm512_setzero_si512();
    __m512i total = zero;  // eight 64-bit sums
    // Two chains, so consecutive additions need not wait for each other.
    __m512i sum0 = zero, sum1 = zero;
    std::size_t vectors = count / 64;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors ? vectors : kBlockVectors;
        vectors -= block;
        for (std::size_t k = 0; k < block; ++k, a += 64, b += 64) {
            sum0 = _mm512_add_epi32(sum0, SquaredDifferences(Widen(a), Widen(b)));
            sum1 = _mm512_add_epi32(sum1, SquaredDifferences(Widen(a + 32), Widen(b + 32)));
        }
        if (vectors > 0) {
            total = AddTo64(AddTo64(total, sum0), sum1);
            sum0 = sum1 = zero;
        }
    }
    // The last 0-63 samples: the masked load reads (and faults on) no byte
    // outside the run and gives zero in both operands for the rest.
    const unsigned rest = unsigned(count % 64);
    if (rest > 0) {
        const __mmask64 mask = (__mmask64(1) << rest) - 1;
        const __m512i x = _mm512_maskz_loadu_epi8(mask, a);
        const __m512i y = _mm512_maskz_loadu_epi8(mask, b);
        sum0 = _mm512_add_epi32(sum0, SquaredDifferences(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(x)),
                                                         _mm512_cvtepu8_epi16(_mm512_castsi512_si256(y))));
        sum1 = _mm512_add_epi32(sum1, SquaredDifferences(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(x, 1)),
                                                         _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(y, 1))));
    }
    total = AddTo64(AddTo64(total, sum0), sum1);
    return std::uint64_t(_mm512_reduce_add_epi64(total));
}

std::uint64_t Ssd16Avx512(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    __m512i total = _mm512_setzero_si512();  // eight 64-bit sums
    Sums16 sums;
    std::size_t vectors = count / 32;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors16 ? vectors : kBlockVectors16;
        vectors -= block;
        for (std::size_t k = 0; k < block; ++k, a += 32, b += 32)
            AddSquaredDifferences16(sums, _mm512_loadu_si512(a), _mm512_loadu_si512(b));
        if (vectors > 0) {
            total = Combine(total, sums);
            sums = Sums16();
        }
    }
    // The last 0-31 samples: the masked load reads (and faults on) no sample
    // outside the run and gives zero in both operands for the rest.
    const unsigned rest = unsigned(count % 32);
    if (rest > 0) {
        const __mmask32 mask = (__mmask32(1) << rest) - 1;
        AddSquaredDifferences16(sums, _mm512_maskz_loadu_epi16(mask, a), _mm512_maskz_loadu_epi16(mask, b));
    }
    total = Combine(total, sums);
    return std::uint64_t(_mm512_reduce_add_epi64(total));
}

namespace {

// SSIM's vectors: 32 words, 8 doubles (ssim_simd.h).
struct Avx512 {
    using Int = __m512i;
    using Dbl = __m512d;
    static constexpr std::size_t kWords = 32;
    static Int LoadBytes(const std::uint8_t* p)
    {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    static Int LoadWords(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static Int Madd(Int x, Int y) { return _mm512_madd_epi16(x, y); }
    static Int Add32(Int x, Int y) { return _mm512_add_epi32(x, y); }
    static Int Or(Int x, Int y) { return _mm512_or_si512(x, y); }
    static bool Below8192(Int x) { return _mm512_test_epi16_mask(x, _mm512_set1_epi16(short(0xE000))) == 0; }
    static Int HighBytes(Int x) { return _mm512_srli_epi16(x, 8); }
    static Int LowBytes(Int x) { return _mm512_and_si512(x, _mm512_set1_epi16(0xFF)); }
    static Int Words(short n) { return _mm512_set1_epi16(n); }
    static Dbl ToDoubles(Int x)
    {
        const __m512i pairs = _mm512_add_epi32(x, _mm512_srli_epi64(x, 32));  // in the even lanes
        return _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(pairs));
    }
    static Dbl LoadD(const double* p) { return _mm512_loadu_pd(p); }
    static void StoreD(double* p, Dbl x) { _mm512_storeu_pd(p, x); }
    static Dbl SetD(double x) { return _mm512_set1_pd(x); }
    static Dbl AddD(Dbl x, Dbl y) { return _mm512_add_pd(x, y); }
    static Dbl SubD(Dbl x, Dbl y) { return _mm512_sub_pd(x, y); }
    static Dbl MulD(Dbl x, Dbl y) { return _mm512_mul_pd(x, y); }
    static Dbl DivD(Dbl x, Dbl y) { return _mm512_div_pd(x, y); }
};

}  // namespace

extern constinit const SsimKernels kSsimKernelsAvx512 = kSsimKernelsOf<Avx512>;

}  // namespace lorvane
