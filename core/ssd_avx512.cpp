// AVX-512BW version of the sum of squared differences. Compiled with
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

namespace lorvane {

namespace {

// A 32-bit lane gains at most 2 x 2 x 255^2 = 260100 per 64 bytes, so it is
// widened to 64 bits every 8192 vectors (2^13 x 260100 < 2^31), 512 KiB; the
// masked tail adds one more vector at most.
constexpr std::size_t kBlockVectors = 8192;

// Per 32-bit lane, the sum of the squared differences of four byte pairs.
inline __m512i SquaredDifferences(__m512i x, __m512i y)
{
    const __m512i zero = _mm512_setzero_si512();
    const __m512i d = _mm512_or_si512(_mm512_subs_epu8(x, y), _mm512_subs_epu8(y, x));  // |x - y|
    const __m512i low = _mm512_unpacklo_epi8(d, zero);
    const __m512i high = _mm512_unpackhi_epi8(d, zero);
    return _mm512_add_epi32(_mm512_madd_epi16(low, low), _mm512_madd_epi16(high, high));
}

inline __m512i Load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

inline __m512i Widen(__m512i total, __m512i sum)
{
    const __m512i zero = _mm512_setzero_si512();
    total = _mm512_add_epi64(total, _mm512_unpacklo_epi32(sum, zero));
    return _mm512_add_epi64(total, _mm512_unpackhi_epi32(sum, zero));
}

}  // namespace

std::uint64_t SsdAvx512(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    const __m512i zero = _mm512_setzero_si512();
    __m512i total = zero;  // eight 64-bit sums
    __m512i sum0 = zero, sum1 = zero;
    std::size_t vectors = count / 64;
    while (vectors > 0) {
        const std::size_t block = vectors < kBlockVectors ? vectors : kBlockVectors;
        vectors -= block;
        // Two chains, so consecutive additions need not wait for each other.
        std::size_t k = 0;
        for (; k + 2 <= block; k += 2, a += 128, b += 128) {
            sum0 = _mm512_add_epi32(sum0, SquaredDifferences(Load(a), Load(b)));
            sum1 = _mm512_add_epi32(sum1, SquaredDifferences(Load(a + 64), Load(b + 64)));
        }
        if (k < block) {
            sum0 = _mm512_add_epi32(sum0, SquaredDifferences(Load(a), Load(b)));
            a += 64;
            b += 64;
        }
        if (vectors > 0) {
            total = Widen(Widen(total, sum0), sum1);
            sum0 = sum1 = zero;
        }
    }
    // The last 0-63 samples: the masked load reads (and faults on) no byte
    // outside the run and gives zero in both operands for the rest.
    const unsigned rest = unsigned(count % 64);
    if (rest > 0) {
        const __mmask64 mask = (__mmask64(1) << rest) - 1;
        sum1 = _mm512_add_epi32(sum1, SquaredDifferences(_mm512_maskz_loadu_epi8(mask, a),
                                                         _mm512_maskz_loadu_epi8(mask, b)));
    }
    total = Widen(Widen(total, sum0), sum1);
    return std::uint64_t(_mm512_reduce_add_epi64(total));
}

}  // namespace lorvane
