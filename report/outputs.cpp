#include "outputs.h"

#include "core/files.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/psnr.h"

namespace lorvane {

namespace {

using Json = nlohmann::ordered_json;

// Writers hand on their text in pieces of about this size.
constexpr std::size_t kPieceBytes = 64 << 10;

const char* const kPlaneKeys[3] = {"y", "u", "v"};
const char* const kPlaneLabels[3] = {"Y", "U", "V"};

// PSNR's seven per-frame series, in libvmaf's names and order.
struct PsnrSeries {
    const char* name;
    double (*value)(const FrameResult&);
};
const PsnrSeries kPsnrSeries[7] = {
    {"psnr_y", [](const FrameResult& f) { return f.psnr[0]; }},
    {"psnr_cb", [](const FrameResult& f) { return f.psnr[1]; }},
    {"psnr_cr", [](const FrameResult& f) { return f.psnr[2]; }},
    {"mse_y", [](const FrameResult& f) { return f.mse[0]; }},
    {"mse_cb", [](const FrameResult& f) { return f.mse[1]; }},
    {"mse_cr", [](const FrameResult& f) { return f.mse[2]; }},
    {"psnr_yuv", [](const FrameResult& f) { return f.psnrYuv; }},
};

// A score of the run beyond PSNR, by its place in RunDescription::scores.
double ScoreValue(const FrameResult& f, std::size_t k)
{
    return k < f.scores.size() ? f.scores[k] : std::numeric_limits<double>::quiet_NaN();
}

// One per-frame series as JSON and CSV name it: PSNR's, then the run's
// scores by the names it gives them.
struct Series {
    const char* name;
    double (*psnr)(const FrameResult&);  // null for a score
    std::size_t score;
    double operator()(const FrameResult& f) const { return psnr ? psnr(f) : ScoreValue(f, score); }
};

std::vector<Series> SeriesOf(const RunDescription& d)
{
    std::vector<Series> series;
    for (const PsnrSeries& s : kPsnrSeries)
        series.push_back({s.name, s.value, 0});
    for (std::size_t k = 0; k < d.scores.size(); ++k)
        series.push_back({d.scores[k].c_str(), nullptr, k});
    return series;
}

// The scores of one metric, grouped by how they are named: "ssim_y",
// "ssim_cb", "ssim_cr" its planes', "ssim" the whole frame's.
struct ScoreFamily {
    std::string name;                    // "ssim"
    std::ptrdiff_t planes[3] = {-1, -1, -1};  // in RunDescription::scores; -1 none
    std::ptrdiff_t whole = -1;
    std::ptrdiff_t Luma() const { return planes[0] >= 0 ? planes[0] : whole; }
};

std::vector<ScoreFamily> ScoreFamilies(const std::vector<std::string>& scores)
{
    static const char* const kSuffixes[3] = {"_y", "_cb", "_cr"};
    std::vector<ScoreFamily> families;
    for (std::size_t k = 0; k < scores.size(); ++k) {
        std::string name = scores[k];
        int plane = -1;
        for (int p = 0; p < 3; ++p)
            if (name.size() > std::strlen(kSuffixes[p]) && name.ends_with(kSuffixes[p])) {
                name.resize(name.size() - std::strlen(kSuffixes[p]));
                plane = p;
                break;
            }
        auto family = std::find_if(families.begin(), families.end(),
                                   [&name](const ScoreFamily& f) { return f.name == name; });
        if (family == families.end())
            family = families.insert(families.end(), ScoreFamily{name});
        (plane < 0 ? family->whole : family->planes[plane]) = std::ptrdiff_t(k);
    }
    return families;
}

// The luma score of each metric beyond PSNR (its whole-frame score when it
// has no planes), in the run's order.
std::vector<std::size_t> LumaScores(const std::vector<std::string>& scores)
{
    std::vector<std::size_t> luma;
    for (const ScoreFamily& family : ScoreFamilies(scores))
        if (family.Luma() >= 0)
            luma.push_back(std::size_t(family.Luma()));
    return luma;
}

// "MS-SSIM" for the family "ms_ssim".
std::string FamilyLabel(const std::string& name)
{
    std::string label = ScoreLabel(name);
    std::replace(label.begin(), label.end(), '_', '-');
    return label;
}

std::string Fixed(double value, int decimals)
{
    char buffer[kFixedChars];
    return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, value, decimals));
}

// dump() writes a non-finite double as null already; doing it here keeps that
// independent of the library's choice.
Json Number(double value)
{
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json FrameNumber(std::int32_t frame)
{
    return frame < 0 ? Json(nullptr) : Json(frame);
}

}  // namespace

std::string EncodeText(const EncodeFacts& e, std::int32_t frames)
{
    std::string text = e.codec + "（" + e.container + "，第" + std::to_string(e.stream) + "号流）";
    if (e.rateDen > 0)
        text += "，" + FrameRateText(e.rateNum, e.rateDen) + " 帧/秒" + (e.variableRate ? "（可变）" : "");
    if (e.kbps >= 0)
        text += "，码率 " + Fixed(e.kbps, 3) + " kbps";
    return text + "（" + std::to_string(frames) + " 帧共 " + std::to_string(e.bytes) + " 字节）";
}

namespace {

Json EncodeJson(const EncodeFacts& e)
{
    return Json{{"codec", e.codec},
                {"container", e.container},
                {"stream", e.stream},
                {"frame_rate", e.rateDen > 0 ? Json(double(e.rateNum) / e.rateDen) : Json(nullptr)},
                {"variable_frame_rate", e.variableRate},
                {"bytes", e.bytes},
                {"bitrate_kbps", e.kbps >= 0 ? Json(e.kbps) : Json(nullptr)}};
}

const char* EndedEarly(const RunOutcome& outcome)
{
    if (outcome.referenceEnded && outcome.targetEnded)
        return "both";
    if (outcome.referenceEnded)
        return "reference";
    if (outcome.targetEnded)
        return "target";
    return nullptr;
}

// min, max, mean and harmonic mean as libvmaf pools a metric. A series with a
// not-a-number (a plane without samples) has no pooled values at all.
struct Pool {
    double min, max, mean, harmonicMean;
};

template <typename Value>
Pool PoolOf(const std::vector<FrameResult>& frames, Value value)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (frames.empty())
        return {nan, nan, nan, nan};
    Pool pool{value(frames.front()), value(frames.front()), 0, 0};
    double sum = 0, reciprocalSum = 0;
    for (const FrameResult& f : frames) {
        const double x = value(f);
        if (std::isnan(x))
            return {nan, nan, nan, nan};
        pool.min = std::min(pool.min, x);
        pool.max = std::max(pool.max, x);
        sum += x;
        reciprocalSum += 1.0 / (x + 1.0);
    }
    const double n = double(frames.size());
    pool.mean = sum / n;
    pool.harmonicMean = n / reciprocalSum - 1.0;
    return pool;
}

Json PlaneJson(const PlaneStatistics& s)
{
    Json j;
    j["mean"] = Number(s.mean);
    j["pooled"] = Number(s.pooled);
    j["min"] = Number(s.min);
    j["min_frame"] = FrameNumber(s.minFrame);
    j["max"] = Number(s.max);
    j["max_frame"] = FrameNumber(s.maxFrame);
    return j;
}

// ---- text helpers ----------------------------------------------------------

// Decodes one UTF-8 sequence at `i`; returns the code point and advances, or
// returns -1 (and advances one byte) for a byte that starts no valid sequence.
long NextCodePoint(const std::string& s, std::size_t& i)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int length = 0;
    long cp = 0;
    if (c < 0x80)
        length = 1, cp = c;
    else if ((c & 0xE0) == 0xC0)
        length = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
        length = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
        length = 4, cp = c & 0x07;
    else {
        ++i;
        return -1;
    }
    if (i + std::size_t(length) > s.size()) {
        ++i;
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + std::size_t(k)]);
        if ((d & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    static const long kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return -1;
    }
    i += std::size_t(length);
    return cp;
}

// Columns a terminal gives a code point: East Asian wide and full-width forms
// take two.
int ColumnsOf(long cp)
{
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                      (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

int DisplayWidth(const std::string& s)
{
    int width = 0;
    for (std::size_t i = 0; i < s.size();)
        width += ColumnsOf(NextCodePoint(s, i));
    return width;
}

namespace {

// Text for XML: markup characters escaped, and what XML 1.0 cannot carry (a
// path that is not valid UTF-8, control characters) replaced by U+FFFD, so
// that one odd file name cannot make the whole report unreadable.
std::string Xml(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const long cp = NextCodePoint(s, i);
        if (cp < 0 || (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF) {
            out += "\xEF\xBF\xBD";
            continue;
        }
        switch (cp) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.append(s, start, i - start);
        }
    }
    return out;
}

std::string TableValue(double value)
{
    return FormatValue(value);  // six decimals, C locale, "nan"
}

std::string TableFrame(std::int32_t frame)
{
    return frame < 0 ? "-" : std::to_string(frame);
}

// Rows of cells laid out in columns two spaces apart; the first column is
// left-aligned, the others right-aligned, widths counted in display columns.
std::string Columns(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<int> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string padding(std::size_t(widths[c] - DisplayWidth(row[c])), ' ');
            if (c == 0)
                line += row[c] + padding;
            else
                line += "  " + padding + row[c];
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + '\n';
    }
    return text;
}

const PlaneStatistics& StatisticsRow(const SequenceStatistics& s, int row)
{
    return row < 3 ? s.planes[row] : s.yuv;
}

const char* RowLabel(int row)
{
    return row < 3 ? kPlaneLabels[row] : "YUV";
}

// ---- the chart ---------------------------------------------------------------

// Geometry of the chart, in SVG user units.
constexpr int kChartWidth = 960;
constexpr int kChartHeight = 400;
constexpr int kPlotLeft = 64;
constexpr int kPlotRight = 940;
constexpr int kPlotTop = 44;
constexpr int kPlotBottom = 344;

// A step of 1, 2 or 5 times a power of ten giving about `count` intervals.
double NiceStep(double span, int count)
{
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * power;
}

std::string Coordinate(double value)
{
    return Fixed(value, 1);
}

struct XAxis {
    double first, last;
};

double FrameToX(double frame, const XAxis& a)
{
    if (a.last <= a.first)
        return (kPlotLeft + kPlotRight) / 2.0;
    return kPlotLeft + (frame - a.first) / (a.last - a.first) * (kPlotRight - kPlotLeft);
}

// The PSNR axis of a chart: round ticks around the values' range.
struct YAxis {
    double min, max, step;
    int decimals;
    bool anyValue;  // the range came from values, not the empty chart's default
    double Y(double v) const { return kPlotBottom - (v - min) / (max - min) * (kPlotBottom - kPlotTop); }
};

// `lowest` > `highest` when there was no value at all; `band`: the span a
// flat curve gets, and `empty` the axis of a chart without values.
YAxis YAxisOf(double lowest, double highest, double band = 0.1, double empty = 50)
{
    YAxis a{lowest, highest, 1, 0, lowest <= highest};
    if (!a.anyValue)
        a.min = 0, a.max = empty;
    // A flat curve gets a band around it rather than a zero-height axis.
    if (a.max - a.min < band) {
        const double middle = (a.min + a.max) / 2;
        a.min = middle - band / 2, a.max = middle + band / 2;
    }
    // A little room, so that an extreme does not sit on the frame of the plot.
    const double margin = (a.max - a.min) * 0.02;
    a.min -= margin, a.max += margin;
    a.step = NiceStep(a.max - a.min, 6);
    a.decimals = std::max(0, int(-std::floor(std::log10(a.step) + 1e-9)));
    a.min = std::floor(a.min / a.step) * a.step;
    a.max = std::ceil(a.max / a.step) * a.step;
    return a;
}

// Its grid lines and tick labels.
std::string YGrid(const YAxis& a)
{
    std::string svg;
    for (double v = a.min; v <= a.max + a.step / 2; v += a.step) {
        const std::string y = Coordinate(a.Y(v));
        svg += "<line x1=\"" + std::to_string(kPlotLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotRight) +
               "\" y2=\"" + y + "\"/>\n<text class=\"tick\" x=\"" + std::to_string(kPlotLeft - 8) + "\" y=\"" + y +
               "\" dy=\"4\" text-anchor=\"end\">" + Fixed(v, a.decimals) + "</text>\n";
    }
    return svg;
}

// One plane's points, reduced so that each pixel column keeps only the lowest
// and the highest value falling into it, in the order they occur: the outline
// of the curve survives, and the point count stays within twice the plot's
// width however many frames there are.
using FrameValue = std::function<double(const FrameResult&)>;

std::string PolylinePoints(const std::vector<FrameResult>& frames, const FrameValue& value, const XAxis& xAxis,
                           const std::function<double(double)>& yOf)
{
    struct Extreme {
        double x, value;
        std::size_t order;
    };
    std::string points;
    auto emit = [&](const Extreme& e) {
        char point[2 * kFixedChars + 2];
        char* end = point;
        if (!points.empty())
            *end++ = ' ';
        end = FixedToChars(end, point + sizeof point, e.x, 1);
        *end++ = ',';
        end = FixedToChars(end, point + sizeof point, yOf(e.value), 1);
        points.append(point, end);
    };
    bool open = false;
    long column = 0;
    Extreme low{}, high{};
    auto flush = [&] {
        if (!open)
            return;
        if (low.order == high.order) {
            emit(low);
        } else {
            emit(low.order < high.order ? low : high);
            emit(low.order < high.order ? high : low);
        }
    };
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const double v = value(frames[i]);
        if (std::isnan(v))
            continue;
        const double x = FrameToX(double(frames[i].frame), xAxis);
        const long c = long(std::floor(x));
        if (!open || c != column) {
            flush();
            open = true;
            column = c;
            low = high = {x, v, i};
        } else if (v < low.value) {
            low = {x, v, i};
        } else if (v > high.value) {
            high = {x, v, i};
        }
    }
    flush();
    return points;
}

// One chart of a run: a metric's planes (and whole frame) over the frames.
struct ChartSeries {
    std::string cls;    // "plane-y": its colour
    std::string id;     // "series-y"
    std::string label;  // "Y", in the legend
    std::string style;  // inline, for a series without a class of its own
    FrameValue value;
    double mean;  // drawn dashed; not-a-number: none, and the legend says so
};

// What every per-frame chart starts with: the svg element, the grid with its
// tick labels (those of the frame axis only when there are frames), the plot's
// frame and both axis titles.
std::string ChartFrame(const std::string& title, const std::string& axisTitle, const YAxis& yAxis, const XAxis& xAxis,
                       bool frameTicks)
{
    std::string svg;
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + std::to_string(kChartWidth) +
           "\" height=\"" + std::to_string(kChartHeight) + "\" viewBox=\"0 0 " + std::to_string(kChartWidth) + ' ' +
           std::to_string(kChartHeight) + "\" role=\"img\" aria-label=\"" + title + "\">\n";
    svg += "<g class=\"grid\">\n" + YGrid(yAxis);
    if (frameTicks) {
        const double span = xAxis.last - xAxis.first;
        const double xStep = span < 1 ? 1 : std::max(1.0, NiceStep(span, 8));
        for (double f = std::ceil(xAxis.first / xStep) * xStep; f <= xAxis.last; f += xStep) {
            const std::string x = Coordinate(FrameToX(f, xAxis));
            svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kPlotTop) + "\" x2=\"" + x + "\" y2=\"" +
                   std::to_string(kPlotBottom) + "\"/>\n";
            svg += "<text class=\"tick\" x=\"" + x + "\" y=\"" + std::to_string(kPlotBottom + 18) +
                   "\" text-anchor=\"middle\">" + Fixed(f, 0) + "</text>\n";
        }
    }
    svg += "</g>\n";
    svg += "<rect class=\"frame\" x=\"" + std::to_string(kPlotLeft) + "\" y=\"" + std::to_string(kPlotTop) +
           "\" width=\"" + std::to_string(kPlotRight - kPlotLeft) + "\" height=\"" +
           std::to_string(kPlotBottom - kPlotTop) + "\"/>\n";
    svg += "<text class=\"axis-title\" x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
           std::to_string(kChartHeight - 12) + "\" text-anchor=\"middle\">帧</text>\n";
    svg += "<text class=\"axis-title\" transform=\"translate(16 " + std::to_string((kPlotTop + kPlotBottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">" + axisTitle + "</text>\n";
    return svg;
}

struct ChartPlan {
    std::string title;      // "逐帧 PSNR", for screen readers
    std::string axisTitle;  // "PSNR (dB)"
    std::string unit;       // " dB", after a worst frame's value
    double band = 0.1;      // of a flat curve
    double empty = 50;      // the top of an axis without values
    std::vector<ChartSeries> series;  // luma first
};

std::string Chart(const RunRecord& run, const ChartPlan& plan)
{
    const auto& frames = run.frames;
    const SequenceStatistics& stats = run.statistics;

    double yMin = std::numeric_limits<double>::infinity(), yMax = -yMin;
    for (const ChartSeries& series : plan.series)
        for (const FrameResult& f : frames) {
            const double v = series.value(f);
            if (std::isfinite(v))
                yMin = std::min(yMin, v), yMax = std::max(yMax, v);
        }
    const YAxis yAxis = YAxisOf(yMin, yMax, plan.band, plan.empty);
    const bool anyValue = yAxis.anyValue;
    XAxis xAxis{0, 1};
    if (!frames.empty())
        xAxis = {double(frames.front().frame), double(frames.back().frame)};
    const auto yOf = [&](double v) { return yAxis.Y(v); };
    const auto styled = [](const ChartSeries& series) {
        return series.style.empty() ? std::string() : " style=\"" + series.style + "\"";
    };

    std::string svg = ChartFrame(plan.title, plan.axisTitle, yAxis, xAxis, !frames.empty());

    // Means dashed under the curves, so the curves stay readable.
    for (const ChartSeries& series : plan.series) {
        if (!std::isfinite(series.mean))
            continue;
        const std::string y = Coordinate(yOf(series.mean));
        svg += "<line class=\"mean " + series.cls + "\"" + styled(series) + " x1=\"" + std::to_string(kPlotLeft) +
               "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotRight) + "\" y2=\"" + y + "\"/>\n";
    }
    // Every plane keeps its polyline; a plane without numbers (gray input) has
    // an empty one, so the chart's structure does not depend on the format.
    for (const ChartSeries& series : plan.series)
        svg += "<polyline class=\"series " + series.cls + "\" id=\"" + series.id + "\"" + styled(series) +
               " points=\"" + PolylinePoints(frames, series.value, xAxis, yOf) + "\"/>\n";
    for (const FrameResult& f : stats.worst) {
        const double v = plan.series.front().value(f);
        if (!std::isfinite(v))
            continue;
        svg += "<circle class=\"worst\" cx=\"" + Coordinate(FrameToX(f.frame, xAxis)) + "\" cy=\"" +
               Coordinate(yOf(v)) + "\" r=\"5\"><title>帧 " + std::to_string(f.frame) + "：" +
               plan.series.front().label + " " + FormatValue(v) + plan.unit + "</title></circle>\n";
    }
    if (!anyValue)
        svg += "<text class=\"empty\" x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
               std::to_string((kPlotTop + kPlotBottom) / 2) + "\" text-anchor=\"middle\">没有可绘制的数值</text>\n";

    // Legend, above the plot.
    svg += "<g class=\"legend\">\n";
    int x = kPlotLeft;
    for (const ChartSeries& series : plan.series) {
        const bool empty = !std::isfinite(series.mean);
        svg += "<line class=\"series " + series.cls + "\"" + styled(series) + " x1=\"" + std::to_string(x) +
               "\" y1=\"20\" x2=\"" + std::to_string(x + 24) + "\" y2=\"20\"/>\n";
        svg += "<text x=\"" + std::to_string(x + 30) + "\" y=\"24\">" + series.label + (empty ? "（无数据）" : "") +
               "</text>\n";
        // A one-letter label takes 60 units, a longer one more.
        x += (empty ? 130 : 60) + 7 * std::max(0, DisplayWidth(series.label) - 1);
    }
    svg += "<line class=\"mean legend-mean\" x1=\"" + std::to_string(x) + "\" y1=\"20\" x2=\"" +
           std::to_string(x + 24) + "\" y2=\"20\"/>\n";
    svg += "<text x=\"" + std::to_string(x + 30) + "\" y=\"24\">均值</text>\n";
    x += 90;
    svg += "<circle class=\"worst\" cx=\"" + std::to_string(x + 12) + "\" cy=\"20\" r=\"5\"/>\n";
    svg += "<text x=\"" + std::to_string(x + 30) + "\" y=\"24\">最差帧（Y）</text>\n";
    svg += "</g>\n</svg>\n";
    return svg;
}

// The colour of a metric's whole-frame curve, which has no plane of its own.
constexpr const char* kWholeFrameStroke = "stroke: #555";

ChartPlan PsnrChart(const SequenceStatistics& stats)
{
    ChartPlan plan{"逐帧 PSNR", "PSNR (dB)", " dB", 0.1, 50, {}};
    for (int p = 0; p < 3; ++p)
        plan.series.push_back({std::string("plane-") + kPlaneKeys[p], std::string("series-") + kPlaneKeys[p],
                               kPlaneLabels[p], "", [p](const FrameResult& f) { return f.psnr[p]; },
                               stats.planes[p].mean});
    return plan;
}

// A metric beyond PSNR: its planes', then its whole frame's scores.
ChartPlan ScoreChart(const ScoreFamily& family, const SequenceStatistics& stats)
{
    const std::string label = FamilyLabel(family.name);
    ChartPlan plan{"逐帧 " + label, label, "", 0.001, 1, {}};
    const auto add = [&](std::ptrdiff_t k, std::string cls, std::string id, std::string name, std::string style) {
        const std::size_t score = std::size_t(k);
        plan.series.push_back({std::move(cls), family.name + "-" + id, std::move(name), std::move(style),
                               [score](const FrameResult& f) { return ScoreValue(f, score); },
                               score < stats.scores.size() ? stats.scores[score].mean : std::nan("")});
    };
    for (int p = 0; p < 3; ++p)
        if (family.planes[p] >= 0)
            add(family.planes[p], std::string("plane-") + kPlaneKeys[p], std::string("series-") + kPlaneKeys[p],
                kPlaneLabels[p], "");
    if (family.whole >= 0)
        add(family.whole, "whole", "series-whole", "整帧", kWholeFrameStroke);
    return plan;
}

const char* const kStyle = R"(
body { font-family: "Noto Sans CJK SC", "WenQuanYi Zen Hei", "Microsoft YaHei", "PingFang SC", sans-serif;
       color: #222; background: #fafafa; margin: 0; }
main { max-width: 1000px; margin: 0 auto; padding: 24px 28px 40px; background: #fff; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 10px; padding-bottom: 4px; border-bottom: 1px solid #ddd; }
.subtitle { color: #666; margin: 0; font-size: 13px; }
table { border-collapse: collapse; font-size: 14px; }
th, td { padding: 4px 12px; border-bottom: 1px solid #eee; }
th { background: #f3f4f6; font-weight: 600; text-align: left; }
th.num { text-align: right; }
td.num { text-align: right; font-variant-numeric: tabular-nums; font-family: "DejaVu Sans Mono", Consolas, monospace; }
table.inputs th { width: 9em; }
table.inputs td { word-break: break-all; }
tr.weighted td { border-top: 2px solid #ddd; font-weight: 600; }
.note { color: #666; font-size: 12px; margin-top: 6px; }
.warning { color: #a15c00; font-weight: 600; }
svg.chart { display: block; max-width: 100%; height: auto; font-size: 12px; }
svg .grid line { stroke: #e5e7eb; stroke-width: 1; }
svg .tick { fill: #555; }
svg .axis-title { fill: #333; font-size: 13px; }
svg rect.frame { fill: none; stroke: #999; stroke-width: 1; }
svg .series { fill: none; stroke-width: 1.4; stroke-linejoin: round; }
svg .mean { stroke-width: 1.2; stroke-dasharray: 6 4; }
svg .plane-y { stroke: #1f5fa8; }
svg .plane-u { stroke: #2e8b57; }
svg .plane-v { stroke: #c0392b; }
svg .legend-mean { stroke: #555; }
svg .legend text, svg .empty { fill: #333; font-size: 13px; }
svg circle.worst { fill: none; stroke: #111; stroke-width: 1.5; }
)";

std::string Cell(const std::string& text, bool number = true)
{
    return std::string(number ? "<td class=\"num\">" : "<td>") + Xml(text) + "</td>";
}

std::string HtmlValue(double value)
{
    return std::isnan(value) ? "—" : FormatValue(value);
}

std::string HtmlFrame(std::int32_t frame)
{
    return frame < 0 ? "—" : std::to_string(frame);
}

// One frame's object in the "frames" array, in exactly the bytes dump(2)
// gives it there: the same indentation, and numbers through the library's own
// shortest round-trip formatting.
void AppendJsonFrame(std::string& text, const FrameResult& f, const std::vector<Series>& series)
{
    char number[64];
    text += "    {\n      \"frameNum\": ";
    text.append(number, std::to_chars(number, number + sizeof number, f.frame).ptr);
    text += ",\n      \"metrics\": {\n";
    for (const Series& s : series) {
        text.append("        \"").append(s.name).append("\": ");
        const double v = s(f);
        if (std::isfinite(v))
            text.append(number, nlohmann::detail::to_chars(number, number + sizeof number, v));
        else
            text += "null";
        text += &s == &series.back() ? "\n      }\n    }" : ",\n";
    }
}

void AppendCsvRow(std::string& text, const FrameResult& f, const std::vector<Series>& series)
{
    char row[8 * kFixedChars];
    char* end = std::to_chars(row, row + sizeof row, f.frame).ptr;
    for (const Series& s : series) {
        if (end + kFixedChars + 1 > row + sizeof row) {
            text.append(row, end);
            end = row;
        }
        *end++ = ',';
        const double v = s(f);
        if (!std::isnan(v))
            end = FixedToChars(end, row + sizeof row, v, 6);
    }
    *end++ = '\n';
    text.append(row, end);
}

}  // namespace

void WriteJson(const RunRecord& run, const TextSink& out)
{
    const SequenceStatistics& stats = run.statistics;
    const RunOutcome& outcome = run.outcome;
    const RunDescription& d = outcome.description;

    Json root;
    root["version"] = kVersion;
    root["frames"] = Json::array();  // filled in below, as text

    const std::vector<Series> series = SeriesOf(d);
    Json pooled;
    for (const Series& s : series) {
        const Pool p = PoolOf(run.frames, s);
        pooled[s.name] = Json{{"min", Number(p.min)},
                              {"max", Number(p.max)},
                              {"mean", Number(p.mean)},
                              {"harmonic_mean", Number(p.harmonicMean)}};
    }
    root["pooled_metrics"] = std::move(pooled);
    root["aggregate_metrics"] = Json{{"apsnr_y", Number(stats.planes[0].pooled)},
                                     {"apsnr_cb", Number(stats.planes[1].pooled)},
                                     {"apsnr_cr", Number(stats.planes[2].pooled)},
                                     {"apsnr_yuv", Number(stats.yuv.pooled)}};

    Json own;
    own["inputs"] = Json{{"reference", d.sourcePath},
                         {"target", d.targetPath},
                         {"width", d.width},
                         {"height", d.height},
                         {"format", d.format},
                         {"bits", d.bits},
                         {"peak_kind", d.peakKind},
                         {"peak", Number(d.peak)},
                         {"reference_is_y4m", d.sourceIsY4m},
                         {"target_is_y4m", d.targetIsY4m}};
    // What the frames compared of an encoded input cost.
    if (d.sourceEncode.decoded)
        own["inputs"]["reference_encode"] = EncodeJson(d.sourceEncode);
    if (d.targetEncode.decoded)
        own["inputs"]["target_encode"] = EncodeJson(d.targetEncode);
    own["frames_requested"] = outcome.framesRequested;
    own["frames_compared"] = outcome.framesCompared;
    // Frames are numbered in the order compared; these say which frames of
    // the files those were. Absent when the files were paired from their starts.
    if (d.offset != 0 || d.start != 0) {
        own["offset"] = d.offset;
        own["start"] = d.start;
    }
    const char* ended = EndedEarly(outcome);
    own["ended_early"] = ended ? Json(ended) : Json(nullptr);
    own["result_write_failed"] = outcome.resultWriteFailed;
    Json planes;
    for (int p = 0; p < 3; ++p)
        planes[kPlaneKeys[p]] = PlaneJson(stats.planes[p]);
    planes["yuv"] = PlaneJson(stats.yuv);
    own["planes"] = std::move(planes);
    own["weighted_611"] = Number(stats.weighted611);
    // Beyond PSNR, each score's extremes and mean, and what ranked the worst frames.
    if (!d.scores.empty()) {
        Json scores;
        for (std::size_t k = 0; k < d.scores.size() && k < stats.scores.size(); ++k) {
            const ScoreStatistics& s = stats.scores[k];
            scores[d.scores[k]] = Json{{"mean", Number(s.mean)},
                                       {"mean_db", Number(SimilarityDecibels(s.mean))},
                                       {"min", Number(s.min)},
                                       {"min_frame", FrameNumber(s.minFrame)},
                                       {"max", Number(s.max)},
                                       {"max_frame", FrameNumber(s.maxFrame)}};
        }
        own["scores"] = std::move(scores);
    }
    if (!stats.worstBy.empty())
        own["worst_by"] = stats.worstBy;
    Json worst = Json::array();
    for (const FrameResult& f : stats.worst) {
        Json frame{{"frame", f.frame},
                   {"psnr_y", Number(f.psnr[0])},
                   {"psnr_u", Number(f.psnr[1])},
                   {"psnr_v", Number(f.psnr[2])},
                   {"psnr_yuv", Number(f.psnrYuv)}};
        for (std::size_t k = 0; k < d.scores.size(); ++k)
            frame[d.scores[k]] = Number(ScoreValue(f, k));
        worst.push_back(std::move(frame));
    }
    own["worst_frames"] = std::move(worst);
    root["lorvane"] = std::move(own);

    // A path need not be valid UTF-8 on every system; replacing its bad bytes
    // beats throwing away the whole document.
    const std::string text = root.dump(2, ' ', false, Json::error_handler_t::replace) + '\n';
    const std::string empty = "\"frames\": []";
    const std::size_t frames = text.find(empty) + empty.size() - 1;  // at the ']'
    out(std::string_view(text).substr(0, run.frames.empty() ? frames + 1 : frames - 1));

    // The frames are nearly all of the document. Built into the tree, each
    // would cost a dozen allocated nodes and the whole document would be held
    // at once; instead they are written as text, a frame at a time.
    if (!run.frames.empty()) {
        std::string piece = "[\n";
        for (const FrameResult& f : run.frames) {
            if (&f != &run.frames.front())
                piece += ",\n";
            AppendJsonFrame(piece, f, series);
            if (piece.size() >= kPieceBytes) {
                out(piece);
                piece.clear();
            }
        }
        piece += "\n  ";
        out(piece);
    }
    out(std::string_view(text).substr(run.frames.empty() ? frames + 1 : frames));
}

std::string JsonText(const RunRecord& run)
{
    std::string text;
    WriteJson(run, [&](std::string_view piece) { text += piece; });
    return text;
}

void WriteCsv(const RunRecord& run, const TextSink& out)
{
    const std::vector<Series> series = SeriesOf(run.outcome.description);
    std::string text = "Frame";
    for (const Series& s : series)
        text += std::string(",") + s.name;
    text += '\n';
    // Straight into the text, a row at a time: this runs once per frame.
    for (const FrameResult& f : run.frames) {
        AppendCsvRow(text, f, series);
        if (text.size() >= kPieceBytes) {
            out(text);
            text.clear();
        }
    }
    out(text);
}

std::string CsvText(const RunRecord& run)
{
    std::string text;
    WriteCsv(run, [&](std::string_view piece) { text += piece; });
    return text;
}

std::string StatisticsTable(const RunRecord& run)
{
    const SequenceStatistics& stats = run.statistics;
    std::string text = "统计（" + std::to_string(stats.frames) + " 帧，单位 dB；合并 = 平均均方误差的 PSNR）\n";
    std::vector<std::vector<std::string>> rows = {{"分量", "平均", "合并", "最小", "帧", "最大", "帧"}};
    for (int r = 0; r < 4; ++r) {
        const PlaneStatistics& s = StatisticsRow(stats, r);
        rows.push_back({RowLabel(r), TableValue(s.mean), TableValue(s.pooled), TableValue(s.min),
                        TableFrame(s.minFrame), TableValue(s.max), TableFrame(s.maxFrame)});
    }
    text += Columns(rows);
    text += "6:1:1 加权（(6Y+U+V)/8 的平均）：" + TableValue(stats.weighted611) + '\n';
    const RunDescription& d = run.outcome.description;
    if (!d.scores.empty()) {
        text += "\n其他指标（越大越好；dB = -10·log10(1 - 平均)，平均为 1 时记为 100.000000）\n";
        std::vector<std::vector<std::string>> scoreRows = {{"指标", "平均", "dB", "最小", "帧", "最大", "帧"}};
        for (std::size_t k = 0; k < d.scores.size() && k < stats.scores.size(); ++k) {
            const ScoreStatistics& s = stats.scores[k];
            scoreRows.push_back({ScoreLabel(d.scores[k]), TableValue(s.mean), TableValue(SimilarityDecibels(s.mean)),
                                 TableValue(s.min), TableFrame(s.minFrame), TableValue(s.max), TableFrame(s.maxFrame)});
        }
        text += Columns(scoreRows);
    }
    if (d.sourceEncode.decoded)
        text += "源参考序列编码：" + EncodeText(d.sourceEncode, stats.frames) + '\n';
    if (d.targetEncode.decoded)
        text += "目标序列编码：" + EncodeText(d.targetEncode, stats.frames) + '\n';

    if (!stats.worst.empty()) {
        text += stats.worstBy.empty() ? "\n最差帧（按 Y 的 PSNR）\n" : "\n最差帧（按 " + ScoreLabel(stats.worstBy) + "，从低到高）\n";
        // Beside PSNR, the luma score of each other metric.
        const std::vector<std::size_t> luma = LumaScores(d.scores);
        std::vector<std::vector<std::string>> worst = {{"名次", "帧", "PSNR_Y", "PSNR_U", "PSNR_V"}};
        for (std::size_t k : luma)
            worst[0].push_back(ScoreLabel(d.scores[k]));
        for (std::size_t i = 0; i < stats.worst.size(); ++i) {
            const FrameResult& f = stats.worst[i];
            worst.push_back({std::to_string(i + 1), std::to_string(f.frame), TableValue(f.psnr[0]),
                             TableValue(f.psnr[1]), TableValue(f.psnr[2])});
            for (std::size_t k : luma)
                worst.back().push_back(TableValue(ScoreValue(f, k)));
        }
        text += Columns(worst);
    }
    return text;
}

std::string HtmlReport(const RunRecord& run)
{
    const SequenceStatistics& stats = run.statistics;
    const RunOutcome& outcome = run.outcome;
    const RunDescription& d = outcome.description;

    std::string h;
    h += "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"zh-CN\" xml:lang=\"zh-CN\">\n<head>\n";
    h += "<meta charset=\"utf-8\"/>\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n";
    h += "<title>Lorvane PSNR 报告</title>\n<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<main>\n";
    h += "<h1>Lorvane PSNR 报告</h1>\n<p class=\"subtitle\">Lorvane " + Xml(kVersion) + "</p>\n";

    h += "<h2>输入与设置</h2>\n<table class=\"inputs\">\n";
    auto row = [&](const std::string& name, const std::string& value, const char* cls = nullptr) {
        h += "<tr><th>" + Xml(name) + "</th><td" + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" +
             Xml(value) + "</td></tr>\n";
    };
    row("源参考序列", d.sourcePath + (d.sourceIsY4m ? "（YUV4MPEG2）" : ""));
    row("目标序列", d.targetPath + (d.targetIsY4m ? "（YUV4MPEG2）" : ""));
    if (d.sourceEncode.decoded)
        row("源参考序列编码", EncodeText(d.sourceEncode, outcome.framesCompared));
    if (d.targetEncode.decoded)
        row("目标序列编码", EncodeText(d.targetEncode, outcome.framesCompared));
    row("分辨率", std::to_string(d.width) + " × " + std::to_string(d.height));
    row("像素格式", d.format + "，" + std::to_string(d.bits) + " 位");
    row("峰值", Fixed(d.peak, 0) + "（" + d.peakKind + "）");
    if (d.offset != 0 || d.start != 0) {
        const std::int64_t reference = std::max<std::int64_t>(d.offset, 0) + d.start;
        const std::int64_t target = std::max<std::int64_t>(-std::int64_t(d.offset), 0) + d.start;
        row("帧对齐", "偏移 " + std::to_string(d.offset) + "，起始 " + std::to_string(d.start) + "：第0帧是源参考序列的第" +
                         std::to_string(reference) + "帧与目标序列的第" + std::to_string(target) + "帧");
    }
    row("请求帧数", std::to_string(outcome.framesRequested));
    row("比较帧数", std::to_string(outcome.framesCompared));
    if (const char* ended = EndedEarly(outcome)) {
        const std::string which = std::string(ended) == "both" ? "两个序列都"
                                  : std::string(ended) == "reference" ? "源参考序列"
                                                                      : "目标序列";
        row("提前结束", which + "在请求的帧数之前结束", "warning");
    }
    if (outcome.resultWriteFailed)
        row("结果文件", "写入出错，结果文件不完整", "warning");
    h += "</table>\n";

    h += "<h2>统计</h2>\n<table class=\"stats\">\n<tr><th>分量</th><th class=\"num\">平均 (dB)</th>"
         "<th class=\"num\">合并 (dB)</th><th class=\"num\">最小 (dB)</th><th class=\"num\">帧</th>"
         "<th class=\"num\">最大 (dB)</th><th class=\"num\">帧</th></tr>\n";
    for (int r = 0; r < 4; ++r) {
        const PlaneStatistics& s = StatisticsRow(stats, r);
        h += "<tr>" + Cell(RowLabel(r), false) + Cell(HtmlValue(s.mean)) + Cell(HtmlValue(s.pooled)) +
             Cell(HtmlValue(s.min)) + Cell(HtmlFrame(s.minFrame)) + Cell(HtmlValue(s.max)) +
             Cell(HtmlFrame(s.maxFrame)) + "</tr>\n";
    }
    h += "<tr class=\"weighted\"><td>6:1:1 加权</td>" + Cell(HtmlValue(stats.weighted611)) +
         "<td colspan=\"5\"></td></tr>\n</table>\n";
    h += "<p class=\"note\">平均：各帧 PSNR 的算术平均；合并：全部帧平均均方误差的 PSNR；"
         "6:1:1 加权：(6 × Y + U + V) / 8，取各分量的平均值。</p>\n";
    if (!d.scores.empty()) {
        h += "<table class=\"stats\">\n<tr><th>指标</th><th class=\"num\">平均</th><th class=\"num\">平均 (dB)</th>"
             "<th class=\"num\">最小</th><th class=\"num\">帧</th><th class=\"num\">最大</th>"
             "<th class=\"num\">帧</th></tr>\n";
        for (std::size_t k = 0; k < d.scores.size() && k < stats.scores.size(); ++k) {
            const ScoreStatistics& s = stats.scores[k];
            h += "<tr>" + Cell(ScoreLabel(d.scores[k]), false) + Cell(HtmlValue(s.mean)) +
                 Cell(HtmlValue(SimilarityDecibels(s.mean))) + Cell(HtmlValue(s.min)) + Cell(HtmlFrame(s.minFrame)) +
                 Cell(HtmlValue(s.max)) + Cell(HtmlFrame(s.maxFrame)) + "</tr>\n";
        }
        h += "</table>\n<p class=\"note\">平均：各帧数值的算术平均，越大越好；平均 (dB)：-10 × log10(1 - 平均)，"
             "平均为 1（各帧完全相同）时记为 100.000000，同 PSNR。</p>\n";
    }

    h += "<h2>逐帧 PSNR</h2>\n" + Chart(run, PsnrChart(stats));
    for (const ScoreFamily& family : ScoreFamilies(d.scores))
        h += "<h2>逐帧 " + Xml(FamilyLabel(family.name)) + "</h2>\n" + Chart(run, ScoreChart(family, stats));

    h += "<h2>最差帧</h2>\n";
    if (stats.worst.empty()) {
        h += "<p>没有比较任何帧。</p>\n";
    } else {
        if (!stats.worstBy.empty())
            h += "<p>按 " + Xml(ScoreLabel(stats.worstBy)) + " 从低到高排列。</p>\n";
        const std::vector<std::size_t> luma = LumaScores(d.scores);
        h += "<table class=\"worst\">\n<tr><th class=\"num\">名次</th><th class=\"num\">帧</th>"
             "<th class=\"num\">PSNR_Y</th><th class=\"num\">PSNR_U</th><th class=\"num\">PSNR_V</th>"
             "<th class=\"num\">PSNR_YUV</th>";
        for (std::size_t k : luma)
            h += "<th class=\"num\">" + Xml(ScoreLabel(d.scores[k])) + "</th>";
        h += "</tr>\n";
        for (std::size_t i = 0; i < stats.worst.size(); ++i) {
            const FrameResult& f = stats.worst[i];
            h += "<tr>" + Cell(std::to_string(i + 1)) + Cell(std::to_string(f.frame)) + Cell(HtmlValue(f.psnr[0])) +
                 Cell(HtmlValue(f.psnr[1])) + Cell(HtmlValue(f.psnr[2])) + Cell(HtmlValue(f.psnrYuv));
            for (std::size_t k : luma)
                h += Cell(HtmlValue(ScoreValue(f, k)));
            h += "</tr>\n";
        }
        h += "</table>\n";
    }
    h += "</main>\n</body>\n</html>\n";
    return h;
}

namespace {

// Colours of the targets' curves in a report of several: distinct, and dark
// enough on white.
const char* const kTargetColours[] = {"#1f5fa8", "#c0392b", "#2e8b57", "#8e44ad", "#d35400",
                                      "#16a085", "#7f8c8d", "#b7950b", "#2c3e50", "#e84393"};

// One luma series of every target on one chart, frame numbers of each from 0:
// PSNR's by default.
struct LumaPlan {
    std::string title = "逐帧亮度 PSNR";
    std::string axisTitle = "PSNR_Y (dB)";
    FrameValue value = [](const FrameResult& f) { return f.psnr[0]; };
    double band = 0.1, empty = 50;
};

std::string LumaChart(const std::vector<RunRecord>& runs, const LumaPlan& plan = {})
{
    double yMin = std::numeric_limits<double>::infinity(), yMax = -yMin;
    XAxis xAxis{0, 1};
    for (const RunRecord& run : runs) {
        for (const FrameResult& f : run.frames) {
            const double v = plan.value(f);
            if (std::isfinite(v))
                yMin = std::min(yMin, v), yMax = std::max(yMax, v);
        }
        if (!run.frames.empty())
            xAxis.last = std::max(xAxis.last, double(run.frames.back().frame));
    }
    const YAxis yAxis = YAxisOf(yMin, yMax, plan.band, plan.empty);
    const bool anyValue = yAxis.anyValue;
    const auto yOf = [&](double v) { return yAxis.Y(v); };

    std::string svg = ChartFrame(plan.title, plan.axisTitle, yAxis, xAxis, true);
    for (std::size_t r = 0; r < runs.size(); ++r)
        svg += "<polyline class=\"series\" id=\"series-" + std::to_string(r) + "\" style=\"stroke: " +
               kTargetColours[r % std::size(kTargetColours)] + "\" points=\"" +
               PolylinePoints(runs[r].frames, plan.value, xAxis, yOf) + "\"><title>" + Xml(runs[r].outcome.description.targetPath) +
               "</title></polyline>\n";
    if (!anyValue)
        svg += "<text class=\"empty\" x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
               std::to_string((kPlotTop + kPlotBottom) / 2) + "\" text-anchor=\"middle\">没有可绘制的数值</text>\n";
    svg += "</svg>\n";
    return svg;
}

}  // namespace

std::string HtmlReport(const std::vector<RunRecord>& runs, const std::string& more)
{
    if (runs.size() == 1)
        return HtmlReport(runs.front());
    std::string h;
    h += "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"zh-CN\" xml:lang=\"zh-CN\">\n<head>\n";
    h += "<meta charset=\"utf-8\"/>\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n";
    h += "<title>Lorvane PSNR 报告</title>\n<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<main>\n";
    h += "<h1>Lorvane PSNR 报告</h1>\n<p class=\"subtitle\">Lorvane " + Xml(kVersion) + "，" +
         std::to_string(runs.size()) + " 个目标序列</p>\n";
    if (runs.empty()) {
        h += "</main>\n</body>\n</html>\n";
        return h;
    }
    const RunDescription& d = runs.front().outcome.description;
    h += "<h2>输入与设置</h2>\n<table class=\"inputs\">\n";
    auto row = [&](const std::string& name, const std::string& value) {
        h += "<tr><th>" + Xml(name) + "</th><td>" + Xml(value) + "</td></tr>\n";
    };
    row("源参考序列", d.sourcePath + (d.sourceIsY4m ? "（YUV4MPEG2）" : ""));
    row("分辨率", std::to_string(d.width) + " × " + std::to_string(d.height));
    row("像素格式", d.format + "，" + std::to_string(d.bits) + " 位");
    row("峰值", Fixed(d.peak, 0) + "（" + d.peakKind + "）");
    h += "</table>\n";

    h += "<h2>各目标序列</h2>\n<table class=\"stats\">\n<tr><th>目标序列</th><th class=\"num\">帧数</th>"
         "<th class=\"num\">Y 平均</th><th class=\"num\">U 平均</th><th class=\"num\">V 平均</th>"
         "<th class=\"num\">YUV 合并</th><th class=\"num\">Y 最小</th><th>说明</th></tr>\n";
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const RunRecord& run = runs[r];
        const RunOutcome& o = run.outcome;
        const SequenceStatistics& s = run.statistics;
        std::string note;
        if (o.description.offset != 0 || o.description.start != 0)
            note += "偏移 " + std::to_string(o.description.offset) + "，起始 " + std::to_string(o.description.start);
        if (const char* ended = EndedEarly(o))
            note += (note.empty() ? "" : "；") + std::string(std::string(ended) == "both"        ? "两个序列都"
                                                             : std::string(ended) == "reference" ? "源参考序列"
                                                                                                 : "目标序列") +
                    "在请求的 " + std::to_string(o.framesRequested) + " 帧之前结束";
        h += "<tr><td><span style=\"color: " + std::string(kTargetColours[r % std::size(kTargetColours)]) +
             "\">■</span> " + Xml(o.description.targetPath + (o.description.targetIsY4m ? "（YUV4MPEG2）" : "")) +
             "</td>" + Cell(std::to_string(o.framesCompared)) + Cell(HtmlValue(s.planes[0].mean)) +
             Cell(HtmlValue(s.planes[1].mean)) + Cell(HtmlValue(s.planes[2].mean)) + Cell(HtmlValue(s.yuv.pooled)) +
             Cell(HtmlValue(s.planes[0].min)) + "<td" + (EndedEarly(o) ? " class=\"warning\"" : "") + ">" + Xml(note) +
             "</td></tr>\n";
    }
    h += "</table>\n<p class=\"note\">平均：各帧 PSNR 的算术平均；合并：全部帧平均均方误差的 PSNR。</p>\n";
    // Every target measured the same metrics: the first one's names serve all.
    if (!d.scores.empty()) {
        h += "<table class=\"stats\">\n<tr><th>目标序列</th>";
        for (const std::string& name : d.scores)
            h += "<th class=\"num\">" + Xml(ScoreLabel(name)) + " 平均</th>";
        h += "</tr>\n";
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const RunRecord& run = runs[r];
            h += "<tr><td><span style=\"color: " + std::string(kTargetColours[r % std::size(kTargetColours)]) +
                 "\">■</span> " + Xml(run.outcome.description.targetPath) + "</td>";
            for (std::size_t k = 0; k < d.scores.size(); ++k)
                h += Cell(HtmlValue(k < run.statistics.scores.size() ? run.statistics.scores[k].mean : std::nan("")));
            h += "</tr>\n";
        }
        h += "</table>\n<p class=\"note\">平均：各帧数值的算术平均，越大越好。</p>\n";
    }
    h += "<h2>逐帧亮度 PSNR</h2>\n" + LumaChart(runs);
    for (const ScoreFamily& family : ScoreFamilies(d.scores)) {
        const std::string label = FamilyLabel(family.name);
        const std::size_t luma = std::size_t(family.Luma());
        const std::string axis = family.planes[0] >= 0 ? ScoreLabel(d.scores[luma]) : label;
        h += "<h2>逐帧亮度 " + Xml(label) + "</h2>\n" +
             LumaChart(runs, {"逐帧亮度 " + label, axis, [luma](const FrameResult& f) { return ScoreValue(f, luma); },
                              0.001, 1});
    }
    h += more + "</main>\n</body>\n</html>\n";
    return h;
}

bool WriteOutput(const std::string& path, const std::function<void(const TextSink&)>& write)
{
    OutputFile file;
    if (path == "-")
        file.SendToStdout();
    if (!file.Open(path))
        return false;
    write([&](std::string_view piece) { file.Write(piece); });
    return file.Finish() && file.Commit();
}

bool WriteOutput(const std::string& path, const std::string& text)
{
    return WriteOutput(path, [&](const TextSink& out) { out(text); });
}

}  // namespace lorvane
