// SSE2 versions of the kernels: the sum of squared differences, SSIM's block
// sums and window values. Compiled with -msse2 only;
// nothing here may come from an inline function shared with other files, or
// the linker could hand this file's copy to code that runs on any CPU.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "ssim_simd.h"

namespace lorvane {

namespace {

// A 32-bit lane gains at most 2 x 2 x 255^2 = 260100 per 16 bytes, so it is
// widened to 64 bits every 8192 vectors (2^13 x 260100 < 2^31), 128 KiB.
constexpr std::size_t kBlockVectors = 8192;

// Per 32-bit lane, the sum of the squared differences of four byte pairs.
inline __m128i SquaredDifferences(__m128i x, __m128i y)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i d = _mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x));  // |x - y|
    const __m128i low = _mm_unpacklo_epi8(d, zero);
    const __m128i high = _mm_unpackhi_epi8(d, zero);
    return _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high));
}

// 16-bit samples. A difference d = |x - y| reaches 65535, whose square fills a
// 32-bit lane on its own, and _mm_madd_epi16 multiplies signed words, so d is
// split into bytes, d = 256 h + l, with d^2 = 2^16 h^2 + 2^9 h l + l^2: the
// three products go through _mm_madd_epi16 as small positive words and are
// summed apart. Each of the three 32-bit lane sums gains at most 2 x 255^2 =
// 130050 per vector, so they are widened every 16384 vectors (2^14 x 130050 <
// 2^31), 256 KiB per run.
constexpr std::size_t kBlockVectors16 = 16384;

struct Sums16 {
    __m128i hh = _mm_setzero_si128(), hl = _mm_setzero_si128(), ll = _mm_setzero_si128();
};

inline void AddSquaredDifferences16(Sums16& sums, __m128i x, __m128i y)
{
    const __m128i d = _mm_or_si128(_mm_subs_epu16(x, y), _mm_subs_epu16(y, x));  // |x - y|
    const __m128i h = _mm_srli_epi16(d, 8);
    const __m128i l = _mm_and_si128(d, _mm_set1_epi16(0xFF));
    sums.hh = _mm_add_epi32(sums.hh, _mm_madd_epi16(h, h));
    sums.hl = _mm_add_epi32(sums.hl, _mm_madd_epi16(h, l));
    sums.ll = _mm_add_epi32(sums.ll, _mm_madd_epi16(l, l));
}

inline __m128i Widen(__m128i sum)
{
    const __m128i zero = _mm_setzero_si128();
    return _mm_add_epi64(_mm_unpacklo_epi32(sum, zero), _mm_unpackhi_epi32(sum, zero));
}

// Two 64-bit sums of d^2 from the three parts, modulo 2^64 as Ssd16C wraps.
inline __m128i Combine(__m128i total, const Sums16& sums)
{
    total = _mm_add_epi64(total, _mm_slli_epi64(Widen(sums.hh), 16));
    total = _mm_add_epi64(total, _mm_slli_epi64(Widen(sums.hl), 9));
    return _mm_add_epi64(total, Widen(sums.ll));
}

}  // namespace

std::uint64_t SsdSse2(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i total = zero;  // two 64-bit sums
    std::size_t vectors = count / 16;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors ? vectors : kBlockVectors;
        vectors -= block;
        // Two chains, so consecutive additions need not wait for each other.
        __m128i sum0 = zero, sum1 = zero;
        std::size_t k = 0;
        for (; k + 2 <= block; k += 2, a += 32, b += 32) {
            const __m128i* pa = reinterpret_cast<const __m128i*>(a);
            const __m128i* pb = reinterpret_cast<const __m128i*>(b);
            sum0 = _mm_add_epi32(sum0, SquaredDifferences(_mm_loadu_si128(pa), _mm_loadu_si128(pb)));
            sum1 = _mm_add_epi32(sum1, SquaredDifferences(_mm_loadu_si128(pa + 1), _mm_loadu_si128(pb + 1)));
        }
        if (k < block) {
            sum0 = _mm_add_epi32(sum0, SquaredDifferences(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(b))));
            a += 16;
            b += 16;
        }
        total = _mm_add_epi64(total, _mm_unpacklo_epi32(sum0, zero));
        total = _mm_add_epi64(total, _mm_unpackhi_epi32(sum0, zero));
        total = _mm_add_epi64(total, _mm_unpacklo_epi32(sum1, zero));
        total = _mm_add_epi64(total, _mm_unpackhi_epi32(sum1, zero));
    }
    total = _mm_add_epi64(total, _mm_unpackhi_epi64(total, total));
    std::uint64_t sum = std::uint64_t(_mm_cvtsi128_si64(total));
    for (std::size_t i = 0; i < count % 16; ++i) {
        const int d = int(a[i]) - int(b[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

std::uint64_t Ssd16Sse2(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    __m128i total = _mm_setzero_si128();  // two 64-bit sums
    std::size_t vectors = count / 8;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors16 ? vectors : kBlockVectors16;
        vectors -= block;
        Sums16 sums;
        for (std::size_t k = 0; k < block; ++k, a += 8, b += 8)
            AddSquaredDifferences16(sums, _mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
        total = Combine(total, sums);
    }
    total = _mm_add_epi64(total, _mm_unpackhi_epi64(total, total));
    std::uint64_t sum = std::uint64_t(_mm_cvtsi128_si64(total));
    for (std::size_t i = 0; i < count % 8; ++i) {
        const std::uint32_t d = a[i] > b[i] ? std::uint32_t(a[i] - b[i]) : std::uint32_t(b[i] - a[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

namespace {

// SSIM's vectors: 8 words, 2 doubles (ssim_simd.h).
struct Sse2 {
    using Int = __m128i;
    using Dbl = __m128d;
    static constexpr std::size_t kWords = 8;
    static Int LoadBytes(const std::uint8_t* p)
    {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
    }
    static Int LoadWords(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static Int Madd(Int x, Int y) { return _mm_madd_epi16(x, y); }
    static Int Add32(Int x, Int y) { return _mm_add_epi32(x, y); }
    static Int Or(Int x, Int y) { return _mm_or_si128(x, y); }
    static bool Below8192(Int x)
    {
        const __m128i high = _mm_and_si128(x, _mm_set1_epi16(short(0xE000)));
        return _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
    }
    static Int HighBytes(Int x) { return _mm_srli_epi16(x, 8); }
    static Int LowBytes(Int x) { return _mm_and_si128(x, _mm_set1_epi16(0xFF)); }
    static Int Words(short n) { return _mm_set1_epi16(n); }
    static Dbl ToDoubles(Int x)
    {
        const __m128i pairs = _mm_add_epi32(x, _mm_srli_epi64(x, 32));  // in lanes 0 and 2
        return _mm_cvtepi32_pd(_mm_shuffle_epi32(pairs, _MM_SHUFFLE(3, 3, 2, 0)));
    }
    static Dbl LoadD(const double* p) { return _mm_loadu_pd(p); }
    static void StoreD(double* p, Dbl x) { _mm_storeu_pd(p, x); }
    static Dbl SetD(double x) { return _mm_set1_pd(x); }
    static Dbl AddD(Dbl x, Dbl y) { return _mm_add_pd(x, y); }
    static Dbl SubD(Dbl x, Dbl y) { return _mm_sub_pd(x, y); }
    static Dbl MulD(Dbl x, Dbl y) { return _mm_mul_pd(x, y); }
    static Dbl DivD(Dbl x, Dbl y) { return _mm_div_pd(x, y); }
};

}  // namespace

extern constinit const SsimKernels kSsimKernelsSse2 = kSsimKernelsOf<Sse2>;

}  // namespace lorvane
