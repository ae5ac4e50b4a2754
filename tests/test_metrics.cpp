// Metrics against straightforward computations of their definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/metric.h"

namespace {

// MS-SSIM of one plane pair as Wang, Simoncelli and Bovik define it, window by
// window: each window's 121 weighted samples summed outright, its variances
// taken about its mean. Not-a-number when a scale has no whole window.
double DefinitionMsSsim(std::vector<double> a, std::vector<double> b, int width, int height, double peak)
{
    double window[11][11], total = 0;
    for (int i = 0; i < 11; ++i)
        for (int j = 0; j < 11; ++j)
            total += window[i][j] = std::exp(-((i - 5) * (i - 5) + (j - 5) * (j - 5)) / (2 * 1.5 * 1.5));
    for (auto& row : window)
        for (double& w : row)
            w /= total;
    const double c1 = (0.01 * peak) * (0.01 * peak), c2 = (0.03 * peak) * (0.03 * peak);
    const double weights[] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
    double result = 1;
    for (int scale = 0; scale < 5; ++scale) {
        if (width < 11 || height < 11)
            return std::numeric_limits<double>::quiet_NaN();
        double sum = 0;
        for (int y = 0; y + 11 <= height; ++y)
            for (int x = 0; x + 11 <= width; ++x) {
                double ma = 0, mb = 0, va = 0, vb = 0, cov = 0;
                for (int i = 0; i < 11; ++i)
                    for (int j = 0; j < 11; ++j) {
                        ma += window[i][j] * a[(y + i) * width + x + j];
                        mb += window[i][j] * b[(y + i) * width + x + j];
                    }
                for (int i = 0; i < 11; ++i)
                    for (int j = 0; j < 11; ++j) {
                        const double da = a[(y + i) * width + x + j] - ma, db = b[(y + i) * width + x + j] - mb;
                        va += window[i][j] * da * da;
                        vb += window[i][j] * db * db;
                        cov += window[i][j] * da * db;
                    }
                const double cs = (2 * cov + c2) / (va + vb + c2);
                sum += scale == 4 ? cs * (2 * ma * mb + c1) / (ma * ma + mb * mb + c1) : cs;
            }
        result *= std::pow(std::max(0.0, sum / ((width - 10) * (height - 10))), weights[scale]);
        std::vector<double> halfA, halfB;
        for (int y = 0; y + 1 < height; y += 2)
            for (int x = 0; x + 1 < width; x += 2) {
                halfA.push_back((a[y * width + x] + a[y * width + x + 1] + a[(y + 1) * width + x] + a[(y + 1) * width + x + 1]) / 4);
                halfB.push_back((b[y * width + x] + b[y * width + x + 1] + b[(y + 1) * width + x] + b[(y + 1) * width + x + 1]) / 4);
            }
        a = halfA, b = halfB, width /= 2, height /= 2;
    }
    return result;
}

// A picture whose planes hold given samples, each row followed by a few
// unused bytes as in a decoder's buffers.
struct TestPicture {
    std::vector<std::uint8_t> storage[3];
    lorvane::Picture picture;

    TestPicture(int bytes, const std::vector<double> (&samples)[3], const int (&widths)[3], const int (&heights)[3])
    {
        // 8-bit planes start at an odd address: nothing may assume alignment.
        const std::size_t start = bytes == 1 ? 1 : 0;
        for (int p = 0; p < 3; ++p) {
            const std::ptrdiff_t stride = std::ptrdiff_t(widths[p]) * bytes + 6;
            storage[p].assign(start + std::size_t(stride * heights[p]), 0xA5);
            for (int y = 0; y < heights[p]; ++y)
                for (int x = 0; x < widths[p]; ++x) {
                    const auto value = std::uint16_t(samples[p][std::size_t(y * widths[p] + x)]);
                    std::uint8_t* at = &storage[p][start + std::size_t(y * stride + x * bytes)];
                    if (bytes == 1)
                        *at = std::uint8_t(value);
                    else
                        std::memcpy(at, &value, 2);
                }
            picture.planes[p] = {storage[p].data() + start, widths[p], heights[p], stride, bytes};
        }
    }
};

std::vector<double> MsSsimScores(const TestPicture& a, const TestPicture& b, double peak, int threads,
                                 lorvane::CpuLevel cpu = lorvane::ActiveCpuLevel())
{
    lorvane::MetricSetup setup;
    setup.peak = peak;
    setup.cpu = cpu;
    setup.threads = threads;
    const auto run = lorvane::FindMetric("ms-ssim")->start(setup);
    lorvane::FrameResult frame;
    run->Measure(a.picture, b.picture, frame);
    return frame.scores;
}

}  // namespace

// Every plane against the definition, computed independently in double
// precision: random and extreme planes, 8 and 16 bits, odd sizes (the odd last
// row and column dropped between scales), chroma too small for five scales.
TEST(MsSsim, AgreesWithItsDefinition)
{
    EXPECT_EQ(lorvane::FindMetric("ms-ssim")->smallestSide, 176);
    std::mt19937 random(17);
    const auto uniform = [&](int top) { return double(std::uniform_int_distribution<int>(0, top)(random)); };
    using Pixel = std::function<double(int x, int y, double reference)>;
    struct Case {
        const char* what;
        int bytes, width, height, chromaWidth, chromaHeight;
        double peak;
        Pixel reference, target;
    };
    const Case cases[] = {
        {"8-bit noise over a ramp", 1, 176, 176, 0, 0, 255, [&](int x, int y, double) { return (x + 2 * y) % 200 + uniform(55); },
         [&](int, int, double r) { return std::clamp(r + uniform(20) - 10, 0.0, 255.0); }},
        {"8-bit 4:2:0, odd, chroma measured", 1, 353, 361, 177, 181, 255, [&](int, int, double) { return uniform(255); },
         [&](int x, int, double r) { return x % 3 ? r : 255 - r; }},
        {"CIF 4:2:0: chroma too small", 1, 352, 288, 176, 144, 255, [&](int x, int y, double) { return double((x ^ y) & 255); },
         [&](int, int, double r) { return std::max(r - 3, 0.0); }},
        {"10-bit, odd", 2, 181, 179, 0, 0, 1023, [&](int, int, double) { return uniform(1023); },
         [&](int, int, double r) { return std::clamp(r + uniform(100) - 50, 0.0, 1023.0); }},
        {"16-bit extremes", 2, 190, 177, 0, 0, 65535, [&](int x, int, double) { return x < 95 ? 0.0 : 65535.0; },
         [&](int x, int y, double r) { return x == 95 && y % 2 ? 65535.0 - r : r; }},
        {"flat black against flat white", 1, 176, 176, 0, 0, 255, [](int, int, double) { return 0.0; },
         [](int, int, double) { return 255.0; }},
        {"flat bright areas: the same error in every window", 1, 200, 180, 0, 0, 255,
         [](int x, int, double) { return x < 100 ? 0.0 : 255.0; }, [](int, int, double r) { return r == 0 ? 1.0 : 254.0; }},
        // Negative means of cs at every scale: clamped to 0 before the power.
        {"checkerboard against its inverse", 1, 176, 176, 0, 0, 255, [](int x, int y, double) { return (x + y) % 2 * 255.0; },
         [](int, int, double r) { return 255 - r; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int widths[3] = {c.width, c.chromaWidth, c.chromaWidth}, heights[3] = {c.height, c.chromaHeight, c.chromaHeight};
        std::vector<double> reference[3], target[3];
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < heights[p]; ++y)
                for (int x = 0; x < widths[p]; ++x) {
                    reference[p].push_back(c.reference(x, y, 0));
                    target[p].push_back(c.target(x, y, reference[p].back()));
                }
        const TestPicture a(c.bytes, reference, widths, heights), b(c.bytes, target, widths, heights);
        const std::vector<double> scores = MsSsimScores(a, b, c.peak, 1);
        ASSERT_EQ(scores.size(), 3u);
        for (int p = 0; p < 3; ++p) {
            const double expected = DefinitionMsSsim(reference[p], target[p], widths[p], heights[p], c.peak);
            if (std::isnan(expected))
                EXPECT_TRUE(std::isnan(scores[std::size_t(p)])) << "plane " << p << ": " << scores[std::size_t(p)];
            else
                EXPECT_NEAR(scores[std::size_t(p)], expected, 1e-9) << "plane " << p;
        }
        // A plane against itself: exactly 1.
        EXPECT_EQ(MsSsimScores(a, a, c.peak, 1)[0], 1.0);
    }
}

// Tiles are cut the same way whatever the number of threads, and every
// instruction-set level runs the same operations: the same bits each way.
TEST(MsSsim, SameBitsForAnyThreadCountAndLevel)
{
    std::mt19937 random(5);
    const int widths[3] = {700, 350, 350}, heights[3] = {600, 300, 300};
    std::vector<double> reference[3], target[3];
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < widths[p] * heights[p]; ++i) {
            reference[p].push_back(double(random() % 1024));
            target[p].push_back(std::clamp(reference[p].back() + double(random() % 61) - 30, 0.0, 1023.0));
        }
    const TestPicture a(2, reference, widths, heights), b(2, target, widths, heights);
    const std::vector<double> one = MsSsimScores(a, b, 1023, 1, lorvane::CpuLevel::C);
    ASSERT_EQ(one.size(), 3u);
    for (const lorvane::CpuLevel level : {lorvane::CpuLevel::C, lorvane::CpuLevel::Sse2, lorvane::CpuLevel::Avx2,
                                          lorvane::CpuLevel::Avx512})
        for (const int threads : {1, 2, 3}) {
            if (level > lorvane::DetectedCpuLevel())
                continue;
            const std::vector<double> other = MsSsimScores(a, b, 1023, threads, level);
            EXPECT_EQ(std::memcmp(other.data(), one.data(), sizeof(double) * 3), 0)
                << lorvane::CpuLevelName(level) << ", " << threads << " threads: " << other[0] << " " << other[1];
        }
}
