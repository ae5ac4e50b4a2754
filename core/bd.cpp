#include "bd.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "psnr.h"

namespace lorvane {

namespace {

const char* const kRequiredColumns[] = {"Sequence", "Series", "Encode", "Frames", "Bitrate_kbps"};

std::string Fixed(double value, int decimals)
{
    char buffer[kFixedChars];
    return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, value, decimals));
}

// The fields of one CSV record starting at `at`, which is left after its line
// end. Quoted fields may hold commas, doubled quotes and line ends.
bool NextRecord(std::string_view text, std::size_t& at, std::vector<std::string>& fields, int& lines)
{
    fields.assign(1, std::string());
    bool quoted = false, wasQuoted = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quoted) {
            if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                fields.back() += '"';
                ++at;
            } else if (c == '"') {
                quoted = false;
            } else {
                lines += c == '\n';
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            fields.emplace_back();
            wasQuoted = false;
        } else if (c == '\n' || c == '\r') {
            at += c == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
            ++lines;
            return true;
        } else if (wasQuoted) {
            return false;  // text after a closing quote
        } else {
            fields.back() += c;
        }
    }
    ++lines;
    return !quoted;
}

// A number written by the writers (or a spreadsheet): from_chars knows no locale.
bool ParseNumber(const std::string& text, double& value)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    if (begin < end && text[begin] == '+')
        ++begin;
    const char* first = text.data() + begin;
    const char* last = text.data() + end;
    const auto result = std::from_chars(first, last, value);
    return begin < end && result.ec == std::errc() && result.ptr == last;
}

// Curves as the integrals see them: x ascending.
struct Curve {
    std::vector<double> x, y;
};

// Fritsch–Carlson slopes with the three-point ends, as pchip computes them:
// the interpolant never overshoots the data.
std::vector<double> PchipSlopes(const Curve& c)
{
    const std::size_t n = c.x.size();
    std::vector<double> h(n - 1), d(n - 1), m(n);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        h[k] = c.x[k + 1] - c.x[k];
        d[k] = (c.y[k + 1] - c.y[k]) / h[k];
    }
    for (std::size_t k = 1; k + 1 < n; ++k) {
        if (d[k - 1] * d[k] <= 0) {
            m[k] = 0;
            continue;
        }
        const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
        m[k] = (w1 + w2) / (w1 / d[k - 1] + w2 / d[k]);
    }
    const auto end = [](double h0, double h1, double d0, double d1) {
        double slope = ((2 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
        if (std::signbit(slope) != std::signbit(d0) || slope == 0)
            slope = 0;
        else if (std::signbit(d0) != std::signbit(d1) && std::fabs(slope) > 3 * std::fabs(d0))
            slope = 3 * d0;
        return slope;
    };
    m[0] = end(h[0], h[1], d[0], d[1]);
    m[n - 1] = end(h[n - 2], h[n - 3], d[n - 2], d[n - 3]);
    return m;
}

// The integral of the pchip interpolant over [lo, hi], within the curve's x.
// Each piece is y0 + m0 t + c2 t² + c3 t³ in t = x − x0, integrated in closed form.
double PchipIntegral(const Curve& c, double lo, double hi)
{
    const std::vector<double> m = PchipSlopes(c);
    double sum = 0;
    for (std::size_t k = 0; k + 1 < c.x.size(); ++k) {
        const double a = std::max(lo, c.x[k]), b = std::min(hi, c.x[k + 1]);
        if (a >= b)
            continue;
        const double h = c.x[k + 1] - c.x[k];
        const double d = (c.y[k + 1] - c.y[k]) / h;
        const double c2 = (3 * d - 2 * m[k] - m[k + 1]) / h;
        const double c3 = (m[k] + m[k + 1] - 2 * d) / (h * h);
        const auto antiderivative = [&](double t) {
            return t * (c.y[k] + t * (m[k] / 2 + t * (c2 / 3 + t * c3 / 4)));
        };
        sum += antiderivative(b - c.x[k]) - antiderivative(a - c.x[k]);
    }
    return sum;
}

// The least-squares cubic (exact through 4 points), integrated over [lo, hi].
// Fitted in x centred and scaled to about [−1, 1]: the same cubic, but the
// equations stay well conditioned for qualities near 40 or rates near 10^4.
double CubicIntegral(const Curve& c, double lo, double hi)
{
    const std::size_t n = c.x.size();
    const double centre = (c.x.front() + c.x.back()) / 2;
    const double scale = std::max((c.x.back() - c.x.front()) / 2, 1e-300);
    // Normal equations (VᵀV) p = Vᵀy, solved with partial pivoting.
    double a[4][5] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = (c.x[i] - centre) / scale;
        const double powers[4] = {1, t, t * t, t * t * t};
        for (int r = 0; r < 4; ++r) {
            for (int col = 0; col < 4; ++col)
                a[r][col] += powers[r] * powers[col];
            a[r][4] += powers[r] * c.y[i];
        }
    }
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        std::swap(a[col], a[pivot]);
        for (int r = col + 1; r < 4; ++r) {
            const double f = a[r][col] / a[col][col];
            for (int k = col; k < 5; ++k)
                a[r][k] -= f * a[col][k];
        }
    }
    double p[4];
    for (int r = 3; r >= 0; --r) {
        double v = a[r][4];
        for (int k = r + 1; k < 4; ++k)
            v -= a[r][k] * p[k];
        p[r] = v / a[r][r];
    }
    const auto antiderivative = [&](double t) { return t * (p[0] + t * (p[1] / 2 + t * (p[2] / 3 + t * p[3] / 4))); };
    return scale * (antiderivative((hi - centre) / scale) - antiderivative((lo - centre) / scale));
}

double Integral(const Curve& c, BdMethod method, double lo, double hi)
{
    return method == BdMethod::Pchip ? PchipIntegral(c, lo, hi) : CubicIntegral(c, lo, hi);
}

// The mean of test − anchor over the overlap of their x; false when they do not overlap.
bool MeanDifference(const Curve& anchor, const Curve& test, BdMethod method, double& lo, double& hi, double& mean)
{
    lo = std::max(anchor.x.front(), test.x.front());
    hi = std::min(anchor.x.back(), test.x.back());
    if (!(lo < hi))
        return false;
    mean = (Integral(test, method, lo, hi) - Integral(anchor, method, lo, hi)) / (hi - lo);
    return true;
}

// The curve's points sorted for the method, or why they cannot make one.
bool MakeCurves(std::vector<RdPoint> points, BdMethod method, const char* side, Curve& byQuality, Curve& byRate,
                std::string& why)
{
    if (points.size() < 4) {
        why = std::string(side) + " 的曲线只有 " + std::to_string(points.size()) + " 个点，至少要 4 个。";
        return false;
    }
    std::sort(points.begin(), points.end(), [](const RdPoint& a, const RdPoint& b) {
        return a.quality < b.quality || (a.quality == b.quality && a.kbps < b.kbps);
    });
    std::set<double> qualities, rates;
    for (std::size_t i = 0; i < points.size(); ++i) {
        qualities.insert(points[i].quality);
        rates.insert(points[i].kbps);
        if (method != BdMethod::Pchip || i == 0)
            continue;
        const RdPoint& low = points[i - 1];
        const RdPoint& high = points[i];
        if (!(high.quality > low.quality && high.kbps > low.kbps)) {
            const auto point = [](const RdPoint& p) {
                return "质量 " + Fixed(p.quality, 6) + "、码率 " + Fixed(p.kbps, 3) + " kbps" +
                       (p.where.empty() ? "" : "（" + p.where + "）");
            };
            why = std::string(side) + " 的曲线按质量排序后不是严格递增：" + point(low) + " 之后是" + point(high) +
                  "。pchip 要求码率和质量都严格递增。";
            return false;
        }
    }
    if (qualities.size() < 4 || rates.size() < 4) {
        why = std::string(side) + " 的曲线只有 " + std::to_string(std::min(qualities.size(), rates.size())) +
              " 个不同的" + (qualities.size() < rates.size() ? "质量" : "码率") + "，三次拟合至少要 4 个。";
        return false;
    }
    byQuality = {};
    for (const RdPoint& p : points) {
        byQuality.x.push_back(p.quality);
        byQuality.y.push_back(std::log10(p.kbps));
    }
    std::sort(points.begin(), points.end(), [](const RdPoint& a, const RdPoint& b) { return a.kbps < b.kbps; });
    byRate = {};
    for (const RdPoint& p : points) {
        byRate.x.push_back(std::log10(p.kbps));
        byRate.y.push_back(p.quality);
    }
    return true;
}

bool IsPsnr(const std::string& metric) { return metric.rfind("psnr", 0) == 0; }

}  // namespace

double RdRow::Quality(std::string_view name) const
{
    for (const auto& [column, value] : qualities)
        if (column == name)
            return value;
    return NAN;
}

const std::vector<std::string>& RdQualityNames()
{
    static const std::vector<std::string> names = {"psnr_y", "psnr_cb", "psnr_cr", "psnr_yuv", "psnr_611",
                                                    "ssim_y", "ssim",    "ms_ssim_y"};
    return names;
}

const std::vector<std::string>& BdMetricNames()
{
    static const std::vector<std::string> names = {"psnr_y", "psnr_yuv", "psnr_611", "ssim_y", "ssim", "ms_ssim_y"};
    return names;
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

std::string RdCsvText(const std::vector<RdRow>& rows)
{
    std::vector<std::string> columns;
    for (const std::string& name : RdQualityNames())
        if (!rows.empty() && !std::isnan(rows.front().Quality(name)))
            columns.push_back(name);
        else if (rows.empty() && IsPsnr(name))
            columns.push_back(name);
    std::string text;
    for (const char* column : kRequiredColumns)
        text += std::string(text.empty() ? "" : ",") + column;
    for (const std::string& column : columns)
        text += "," + column;
    text += '\n';
    for (const RdRow& row : rows) {
        text += CsvField(row.sequence) + ',' + CsvField(row.series) + ',' + CsvField(row.encode) + ',' +
                std::to_string(row.frames) + ',' + Fixed(row.kbps, 6);
        for (const std::string& column : columns)
            text += ',' + Fixed(row.Quality(column), 6);
        text += '\n';
    }
    return text;
}

bool ParseRdCsv(std::string_view text, const std::string& name, std::vector<RdRow>& rows, std::string& error)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")  // what spreadsheets put first
        text.remove_prefix(3);
    std::size_t at = 0;
    int lines = 0;
    std::vector<std::string> header, fields;
    if (text.empty() || !NextRecord(text, at, header, lines)) {
        error = name + " 不是 RD 文件：第1行应为列名（Sequence,Series,Encode,Frames,Bitrate_kbps,…）。";
        return false;
    }
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < header.size(); ++i)
        if (!index.emplace(header[i], i).second) {
            error = name + " 的列名 " + header[i] + " 出现了两次。";
            return false;
        }
    std::string missing;
    for (const char* column : kRequiredColumns)
        if (!index.count(column))
            missing += (missing.empty() ? "" : "、") + std::string(column);
    if (!missing.empty()) {
        error = name + " 缺少列 " + missing + "：RD 文件的列是 Sequence,Series,Encode,Frames,Bitrate_kbps 和各质量指标。";
        return false;
    }
    std::vector<RdRow> read;
    while (at < text.size()) {
        const int line = lines + 1;
        const std::string where = name + " 第" + std::to_string(line) + "行";
        if (!NextRecord(text, at, fields, lines)) {
            error = where + " 的引号不配对。";
            return false;
        }
        if (fields.size() == 1 && fields[0].empty())
            continue;  // a blank line
        if (fields.size() != header.size()) {
            error = where + " 有 " + std::to_string(fields.size()) + " 列，列名有 " + std::to_string(header.size()) + " 列。";
            return false;
        }
        RdRow& row = read.emplace_back();
        row.origin = where;
        row.sequence = fields[index["Sequence"]];
        row.series = fields[index["Series"]];
        row.encode = fields[index["Encode"]];
        if (row.sequence.empty()) {
            error = where + " 的 Sequence 是空的。";
            return false;
        }
        double frames = 0;
        const std::string& framesText = fields[index["Frames"]];
        if (!ParseNumber(framesText, frames) || frames < 0 || frames != std::floor(frames) || frames > 1e15) {
            error = where + " 的 Frames \"" + framesText + "\" 不是不小于 0 的整数。";
            return false;
        }
        row.frames = std::int64_t(frames);
        const std::string& rate = fields[index["Bitrate_kbps"]];
        if (!ParseNumber(rate, row.kbps) || !std::isfinite(row.kbps) || row.kbps <= 0) {
            error = where + " 的码率 Bitrate_kbps \"" + rate + "\" 无效：应为大于 0 的数（kbps）。";
            return false;
        }
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (std::find(std::begin(kRequiredColumns), std::end(kRequiredColumns), header[i]) !=
                std::end(kRequiredColumns))
                continue;
            double value = 0;
            if (!ParseNumber(fields[i], value)) {
                error = where + " 的 " + header[i] + " \"" + fields[i] + "\" 不是数。";
                return false;
            }
            row.qualities.emplace_back(header[i], value);
        }
    }
    rows.insert(rows.end(), read.begin(), read.end());
    return true;
}

bool ParseManifest(std::string_view text, const std::string& name, std::vector<ManifestRow>& rows, std::string& error)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::size_t at = 0;
    int lines = 0;
    std::vector<std::string> header, fields;
    const char* const columns[] = {"reference", "target", "series", "rate"};
    std::size_t index[4];
    if (!text.empty() && NextRecord(text, at, header, lines)) {
        for (int c = 0; c < 4; ++c)
            index[c] = std::size_t(std::find(header.begin(), header.end(), columns[c]) - header.begin());
    }
    if (text.empty() || std::any_of(std::begin(index), std::end(index), [&](std::size_t i) { return i >= header.size(); })) {
        error = name + " 不是清单文件：第1行应为列名 reference,target,series,rate。";
        return false;
    }
    std::vector<ManifestRow> read;
    while (at < text.size()) {
        const std::string where = name + " 第" + std::to_string(lines + 1) + "行";
        if (!NextRecord(text, at, fields, lines)) {
            error = where + " 的引号不配对。";
            return false;
        }
        if (fields.size() == 1 && fields[0].empty())
            continue;
        if (fields.size() != header.size()) {
            error = where + " 有 " + std::to_string(fields.size()) + " 列，列名有 " + std::to_string(header.size()) + " 列。";
            return false;
        }
        ManifestRow& row = read.emplace_back();
        row.origin = where;
        row.reference = fields[index[0]];
        row.target = fields[index[1]];
        row.series = fields[index[2]];
        if (row.reference.empty() || row.target.empty()) {
            error = where + " 的 reference 或 target 是空的。";
            return false;
        }
        const std::string& rate = fields[index[3]];
        if (!rate.empty() && (!ParseNumber(rate, row.kbps) || !std::isfinite(row.kbps) || row.kbps <= 0)) {
            error = where + " 的码率 rate \"" + rate + "\" 无效：应为大于 0 的数（kbps），解码的目标序列可以空着。";
            return false;
        }
    }
    rows.insert(rows.end(), read.begin(), read.end());
    return true;
}

bool BjontegaardDelta(const std::vector<RdPoint>& anchor, const std::vector<RdPoint>& test, BdMethod method,
                      BdResult& result, std::string& why)
{
    Curve anchorByQuality, anchorByRate, testByQuality, testByRate;
    if (!MakeCurves(anchor, method, "--anchor", anchorByQuality, anchorByRate, why) ||
        !MakeCurves(test, method, "--test", testByQuality, testByRate, why))
        return false;
    double lo = 0, hi = 0, mean = 0;
    if (!MeanDifference(anchorByQuality, testByQuality, method, lo, hi, mean)) {
        why = "质量区间不重叠：--anchor 是 " + Fixed(anchorByQuality.x.front(), 4) + " 到 " +
              Fixed(anchorByQuality.x.back(), 4) + "，--test 是 " + Fixed(testByQuality.x.front(), 4) + " 到 " +
              Fixed(testByQuality.x.back(), 4) + "，无法计算 BD-rate。";
        return false;
    }
    result.rate = (std::pow(10.0, mean) - 1) * 100;
    result.qualityLow = lo;
    result.qualityHigh = hi;
    if (!MeanDifference(anchorByRate, testByRate, method, lo, hi, mean)) {
        why = "码率区间不重叠：--anchor 是 " + Fixed(std::pow(10.0, anchorByRate.x.front()), 3) + " 到 " +
              Fixed(std::pow(10.0, anchorByRate.x.back()), 3) + " kbps，--test 是 " +
              Fixed(std::pow(10.0, testByRate.x.front()), 3) + " 到 " + Fixed(std::pow(10.0, testByRate.x.back()), 3) +
              " kbps，无法计算质量差。";
        return false;
    }
    result.delta = mean;
    result.kbpsLow = std::pow(10.0, lo);
    result.kbpsHigh = std::pow(10.0, hi);
    return true;
}

BdTable CompareRd(const std::vector<RdRow>& anchor, const std::vector<RdRow>& test, const std::string& metric,
                  BdMethod method)
{
    BdTable table;
    table.metric = metric;
    table.method = method;
    const std::pair<const std::vector<RdRow>*, const char*> sides[] = {{&anchor, "--anchor"}, {&test, "--test"}};
    // By sequence, in order of first appearance; each side checked on its own.
    std::vector<std::string> order[2];
    std::map<std::string, std::vector<const RdRow*>> bySequence[2];
    for (int s = 0; s < 2; ++s) {
        std::map<std::pair<std::string, std::string>, const RdRow*> seen;
        for (const RdRow& row : *sides[s].first) {
            if (std::none_of(row.qualities.begin(), row.qualities.end(),
                             [&](const std::pair<std::string, double>& q) { return q.first == metric; })) {
                table.error = std::string(sides[s].second) + " 的 " + row.origin + " 没有 " + metric +
                              " 列：测量时没有测这个指标（用 -m 给出）。";
                return table;
            }
            const auto [it, added] = seen.emplace(std::pair(row.sequence, row.encode), &row);
            if (!added) {
                table.error = std::string(sides[s].second) + " 中序列 " + row.sequence + " 的编码 " + row.encode +
                              " 出现了两次：" + it->second->origin + " 和 " + row.origin + "。";
                return table;
            }
            std::vector<const RdRow*>& rows = bySequence[s][row.sequence];
            if (rows.empty())
                order[s].push_back(row.sequence);
            if (!rows.empty() && rows.front()->series != row.series) {
                table.error = std::string(sides[s].second) + " 中序列 " + row.sequence + " 有两个系列：" +
                              rows.front()->origin + " 是 \"" + rows.front()->series + "\"，" + row.origin + " 是 \"" +
                              row.series + "\"。每边每个序列只能有一条曲线。";
                return table;
            }
            rows.push_back(&row);
        }
    }
    for (int s = 0; s < 2; ++s)
        for (const std::string& sequence : order[s])
            if (!bySequence[1 - s].count(sequence))
                table.warnings.push_back("序列 " + sequence + " 只在 " + sides[s].second + " 中有，没有比较。");

    double sumRate = 0, sumDelta = 0;
    for (const std::string& sequence : order[0]) {
        if (!bySequence[1].count(sequence))
            continue;
        BdSequence& one = table.sequences.emplace_back();
        one.sequence = sequence;
        std::string error;
        for (int s = 0; s < 2 && error.empty(); ++s) {
            const std::vector<const RdRow*>& rows = bySequence[s][sequence];
            (s == 0 ? one.anchorSeries : one.testSeries) = rows.front()->series;
            for (const RdRow* row : rows) {
                const double q = row->Quality(metric);
                if (std::isnan(q)) {
                    error = "序列 " + sequence + "：" + sides[s].second + " 的 " + row->origin + "（编码 " + row->encode +
                            "）的 " + metric + " 不是数：没有比较任何帧的编码不能画进曲线。";
                    break;
                }
                // PSNR of identical frames is a convention, not a measurement:
                // a lossless encode has no place on a rate-distortion curve.
                if (IsPsnr(metric) && q >= 100.0) {
                    table.warnings.push_back("序列 " + sequence + "：" + sides[s].second + " 的 " + row->origin +
                                             "（编码 " + row->encode + "）的 " + metric +
                                             " 是 100（与参考完全相同，无损），不计入曲线。");
                    continue;
                }
                (s == 0 ? one.anchor : one.test).push_back({row->kbps, q, (row->origin.empty() ? "" : row->origin + "，") + "编码 " + row->encode});
            }
        }
        std::string why;
        if (error.empty() && !BjontegaardDelta(one.anchor, one.test, method, one.result, why))
            error = "序列 " + sequence + "：" + why;
        one.error = error;
        one.ok = error.empty();
        if (one.ok) {
            ++table.compared;
            sumRate += one.result.rate;
            sumDelta += one.result.delta;
        }
    }
    table.meanRate = table.compared ? sumRate / table.compared : NAN;
    table.meanDelta = table.compared ? sumDelta / table.compared : NAN;
    return table;
}

}  // namespace lorvane
