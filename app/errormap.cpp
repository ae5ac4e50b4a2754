#include "errormap.h"

#include <algorithm>
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

}  // namespace

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
