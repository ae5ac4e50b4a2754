// SSIM as x264, x265 and ffmpeg's ssim filter define it: per plane, sums over
// 4x4 blocks; each window is 2x2 neighbouring blocks (8x8 samples) at a step
// of 4, only windows wholly inside the plane; the plane's SSIM is the mean of
// its windows'. Sums are exact integers; each window's value is computed in
// double precision from them (ssim_kernels.h).
//
// A plane's rows of windows are split into bands of a fixed height, measured
// on as many threads as the run may use; the bands' sums are added in band
// order, so a score is the same on any number of threads.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "metric.h"
#include "parallel.h"
#include "ssim_kernels.h"
#include "statistics.h"

namespace lorvane {
namespace {

// Rows of windows per band: enough that a band's extra block row (the one it
// shares with the band above) costs little, few enough that two to eight
// threads get even shares of a 1080p frame.
constexpr std::int32_t kBandRows = 32;

class SsimRun : public MetricRun {
public:
    explicit SsimRun(const MetricSetup& setup)
        // The constants of the 8x8 window's sums, rounded to whole numbers as
        // the encoders' and ffmpeg's code rounds them.
        : c1_(std::floor(0.01 * 0.01 * setup.peak * setup.peak * 64 + 0.5)),
          c2_(std::floor(0.03 * 0.03 * setup.peak * setup.peak * 64 * 63 + 0.5)),
          kernels_(SsimKernelsForLevel(setup.cpu) ? *SsimKernelsForLevel(setup.cpu) : kSsimKernelsC),
          threads_(setup.threads)
    {
    }

    void Measure(const Picture& reference, const Picture& target, FrameResult& into) override
    {
        bands_.clear();
        for (int p = 0; p < 3; ++p) {
            const std::int32_t windowRows = reference.planes[p].height / 4 - 1;
            if (reference.planes[p].width / 4 >= 2)
                for (std::int32_t row = 0; row < windowRows; row += kBandRows)
                    bands_.push_back({p, row, std::min(kBandRows, windowRows - row), 0.0});
        }
        if (scratch_.size() < bands_.size())
            scratch_.resize(bands_.size());
        RunParts(int(bands_.size()), threads_, [&](int part) {
            Band& band = bands_[std::size_t(part)];
            band.sum = BandSum(reference.planes[band.plane], target.planes[band.plane], band,
                               scratch_[std::size_t(part)]);
        });

        double planes[3], weighted = 0, samples = 0;
        for (int p = 0; p < 3; ++p) {
            const Picture::Plane& plane = reference.planes[p];
            const std::int32_t blocksWide = plane.width / 4, blocksHigh = plane.height / 4;
            if (blocksWide < 2 || blocksHigh < 2) {
                // A plane with no whole window is left out of the frame's value.
                planes[p] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            double total = 0;
            for (const Band& band : bands_)
                if (band.plane == p)
                    total += band.sum;
            planes[p] = total / (double(blocksWide - 1) * double(blocksHigh - 1));
            const double n = double(plane.width) * double(plane.height);
            weighted += planes[p] * n;
            samples += n;
        }
        into.scores.insert(into.scores.end(), std::begin(planes), std::end(planes));
        // With no whole window in any plane, no value.
        into.scores.push_back(samples > 0 ? weighted / samples : std::numeric_limits<double>::quiet_NaN());
    }

private:
    struct Band {
        int plane;
        std::int32_t firstRow, rows;  // of windows
        double sum;                   // of their values
    };

    // The sum of the window values of the rows of `band`, top to bottom.
    double BandSum(const Picture::Plane& a, const Picture::Plane& b, const Band& band,
                   std::vector<double>& scratch) const
    {
        const std::size_t blocksWide = std::size_t(a.width / 4);
        const SsimBlocksFunction blocks = a.bytesPerSample == 1 ? kernels_.blocks : kernels_.blocks16;
        scratch.resize(2 * kSsimSums * blocksWide);
        double* rows[2] = {scratch.data(), scratch.data() + kSsimSums * blocksWide};
        const auto blockRow = [&](std::int32_t by, double* sums) {
            const std::ptrdiff_t y = 4 * std::ptrdiff_t(by);
            blocks(a.data + y * a.stride, a.stride, b.data + y * b.stride, b.stride, blocksWide, sums);
        };
        blockRow(band.firstRow, rows[0]);
        double sum = 0;
        for (std::int32_t r = 0; r < band.rows; ++r) {
            blockRow(band.firstRow + r + 1, rows[(r + 1) & 1]);
            sum += kernels_.windows(rows[r & 1], rows[(r + 1) & 1], blocksWide, c1_, c2_);
        }
        return sum;
    }

    double c1_, c2_;
    SsimKernels kernels_;
    int threads_;
    std::vector<Band> bands_;
    std::vector<std::vector<double>> scratch_;  // two block rows per band
};

std::unique_ptr<MetricRun> StartSsim(const MetricSetup& setup) { return std::make_unique<SsimRun>(setup); }

constexpr std::string_view kScores[] = {"ssim_y", "ssim_cb", "ssim_cr", "ssim"};

}  // namespace

extern constinit const Metric kSsimMetric = {"ssim", kScores, StartSsim};

}  // namespace lorvane
