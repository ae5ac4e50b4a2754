// Rate and quality: the Bjøntegaard deltas against cases whose answer is known
// exactly and against a second implementation written here; RD files read
// back; and lorvane-cli's --rd, bd, --manifest and --shard end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <random>

#include "cli_harness.h"
#include "core/bd.h"

using lorvane::BdMethod;
using lorvane::RdPoint;

namespace {

// A plausible ladder: qualities 32..41 dB at rates about doubling.
std::vector<RdPoint> Ladder()
{
    return {{1000, 32.1}, {1850, 34.7}, {3600, 37.2}, {7100, 39.4}, {13500, 41.0}};
}

// ---- A second implementation: plain formulas, integrals by Simpson's rule ----

// Hermite interpolation with pchip's slopes, written from Fritsch and Carlson's
// description (harmonic mean of neighbouring secants, weighted by the intervals).
std::function<double(double)> Pchip(std::vector<double> x, std::vector<double> y)
{
    const std::size_t n = x.size();
    std::vector<double> m(n);
    const auto secant = [&](std::size_t k) { return (y[k + 1] - y[k]) / (x[k + 1] - x[k]); };
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double hl = x[k] - x[k - 1], hr = x[k + 1] - x[k], dl = secant(k - 1), dr = secant(k);
        m[k] = dl * dr <= 0 ? 0 : 3 * (hl + hr) / ((2 * hr + hl) / dl + (hr + 2 * hl) / dr);
    }
    const auto edge = [](double h0, double h1, double d0, double d1) {
        const double s = ((2 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
        if (s * d0 <= 0)
            return 0.0;
        return d0 * d1 < 0 && std::fabs(s) > 3 * std::fabs(d0) ? 3 * d0 : s;
    };
    m[0] = edge(x[1] - x[0], x[2] - x[1], secant(0), secant(1));
    m[n - 1] = edge(x[n - 1] - x[n - 2], x[n - 2] - x[n - 3], secant(n - 2), secant(n - 3));
    return [=](double v) {
        std::size_t k = 0;
        while (k + 2 < n && v > x[k + 1])
            ++k;
        const double h = x[k + 1] - x[k], t = (v - x[k]) / h;
        const double h00 = 2 * t * t * t - 3 * t * t + 1, h10 = t * t * t - 2 * t * t + t;
        const double h01 = -2 * t * t * t + 3 * t * t, h11 = t * t * t - t * t;
        return h00 * y[k] + h10 * h * m[k] + h01 * y[k + 1] + h11 * h * m[k + 1];
    };
}

// Least squares cubic in x less its mean (raw qualities near 40 lose digits
// even in long double), normal equations by Gauss–Jordan.
std::function<double(double)> Cubic(const std::vector<double>& x, const std::vector<double>& y)
{
    long double a[4][5] = {};
    long double mean = 0;
    for (const double v : x)
        mean += v / x.size();
    for (std::size_t i = 0; i < x.size(); ++i)
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c)
                a[r][c] += std::pow(x[i] - mean, r + c);
            a[r][4] += std::pow(x[i] - mean, r) * y[i];
        }
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c]))
                p = r;
        std::swap(a[c], a[p]);
        for (int r = 0; r < 4; ++r)
            if (r != c) {
                const long double f = a[r][c] / a[c][c];
                for (int k = 0; k < 5; ++k)
                    a[r][k] -= f * a[c][k];
            }
    }
    std::vector<double> p(4);
    for (int r = 0; r < 4; ++r)
        p[r] = double(a[r][4] / a[r][r]);
    return [p, mean](double x) {
        const double v = double(x - mean);
        return p[0] + v * (p[1] + v * (p[2] + v * p[3]));
    };
}

double Simpson(const std::function<double(double)>& f, double lo, double hi)
{
    const int n = 20000;
    const double h = (hi - lo) / n;
    double sum = f(lo) + f(hi);
    for (int i = 1; i < n; ++i)
        sum += f(lo + i * h) * (i % 2 ? 4 : 2);
    return sum * h / 3;
}

// {BD-rate %, quality delta} the long way.
std::pair<double, double> Reference(std::vector<RdPoint> a, std::vector<RdPoint> t, BdMethod method)
{
    const auto fit = [&](const std::vector<RdPoint>& points, bool rateOfQuality) {
        std::vector<RdPoint> sorted = points;
        std::sort(sorted.begin(), sorted.end(), [](const RdPoint& l, const RdPoint& r) { return l.quality < r.quality; });
        std::vector<double> x, y;
        for (const RdPoint& p : sorted) {
            x.push_back(rateOfQuality ? p.quality : std::log10(p.kbps));
            y.push_back(rateOfQuality ? std::log10(p.kbps) : p.quality);
        }
        return std::tuple(method == BdMethod::Pchip ? Pchip(x, y) : Cubic(x, y), x.front(), x.back());
    };
    double out[2];
    for (int rateOfQuality = 1, i = 0; i < 2; ++i, rateOfQuality = 0) {
        const auto [fa, alo, ahi] = fit(a, rateOfQuality);
        const auto [ft, tlo, thi] = fit(t, rateOfQuality);
        const double lo = std::max(alo, tlo), hi = std::min(ahi, thi);
        out[i] = (Simpson(ft, lo, hi) - Simpson(fa, lo, hi)) / (hi - lo);
    }
    return {(std::pow(10.0, out[0]) - 1) * 100, out[1]};
}

}  // namespace

TEST(Bd, KnownShiftsAndRandomCurvesAgainstASecondImplementation)
{
    for (const BdMethod method : {BdMethod::Pchip, BdMethod::Cubic}) {
        SCOPED_TRACE(method == BdMethod::Pchip ? "pchip" : "cubic");
        const std::vector<RdPoint> anchor = Ladder();
        std::vector<RdPoint> cheaper = anchor, better = anchor;
        for (RdPoint& p : cheaper)
            p.kbps *= 0.9;
        for (RdPoint& p : better)
            p.quality += 0.5;
        lorvane::BdResult r;
        std::string why;
        ASSERT_TRUE(lorvane::BjontegaardDelta(anchor, cheaper, method, r, why)) << why;
        EXPECT_NEAR(r.rate, -10.0, 1e-9);
        EXPECT_DOUBLE_EQ(r.qualityLow, 32.1);
        EXPECT_DOUBLE_EQ(r.qualityHigh, 41.0);
        ASSERT_TRUE(lorvane::BjontegaardDelta(anchor, better, method, r, why)) << why;
        EXPECT_NEAR(r.delta, 0.5, 1e-9);
        EXPECT_NEAR(r.kbpsLow, 1000, 1e-9);
        EXPECT_NEAR(r.kbpsHigh, 13500, 1e-6);
        // Anchor against itself, in shuffled order.
        std::vector<RdPoint> shuffled = {anchor[3], anchor[0], anchor[4], anchor[2], anchor[1]};
        ASSERT_TRUE(lorvane::BjontegaardDelta(anchor, shuffled, method, r, why)) << why;
        EXPECT_NEAR(r.rate, 0, 1e-12);

        std::mt19937 random(18);
        for (int c = 0; c < 40; ++c) {
            std::vector<RdPoint> sides[2];
            for (auto& side : sides) {
                const int n = 4 + int(random() % 4);
                double q = 28 + random() % 400 / 100.0, rate = 200 + random() % 3000;
                for (int i = 0; i < n; ++i) {
                    side.push_back({rate, q});
                    q += 0.3 + random() % 400 / 100.0;
                    rate *= 1.2 + random() % 200 / 100.0;
                }
            }
            const auto expected = Reference(sides[0], sides[1], method);
            std::string trace;
            for (const auto& side : sides)
                for (const RdPoint& p : side)
                    trace += std::to_string(p.kbps) + ":" + std::to_string(p.quality) + " ";
            SCOPED_TRACE(trace);
            if (!lorvane::BjontegaardDelta(sides[0], sides[1], method, r, why)) {
                EXPECT_NE(why.find("不重叠"), std::string::npos) << why;
                continue;
            }
            EXPECT_NEAR(r.rate, expected.first, 1e-6);
            EXPECT_NEAR(r.delta, expected.second, 1e-7);
        }
    }
}

TEST(Bd, CurvesThatCannotBeCompared)
{
    const std::vector<RdPoint> good = Ladder();
    struct Row {
        const char* name;
        std::vector<RdPoint> test;
        BdMethod method;
        std::string why;  // empty: computed
    };
    const Row rows[] = {
        {"three points", {good[0], good[1], good[2]}, BdMethod::Cubic, "--test 的曲线只有 3 个点，至少要 4 个。"},
        {"no overlap", {{100, 50}, {200, 51}, {400, 52}, {800, 53}}, BdMethod::Pchip,
         "质量区间不重叠：--anchor 是 32.1000 到 41.0000，--test 是 50.0000 到 53.0000，无法计算 BD-rate。"},
        {"rate falls as quality rises", {{1000, 32}, {900, 34}, {3600, 37}, {7100, 39, "t.csv 第5行"}}, BdMethod::Pchip,
         "--test 的曲线按质量排序后不是严格递增：质量 32.000000、码率 1000.000 kbps 之后是质量 34.000000、码率 900.000 "
         "kbps。pchip 要求码率和质量都严格递增。"},
        {"the same falling curve fits a cubic", {{1000, 32}, {900, 34}, {3600, 37}, {7100, 39}}, BdMethod::Cubic, ""},
        {"equal qualities", {{1000, 32}, {2000, 34}, {3000, 34, "t.csv 第4行"}, {7100, 39}}, BdMethod::Pchip,
         "--test 的曲线按质量排序后不是严格递增：质量 34.000000、码率 2000.000 kbps 之后是质量 34.000000、码率 3000.000 "
         "kbps（t.csv 第4行）。pchip 要求码率和质量都严格递增。"},
        {"equal qualities leave 3 for a cubic", {{1000, 32}, {2000, 34}, {3000, 34}, {7100, 39}}, BdMethod::Cubic,
         "--test 的曲线只有 3 个不同的质量，三次拟合至少要 4 个。"},
    };
    for (const Row& row : rows) {
        lorvane::BdResult r;
        std::string why;
        EXPECT_EQ(lorvane::BjontegaardDelta(good, row.test, row.method, r, why), row.why.empty()) << row.name;
        EXPECT_EQ(why, row.why) << row.name;
    }
}

TEST(Bd, RdFilesReadBackAndCompareBySequence)
{
    std::vector<lorvane::RdRow> written;
    for (const char* sequence : {"Foreman,cif", "akiyo"})
        for (int i = 0; i < 4; ++i)
            written.push_back({sequence, "x264", "crf" + std::to_string(i), 30, 1000.0 * (i + 1) + 0.25,
                               {{"psnr_y", 30 + 2.0 * i}, {"psnr_cb", 40}, {"psnr_cr", 41}, {"psnr_yuv", 31 + i},
                                {"psnr_611", 32 + i}, {"ssim_y", 0.9 + 0.01 * i}}, ""});
    const std::string text = lorvane::RdCsvText(written);
    EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1) + 1),
              "Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y,psnr_cb,psnr_cr,psnr_yuv,psnr_611,ssim_y\n"
              "\"Foreman,cif\",x264,crf0,30,1000.250000,30.000000,40.000000,41.000000,31.000000,32.000000,0.900000\n");
    std::vector<lorvane::RdRow> read;
    std::string error;
    ASSERT_TRUE(lorvane::ParseRdCsv("\xEF\xBB\xBF" + text, "a.csv", read, error)) << error;
    ASSERT_EQ(read.size(), 8u);
    EXPECT_EQ(read[3].sequence, "Foreman,cif");
    EXPECT_EQ(read[3].origin, "a.csv 第5行");
    EXPECT_EQ(read[3].Quality("ssim_y"), 0.93);

    // The test side: akiyo a tenth cheaper, Foreman on one side only, a lossless point left out.
    std::vector<lorvane::RdRow> test;
    for (int i = 0; i < 4; ++i)
        test.push_back({"akiyo", "x265", "q" + std::to_string(i), 30, (1000.0 * (i + 1) + 0.25) * 0.9,
                        {{"psnr_y", 30 + 2.0 * i}}, "b.csv"});
    test.push_back({"akiyo", "x265", "lossless", 30, 90000, {{"psnr_y", 100}}, "b.csv 第6行"});
    test.push_back({"news", "x265", "q0", 30, 500, {{"psnr_y", 30}}, "b.csv 第7行"});
    lorvane::BdTable table = lorvane::CompareRd(read, test, "psnr_y", BdMethod::Pchip);
    EXPECT_EQ(table.error, "");
    ASSERT_EQ(table.sequences.size(), 1u);
    EXPECT_TRUE(table.sequences[0].ok) << table.sequences[0].error;
    EXPECT_NEAR(table.meanRate, -10.0, 1e-9);
    EXPECT_EQ(table.warnings, (std::vector<std::string>{
                                  "序列 Foreman,cif 只在 --anchor 中有，没有比较。", "序列 news 只在 --test 中有，没有比较。",
                                  "序列 akiyo：--test 的 b.csv 第6行（编码 lossless）的 psnr_y 是 100（与参考完全相同，"
                                  "无损），不计入曲线。"}));

    // What stops a comparison, and what a file cannot be.
    EXPECT_EQ(lorvane::CompareRd(read, test, "ssim_y", BdMethod::Pchip).error,
              "--test 的 b.csv 没有 ssim_y 列：测量时没有测这个指标（用 -m 给出）。");
    test.push_back(test[1]);
    EXPECT_EQ(lorvane::CompareRd(read, test, "psnr_y", BdMethod::Pchip).error,
              "--test 中序列 akiyo 的编码 q1 出现了两次：b.csv 和 b.csv。");
    test.pop_back();
    test[2].qualities[0].second = NAN;
    table = lorvane::CompareRd(read, test, "psnr_y", BdMethod::Pchip);
    EXPECT_EQ(table.sequences[0].error,
              "序列 akiyo：--test 的 b.csv（编码 q2）的 psnr_y 不是数：没有比较任何帧的编码不能画进曲线。");
    EXPECT_EQ(table.compared, 0);
    EXPECT_TRUE(std::isnan(table.meanRate));

    const std::pair<const char*, const char*> bad[] = {
        {"", "a.csv 不是 RD 文件：第1行应为列名（Sequence,Series,Encode,Frames,Bitrate_kbps,…）。"},
        {"Sequence,Encode,Bitrate_kbps\n",
         "a.csv 缺少列 Series、Frames：RD 文件的列是 Sequence,Series,Encode,Frames,Bitrate_kbps 和各质量指标。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\ns,,e,3,100\n", "a.csv 第2行 有 5 列，列名有 6 列。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\ns,,e,3,-100,30\n",
         "a.csv 第2行 的码率 Bitrate_kbps \"-100\" 无效：应为大于 0 的数（kbps）。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\n\ns,,e,3,1e3,30,5\n", "a.csv 第3行 有 7 列，列名有 6 列。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\ns,,e,3,100,30,5\n", "a.csv 第2行 有 7 列，列名有 6 列。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\ns,,e,3,100,\"30,5\"\n", "a.csv 第2行 的 psnr_y \"30,5\" 不是数。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\n\"s,,e,3,100,30\n", "a.csv 第2行 的引号不配对。"},
        {"Sequence,Series,Encode,Frames,Bitrate_kbps\ns,,e,2.5,100\n", "a.csv 第2行 的 Frames \"2.5\" 不是不小于 0 的整数。"},
    };
    for (const auto& [csv, message] : bad) {
        std::vector<lorvane::RdRow> rows;
        EXPECT_FALSE(lorvane::ParseRdCsv(csv, "a.csv", rows, error)) << csv;
        EXPECT_EQ(error, message);
        EXPECT_TRUE(rows.empty());
    }
}

namespace {

// The lines of a text, its first (the header) left out, sorted.
std::vector<std::string> SortedRows(const std::string& text)
{
    std::vector<std::string> rows;
    for (std::size_t at = text.find('\n') + 1; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        rows.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace

TEST(RdCli, RowsOfARunAManifestAndItsShards)
{
    Scratch s;
    const std::string d = s.dir + "/";
    // Three references with two targets each; the targets' luma one above the reference's.
    for (const char* name : {"a", "b", "c"}) {
        WriteFile(d + name + ".yuv", Frames(16, 8, 3, false));
        WriteFile(d + name + "_q1.yuv", Frames(16, 8, 3, true));
        WriteFile(d + name + "_q2.yuv", Frames(16, 8, 3, true));
    }
    Outcome run = s.Run({"-s", "16x8", "--series", "x,264", "--rates", "1500,750.5", "--rd", "-", "--report",
                         d + "r.html", d + "a.yuv", d + "a_q1.yuv", d + "a_q2.yuv"});
    EXPECT_EQ(run.status, 0) << run.err;
    // psnr_yuv: the mean of each frame's PSNR over all samples (MSE 1 on 128 of 192); 611: (6 Y + U + V) / 8.
    const std::string values = "48.130804,100.000000,100.000000,49.891716,61.098103";
    EXPECT_EQ(run.out, "Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y,psnr_cb,psnr_cr,psnr_yuv,psnr_611\n"
                       "a,\"x,264\",a_q1,3,1500.000000," + values + "\na,\"x,264\",a_q2,3,750.500000," + values + "\n");
    EXPECT_NE(run.err.find("目标序列 " + d + "a_q2.yuv：\n共计3帧"), std::string::npos) << run.err;
    // The report's rate-quality section: one series, so a curve of two marked points and no deltas.
    const std::string html = ReadFile(d + "r.html");
    const std::size_t section = html.find("<h2>码率-质量</h2>");
    ASSERT_NE(section, std::string::npos);
    int points = 0;
    for (std::size_t at = section; (at = html.find("<circle", at)) != std::string::npos; ++at)
        ++points;
    EXPECT_EQ(points, 2);
    EXPECT_NE(html.find("只有一个系列", section), std::string::npos);

    // One run of the whole manifest, then three shards and two: the same rows.
    std::string manifest = "reference,target,series,rate\n";
    for (const char* name : {"a", "b", "c"})
        for (const char* q : {"_q1", "_q2"})
            manifest += std::string(name) + ".yuv," + name + q + ".yuv,s" + q + "," + (q[2] == '1' ? "1000" : "500") + "\n";
    WriteFile(d + "m.csv", manifest);
    run = s.Run({"-s", "16x8", "-q", "--manifest", d + "m.csv", "--rd", d + "all.csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string all = ReadFile(d + "all.csv");
    EXPECT_EQ(SortedRows(all).size(), 6u);
    for (const int shards : {2, 3}) {
        std::vector<std::string> joined;
        for (int k = 0; k < shards; ++k) {
            const std::string path = d + "shard" + std::to_string(k) + ".csv";
            run = s.Run({"-s", "16x8", "-q", "--manifest", d + "m.csv", "--shard", std::to_string(k) + "/" +
                         std::to_string(shards), "--rd", path});
            EXPECT_EQ(run.status, 0) << run.err;
            const std::vector<std::string> rows = SortedRows(ReadFile(path));
            joined.insert(joined.end(), rows.begin(), rows.end());
        }
        std::sort(joined.begin(), joined.end());
        EXPECT_EQ(joined, SortedRows(all)) << shards << " shards";
    }

    // A row whose target is missing, and a reference that is: the others still run.
    WriteFile(d + "m.csv", manifest + "gone.yuv,a_q1.yuv,s,1\nb.yuv,lost.yuv,s,1\n");
    run = s.Run({"-s", "16x8", "-q", "--manifest", d + "m.csv", "--rd", d + "all.csv"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(SortedRows(ReadFile(d + "all.csv")), SortedRows(all));
    EXPECT_NE(run.err.find("错误!\n清单 " + d + "m.csv 中这些行的文件不存在，没有比较：\n  " + d + "m.csv 第8行：" + d +
                           "gone.yuv\n  " + d + "m.csv 第9行：" + d + "lost.yuv\n"),
              std::string::npos) << run.err;
}

TEST(RdCli, BdTableCsvAndReportFromJoinedFiles)
{
    Scratch s;
    const std::string d = s.dir + "/";
    const std::string head = "Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\n";
    // Two shards on the anchor's side; the test side 10 % cheaper everywhere.
    std::string anchor[2] = {head, head}, test = head;
    const double rates[] = {1000, 1850, 3600, 7100}, qualities[] = {32.1, 34.7, 37.2, 39.4};
    for (int sequence = 0; sequence < 2; ++sequence)
        for (int i = 0; i < 4; ++i) {
            const std::string name = sequence ? "b" : "a", q = std::to_string(qualities[i]);
            anchor[sequence] += name + ",x264,e" + std::to_string(i) + ",10," + std::to_string(rates[i]) + "," + q + "\n";
            test += name + ",x265,e" + std::to_string(i) + ",10," + std::to_string(rates[i] * 0.9) + "," + q + "\n";
        }
    WriteFile(d + "a0.csv", anchor[0]);
    WriteFile(d + "a1.csv", anchor[1]);
    WriteFile(d + "t.csv", test);
    for (const char* method : {"pchip", "cubic"}) {
        std::vector<RdPoint> a, t;
        for (int i = 0; i < 4; ++i) {
            a.push_back({rates[i], std::stod(std::to_string(qualities[i]))});
            t.push_back({std::stod(std::to_string(rates[i] * 0.9)), a.back().quality});
        }
        lorvane::BdResult r;
        std::string why;
        ASSERT_TRUE(lorvane::BjontegaardDelta(a, t, method[0] == 'p' ? BdMethod::Pchip : BdMethod::Cubic, r, why));
        char delta[32];
        *std::to_chars(delta, delta + 31, r.delta, std::chars_format::fixed, 4).ptr = '\0';
        const Outcome run = s.Run({"bd", "--anchor", d + "a0.csv", "--anchor", d + "a1.csv", "--test", d + "t.csv",
                                   "--method", method, "--csv", d + "bd.csv", "--report", d + "bd.html"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.substr(0, run.out.find('\n')), std::string(method) + "，psnr_y：");
        for (const char* name : {"\na ", "\nb "})
            EXPECT_NE(run.out.find(name + std::string(20, ' ') + "-10.000           " + delta +
                                   "  32.1000 – 39.4000  1000.000 – 6390.000\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n平均（2 个序列）      -10.000           " + std::string(delta) + "\n"), std::string::npos)
            << run.out;
        const std::string csv = ReadFile(d + "bd.csv");
        EXPECT_EQ(csv.substr(0, csv.find('\n', csv.find('\n') + 1) + 1),
                  "Sequence,BD_rate_percent,BD_psnr_y,Quality_low,Quality_high,Rate_low_kbps,Rate_high_kbps\n"
                  "a,-10.000," + std::string(delta) + ",32.1000,39.4000,1000.000,6390.000\n");
        EXPECT_NE(csv.find("\nMean,-10.000," + std::string(delta) + ",,,,\n"), std::string::npos);
        const std::string html = ReadFile(d + "bd.html");
        EXPECT_EQ(std::count(html.begin(), html.end(), '\0'), 0);
        EXPECT_EQ(html.find("<svg") != std::string::npos && html.find("--anchor x264") != std::string::npos, true);
        EXPECT_EQ(int(html.size()) > 0 && html.find("<circle") != std::string::npos, true);
    }
    // The same file on one side twice is one encode twice.
    Outcome run = s.Run({"bd", "--anchor", d + "a0.csv", "--anchor", d + "a0.csv", "--test", d + "t.csv"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "错误!\n--anchor 中序列 a 的编码 e0 出现了两次：" + d + "a0.csv 第2行 和 " + d + "a0.csv 第2行。\n");
    // A sequence that fails leaves no CSV behind, and the one that works is still printed.
    WriteFile(d + "short.csv", head + "a,x265,e0,10,900,32.1\na,x265,e1,10,1900,34\nb,x265,e0,10,900,32.1\n"
                                      "b,x265,e1,10,1900,34\nb,x265,e2,10,3000,37\nb,x265,e3,10,6000,39\n");
    run = s.Run({"bd", "--anchor", d + "a0.csv", "--anchor", d + "a1.csv", "--test", d + "short.csv", "--csv", d + "no.csv"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "错误!\n序列 a：--test 的曲线只有 2 个点，至少要 4 个。\n错误!\n有序列算不出，没有写出 --csv 和 "
                       "--report（原有的同名文件保持不变）。\n");
    EXPECT_NE(run.out.find("\nb "), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(U8Path(d + "no.csv")));
}
