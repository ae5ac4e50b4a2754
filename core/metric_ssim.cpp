// SSIM as x264, x265 and ffmpeg's ssim filter define it: per plane, sums over
// 4x4 blocks; each window is 2x2 neighbouring blocks (8x8 samples) at a step
// of 4, only windows wholly inside the plane; the plane's SSIM is the mean of
// its windows'. Sums are exact integers; each window's value is computed in
// double precision from them.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "metric.h"
#include "statistics.h"

namespace lorvane {
namespace {

struct BlockSums {
    std::int64_t s1 = 0, s2 = 0, ss = 0, s12 = 0;
};

std::uint32_t Sample(const std::uint8_t* row, std::int32_t x, int bytesPerSample)
{
    if (bytesPerSample == 1)
        return row[x];
    std::uint16_t value;
    std::memcpy(&value, row + 2 * std::size_t(x), 2);
    return value;
}

// The sums of the 4x4 blocks of block row `by`.
void BlockRow(const Picture::Plane& a, const Picture::Plane& b, std::int32_t by, std::vector<BlockSums>& out)
{
    for (BlockSums& sums : out)
        sums = {};
    for (std::int32_t y = 4 * by; y < 4 * by + 4; ++y) {
        const std::uint8_t* ra = a.data + std::ptrdiff_t(y) * a.stride;
        const std::uint8_t* rb = b.data + std::ptrdiff_t(y) * b.stride;
        for (std::size_t bx = 0; bx < out.size(); ++bx) {
            BlockSums& sums = out[bx];
            for (std::int32_t x = 4 * std::int32_t(bx); x < 4 * std::int32_t(bx) + 4; ++x) {
                const std::int64_t u = Sample(ra, x, a.bytesPerSample), v = Sample(rb, x, b.bytesPerSample);
                sums.s1 += u;
                sums.s2 += v;
                sums.ss += u * u + v * v;
                sums.s12 += u * v;
            }
        }
    }
}

class SsimRun : public MetricRun {
public:
    explicit SsimRun(const MetricSetup& setup)
        // The constants of the 8x8 window's sums, rounded to whole numbers as
        // the encoders' and ffmpeg's code rounds them.
        : c1_(std::floor(0.01 * 0.01 * setup.peak * setup.peak * 64 + 0.5)),
          c2_(std::floor(0.03 * 0.03 * setup.peak * setup.peak * 64 * 63 + 0.5))
    {
    }

    void Measure(const Picture& reference, const Picture& target, FrameResult& into) override
    {
        double weighted = 0, samples = 0;
        double planes[3];
        for (int p = 0; p < 3; ++p) {
            planes[p] = PlaneSsim(reference.planes[p], target.planes[p]);
            if (!std::isnan(planes[p])) {
                const double n = double(reference.planes[p].width) * double(reference.planes[p].height);
                weighted += planes[p] * n;
                samples += n;
            }
        }
        into.scores.insert(into.scores.end(), std::begin(planes), std::end(planes));
        // A plane with no whole window is left out; with none at all, no value.
        into.scores.push_back(samples > 0 ? weighted / samples : std::numeric_limits<double>::quiet_NaN());
    }

private:
    double Window(const BlockSums& s) const
    {
        const double s1 = double(s.s1), s2 = double(s.s2);
        const double vars = double(s.ss * 64 - s.s1 * s.s1 - s.s2 * s.s2);
        const double covar = double(s.s12 * 64 - s.s1 * s.s2);
        return (2 * s1 * s2 + c1_) * (2 * covar + c2_) / ((s1 * s1 + s2 * s2 + c1_) * (vars + c2_));
    }

    double PlaneSsim(const Picture::Plane& a, const Picture::Plane& b)
    {
        const std::int32_t blocksWide = a.width / 4, blocksHigh = a.height / 4;
        if (blocksWide < 2 || blocksHigh < 2)
            return std::numeric_limits<double>::quiet_NaN();
        rows_[0].resize(std::size_t(blocksWide));
        rows_[1].resize(std::size_t(blocksWide));
        BlockRow(a, b, 0, rows_[0]);
        double total = 0;
        for (std::int32_t by = 1; by < blocksHigh; ++by) {
            const std::vector<BlockSums>& top = rows_[(by - 1) & 1];
            std::vector<BlockSums>& bottom = rows_[by & 1];
            BlockRow(a, b, by, bottom);
            for (std::size_t bx = 0; bx + 1 < bottom.size(); ++bx) {
                BlockSums w;
                for (const BlockSums* s : std::initializer_list<const BlockSums*>{&top[bx], &top[bx + 1], &bottom[bx], &bottom[bx + 1]}) {
                    w.s1 += s->s1;
                    w.s2 += s->s2;
                    w.ss += s->ss;
                    w.s12 += s->s12;
                }
                total += Window(w);
            }
        }
        return total / (double(blocksWide - 1) * double(blocksHigh - 1));
    }

    double c1_, c2_;
    std::vector<BlockSums> rows_[2];
};

std::unique_ptr<MetricRun> StartSsim(const MetricSetup& setup) { return std::make_unique<SsimRun>(setup); }

constexpr std::string_view kScores[] = {"ssim_y", "ssim_cb", "ssim_cr", "ssim"};

}  // namespace

extern constinit const Metric kSsimMetric = {"ssim", kScores, StartSsim};

}  // namespace lorvane
