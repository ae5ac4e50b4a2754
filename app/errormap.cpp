#include "errormap.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace lorvane {
namespace {

int Sample(const PlaneSamples& plane, std::size_t i)
{
    if (plane.bits <= 8)
        return plane.data[i];
    return plane.data[2 * i] | (plane.data[2 * i + 1] << 8);
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
    const int shift = std::max(plane.bits - 8, 0);
    std::size_t i = 0;
    for (int y = 0; y < plane.height; ++y) {
        std::uint8_t* row = image.scanLine(y);
        for (int x = 0; x < plane.width; ++x, ++i)
            row[x] = std::uint8_t(std::min(Sample(plane, i) >> shift, 255));
    }
    return image;
}

ErrorMap PaintErrorMap(const PlaneSamples& reference, const PlaneSamples& processed)
{
    ErrorMap map;
    const std::size_t samples = std::size_t(reference.width) * std::size_t(reference.height);
    std::vector<int> differences(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        differences[i] = std::abs(Sample(reference, i) - Sample(processed, i));
        map.maxError = std::max(map.maxError, differences[i]);
    }
    // One colour for each difference that occurs, so that the scale is exact
    // at both ends and in between.
    std::vector<QRgb> palette(std::size_t(map.maxError) + 1);
    for (int d = 0; d <= map.maxError; ++d)
        palette[std::size_t(d)] = HeatColour(map.maxError > 0 ? double(d) / map.maxError : 0).rgb();
    map.image = QImage(reference.width, reference.height, QImage::Format_RGB32);
    std::size_t i = 0;
    for (int y = 0; y < reference.height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(map.image.scanLine(y));
        for (int x = 0; x < reference.width; ++x, ++i)
            row[x] = palette[std::size_t(differences[i])];
    }
    return map;
}

}  // namespace lorvane
