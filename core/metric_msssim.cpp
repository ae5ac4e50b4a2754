// MS-SSIM as Wang, Simoncelli and Bovik define it (2003), per plane: an 11x11
// Gaussian window (sigma 1.5, normalised), only windows wholly inside the
// plane; five scales, each the 2x2 means of the one before; at scales 1-4 the
// mean over windows of the contrast-structure term cs, at scale 5 the mean of
// l * cs, as the authors' reference code computes it; each mean, clamped to 0
// from below, raised to its scale's weight, and the five multiplied.
//
// All in double precision: sigma^2 = E[x^2] - mu^2 loses to cancellation
// what floats cannot spare in flat bright areas, where every window would
// carry the same error. The filter is separable and symmetric; a frame is cut
// into tiles of fixed size, whatever the number of threads, and the tiles'
// sums are added in tile order, so that no result depends on that number.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "metric.h"
#include "msssim_kernels.h"
#include "parallel.h"
#include "statistics.h"

namespace lorvane {
namespace {

constexpr int kScales = 5;
constexpr double kWeights[kScales] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
// Five scales leave a plane 1/16 as wide and high; it must still hold a window.
constexpr std::int32_t kSmallestSide = 11 << (kScales - 1);

// The tiles a scale is cut into: 11 rows of four filtered moments at the tile's
// width stay in the core's own cache; taller tiles filter fewer rows twice.
constexpr std::int32_t kTileColumns = 256;
constexpr std::int32_t kTileRows = 128;

MsSsimTaps GaussianTaps()
{
    MsSsimTaps taps;
    double total = 0;
    for (int k = 0; k < 6; ++k) {
        taps.g[k] = std::exp(-double(k * k) / (2 * 1.5 * 1.5));
        total += k == 0 ? taps.g[k] : 2 * taps.g[k];
    }
    for (double& g : taps.g)
        g /= total;
    return taps;
}

MsSsimKernels KernelsFor(CpuLevel level)
{
#if defined(LORVANE_X86_SIMD)
    if (level >= CpuLevel::Avx2)
        return MsSsimKernelsAvx2();
#else
    (void)level;
#endif
    return {&Tile, &Decimate};
}

// One unit of a frame's work: a tile of windows at one scale, or a plane's
// later scales.
struct Part {
    int plane, scale;
    bool decimate;
    std::int32_t x0, x1, y0, y1;
    MsSsimSums sums;
};

class MsSsimRun : public MetricRun {
public:
    explicit MsSsimRun(const MetricSetup& setup)
        : c1_((0.01 * setup.peak) * (0.01 * setup.peak)),
          c2_((0.03 * setup.peak) * (0.03 * setup.peak)),
          threads_(std::max(1, setup.threads)),
          kernels_(KernelsFor(setup.cpu)),
          taps_(GaussianTaps())
    {
    }

    void Measure(const Picture& reference, const Picture& target, FrameResult& into) override
    {
        double product[3];
        for (int p = 0; p < 3; ++p) {
            const Picture::Plane &a = reference.planes[p], &b = target.planes[p];
            measured_[p] = a.width >= kSmallestSide && a.height >= kSmallestSide;
            scales_[p][0] = {a.data, b.data, a.stride, b.stride, a.bytesPerSample, a.width, a.height};
            product[p] = measured_[p] ? 1.0 : std::numeric_limits<double>::quiet_NaN();
            for (int s = 1; measured_[p] && s < kScales; ++s) {
                const std::int32_t w = scales_[p][s - 1].width / 2, h = scales_[p][s - 1].height / 2;
                for (std::vector<double>& plane : pyramid_[p][s - 1])
                    plane.resize(std::size_t(w) * std::size_t(h));
                scales_[p][s] = {reinterpret_cast<const std::uint8_t*>(pyramid_[p][s - 1][0].data()),
                                 reinterpret_cast<const std::uint8_t*>(pyramid_[p][s - 1][1].data()),
                                 std::ptrdiff_t(w) * 8, std::ptrdiff_t(w) * 8, 8, w, h};
            }
        }
        // Two rounds, so that the threads meet twice a frame, not once a
        // scale: the first scale's tiles while each plane's later scales are
        // made (those parts first, as the second round waits for them), then
        // the later scales' tiles.
        parts_.clear();
        for (int p = 0; p < 3; ++p)
            if (measured_[p])
                parts_.push_back({p, 1, true, 0, 0, 0, 0, {}});
        AddTiles(0, 1);
        RunRound();
        const std::size_t firstRound = parts_.size();
        AddTiles(1, kScales);
        RunRound(firstRound);
        double total[3][kScales] = {};
        for (const Part& part : parts_)
            if (!part.decimate)
                total[part.plane][part.scale] += part.scale == kScales - 1 ? part.sums.lcs : part.sums.cs;
        for (int p = 0; p < 3; ++p)
            for (int s = 0; measured_[p] && s < kScales; ++s) {
                const double windows = double(scales_[p][s].width - 10) * double(scales_[p][s].height - 10);
                product[p] *= std::pow(std::max(total[p][s] / windows, 0.0), kWeights[s]);
            }
        into.scores.insert(into.scores.end(), std::begin(product), std::end(product));
    }

private:
    void AddTiles(int fromScale, int toScale)
    {
        for (int s = fromScale; s < toScale; ++s)
            for (int p = 0; p < 3; ++p) {
                if (!measured_[p])
                    continue;
                const std::int32_t w = scales_[p][s].width - 10, h = scales_[p][s].height - 10;
                for (std::int32_t y = 0; y < h; y += kTileRows)
                    for (std::int32_t x = 0; x < w; x += kTileColumns)
                        parts_.push_back({p, s, false, x, std::min(x + kTileColumns, w), y, std::min(y + kTileRows, h), {}});
            }
    }

    void RunRound(std::size_t from = 0)
    {
        RunParts(int(parts_.size() - from), threads_, [this, from](int i) {
            Part& part = parts_[from + std::size_t(i)];
            const MsSsimScale* scales = scales_[part.plane];
            if (part.decimate) {
                std::vector<double>(&pyramid)[kScales - 1][2] = pyramid_[part.plane];
                for (int s = 1; s < kScales; ++s)
                    kernels_.decimate(scales[s - 1], pyramid[s - 1][0].data(), pyramid[s - 1][1].data(), 0,
                                      scales[s].height);
                return;
            }
            std::unique_ptr<double[]> scratch = TakeScratch();
            part.sums = kernels_.tile(scales[part.scale], part.x0, part.x1, part.y0, part.y1, taps_, c1_, c2_,
                                      part.scale == kScales - 1, scratch.get());
            GiveScratch(std::move(scratch));
        });
    }

    // Scratch for one tile, reused from frame to frame by whichever thread
    // takes it.
    std::unique_ptr<double[]> TakeScratch()
    {
        {
            const std::lock_guard<std::mutex> hold(scratchLock_);
            if (!scratch_.empty()) {
                std::unique_ptr<double[]> taken = std::move(scratch_.back());
                scratch_.pop_back();
                return taken;
            }
        }
        return std::make_unique<double[]>(std::size_t(kMsSsimScratchRows) * (kTileColumns + 10));
    }

    void GiveScratch(std::unique_ptr<double[]> given)
    {
        const std::lock_guard<std::mutex> hold(scratchLock_);
        scratch_.push_back(std::move(given));
    }

    double c1_, c2_;
    int threads_;
    MsSsimKernels kernels_;
    MsSsimTaps taps_;
    bool measured_[3] = {};
    MsSsimScale scales_[3][kScales];
    std::vector<double> pyramid_[3][kScales - 1][2];  // each plane's later scales: reference, target
    std::vector<Part> parts_;
    std::mutex scratchLock_;
    std::vector<std::unique_ptr<double[]>> scratch_;
};

std::unique_ptr<MetricRun> StartMsSsim(const MetricSetup& setup) { return std::make_unique<MsSsimRun>(setup); }

constexpr std::string_view kScores[] = {"ms_ssim_y", "ms_ssim_cb", "ms_ssim_cr"};

}  // namespace

extern constinit const Metric kMsSsimMetric = {"ms-ssim", kScores, StartMsSsim, kSmallestSide};

}  // namespace lorvane
