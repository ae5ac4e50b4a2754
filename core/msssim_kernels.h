// The loops of MS-SSIM, written plainly enough for the compiler to vectorise
// them. Included by metric_msssim.cpp (the baseline) and by msssim_avx2.cpp
// (compiled for AVX2): each file gets its own copy of the loops, with internal
// linkage, so that no inline function compiled for AVX2 can be shared with
// code that runs on any CPU. Only plain types cross between the two.
//
// Every value is a double and the operations are the same, in the same order,
// at every level (no fused multiply-add: neither file is compiled for FMA), so
// all levels give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lorvane {

// One scale of a plane pair as the loops read it: at the first scale the
// picture's samples, later the decimated planes of doubles.
struct MsSsimScale {
    const std::uint8_t* a = nullptr;
    const std::uint8_t* b = nullptr;
    std::ptrdiff_t strideA = 0, strideB = 0;  // bytes
    int bytesPerSample = 1;                   // 1, 2 (16-bit words) or 8 (doubles)
    std::int32_t width = 0, height = 0;
};

// Sums over the windows of a tile: of cs, and at the last scale of l * cs.
struct MsSsimSums {
    double cs = 0, lcs = 0;
};

// The Gaussian's taps from the centre out: taps[0] is the centre's, taps[5]
// the outermost pair's; they sum to 1 over all eleven.
struct MsSsimTaps {
    double g[6];
};

// What a tile needs besides its input: doubles of scratch, kScratchRows times
// the scale's width.
constexpr int kMsSsimScratchRows = 4 + 11 * 4 + 4 + 1;

// The windows whose top-left corners lie in rows [y0, y1) and columns
// [x0, x1) of the scale: x1 + 10 <= width and y1 + 10 <= height.
using MsSsimTileFunction = MsSsimSums (*)(const MsSsimScale& in, std::int32_t x0, std::int32_t x1, std::int32_t y0,
                                          std::int32_t y1, const MsSsimTaps& taps, double c1, double c2, bool last,
                                          double* scratch);
// Rows [y0, y1) of the next scale, (width / 2) x (height / 2): each sample
// the mean of a 2x2 block; an odd last row or column is dropped.
using MsSsimDecimateFunction = void (*)(const MsSsimScale& in, double* a, double* b, std::int32_t y0,
                                        std::int32_t y1);

struct MsSsimKernels {
    MsSsimTileFunction tile;
    MsSsimDecimateFunction decimate;
};

// The AVX2 build of the loops (msssim_avx2.cpp), on x86-64 builds only.
MsSsimKernels MsSsimKernelsAvx2();

namespace {

// One row of the input, as doubles; at later scales the row itself.
template <typename T>
const double* LoadRow(const std::uint8_t* row, std::int32_t x, std::int32_t n, double* into)
{
    const T* samples = reinterpret_cast<const T*>(row) + x;
    for (std::int32_t i = 0; i < n; ++i)
        into[i] = double(samples[i]);
    return into;
}

const double* InputRow(const std::uint8_t* base, std::ptrdiff_t stride, int bytesPerSample, std::int32_t y,
                       std::int32_t x, std::int32_t n, double* into)
{
    const std::uint8_t* row = base + std::ptrdiff_t(y) * stride;
    if (bytesPerSample == 8)
        return reinterpret_cast<const double*>(row) + x;
    if (bytesPerSample == 2)
        return LoadRow<std::uint16_t>(row, x, n, into);
    return LoadRow<std::uint8_t>(row, x, n, into);
}

// n outputs from n + 10 inputs.
void FilterRow(const double* __restrict in, double* __restrict out, std::int32_t n, const MsSsimTaps& taps)
{
    const double g0 = taps.g[0], g1 = taps.g[1], g2 = taps.g[2], g3 = taps.g[3], g4 = taps.g[4], g5 = taps.g[5];
    for (std::int32_t x = 0; x < n; ++x) {
        const double* p = in + x;
        out[x] = g0 * p[5] + g1 * (p[4] + p[6]) + g2 * (p[3] + p[7]) + g3 * (p[2] + p[8]) + g4 * (p[1] + p[9]) +
                 g5 * (p[0] + p[10]);
    }
}

// The same down a column: r[k] is the row k below the window's top.
void FilterColumns(const double* const* r, double* __restrict out, std::int32_t n, const MsSsimTaps& taps)
{
    const double g0 = taps.g[0], g1 = taps.g[1], g2 = taps.g[2], g3 = taps.g[3], g4 = taps.g[4], g5 = taps.g[5];
    const double *__restrict r0 = r[0], *__restrict r1 = r[1], *__restrict r2 = r[2], *__restrict r3 = r[3];
    const double *__restrict r4 = r[4], *__restrict r5 = r[5], *__restrict r6 = r[6], *__restrict r7 = r[7];
    const double *__restrict r8 = r[8], *__restrict r9 = r[9], *__restrict r10 = r[10];
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = g0 * r5[x] + g1 * (r4[x] + r6[x]) + g2 * (r3[x] + r7[x]) + g3 * (r2[x] + r8[x]) +
                 g4 * (r1[x] + r9[x]) + g5 * (r0[x] + r10[x]);
}

// Eight running sums, one per lane of x modulo 8, added up in a fixed order:
// the same bits however wide the vectors.
double SumRow(const double* __restrict v, std::int32_t n)
{
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::int32_t x = 0;
    for (; x + 8 <= n; x += 8)
        for (int k = 0; k < 8; ++k)
            lanes[k] += v[x + k];
    for (; x < n; ++x)
        lanes[x & 7] += v[x];
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

MsSsimSums Tile(const MsSsimScale& in, std::int32_t x0, std::int32_t x1, std::int32_t y0, std::int32_t y1,
                const MsSsimTaps& taps, double c1, double c2, bool last, double* scratch)
{
    const std::int32_t n = x1 - x0, wide = n + 10;
    double* rowA = scratch;
    double* rowB = rowA + wide;
    double* squares = rowB + wide;
    double* cross = squares + wide;
    // The horizontally filtered moments of the last 11 input rows, each in
    // the slot of its row number modulo 11: mean of a, of b, of a^2 + b^2, of ab.
    double* ring = cross + wide;
    double* mean = ring + 11 * 4 * std::ptrdiff_t(wide);
    double* values = mean + 4 * std::ptrdiff_t(wide);
    MsSsimSums sums;
    for (std::int32_t y = y0; y < y1 + 10; ++y) {
        const double* a = InputRow(in.a, in.strideA, in.bytesPerSample, y, x0, wide, rowA);
        const double* b = InputRow(in.b, in.strideB, in.bytesPerSample, y, x0, wide, rowB);
        for (std::int32_t x = 0; x < wide; ++x) {
            squares[x] = a[x] * a[x] + b[x] * b[x];
            cross[x] = a[x] * b[x];
        }
        double* slot = ring + (y % 11) * 4 * std::ptrdiff_t(wide);
        FilterRow(a, slot, n, taps);
        FilterRow(b, slot + wide, n, taps);
        FilterRow(squares, slot + 2 * wide, n, taps);
        FilterRow(cross, slot + 3 * wide, n, taps);
        if (y < y0 + 10)
            continue;
        const std::int32_t top = y - 10;
        for (int m = 0; m < 4; ++m) {
            const double* rows[11];
            for (int k = 0; k < 11; ++k)
                rows[k] = ring + ((top + k) % 11) * 4 * std::ptrdiff_t(wide) + m * std::ptrdiff_t(wide);
            FilterColumns(rows, mean + m * std::ptrdiff_t(wide), n, taps);
        }
        const double *__restrict ma = mean, *__restrict mb = mean + wide;
        const double *__restrict sq = mean + 2 * wide, *__restrict ab = mean + 3 * wide;
        // sigma_a^2 + sigma_b^2 and 2 sigma_ab written so that identical
        // planes give exactly equal terms, and so exactly 1.
        for (std::int32_t x = 0; x < n; ++x)
            values[x] = (2 * (ab[x] - ma[x] * mb[x]) + c2) / (sq[x] - (ma[x] * ma[x] + mb[x] * mb[x]) + c2);
        sums.cs += SumRow(values, n);
        if (last) {
            for (std::int32_t x = 0; x < n; ++x)
                values[x] *= (2 * (ma[x] * mb[x]) + c1) / ((ma[x] * ma[x] + mb[x] * mb[x]) + c1);
            sums.lcs += SumRow(values, n);
        }
    }
    return sums;
}

template <typename T>
void DecimateRows(const MsSsimScale& in, double* out, const std::uint8_t* base, std::ptrdiff_t stride,
                  std::int32_t y0, std::int32_t y1)
{
    const std::int32_t w = in.width / 2;
    for (std::int32_t y = y0; y < y1; ++y) {
        const T* __restrict top = reinterpret_cast<const T*>(base + std::ptrdiff_t(2 * y) * stride);
        const T* __restrict bottom = reinterpret_cast<const T*>(base + std::ptrdiff_t(2 * y + 1) * stride);
        double* __restrict row = out + std::ptrdiff_t(y) * w;
        for (std::int32_t x = 0; x < w; ++x)
            row[x] = ((double(top[2 * x]) + double(top[2 * x + 1])) + (double(bottom[2 * x]) + double(bottom[2 * x + 1]))) *
                     0.25;
    }
}

template <typename T>
void DecimateBoth(const MsSsimScale& in, double* a, double* b, std::int32_t y0, std::int32_t y1)
{
    DecimateRows<T>(in, a, in.a, in.strideA, y0, y1);
    DecimateRows<T>(in, b, in.b, in.strideB, y0, y1);
}

void Decimate(const MsSsimScale& in, double* a, double* b, std::int32_t y0, std::int32_t y1)
{
    if (in.bytesPerSample == 8)
        DecimateBoth<double>(in, a, b, y0, y1);
    else if (in.bytesPerSample == 2)
        DecimateBoth<std::uint16_t>(in, a, b, y0, y1);
    else
        DecimateBoth<std::uint8_t>(in, a, b, y0, y1);
}

}  // namespace

}  // namespace lorvane
