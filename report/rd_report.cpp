#include "rd_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/psnr.h"

namespace lorvane {

namespace {

const char* const kSeriesColours[] = {"#1f5fa8", "#c0392b", "#2e8b57", "#8e44ad", "#d35400",
                                      "#16a085", "#7f8c8d", "#b7950b", "#2c3e50", "#e84393"};

constexpr int kWidth = 760, kHeight = 420;
constexpr int kLeft = 70, kRight = 740, kTop = 44, kBottom = 370;

std::string Fixed(double value, int decimals)
{
    char buffer[kFixedChars];
    return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, value, decimals));
}

std::string Escape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Shortest(double value)
{
    char buffer[64];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

struct ChartCurve {
    std::string label;
    const char* colour;
    std::vector<RdPoint> points;
};

// Rate on a log axis (ticks at 1, 2 and 5 of each decade), quality up; each
// curve its colour, its points marked and joined in order of rate.
std::string RdChart(std::vector<ChartCurve> curves, const std::string& metric)
{
    double rateLow = std::numeric_limits<double>::infinity(), rateHigh = -rateLow, qLow = rateLow, qHigh = -rateLow;
    for (const ChartCurve& curve : curves)
        for (const RdPoint& p : curve.points) {
            rateLow = std::min(rateLow, std::log10(p.kbps));
            rateHigh = std::max(rateHigh, std::log10(p.kbps));
            qLow = std::min(qLow, p.quality);
            qHigh = std::max(qHigh, p.quality);
        }
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart rd\" width=\"" + std::to_string(kWidth) +
                      "\" height=\"" + std::to_string(kHeight) + "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
                      std::to_string(kHeight) + "\" font-size=\"12\">\n";
    if (!(rateLow <= rateHigh)) {
        svg += "<text x=\"" + std::to_string(kWidth / 2) + "\" y=\"" + std::to_string(kHeight / 2) +
               "\" text-anchor=\"middle\">没有可绘制的点</text>\n</svg>\n";
        return svg;
    }
    const double rateMargin = std::max(rateHigh - rateLow, 0.1) * 0.05;
    rateLow -= rateMargin, rateHigh += rateMargin;
    const double qSpan = std::max(qHigh - qLow, 1e-3);
    qLow -= qSpan * 0.06, qHigh += qSpan * 0.06;
    const auto xOf = [&](double kbps) { return kLeft + (std::log10(kbps) - rateLow) / (rateHigh - rateLow) * (kRight - kLeft); };
    const auto yOf = [&](double q) { return kBottom - (q - qLow) / (qHigh - qLow) * (kBottom - kTop); };

    svg += "<g stroke=\"#e5e7eb\" fill=\"#555\">\n";
    for (int decade = int(std::floor(rateLow)); decade <= int(std::ceil(rateHigh)); ++decade)
        for (const double m : {1.0, 2.0, 5.0}) {
            const double kbps = m * std::pow(10.0, decade);
            if (std::log10(kbps) < rateLow || std::log10(kbps) > rateHigh)
                continue;
            const std::string x = Fixed(xOf(kbps), 1);
            svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" + x + "\" y2=\"" +
                   std::to_string(kBottom) + "\"/><text stroke=\"none\" x=\"" + x + "\" y=\"" +
                   std::to_string(kBottom + 18) + "\" text-anchor=\"middle\">" + Shortest(kbps) + "</text>\n";
        }
    const double rough = (qHigh - qLow) / 6;
    const double unit = std::pow(10.0, std::floor(std::log10(rough)));
    const double step = rough / unit < 2 ? unit : rough / unit < 5 ? 2 * unit : 5 * unit;
    const int decimals = std::max(0, -int(std::floor(std::log10(step))));
    for (double q = std::ceil(qLow / step) * step; q <= qHigh; q += step) {
        const std::string y = Fixed(yOf(q), 1);
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kRight) + "\" y2=\"" +
               y + "\"/><text stroke=\"none\" x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + y +
               "\" dy=\"4\" text-anchor=\"end\">" + Fixed(q, decimals) + "</text>\n";
    }
    svg += "</g>\n<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) + "\" width=\"" +
           std::to_string(kRight - kLeft) + "\" height=\"" + std::to_string(kBottom - kTop) +
           "\" fill=\"none\" stroke=\"#999\"/>\n";
    svg += "<text x=\"" + std::to_string((kLeft + kRight) / 2) + "\" y=\"" + std::to_string(kHeight - 8) +
           "\" text-anchor=\"middle\" font-size=\"13\">码率 (kbps，对数坐标)</text>\n";
    svg += "<text transform=\"translate(16 ";
    svg += std::to_string((kTop + kBottom) / 2) + ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">" +
           Escape(metric) + "</text>\n";

    int legendX = kLeft;
    for (ChartCurve& curve : curves) {
        std::sort(curve.points.begin(), curve.points.end(),
                  [](const RdPoint& a, const RdPoint& b) { return a.kbps < b.kbps; });
        std::string points;
        for (const RdPoint& p : curve.points) {
            if (!points.empty())
                points += ' ';
            points += Fixed(xOf(p.kbps), 1) + "," + Fixed(yOf(p.quality), 1);
        }
        const std::string colour = curve.colour;
        svg += "<g class=\"curve\" stroke=\"" + colour + "\" fill=\"" + colour + "\"><title>" + Escape(curve.label) +
               "</title>\n<polyline fill=\"none\" stroke-width=\"1.6\" points=\"" + points + "\"/>\n";
        for (const RdPoint& p : curve.points)
            svg += "<circle cx=\"" + Fixed(xOf(p.kbps), 1) + "\" cy=\"" + Fixed(yOf(p.quality), 1) +
                   "\" r=\"3.5\"><title>" + Escape(curve.label + "：" + Fixed(p.kbps, 3) + " kbps，" + Fixed(p.quality, 4)) +
                   "</title></circle>\n";
        svg += "</g>\n";
        svg += "<rect x=\"" + std::to_string(legendX) + "\" y=\"14\" width=\"12\" height=\"12\" fill=\"" + colour +
               "\"/><text x=\"" + std::to_string(legendX + 18) + "\" y=\"25\" font-size=\"13\">" + Escape(curve.label) +
               "</text>\n";
        legendX += 40 + 8 * int(std::min<std::size_t>(curve.label.size(), 40));
    }
    svg += "</svg>\n";
    return svg;
}

std::string Cell(const std::string& text) { return "<td class=\"num\">" + Escape(text) + "</td>"; }

std::string Interval(double low, double high, int decimals)
{
    return Fixed(low, decimals) + " – " + Fixed(high, decimals);
}

// The deltas of one comparison: a row per sequence, its error in place of
// numbers when it has none, then the mean.
std::string DeltaRows(const BdTable& table, const std::string& testLabel)
{
    std::string h;
    for (const BdSequence& s : table.sequences) {
        h += "<tr><td>" + Escape(s.sequence) + "</td>" + (testLabel.empty() ? "" : "<td>" + Escape(testLabel) + "</td>");
        if (s.ok)
            h += Cell(Fixed(s.result.rate, 3)) + Cell(Fixed(s.result.delta, 4)) +
                 Cell(Interval(s.result.qualityLow, s.result.qualityHigh, 4)) +
                 Cell(Interval(s.result.kbpsLow, s.result.kbpsHigh, 3)) + "</tr>\n";
        else
            h += "<td colspan=\"4\" class=\"warning\">" + Escape(s.error) + "</td></tr>\n";
    }
    if (table.compared > 0)
        h += "<tr class=\"mean\"><th>平均（" + std::to_string(table.compared) + " 个序列）</th>" +
             (testLabel.empty() ? "" : "<td>" + Escape(testLabel) + "</td>") + Cell(Fixed(table.meanRate, 3)) +
             Cell(Fixed(table.meanDelta, 4)) + "<td></td><td></td></tr>\n";
    return h;
}

std::string DeltaHead(const std::string& metric, bool seriesColumn)
{
    return std::string("<table class=\"stats bd\">\n<tr><th>序列</th>") + (seriesColumn ? "<th>系列</th>" : "") +
           "<th class=\"num\">BD-rate (%)</th><th class=\"num\">质量差 (" + Escape(metric) +
           ")</th><th class=\"num\">质量区间</th><th class=\"num\">码率区间 (kbps)</th></tr>\n";
}

const char* MethodName(BdMethod method) { return method == BdMethod::Pchip ? "pchip" : "cubic"; }

}  // namespace

std::string RdName(const std::string& path)
{
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.rfind('/');
#endif
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

RdRow RdRowOf(const RunRecord& run, const std::string& sequence, const std::string& series, const std::string& encode,
              double kbps)
{
    RdRow row;
    row.sequence = sequence;
    row.series = series;
    row.encode = encode;
    row.frames = run.statistics.frames;
    row.kbps = kbps;
    const SequenceStatistics& s = run.statistics;
    row.qualities = {{"psnr_y", s.planes[0].mean},  {"psnr_cb", s.planes[1].mean},  {"psnr_cr", s.planes[2].mean},
                     {"psnr_yuv", s.yuv.mean},      {"psnr_611", s.weighted611}};
    // The other scores as the summary averages them.
    const std::vector<std::string>& scores = run.outcome.description.scores;
    for (const std::string& name : RdQualityNames()) {
        const auto at = std::find(scores.begin(), scores.end(), name);
        if (at == scores.end())
            continue;
        const std::size_t k = std::size_t(at - scores.begin());
        double sum = 0;
        for (const FrameResult& f : run.frames)
            sum += k < f.scores.size() ? f.scores[k] : NAN;
        row.qualities.emplace_back(name, ReportAverage(sum, std::int32_t(run.frames.size())));
    }
    return row;
}

std::string RdReportSection(const std::vector<RdRow>& rows, int unrated)
{
    const std::string metric = "psnr_y";
    std::vector<std::string> series;
    for (const RdRow& row : rows)
        if (std::find(series.begin(), series.end(), row.series) == series.end())
            series.push_back(row.series);
    std::string h = "<h2>码率-质量</h2>\n";
    std::vector<ChartCurve> curves;
    for (std::size_t s = 0; s < series.size(); ++s) {
        ChartCurve& curve = curves.emplace_back();
        curve.label = series[s].empty() ? "（未命名系列）" : series[s];
        curve.colour = kSeriesColours[s % std::size(kSeriesColours)];
        for (const RdRow& row : rows)
            if (row.series == series[s] && std::isfinite(row.Quality(metric)))
                curve.points.push_back({row.kbps, row.Quality(metric), row.encode});
    }
    h += RdChart(curves, metric);
    if (unrated > 0)
        h += "<p class=\"note\">" + std::to_string(unrated) + " 个目标序列没有码率（无头 YUV 和 YUV4MPEG2 用 --rates 给出），不在图中。</p>\n";
    if (series.size() < 2) {
        h += "<p class=\"note\">只有一个系列：BD-rate 要两个系列（--manifest 的 series 列，或分别用 --series 写出 --rd 后用 "
             "lorvane-cli bd 比较）。</p>\n";
        return h;
    }
    std::vector<RdRow> anchor;
    for (const RdRow& row : rows)
        if (row.series == series[0])
            anchor.push_back(row);
    h += "<p>各系列相对 " + Escape(curves[0].label) + "（pchip，" + metric + "）：</p>\n" + DeltaHead(metric, true);
    std::string notes;
    for (std::size_t s = 1; s < series.size(); ++s) {
        std::vector<RdRow> test;
        for (const RdRow& row : rows)
            if (row.series == series[s])
                test.push_back(row);
        const BdTable table = CompareRd(anchor, test, metric, BdMethod::Pchip);
        if (!table.error.empty())
            notes += "<p class=\"note warning\">" + Escape(table.error) + "</p>\n";
        h += DeltaRows(table, curves[s].label);
        for (const std::string& warning : table.warnings)
            notes += "<p class=\"note\">" + Escape(warning) + "</p>\n";
    }
    return h + "</table>\n" + notes;
}

std::string BdReportPage(const BdTable& table)
{
    std::string h =
        "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"zh-CN\" xml:lang=\"zh-CN\">\n<head>\n"
        "<meta charset=\"utf-8\"/>\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
        "<title>Lorvane BD 报告</title>\n<style>\n"
        "body { font-family: \"Noto Sans CJK SC\", \"WenQuanYi Zen Hei\", \"Microsoft YaHei\", \"PingFang SC\", sans-serif;"
        " color: #222; background: #fafafa; margin: 0; }\n"
        "main { max-width: 1000px; margin: 0 auto; padding: 24px 28px 40px; background: #fff; }\n"
        "h1 { font-size: 26px; margin: 0 0 4px; }\n"
        "h2 { font-size: 18px; margin: 28px 0 10px; padding-bottom: 4px; border-bottom: 1px solid #ddd; }\n"
        "table { border-collapse: collapse; font-size: 14px; }\n"
        "th, td { padding: 4px 10px; border-bottom: 1px solid #eee; text-align: left; }\n"
        "td.num { text-align: right; font-variant-numeric: tabular-nums; }\n"
        ".warning { color: #b03a2e; }\n.note { color: #555; font-size: 13px; }\n"
        "svg.chart { display: block; max-width: 100%; height: auto; }\n"
        "</style>\n</head>\n<body>\n<main>\n<h1>Lorvane BD 报告</h1>\n";
    h += "<p class=\"note\">Lorvane " + Escape(kVersion) + "，" + MethodName(table.method) + "，质量指标 " +
         Escape(table.metric) + "；BD-rate 为负表示 --test 在相同质量下码率更低。</p>\n";
    if (!table.error.empty())
        h += "<p class=\"warning\">" + Escape(table.error) + "</p>\n";
    h += "<h2>BD-rate 与质量差</h2>\n" + DeltaHead(table.metric, false) + DeltaRows(table, "") + "</table>\n";
    for (const std::string& warning : table.warnings)
        h += "<p class=\"note\">" + Escape(warning) + "</p>\n";
    h += "<h2>码率-质量曲线</h2>\n";
    for (const BdSequence& s : table.sequences) {
        const std::string anchor = "--anchor" + (s.anchorSeries.empty() ? "" : " " + s.anchorSeries);
        const std::string test = "--test" + (s.testSeries.empty() ? "" : " " + s.testSeries);
        h += "<h3>" + Escape(s.sequence) + "</h3>\n" +
             RdChart({{anchor, kSeriesColours[0], s.anchor}, {test, kSeriesColours[1], s.test}}, table.metric);
    }
    h += "</main>\n</body>\n</html>\n";
    return h;
}

}  // namespace lorvane
