// AVX2 versions of the kernels: the sum of squared differences, SSIM's block
// sums and window values. Compiled with -mavx2 only;
// nothing here may come from an inline function shared with other files, or
// the linker could hand this file's copy to code that runs on any CPU.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "ssim_simd.h"

namespace lorvane {

namespace {

// A 32-bit lane gains at most 2 x 2 x 255^2 = 260100 per 32 bytes, so it is
// widened to 64 bits every 8192 vectors (2^13 x 260100 < 2^31), 256 KiB.
constexpr std::size_t kBlockVectors = 8192;

// Per 32-bit lane, the sum of the squared differences of four byte pairs.
inline __m256i SquaredDifferences(__m256i x, __m256i y)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i d = _mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x));  // |x - y|
    const __m256i low = _mm256_unpacklo_epi8(d, zero);
    const __m256i high = _mm256_unpackhi_epi8(d, zero);
    return _mm256_add_epi32(_mm256_madd_epi16(low, low), _mm256_madd_epi16(high, high));
}

inline __m256i Load(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

inline __m256i Widen(__m256i total, __m256i sum)
{
    const __m256i zero = _mm256_setzero_si256();
    total = _mm256_add_epi64(total, _mm256_unpacklo_epi32(sum, zero));
    return _mm256_add_epi64(total, _mm256_unpackhi_epi32(sum, zero));
}

// 16-bit samples. A difference d = |x - y| reaches 65535, whose square fills a
// 32-bit lane on its own, and _mm256_madd_epi16 multiplies signed words, so d
// is split into bytes, d = 256 h + l, with d^2 = 2^16 h^2 + 2^9 h l + l^2: the
// three products go through _mm256_madd_epi16 as small positive words and are
// summed apart. Each of the three 32-bit lane sums gains at most 2 x 255^2 =
// 130050 per vector, so they are widened every 16384 vectors (2^14 x 130050 <
// 2^31), 512 KiB per run.
constexpr std::size_t kBlockVectors16 = 16384;

struct Sums16 {
    __m256i hh = _mm256_setzero_si256(), hl = _mm256_setzero_si256(), ll = _mm256_setzero_si256();
};

inline void AddSquaredDifferences16(Sums16& sums, __m256i x, __m256i y)
{
    const __m256i d = _mm256_or_si256(_mm256_subs_epu16(x, y), _mm256_subs_epu16(y, x));  // |x - y|
    const __m256i h = _mm256_srli_epi16(d, 8);
    const __m256i l = _mm256_and_si256(d, _mm256_set1_epi16(0xFF));
    sums.hh = _mm256_add_epi32(sums.hh, _mm256_madd_epi16(h, h));
    sums.hl = _mm256_add_epi32(sums.hl, _mm256_madd_epi16(h, l));
    sums.ll = _mm256_add_epi32(sums.ll, _mm256_madd_epi16(l, l));
}

inline __m256i Load(const std::uint16_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Four 64-bit sums of d^2 from the three parts, modulo 2^64 as Ssd16C wraps.
inline __m256i Combine(__m256i total, const Sums16& sums)
{
    const __m256i zero = _mm256_setzero_si256();
    total = _mm256_add_epi64(total, _mm256_slli_epi64(Widen(zero, sums.hh), 16));
    total = _mm256_add_epi64(total, _mm256_slli_epi64(Widen(zero, sums.hl), 9));
    return Widen(total, sums.ll);
}

}  // namespace

std::uint64_t SsdAvx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    const __m256i zero = _mm256_setzero_si256();
    __m256i total = zero;  // four 64-bit sums
    std::size_t vectors = count / 32;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors ? vectors : kBlockVectors;
        vectors -= block;
        // Two chains, so consecutive additions need not wait for each other.
        __m256i sum0 = zero, sum1 = zero;
        std::size_t k = 0;
        for (; k + 2 <= block; k += 2, a += 64, b += 64) {
            sum0 = _mm256_add_epi32(sum0, SquaredDifferences(Load(a), Load(b)));
            sum1 = _mm256_add_epi32(sum1, SquaredDifferences(Load(a + 32), Load(b + 32)));
        }
        if (k < block) {
            sum0 = _mm256_add_epi32(sum0, SquaredDifferences(Load(a), Load(b)));
            a += 32;
            b += 32;
        }
        total = Widen(Widen(total, sum0), sum1);
    }
    __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
    pair = _mm_add_epi64(pair, _mm_unpackhi_epi64(pair, pair));
    std::uint64_t sum = std::uint64_t(_mm_cvtsi128_si64(pair));
    for (std::size_t i = 0; i < count % 32; ++i) {
        const int d = int(a[i]) - int(b[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

std::uint64_t Ssd16Avx2(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    __m256i total = _mm256_setzero_si256();  // four 64-bit sums
    std::size_t vectors = count / 16;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors16 ? vectors : kBlockVectors16;
        vectors -= block;
        Sums16 sums;
        for (std::size_t k = 0; k < block; ++k, a += 16, b += 16)
            AddSquaredDifferences16(sums, Load(a), Load(b));
        total = Combine(total, sums);
    }
    __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
    pair = _mm_add_epi64(pair, _mm_unpackhi_epi64(pair, pair));
    std::uint64_t sum = std::uint64_t(_mm_cvtsi128_si64(pair));
    for (std::size_t i = 0; i < count % 16; ++i) {
        const std::uint32_t d = a[i] > b[i] ? std::uint32_t(a[i] - b[i]) : std::uint32_t(b[i] - a[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

namespace {

// SSIM's vectors: 16 words, 4 doubles (ssim_simd.h).
struct Avx2 {
    using Int = __m256i;
    using Dbl = __m256d;
    static constexpr std::size_t kWords = 16;
    static Int LoadBytes(const std::uint8_t* p)
    {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static Int LoadWords(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static Int Madd(Int x, Int y) { return _mm256_madd_epi16(x, y); }
    static Int Add32(Int x, Int y) { return _mm256_add_epi32(x, y); }
    static Int Or(Int x, Int y) { return _mm256_or_si256(x, y); }
    static bool Below8192(Int x) { return _mm256_testz_si256(x, _mm256_set1_epi16(short(0xE000))); }
    static Int HighBytes(Int x) { return _mm256_srli_epi16(x, 8); }
    static Int LowBytes(Int x) { return _mm256_and_si256(x, _mm256_set1_epi16(0xFF)); }
    static Int Words(short n) { return _mm256_set1_epi16(n); }
    static Dbl ToDoubles(Int x)
    {
        const __m256i pairs = _mm256_add_epi32(x, _mm256_srli_epi64(x, 32));  // in the even lanes
        const __m256i packed = _mm256_permutevar8x32_epi32(pairs, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
        return _mm256_cvtepi32_pd(_mm256_castsi256_si128(packed));
    }
    static Dbl LoadD(const double* p) { return _mm256_loadu_pd(p); }
    static void StoreD(double* p, Dbl x) { _mm256_storeu_pd(p, x); }
    static Dbl SetD(double x) { return _mm256_set1_pd(x); }
    static Dbl AddD(Dbl x, Dbl y) { return _mm256_add_pd(x, y); }
    static Dbl SubD(Dbl x, Dbl y) { return _mm256_sub_pd(x, y); }
    static Dbl MulD(Dbl x, Dbl y) { return _mm256_mul_pd(x, y); }
    static Dbl DivD(Dbl x, Dbl y) { return _mm256_div_pd(x, y); }
};

}  // namespace

extern constinit const SsimKernels kSsimKernelsAvx2 = kSsimKernelsOf<Avx2>;

}  // namespace lorvane
