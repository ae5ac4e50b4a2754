#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "psnr.h"

namespace lorvane {

double PsnrOfMse(double mse, double peak)
{
    if (mse == 0.0)
        return 100.0;
    return 10.0 * std::log10(peak * peak / mse);
}

namespace {

// Mean, pooled, extremes of one series of per-frame values; `mse` gives the
// frame's MSE for the pooled value.
template <typename Psnr, typename Mse>
PlaneStatistics Summarise(const std::vector<FrameResult>& frames, double peak, Psnr psnr, Mse mse)
{
    PlaneStatistics s;
    double sum = 0.0, mseSum = 0.0, worstError = 0.0, bestError = 0.0;
    for (const FrameResult& f : frames) {
        const double value = psnr(f), error = mse(f);
        sum += value;
        mseSum += error;
        // Extremes by the error, not by the printed value: an identical
        // frame (100 by convention) is better than any frame with an error,
        // even one whose PSNR is above 100.
        if (std::isnan(value) || std::isnan(error))
            continue;
        if (s.minFrame < 0 || error > worstError)
            s.min = value, s.minFrame = f.frame, worstError = error;
        if (s.maxFrame < 0 || error < bestError)
            s.max = value, s.maxFrame = f.frame, bestError = error;
    }
    const std::int32_t n = std::int32_t(frames.size());
    s.mean = ReportAverage(sum, n);
    s.pooled = PsnrOfMse(mseSum / double(n), peak);
    if (s.minFrame < 0)
        s.min = s.max = std::nan("");
    return s;
}

}  // namespace

SequenceStatistics ComputeStatistics(const std::vector<FrameResult>& frames,
                                     const RunDescription& description, std::size_t worstCount)
{
    SequenceStatistics stats;
    stats.frames = std::int32_t(frames.size());
    for (int p = 0; p < 3; ++p)
        stats.planes[p] = Summarise(
            frames, description.peak, [p](const FrameResult& f) { return f.psnr[p]; },
            [p](const FrameResult& f) { return f.mse[p]; });
    // The combined MSE of a frame: every plane's squared differences over all
    // their samples.
    double samples = 0;
    for (std::uint64_t n : description.planeSamples)
        samples += double(n);
    stats.yuv = Summarise(
        frames, description.peak, [](const FrameResult& f) { return f.psnrYuv; },
        [&](const FrameResult& f) {
            double total = 0;
            for (int p = 0; p < 3; ++p)
                if (description.planeSamples[p] > 0)
                    total += f.mse[p] * double(description.planeSamples[p]);
            return total / samples;
        });
    stats.weighted611 = (6.0 * stats.planes[0].mean + stats.planes[1].mean + stats.planes[2].mean) / 8.0;

    std::vector<FrameResult> worst(std::min(worstCount, frames.size()));
    // Largest luma error first, not-a-number last, earlier frames first among equals.
    const auto worse = [](const FrameResult& a, const FrameResult& b) {
        const bool an = std::isnan(a.mse[0]), bn = std::isnan(b.mse[0]);
        if (an != bn)
            return bn;
        if (!an && a.mse[0] != b.mse[0])
            return a.mse[0] > b.mse[0];
        return a.frame < b.frame;
    };
    std::partial_sort_copy(frames.begin(), frames.end(), worst.begin(), worst.end(), worse);
    stats.worst = std::move(worst);
    return stats;
}

std::string FrameRateText(std::int64_t num, std::int64_t den)
{
    if (num % den == 0)
        return std::to_string(num / den);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(num) / double(den));
    std::string rate = text;
    while (rate.back() == '0')
        rate.pop_back();
    return rate;
}

}  // namespace lorvane
