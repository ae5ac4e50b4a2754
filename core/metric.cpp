// The table of metrics, and the views of a frame they measure.
#include "metric.h"

namespace lorvane {

// Each defined in its own file.
extern const Metric kPsnrMetric;
extern const Metric kSsimMetric;
extern const Metric kMsSsimMetric;

namespace {

const Metric* const kMetrics[] = {&kPsnrMetric, &kSsimMetric, &kMsSsimMetric};

}  // namespace

std::span<const Metric* const> Metrics() { return kMetrics; }

const Metric* FindMetric(std::string_view name)
{
    for (const Metric* metric : kMetrics)
        if (metric->name == name)
            return metric;
    return nullptr;
}

Picture FramePicture(const PictureLayout& layout, const std::uint8_t* frame, const std::uint8_t* unpacked)
{
    Picture picture;
    for (int p = 0; p < 3; ++p) {
        const PictureLayout::Plane& plane = layout.planes[p];
        picture.planes[p] = {PlaneData(layout, p, frame, unpacked), plane.width, plane.height,
                             std::ptrdiff_t(plane.width) * layout.bytesPerSample, layout.bytesPerSample};
    }
    return picture;
}

Picture DecodedPicture(const PictureLayout& layout, const PictureView& view)
{
    Picture picture;
    for (int p = 0; p < 3; ++p) {
        const PictureLayout::Plane& plane = layout.planes[p];
        picture.planes[p] = {view.planes[p], plane.width, plane.height, view.strides[p], layout.bytesPerSample};
    }
    return picture;
}

}  // namespace lorvane
