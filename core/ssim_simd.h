// SSIM's kernels written once over a vector type, for the files of each
// instruction set (kernels_sse2.cpp, …) to instantiate with their own. Only
// those files include this, each after the intrinsics of its level; all of it
// is in an unnamed namespace, so that no copy compiled for one level can be
// linked into another's code.
//
// A level's vector type V gives:
//   Int, a vector of V::kWords 16-bit words, and Dbl, of V::kWords / 4 doubles
//   (one per 4x4 block of a row of kWords samples);
//   LoadBytes(p): kWords bytes as words; LoadWords(p): kWords 16-bit words;
//   Madd (adjacent word products added into 32-bit lanes), Add32, Or,
//   HighBytes and LowBytes (a word's bytes, as words), Words(n) (n in every
//   word), Below8192(x) (whether every word of x is);
//   ToDoubles(x): the sums of adjacent 32-bit lanes of x, as doubles;
//   LoadD, StoreD, SetD, AddD, SubD, MulD, DivD.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ssim_kernels.h"

namespace lorvane {
namespace {

// The blocks past the last whole vector, summed as the C++ version sums them
// (a copy of it: nothing here is shared with code built for another level).
template <typename Sample, typename Sum>
void BlocksScalar(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
                  std::size_t from, std::size_t blocks, double* sums)
{
    for (std::size_t x = from; x < blocks; ++x) {
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

// The sums of kWords / 4 blocks from their rows as words, when every block
// sum fits a 32-bit lane: samples below 2^13 (ss: 16 x 2 x 8191^2 < 2^31).
// Inlined, or the rows would go through memory on the way in.
template <typename V>
[[gnu::always_inline]] inline void SmallBlocks(const typename V::Int (&u)[4], const typename V::Int (&v)[4],
                                               std::size_t blocks, double* sums)
{
    const typename V::Int one = V::Words(1);
    typename V::Int s1 = V::Words(0), s2 = s1, ss = s1, s12 = s1;
    for (int y = 0; y < 4; ++y) {
        s1 = V::Add32(s1, V::Madd(u[y], one));
        s2 = V::Add32(s2, V::Madd(v[y], one));
        ss = V::Add32(ss, V::Add32(V::Madd(u[y], u[y]), V::Madd(v[y], v[y])));
        s12 = V::Add32(s12, V::Madd(u[y], v[y]));
    }
    V::StoreD(sums, V::ToDoubles(s1));
    V::StoreD(sums + blocks, V::ToDoubles(s2));
    V::StoreD(sums + 2 * blocks, V::ToDoubles(ss));
    V::StoreD(sums + 3 * blocks, V::ToDoubles(s12));
}

template <typename V>
void Blocks8(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
             std::size_t blocks, double* sums)
{
    constexpr std::size_t kStep = V::kWords / 4;
    std::size_t x = 0;
    for (; x + kStep <= blocks; x += kStep) {
        typename V::Int u[4], v[4];
        for (int y = 0; y < 4; ++y) {
            u[y] = V::LoadBytes(a + y * strideA + 4 * x);
            v[y] = V::LoadBytes(b + y * strideB + 4 * x);
        }
        SmallBlocks<V>(u, v, blocks, sums + x);
    }
    BlocksScalar<std::uint8_t, std::int32_t>(a, strideA, b, strideB, x, blocks, sums);
}

// 16-bit samples: the word products are signed, so each sample is split into
// bytes, u = 256 h + l, and u v = 65536 h h' + 256 (h l' + l h') + l l'. Each
// part of a block fits a 32-bit lane (16 x 2 x 255^2); they are put together
// in doubles, exactly.
template <typename V>
typename V::Dbl Join(typename V::Int high, typename V::Int cross, typename V::Int low, double crossWeight)
{
    return V::AddD(V::AddD(V::MulD(V::ToDoubles(high), V::SetD(65536.0)),
                           V::MulD(V::ToDoubles(cross), V::SetD(crossWeight))),
                   V::ToDoubles(low));
}

template <typename V>
void Blocks16(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
              std::size_t blocks, double* sums)
{
    constexpr std::size_t kStep = V::kWords / 4;
    const typename V::Int one = V::Words(1);
    std::size_t x = 0;
    for (; x + kStep <= blocks; x += kStep) {
        typename V::Int u[4], v[4], any = V::Words(0);
        for (int y = 0; y < 4; ++y) {
            u[y] = V::LoadWords(a + y * strideA + 8 * x);
            v[y] = V::LoadWords(b + y * strideB + 8 * x);
            any = V::Or(any, V::Or(u[y], v[y]));
        }
        // Video of up to 13 bits, whatever its container, takes the shorter way.
        if (V::Below8192(any)) {
            SmallBlocks<V>(u, v, blocks, sums + x);
            continue;
        }
        const typename V::Int zero = V::Words(0);
        typename V::Int s1h = zero, s1l = zero, s2h = zero, s2l = zero;
        typename V::Int ssHh = zero, ssHl = zero, ssLl = zero, s12Hh = zero, s12Hl = zero, s12Ll = zero;
        for (int y = 0; y < 4; ++y) {
            const typename V::Int uh = V::HighBytes(u[y]), ul = V::LowBytes(u[y]);
            const typename V::Int vh = V::HighBytes(v[y]), vl = V::LowBytes(v[y]);
            s1h = V::Add32(s1h, V::Madd(uh, one));
            s1l = V::Add32(s1l, V::Madd(ul, one));
            s2h = V::Add32(s2h, V::Madd(vh, one));
            s2l = V::Add32(s2l, V::Madd(vl, one));
            ssHh = V::Add32(ssHh, V::Add32(V::Madd(uh, uh), V::Madd(vh, vh)));
            ssHl = V::Add32(ssHl, V::Add32(V::Madd(uh, ul), V::Madd(vh, vl)));
            ssLl = V::Add32(ssLl, V::Add32(V::Madd(ul, ul), V::Madd(vl, vl)));
            s12Hh = V::Add32(s12Hh, V::Madd(uh, vh));
            s12Hl = V::Add32(s12Hl, V::Add32(V::Madd(uh, vl), V::Madd(ul, vh)));
            s12Ll = V::Add32(s12Ll, V::Madd(ul, vl));
        }
        V::StoreD(sums + x, V::AddD(V::MulD(V::ToDoubles(s1h), V::SetD(256.0)), V::ToDoubles(s1l)));
        V::StoreD(sums + blocks + x, V::AddD(V::MulD(V::ToDoubles(s2h), V::SetD(256.0)), V::ToDoubles(s2l)));
        // u^2 = 65536 h^2 + 512 h l + l^2
        V::StoreD(sums + 2 * blocks + x, Join<V>(ssHh, ssHl, ssLl, 512.0));
        V::StoreD(sums + 3 * blocks + x, Join<V>(s12Hh, s12Hl, s12Ll, 256.0));
    }
    BlocksScalar<std::uint16_t, std::int64_t>(a, strideA, b, strideB, x, blocks, sums);
}

// The same operations, in the same order, as the C++ version's (ssim_kernels.cpp).
double WindowScalar(const double* top, const double* bottom, std::size_t blocks, std::size_t x, double c1,
                    double c2)
{
    double w[kSsimSums];
    for (std::size_t k = 0; k < kSsimSums; ++k) {
        const std::size_t i = k * blocks + x;
        w[k] = top[i] + top[i + 1] + bottom[i] + bottom[i + 1];
    }
    const double s1 = w[0], s2 = w[1], ss = w[2], s12 = w[3];
    const double vars = ss * 64 - s1 * s1 - s2 * s2;
    const double covar = s12 * 64 - s1 * s2;
    return (2 * s1 * s2 + c1) * (2 * covar + c2) / ((s1 * s1 + s2 * s2 + c1) * (vars + c2));
}

template <typename V>
typename V::Dbl WindowVector(const double* top, const double* bottom, std::size_t blocks, std::size_t x,
                             typename V::Dbl c1, typename V::Dbl c2)
{
    typename V::Dbl w[kSsimSums];
    for (std::size_t k = 0; k < kSsimSums; ++k) {
        const std::size_t i = k * blocks + x;
        w[k] = V::AddD(V::AddD(V::AddD(V::LoadD(top + i), V::LoadD(top + i + 1)), V::LoadD(bottom + i)),
                       V::LoadD(bottom + i + 1));
    }
    const typename V::Dbl s1 = w[0], s2 = w[1], ss = w[2], s12 = w[3];
    const typename V::Dbl sixtyFour = V::SetD(64.0), two = V::SetD(2.0);
    const typename V::Dbl vars = V::SubD(V::SubD(V::MulD(ss, sixtyFour), V::MulD(s1, s1)), V::MulD(s2, s2));
    const typename V::Dbl covar = V::SubD(V::MulD(s12, sixtyFour), V::MulD(s1, s2));
    const typename V::Dbl numerator =
        V::MulD(V::AddD(V::MulD(V::MulD(two, s1), s2), c1), V::AddD(V::MulD(two, covar), c2));
    const typename V::Dbl denominator =
        V::MulD(V::AddD(V::AddD(V::MulD(s1, s1), V::MulD(s2, s2)), c1), V::AddD(vars, c2));
    return V::DivD(numerator, denominator);
}

template <typename V>
double Windows(const double* top, const double* bottom, std::size_t blocks, double c1, double c2)
{
    constexpr std::size_t kLanes = 8, kDoubles = V::kWords / 4, kVectors = kLanes / kDoubles;
    const std::size_t windows = blocks > 0 ? blocks - 1 : 0;
    const typename V::Dbl c1v = V::SetD(c1), c2v = V::SetD(c2);
    typename V::Dbl lanes[kVectors];
    for (typename V::Dbl& lane : lanes)
        lane = V::SetD(0.0);
    std::size_t x = 0;
    for (; x + kLanes <= windows; x += kLanes)
        for (std::size_t j = 0; j < kVectors; ++j)
            lanes[j] = V::AddD(lanes[j], WindowVector<V>(top, bottom, blocks, x + j * kDoubles, c1v, c2v));
    double lane[kLanes];
    for (std::size_t j = 0; j < kVectors; ++j)
        V::StoreD(lane + j * kDoubles, lanes[j]);
    for (std::size_t i = 0; x < windows; ++x, ++i)
        lane[i] += WindowScalar(top, bottom, blocks, x, c1, c2);
    double sum = 0;
    for (double value : lane)
        sum += value;
    return sum;
}

template <typename V>
constexpr SsimKernels kSsimKernelsOf = {&Blocks8<V>, &Blocks16<V>, &Windows<V>};

}  // namespace
}  // namespace lorvane
