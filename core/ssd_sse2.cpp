// SSE2 version of the sum of squared differences. Compiled with -msse2 only;
// nothing here may come from an inline function shared with other files, or
// the linker could hand this file's copy to code that runs on any CPU.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

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

}  // namespace lorvane
