#include "errormap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace lorvane {
namespace {

// The sample size is a template argument so that the loops over a whole
// plane (8 million samples at 2160p) carry no test per sample.
template <bool Wide>
int SampleAt(const std::uint8_t* data, std::size_t i)
{
    if constexpr (Wide)
        return data[2 * i] | (data[2 * i + 1] << 8);
    else
        return data[i];
}

// Everything the loops read is copied into locals first: the rows are
// written through byte pointers, which may alias anything, and the compiler
// would otherwise reload the bounds at every sample and vectorise nothing.
template <bool Wide>
void FillGrey(const PlaneSamples& plane, QImage& image)
{
    const int shift = std::max(plane.bits - 8, 0);
    const std::uint8_t* const data = plane.data;
    const int width = plane.width, height = plane.height;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* const source = data + std::size_t(y) * std::size_t(width) * (Wide ? 2 : 1);
        std::uint8_t* const row = image.scanLine(y);
        for (int x = 0; x < width; ++x)
            row[x] = std::uint8_t(std::min(SampleAt<Wide>(source, std::size_t(x)) >> shift, 255));
    }
}

// Two passes over the samples rather than a stored difference per sample:
// recomputing a difference is cheaper than writing and reading back a plane
// of them.
template <bool Wide>
void FillErrorMap(const PlaneSamples& reference, const PlaneSamples& processed, ErrorMap& map)
{
    const std::uint8_t* const a = reference.data;
    const std::uint8_t* const b = processed.data;
    const int width = reference.width, height = reference.height;
    const std::size_t samples = std::size_t(width) * std::size_t(height);
    int maxError = 0;
    for (std::size_t i = 0; i < samples; ++i)
        maxError = std::max(maxError, std::abs(SampleAt<Wide>(a, i) - SampleAt<Wide>(b, i)));
    map.maxError = maxError;
    // One colour for each difference that occurs, so that the scale is exact
    // at both ends and in between.
    std::vector<QRgb> palette(std::size_t(maxError) + 1);
    for (int d = 0; d <= maxError; ++d)
        palette[std::size_t(d)] = HeatColour(maxError > 0 ? double(d) / maxError : 0).rgb();
    const QRgb* const colours = palette.data();
    map.image = QImage(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const std::size_t first = std::size_t(y) * std::size_t(width);
        auto* const row = reinterpret_cast<QRgb*>(map.image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = colours[std::abs(SampleAt<Wide>(a, first + std::size_t(x)) - SampleAt<Wide>(b, first + std::size_t(x)))];
    }
}

// The four sums of each 4x4 block, exact in integers.
struct BlockSums {
    std::int64_t a = 0, b = 0, squares = 0, products = 0;
};

template <bool Wide>
std::vector<BlockSums> SumBlocks(const PlaneSamples& reference, const PlaneSamples& processed, int blocksWide,
                                 int blocksHigh)
{
    std::vector<BlockSums> blocks(std::size_t(blocksWide) * std::size_t(blocksHigh));
    const std::size_t width = std::size_t(reference.width);
    for (int y = 0; y < 4 * blocksHigh; ++y) {
        BlockSums* const row = blocks.data() + std::size_t(y / 4) * std::size_t(blocksWide);
        const std::size_t first = std::size_t(y) * width;
        for (int x = 0; x < 4 * blocksWide; ++x) {
            const std::int64_t u = SampleAt<Wide>(reference.data, first + std::size_t(x));
            const std::int64_t v = SampleAt<Wide>(processed.data, first + std::size_t(x));
            BlockSums& sums = row[x / 4];
            sums.a += u;
            sums.b += v;
            sums.squares += u * u + v * v;
            sums.products += u * v;
        }
    }
    return blocks;
}

}  // namespace

SsimWindows SsimOfWindows(const PlaneSamples& reference, const PlaneSamples& processed, double peak)
{
    SsimWindows windows;
    const int blocksWide = reference.width / 4, blocksHigh = reference.height / 4;
    if (blocksWide < 2 || blocksHigh < 2)
        return windows;
    const std::vector<BlockSums> blocks = reference.bits > 8
                                              ? SumBlocks<true>(reference, processed, blocksWide, blocksHigh)
                                              : SumBlocks<false>(reference, processed, blocksWide, blocksHigh);
    // The constants scaled to a window's 64 samples and rounded to whole
    // numbers, as the encoders and ffmpeg round them.
    const double c1 = std::floor(0.01 * 0.01 * peak * peak * 64 + 0.5);
    const double c2 = std::floor(0.03 * 0.03 * peak * peak * 64 * 63 + 0.5);
    windows.columns = blocksWide - 1;
    windows.rows = blocksHigh - 1;
    windows.values.reserve(std::size_t(windows.columns) * std::size_t(windows.rows));
    for (int wy = 0; wy < windows.rows; ++wy)
        for (int wx = 0; wx < windows.columns; ++wx) {
            BlockSums w;
            for (int k = 0; k < 4; ++k) {
                const BlockSums& s = blocks[std::size_t(wy + k / 2) * std::size_t(blocksWide) + std::size_t(wx + k % 2)];
                w.a += s.a, w.b += s.b, w.squares += s.squares, w.products += s.products;
            }
            const double a = double(w.a), b = double(w.b);
            const double variances = double(w.squares * 64 - w.a * w.a - w.b * w.b);
            const double covariance = double(w.products * 64 - w.a * w.b);
            windows.values.push_back((2 * a * b + c1) * (2 * covariance + c2) /
                                     ((a * a + b * b + c1) * (variances + c2)));
        }
    return windows;
}

SsimMap PaintSsimMap(const SsimWindows& windows, int width, int height)
{
    SsimMap map;
    if (windows.values.empty())
        return map;
    map.lowest = std::min(1.0, *std::min_element(windows.values.begin(), windows.values.end()));
    std::vector<QRgb> colours(windows.values.size());
    for (std::size_t i = 0; i < colours.size(); ++i)
        colours[i] = HeatColour(map.lowest < 1 ? (1 - windows.values[i]) / (1 - map.lowest) : 0).rgb();
    // Window k's centre is at 4k + 4: it colours samples 4k + 2 to 4k + 5.
    const auto window = [](int sample, int count) { return std::clamp((sample - 2) / 4, 0, count - 1); };
    map.image = QImage(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const QRgb* const source = colours.data() + std::size_t(window(y, windows.rows)) * std::size_t(windows.columns);
        auto* const row = reinterpret_cast<QRgb*>(map.image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = source[window(x, windows.columns)];
    }
    return map;
}

QColor HeatColour(double fraction)
{
    // Three equal steps: black to red, red to yellow, yellow to white; the
    // eye reads brightness as size, and the hues tell the steps apart.
    const double t = std::clamp(fraction, 0.0, 1.0) * 3;
    const auto level = [](double x) { return int(std::clamp(x, 0.0, 1.0) * 255 + 0.5); };
    return QColor(level(t), level(t - 1), level(t - 2));
}

QImage GreyImage(const PlaneSamples& plane)
{
    QImage image(plane.width, plane.height, QImage::Format_Grayscale8);
    if (plane.bits > 8)
        FillGrey<true>(plane, image);
    else
        FillGrey<false>(plane, image);
    return image;
}

ErrorMap PaintErrorMap(const PlaneSamples& reference, const PlaneSamples& processed)
{
    ErrorMap map;
    if (reference.bits > 8)
        FillErrorMap<true>(reference, processed, map);
    else
        FillErrorMap<false>(reference, processed, map);
    return map;
}

}  // namespace lorvane
