// Pictures of one plane for the frame viewer: the samples as grey, the
// absolute difference of two planes on a heat scale, and their SSIM window by
// window on the same scale. Pure functions of the samples, so that what the
// viewer shows can be checked pixel by pixel.
#pragma once

#include <QColor>
#include <QImage>

#include <cstdint>
#include <vector>

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

// The SSIM of each 8x8 window at a step of 4 samples, only windows wholly
// inside the plane, as x264 and ffmpeg's ssim filter define it: the plane's
// SSIM is their mean. Window (column, row) covers samples 4 * column to
// 4 * column + 7 across and the same down. `peak` is the run's.
struct SsimWindows {
    int columns = 0, rows = 0;   // (width / 4 - 1) x (height / 4 - 1); 0 x 0: no whole window
    std::vector<double> values;  // row after row
};
SsimWindows SsimOfWindows(const PlaneSamples& reference, const PlaneSamples& processed, double peak);

// The windows on the error map's scale at the plane's size: black for 1 (no
// loss) through red and yellow to white for the lowest window. Each window
// colours the 4x4 samples at its centre; the samples around them take the
// nearest window's colour. A null image when the plane has no whole window.
struct SsimMap {
    QImage image;
    double lowest = 1;  // the legend runs from 1 down to this
};
SsimMap PaintSsimMap(const SsimWindows& windows, int width, int height);

// The colour of a difference at `fraction` (0..1) of the legend's range.
QColor HeatColour(double fraction);

}  // namespace lorvane
