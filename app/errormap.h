// Pictures of one plane for the frame viewer: the samples as grey, and the
// absolute difference of two planes on a heat scale. Pure functions of the
// samples, so that what the viewer shows can be checked pixel by pixel.
#pragma once

#include <QColor>
#include <QImage>

#include <cstdint>

namespace lorvane {

// One plane of a frame buffer: width x height samples with no gap between
// rows, one byte each, or two little-endian bytes for more than 8 bits.
struct PlaneSamples {
    const std::uint8_t* data = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bits = 8;
    int BytesPerSample() const { return bits > 8 ? 2 : 1; }
};

// The plane in grey, scaled to 8 bits (value >> (bits - 8)).
QImage GreyImage(const PlaneSamples& plane);

// Black for no difference through red and yellow to white for `maxError`.
struct ErrorMap {
    QImage image;
    int maxError = 0;  // the legend runs from 0 to this, in the file's sample values
};
ErrorMap PaintErrorMap(const PlaneSamples& reference, const PlaneSamples& processed);

// The colour of a difference at `fraction` (0..1) of the legend's range.
QColor HeatColour(double fraction);

}  // namespace lorvane
