#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

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

double SimilarityDecibels(double score)
{
    if (score == 1.0)
        return 100.0;
    return -10.0 * std::log10(1.0 - score);
}

std::string ScoreLabel(const std::string& name)
{
    std::string label;
    for (char c : name)
        label += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c == '-' ? '_' : c);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"_CB", "_U"}, {"_CR", "_V"}})
        if (label.size() >= from.size() && label.compare(label.size() - from.size(), from.size(), from) == 0)
            label.replace(label.size() - from.size(), from.size(), to);
    return label;
}

namespace {

double ScoreOf(const FrameResult& f, std::size_t k)
{
    return k < f.scores.size() ? f.scores[k] : std::nan("");
}

ScoreStatistics SummariseScore(const std::vector<FrameResult>& frames, std::size_t k)
{
    ScoreStatistics s;
    double sum = 0.0;
    for (const FrameResult& f : frames) {
        const double value = ScoreOf(f, k);
        sum += value;
        if (std::isnan(value))
            continue;
        if (s.minFrame < 0 || value < s.min)
            s.min = value, s.minFrame = f.frame;
        if (s.maxFrame < 0 || value > s.max)
            s.max = value, s.maxFrame = f.frame;
    }
    s.mean = ReportAverage(sum, std::int32_t(frames.size()));
    if (s.minFrame < 0)
        s.min = s.max = std::nan("");
    return s;
}

}  // namespace

SequenceStatistics ComputeStatistics(const std::vector<FrameResult>& frames,
                                     const RunDescription& description, std::size_t worstCount,
                                     const std::string& worstBy)
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

    for (std::size_t k = 0; k < description.scores.size(); ++k)
        stats.scores.push_back(SummariseScore(frames, k));

    // Ranked by a badness: the luma MSE, or the score negated.
    stats.worstBy = worstBy;
    std::size_t score = SIZE_MAX;
    if (!worstBy.empty())
        score = std::size_t(std::find(description.scores.begin(), description.scores.end(), worstBy) -
                            description.scores.begin());
    const auto badness = [score](const FrameResult& f) { return score == SIZE_MAX ? f.mse[0] : -ScoreOf(f, score); };
    std::vector<FrameResult> worst(std::min(worstCount, frames.size()));
    // The worst first, not-a-number last, earlier frames first among equals.
    const auto worse = [&badness](const FrameResult& a, const FrameResult& b) {
        const double x = badness(a), y = badness(b);
        const bool an = std::isnan(x), bn = std::isnan(y);
        if (an != bn)
            return bn;
        if (!an && x != y)
            return x > y;
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
