// The metrics a run can measure, one table row each. A row is a descriptor
// shared by every run (in any thread): what a metric needs for one run lives
// in what its `start` returns, which then measures that run's frame pairs.
// A new metric is a file of its own that defines its row, and that row added
// to the table in metric.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "decoded.h"
#include "format.h"
#include "ssd.h"
#include "statistics.h"

namespace lorvane {

// The three planes of one picture as a metric reads them, wherever they lie:
// back to back in a frame buffer, or in a decoder's buffers with gaps after
// each row. U and V are empty (width and height 0) for gray.
struct Picture {
    struct Plane {
        const std::uint8_t* data = nullptr;
        std::int32_t width = 0;   // samples
        std::int32_t height = 0;
        std::ptrdiff_t stride = 0;  // bytes from one row's start to the next one's
        int bytesPerSample = 1;     // 2: 16-bit words in native order
    };
    Plane planes[3];
};

// A frame laid out by `layout`, at `frame` with its unpacked planes (if any)
// in `unpacked`: rows back to back.
Picture FramePicture(const PictureLayout& layout, const std::uint8_t* frame, const std::uint8_t* unpacked);
// A frame of `layout` where the decoder holds it.
Picture DecodedPicture(const PictureLayout& layout, const PictureView& view);

// What a metric knows of a run before its first frame pair.
struct MetricSetup {
    const PixelFormat* format = nullptr;
    PictureLayout layout;
    double peak = 255.0;  // PeakValue of the run
    CpuLevel cpu = CpuLevel::C;  // the kernels' level in use
    int threads = 1;  // how many threads it may split a frame across (RunParts)
};

// A metric started for one run: measures its frame pairs, one after another
// (from one thread), into the fields of FrameResult that are the metric's:
// PSNR's own fields, or for any other metric its scores appended to
// FrameResult::scores in the order of its `scores` names.
class MetricRun {
public:
    virtual ~MetricRun() = default;
    virtual void Measure(const Picture& reference, const Picture& target, FrameResult& into) = 0;
};

struct Metric {
    std::string_view name;                      // "psnr"
    std::span<const std::string_view> scores;   // what it gives per frame, as the reports name them
    std::unique_ptr<MetricRun> (*start)(const MetricSetup& setup);
    // The least width and height of a plane it gives a value for (0: any); a
    // smaller plane's scores are not-a-number.
    std::int32_t smallestSide = 0;
};

// Every metric, in the table's order.
std::span<const Metric* const> Metrics();
// The metric of that name, or null.
const Metric* FindMetric(std::string_view name);

}  // namespace lorvane
