// PSNR per plane and of the three planes together, from the sums of squared
// differences the SIMD kernels give.
#include <cstdint>
#include <memory>
#include <string_view>

#include "metric.h"
#include "ssd.h"
#include "statistics.h"

namespace lorvane {
namespace {

// The squared differences of `samples` samples back to back.
std::uint64_t RunSsd(const std::uint8_t* reference, const std::uint8_t* target, std::uint64_t samples,
                     int bytesPerSample)
{
    if (samples == 0)
        return 0;
    if (bytesPerSample == 1)
        return Ssd(reference, target, std::size_t(samples));
    return Ssd16(reinterpret_cast<const std::uint16_t*>(reference), reinterpret_cast<const std::uint16_t*>(target),
                 std::size_t(samples));
}

// The squared differences of one plane, in one call when neither side has
// gaps between its rows. Integer sums: row by row gives the same total.
std::uint64_t PlaneSsd(const Picture::Plane& reference, const Picture::Plane& target)
{
    const std::ptrdiff_t row = std::ptrdiff_t(reference.width) * reference.bytesPerSample;
    const std::uint64_t samples = std::uint64_t(reference.width) * std::uint64_t(reference.height);
    if (reference.stride == row && target.stride == row)
        return RunSsd(reference.data, target.data, samples, reference.bytesPerSample);
    std::uint64_t ssd = 0;
    const std::uint8_t *r = reference.data, *t = target.data;
    for (std::int32_t y = 0; y < reference.height; ++y, r += reference.stride, t += target.stride)
        ssd += RunSsd(r, t, std::uint64_t(reference.width), reference.bytesPerSample);
    return ssd;
}

class PsnrRun : public MetricRun {
public:
    explicit PsnrRun(const MetricSetup& setup) : peak_(setup.peak)
    {
        for (const PictureLayout::Plane& plane : setup.layout.planes)
            totalSamples_ += plane.Samples();
    }

    void Measure(const Picture& reference, const Picture& target, FrameResult& into) override
    {
        std::uint64_t ssdTotal = 0;
        for (int p = 0; p < 3; ++p) {
            const Picture::Plane& plane = reference.planes[p];
            const std::uint64_t ssd = PlaneSsd(plane, target.planes[p]);
            ssdTotal += ssd;
            // An empty plane gives 0 / 0, not-a-number, which PsnrOfMse keeps.
            into.mse[p] = double(ssd) / double(std::uint64_t(plane.width) * std::uint64_t(plane.height));
            into.psnr[p] = PsnrOfMse(into.mse[p], peak_);
        }
        into.psnrYuv = PsnrOfMse(double(ssdTotal) / double(totalSamples_), peak_);
    }

private:
    double peak_;
    std::uint64_t totalSamples_ = 0;
};

std::unique_ptr<MetricRun> StartPsnr(const MetricSetup& setup) { return std::make_unique<PsnrRun>(setup); }

constexpr std::string_view kScores[] = {"psnr_y", "psnr_cb", "psnr_cr", "mse_y", "mse_cb", "mse_cr", "psnr_yuv"};

}  // namespace

extern constinit const Metric kPsnrMetric = {"psnr", kScores, StartPsnr};

}  // namespace lorvane
