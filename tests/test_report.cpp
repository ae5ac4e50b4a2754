#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <unistd.h>

#include <array>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core/psnr.h"
#include "report/outputs.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const double kNan = std::nan("");

double Psnr(double mse, double peak) { return mse == 0 ? 100.0 : 10 * std::log10(peak * peak / mse); }

// A run built by hand: each frame's MSEs (U and V NaN for gray), 16x8 4:2:0
// (128, 32, 32 samples) or gray (128 samples).
lorvane::RunRecord Record(const std::vector<std::array<double, 3>>& mses, bool gray = false, double peak = 255,
                          const std::string& path = "ref.yuv")
{
    lorvane::RunRecord run;
    auto& d = run.outcome.description;
    d = {path, "tgt.yuv", 16, 8, gray ? "gray" : "yuv420p", 8, "full", peak, false, true,
         {128, gray ? 0u : 32u, gray ? 0u : 32u}};
    for (std::size_t i = 0; i < mses.size(); ++i) {
        lorvane::FrameResult f;
        f.frame = std::int32_t(i);
        double ssd = 0;
        for (int p = 0; p < 3; ++p) {
            f.mse[p] = gray && p > 0 ? kNan : mses[i][p];
            f.psnr[p] = gray && p > 0 ? kNan : Psnr(mses[i][p], peak);
            if (d.planeSamples[p])
                ssd += f.mse[p] * double(d.planeSamples[p]);
        }
        f.psnrYuv = Psnr(ssd / (gray ? 128 : 192), peak);
        run.frames.push_back(f);
    }
    run.outcome.framesRequested = std::int32_t(mses.size()) + 2;
    run.outcome.framesCompared = std::int32_t(mses.size());
    run.outcome.targetEnded = true;
    run.statistics = lorvane::ComputeStatistics(run.frames, d, 3);
    return run;
}

// Frame 1 is identical (MSE 0, PSNR 100), frame 2 the worst in luma.
const std::vector<std::array<double, 3>> kMses = {{10, 4, 8}, {0, 0, 0}, {40, 2, 1}, {20, 4, 2}};

// kMses with SSIM's scores as a run names them: luma lowest in frame 3, none for frame 1's whole
// frame, chroma identical (1) throughout; the worst frames ranked by `worstBy`.
lorvane::RunRecord Scored(const std::string& worstBy = {})
{
    auto run = Record(kMses);
    run.outcome.description.scores = {"ssim_y", "ssim_cb", "ssim_cr", "ssim"};
    const double luma[4] = {0.95, 0.99, 0.95, 0.9};
    for (std::size_t i = 0; i < run.frames.size(); ++i)
        run.frames[i].scores = {luma[i], 1, 1, i == 1 ? kNan : 0.5};
    run.statistics = lorvane::ComputeStatistics(run.frames, run.outcome.description, 3, worstBy);
    return run;
}

std::string TempPath(const std::string& name)
{
    return (fs::temp_directory_path() / ("lorvane-report-" + std::to_string(getpid()) + "-" + name)).string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void ForEachElement(xmlNode* node, const std::function<void(xmlNode*)>& visit)
{
    for (; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE) {
            visit(node);
            ForEachElement(node->children, visit);
        }
}

std::string Attribute(xmlNode* node, const char* name)
{
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

// The report parsed as strict XML (no recovery, no network): the plane each
// polyline names, with its point count, and the whole text content.
struct ParsedReport {
    bool wellFormed = false;
    std::map<std::string, std::vector<std::size_t>> polylinePoints;  // by class
    std::string text;
};

ParsedReport ParseReport(const std::string& path)
{
    ParsedReport parsed;
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc)
        return parsed;
    parsed.wellFormed = true;
    xmlChar* text = xmlNodeGetContent(xmlDocGetRootElement(doc));
    parsed.text = reinterpret_cast<const char*>(text);
    xmlFree(text);
    ForEachElement(xmlDocGetRootElement(doc), [&](xmlNode* node) {
        if (std::string(reinterpret_cast<const char*>(node->name)) != "polyline")
            return;
        std::istringstream points(Attribute(node, "points"));
        std::size_t count = 0;
        for (std::string point; points >> point;)
            ++count;
        parsed.polylinePoints[Attribute(node, "class")].push_back(count);
    });
    xmlFreeDoc(doc);
    return parsed;
}

}  // namespace

TEST(Report, StatisticsFollowTheirDefinitions)
{
    const auto run = Record(kMses);
    const auto& s = run.statistics;
    EXPECT_NEAR(s.planes[0].mean, (Psnr(10, 255) + 100 + Psnr(40, 255) + Psnr(20, 255)) / 4, 1e-9);
    EXPECT_NEAR(s.planes[0].pooled, 10 * std::log10(255.0 * 255 / 17.5), 1e-9);
    EXPECT_NEAR(s.planes[2].pooled, 10 * std::log10(255.0 * 255 / 2.75), 1e-9);
    // Combined: all samples of all planes, 128 + 32 + 32 a frame.
    const double yuvMse = (128 * 17.5 + 32 * 2.5 + 32 * 2.75) / 192;
    EXPECT_NEAR(s.yuv.pooled, 10 * std::log10(255.0 * 255 / yuvMse), 1e-9);
    EXPECT_EQ(s.planes[0].minFrame, 2);
    EXPECT_EQ(s.planes[0].maxFrame, 1);
    EXPECT_EQ(s.planes[0].max, 100.0);
    ASSERT_EQ(s.worst.size(), 3u);
    EXPECT_EQ(s.worst[0].frame, 2);
    EXPECT_EQ(s.worst[1].frame, 3);
    EXPECT_EQ(s.worst[2].frame, 0);
    EXPECT_NEAR(s.weighted611, (6 * s.planes[0].mean + s.planes[1].mean + s.planes[2].mean) / 8, 1e-9);

    // An identical frame (printed 100) is better than a frame with a tiny error (printed about 108).
    const auto tiny = Record({{0, 0, 0}, {1e-6, 1e-6, 0}, {0, 0, 0}}).statistics;
    EXPECT_GT(Psnr(1e-6, 255), 100.0);
    EXPECT_EQ(tiny.worst[0].frame, 1);
    EXPECT_EQ(tiny.worst[1].frame, 0);
    EXPECT_EQ(tiny.planes[0].minFrame, 1);
    EXPECT_EQ(tiny.planes[0].maxFrame, 0);
    EXPECT_EQ(tiny.yuv.minFrame, 1);
    EXPECT_EQ(tiny.planes[2].minFrame, 0);  // all equal: the first

    // Scores beyond PSNR: extremes among the frames with a value, the first of equals; a mean over a
    // frame without one is none. Ranked by a score, the lowest come first, frames without one last.
    const auto byLuma = Scored("ssim_y").statistics;
    ASSERT_EQ(byLuma.scores.size(), 4u);
    EXPECT_NEAR(byLuma.scores[0].mean, (0.95 + 0.99 + 0.95 + 0.9) / 4, 1e-12);
    EXPECT_EQ(std::make_pair(byLuma.scores[0].minFrame, byLuma.scores[0].maxFrame), std::make_pair(3, 1));
    EXPECT_EQ(std::make_pair(byLuma.scores[1].min, byLuma.scores[1].minFrame), std::make_pair(1.0, 0));
    EXPECT_TRUE(std::isnan(byLuma.scores[3].mean));
    EXPECT_EQ(std::make_pair(byLuma.scores[3].min, byLuma.scores[3].maxFrame), std::make_pair(0.5, 0));
    EXPECT_EQ(byLuma.worstBy, "ssim_y");
    EXPECT_EQ(std::vector<std::int32_t>({byLuma.worst[0].frame, byLuma.worst[1].frame, byLuma.worst[2].frame}),
              std::vector<std::int32_t>({3, 0, 2}));
    const auto byWhole = Scored("ssim").statistics;  // frame 1 has none: last, so not among the three
    EXPECT_EQ(std::vector<std::int32_t>({byWhole.worst[0].frame, byWhole.worst[1].frame, byWhole.worst[2].frame}),
              std::vector<std::int32_t>({0, 2, 3}));
    for (const auto& [score, db] : std::vector<std::pair<double, double>>{
             {1, 100}, {0.99, 20}, {0.9, 10}, {1 - 1e-11, 110}, {0, 0}, {kNan, kNan}}) {
        const double got = lorvane::SimilarityDecibels(score);
        EXPECT_TRUE(std::isnan(db) ? std::isnan(got) : std::fabs(got - db) < 1e-5) << score << " " << got;
    }
    for (const auto& [name, label] : std::vector<std::pair<std::string, std::string>>{
             {"ssim_y", "SSIM_Y"}, {"ms_ssim_cb", "MS_SSIM_U"}, {"ssim_cr", "SSIM_V"}, {"ssim", "SSIM"}})
        EXPECT_EQ(lorvane::ScoreLabel(name), label);

    const auto gray = Record({{9, 0, 0}}, true);
    EXPECT_TRUE(std::isnan(gray.statistics.planes[1].mean));
    EXPECT_EQ(gray.statistics.planes[2].minFrame, -1);
    EXPECT_NEAR(gray.statistics.yuv.pooled, Psnr(9, 255), 1e-9);
}

TEST(Report, JsonReadsBackInLibvmafLayout)
{
    const auto run = Record(kMses, false, 255, "a \"quoted\" \xff path");
    const std::string text = lorvane::JsonText(run);
    const json j = json::parse(text);
    // The frames are written apart from the rest: the whole must still be
    // laid out as the library lays out what it reads back.
    EXPECT_EQ(text, nlohmann::ordered_json::parse(text).dump(2) + '\n');
    EXPECT_EQ(j["version"], lorvane::kVersion);
    ASSERT_EQ(j["frames"].size(), 4u);
    EXPECT_EQ(j["frames"][2]["frameNum"], 2);
    EXPECT_EQ(j["frames"][1]["metrics"]["psnr_y"], 100.0);
    EXPECT_DOUBLE_EQ(j["frames"][2]["metrics"]["mse_y"].get<double>(), 40.0);
    EXPECT_DOUBLE_EQ(j["frames"][3]["metrics"]["psnr_cb"].get<double>(), Psnr(4, 255));

    const auto& mseY = j["pooled_metrics"]["mse_y"];
    EXPECT_DOUBLE_EQ(mseY["min"].get<double>(), 0);
    EXPECT_DOUBLE_EQ(mseY["max"].get<double>(), 40);
    EXPECT_DOUBLE_EQ(mseY["mean"].get<double>(), 17.5);
    EXPECT_NEAR(mseY["harmonic_mean"].get<double>(), 4 / (1 / 11.0 + 1 / 1.0 + 1 / 41.0 + 1 / 21.0) - 1, 1e-9);
    EXPECT_NEAR(j["pooled_metrics"]["psnr_y"]["mean"].get<double>(), run.statistics.planes[0].mean, 1e-9);
    EXPECT_NEAR(j["aggregate_metrics"]["apsnr_y"].get<double>(), 10 * std::log10(255.0 * 255 / 17.5), 1e-9);
    EXPECT_NEAR(j["aggregate_metrics"]["apsnr_yuv"].get<double>(), run.statistics.yuv.pooled, 1e-9);

    const auto& own = j["lorvane"];
    EXPECT_EQ(own["inputs"]["reference"], "a \"quoted\" \xef\xbf\xbd path");  // the bad byte replaced
    EXPECT_EQ(own["frames_requested"], 6);
    EXPECT_EQ(own["ended_early"], "target");
    EXPECT_EQ(own["worst_frames"][0]["frame"], 2);
    EXPECT_NEAR(own["weighted_611"].get<double>(), run.statistics.weighted611, 1e-9);

    auto gray = Record({{9, 0, 0}}, true);
    gray.outcome.targetEnded = false;
    const std::string grayText = lorvane::JsonText(gray);
    EXPECT_EQ(grayText, nlohmann::ordered_json::parse(grayText).dump(2) + '\n');
    const json g = json::parse(grayText);
    EXPECT_TRUE(g["frames"][0]["metrics"]["psnr_cb"].is_null());
    EXPECT_TRUE(g["pooled_metrics"]["psnr_cr"]["harmonic_mean"].is_null());
    EXPECT_TRUE(g["aggregate_metrics"]["apsnr_cb"].is_null());
    EXPECT_TRUE(g["lorvane"]["planes"]["u"]["min_frame"].is_null());
    EXPECT_TRUE(g["lorvane"]["weighted_611"].is_null());
    EXPECT_TRUE(g["lorvane"]["ended_early"].is_null());
    EXPECT_DOUBLE_EQ(g["aggregate_metrics"]["apsnr_y"].get<double>(), Psnr(9, 255));

    // Scores of metrics beyond PSNR are written by the names the run gives them, after PSNR's, in JSON and CSV;
    // a frame without a value gives null or an empty cell.
    auto scored = Record(kMses);
    scored.outcome.description.scores = {"ssim_y", "ssim"};
    for (std::size_t i = 0; i < scored.frames.size(); ++i)
        scored.frames[i].scores = {0.9 + 0.01 * double(i), i == 1 ? kNan : 0.5};
    const std::string scoredText = lorvane::JsonText(scored);
    EXPECT_EQ(scoredText, nlohmann::ordered_json::parse(scoredText).dump(2) + '\n');
    const auto frame2 = nlohmann::ordered_json::parse(scoredText)["frames"][2]["metrics"];
    EXPECT_EQ(std::prev(frame2.end()).key(), "ssim");
    EXPECT_DOUBLE_EQ(frame2["ssim_y"].get<double>(), 0.92);
    const json s = json::parse(scoredText);
    EXPECT_TRUE(s["frames"][1]["metrics"]["ssim"].is_null());
    EXPECT_DOUBLE_EQ(s["pooled_metrics"]["ssim_y"]["max"].get<double>(), 0.93);
    EXPECT_NEAR(s["pooled_metrics"]["ssim_y"]["mean"].get<double>(), 0.915, 1e-12);
    EXPECT_TRUE(s["pooled_metrics"]["ssim"]["mean"].is_null());
    // The lorvane block: each score's statistics, and what ranked the worst frames (when not PSNR)
    // with every score of each; a run of PSNR alone has neither.
    const json ranked = json::parse(lorvane::JsonText(Scored("ssim_y")));
    EXPECT_EQ(ranked["lorvane"]["worst_by"], "ssim_y");
    EXPECT_EQ(ranked["lorvane"]["worst_frames"][0]["frame"], 3);
    EXPECT_DOUBLE_EQ(ranked["lorvane"]["worst_frames"][0]["ssim_y"].get<double>(), 0.9);
    EXPECT_TRUE(ranked["lorvane"]["worst_frames"][0].contains("psnr_y"));
    EXPECT_EQ(ranked["lorvane"]["scores"]["ssim_y"]["min_frame"], 3);
    EXPECT_DOUBLE_EQ(ranked["lorvane"]["scores"]["ssim_cb"]["mean_db"].get<double>(), 100.0);
    EXPECT_TRUE(ranked["lorvane"]["scores"]["ssim"]["mean"].is_null());
    EXPECT_EQ(ranked["lorvane"]["scores"]["ssim"]["max_frame"], 0);
    EXPECT_FALSE(j["lorvane"].contains("scores") || j["lorvane"].contains("worst_by"));
    EXPECT_FALSE(json::parse(lorvane::JsonText(Scored()))["lorvane"].contains("worst_by"));
    const std::string scoredCsv = lorvane::CsvText(scored);
    EXPECT_EQ(scoredCsv.substr(0, scoredCsv.find('\n')), "Frame,psnr_y,psnr_cb,psnr_cr,mse_y,mse_cb,mse_cr,psnr_yuv,ssim_y,ssim");
    EXPECT_NE(scoredCsv.find(",0.910000,\n"), std::string::npos) << scoredCsv;
    EXPECT_NE(scoredCsv.find(",0.920000,0.500000\n"), std::string::npos) << scoredCsv;
}

TEST(Report, CsvAndTableKeepTheCLocaleAndTheirShape)
{
    // A decimal-comma locale must not reach the numbers.
    const char* previous = std::setlocale(LC_ALL, "de_DE.UTF-8");
    const std::string csv = lorvane::CsvText(Record(kMses));
    const std::string grayCsv = lorvane::CsvText(Record({{9, 0, 0}}, true));
    const std::string table = lorvane::StatisticsTable(Record({{9, 0, 0}}, true));
    const std::string fullTable = lorvane::StatisticsTable(Record(kMses));
    const std::string scoredTable = lorvane::StatisticsTable(Scored("ssim_y"));
    if (previous)
        std::setlocale(LC_ALL, "C");

    EXPECT_EQ(csv.find('\r'), std::string::npos);
    std::istringstream lines(csv);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);)
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], "Frame,psnr_y,psnr_cb,psnr_cr,mse_y,mse_cb,mse_cr,psnr_yuv");
    EXPECT_EQ(rows[2], "1,100.000000,100.000000,100.000000,0.000000,0.000000,0.000000,100.000000");
    EXPECT_EQ(rows[3].rfind("2," + lorvane::FormatValue(Psnr(40, 255)) + ",", 0), 0u) << rows[3];
    EXPECT_EQ(grayCsv, "Frame,psnr_y,psnr_cb,psnr_cr,mse_y,mse_cb,mse_cr,psnr_yuv\n0," +
                           lorvane::FormatValue(Psnr(9, 255)) + ",,,9.000000,,," +
                           lorvane::FormatValue(Psnr(9, 255)) + "\n");

    EXPECT_NE(table.find("nan"), std::string::npos);
    EXPECT_NE(table.find(lorvane::FormatValue(Psnr(9, 255))), std::string::npos);
    // The plane rows sit under the header: with CJK cells counted as two
    // columns, each row of the plane table ends at the same column.
    auto columns = [](const std::string& line) {
        int width = 0;
        for (unsigned char c : line)
            width += (c & 0xC0) == 0x80 ? 0 : c >= 0xE0 ? 2 : 1;
        return width;
    };
    std::istringstream tableLines(fullTable);
    std::vector<int> widths;
    for (std::string line; std::getline(tableLines, line) && widths.size() < 6;)
        widths.push_back(columns(line));
    ASSERT_EQ(widths.size(), 6u);
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ(widths[i], widths[1]) << fullTable;
    EXPECT_NE(fullTable.find("最差帧"), std::string::npos);
    EXPECT_NE(fullTable.find(lorvane::FormatValue(Psnr(40, 255))), std::string::npos);

    // Scores follow PSNR's table, which stays as it was; identical planes (1) are 100 dB as in PSNR.
    EXPECT_EQ(scoredTable.substr(0, scoredTable.find("\n\n")), fullTable.substr(0, fullTable.find("\n\n")));
    const std::string mean = lorvane::FormatValue((0.95 + 0.99 + 0.95 + 0.9) / 4);
    for (const std::string& line : {std::string("指标        平均          dB      最小  帧      最大  帧"),
                                    "SSIM_Y  " + mean + "   " + lorvane::FormatValue(lorvane::SimilarityDecibels(0.9475)) +
                                        "  0.900000   3  0.990000   1",
                                    std::string("SSIM_U  1.000000  100.000000  1.000000   0  1.000000   0"),
                                    std::string("SSIM         nan         nan  0.500000   0  0.500000   0"),
                                    std::string("最差帧（按 SSIM_Y，从低到高）"),
                                    "1      3  " + lorvane::FormatValue(Psnr(20, 255)) + "  " +
                                        lorvane::FormatValue(Psnr(4, 255)) + "  " + lorvane::FormatValue(Psnr(2, 255)) +
                                        "  0.900000"})
        EXPECT_NE(scoredTable.find("\n" + line + "\n"), std::string::npos) << line << "\n" << scoredTable;
}

TEST(Report, HtmlIsWellFormedWithOneLinePerPlaneAndStaysSmall)
{
    const std::string path = TempPath("report.html");
    // Markup characters, a byte that is not UTF-8 and a control character.
    const std::string oddPath = "a&b <c> \"d\"\xff\x01.yuv";

    ASSERT_TRUE(lorvane::WriteOutput(path, lorvane::HtmlReport(Record(kMses, false, 255, oddPath))));
    ParsedReport report = ParseReport(path);
    ASSERT_TRUE(report.wellFormed) << ReadFile(path);
    EXPECT_NE(report.text.find("a&b <c> \"d\"\xef\xbf\xbd\xef\xbf\xbd.yuv"), std::string::npos);
    EXPECT_NE(report.text.find("Lorvane PSNR 报告"), std::string::npos);
    for (const char* plane : {"series plane-y", "series plane-u", "series plane-v"}) {
        ASSERT_EQ(report.polylinePoints[plane].size(), 1u) << plane;
        EXPECT_EQ(report.polylinePoints[plane][0], 4u) << plane;
    }

    // Gray: U and V keep their element, with no points; a single frame still draws.
    ASSERT_TRUE(lorvane::WriteOutput(path, lorvane::HtmlReport(Record({{9, 0, 0}}, true))));
    report = ParseReport(path);
    ASSERT_TRUE(report.wellFormed);
    EXPECT_EQ(report.polylinePoints["series plane-y"], std::vector<std::size_t>{1});
    EXPECT_EQ(report.polylinePoints["series plane-u"], std::vector<std::size_t>{0});
    EXPECT_EQ(report.polylinePoints["series plane-v"], std::vector<std::size_t>{0});

    // A chart per metric: SSIM's has its planes and the whole frame's curve; PSNR's stays one of each.
    const std::string scoredHtml = lorvane::HtmlReport(Scored("ssim_y"));
    ASSERT_TRUE(lorvane::WriteOutput(path, scoredHtml));
    report = ParseReport(path);
    ASSERT_TRUE(report.wellFormed) << scoredHtml;
    for (const char* plane : {"series plane-y", "series plane-u", "series plane-v"})
        EXPECT_EQ(report.polylinePoints[plane], (std::vector<std::size_t>{4, 4})) << plane;
    EXPECT_EQ(report.polylinePoints["series whole"], std::vector<std::size_t>{3});  // frame 1 has none
    for (const char* text : {"逐帧 SSIM", "SSIM_Y", "100.000000", "按 SSIM_Y 从低到高排列"})
        EXPECT_NE(report.text.find(text), std::string::npos) << text;
    // Several targets: a luma chart per metric, one curve each.
    const std::string several = lorvane::HtmlReport(std::vector<lorvane::RunRecord>{Scored(), Scored()});
    ASSERT_TRUE(lorvane::WriteOutput(path, several));
    report = ParseReport(path);
    ASSERT_TRUE(report.wellFormed) << several;
    EXPECT_EQ(report.polylinePoints["series"].size(), 4u);
    EXPECT_NE(report.text.find("逐帧亮度 SSIM"), std::string::npos);
    EXPECT_NE(report.text.find("SSIM_Y 平均"), std::string::npos);

    // 100,000 frames of varying quality: at most two points a pixel column.
    std::vector<std::array<double, 3>> many(100000);
    for (std::size_t i = 0; i < many.size(); ++i)
        many[i] = {1 + double(i * 7919 % 1000), 1 + double(i % 37), 0.5 + double(i % 11)};
    const std::string html = lorvane::HtmlReport(Record(many));
    ASSERT_TRUE(lorvane::WriteOutput(path, html));
    report = ParseReport(path);
    ASSERT_TRUE(report.wellFormed);
    const auto svgAt = html.find("<svg");
    const int chartWidth = std::stoi(html.substr(html.find("width=\"", svgAt) + 7));
    for (const char* plane : {"series plane-y", "series plane-u", "series plane-v"}) {
        ASSERT_EQ(report.polylinePoints[plane].size(), 1u);
        EXPECT_GT(report.polylinePoints[plane][0], std::size_t(chartWidth / 2));
        EXPECT_LE(report.polylinePoints[plane][0], std::size_t(2 * chartWidth));
    }
    EXPECT_LT(html.size(), 150u * 1024);
    fs::remove(path);
}

TEST(Report, WriteOutputIsBinaryAndReportsFailure)
{
    const std::string path = TempPath("out.txt");
    ASSERT_TRUE(lorvane::WriteOutput(path, "a\r\nb\n"));
    EXPECT_EQ(ReadFile(path), "a\r\nb\n");
    const std::string withNul("x\0y", 3);
    ASSERT_TRUE(lorvane::WriteOutput(path, withNul));
    EXPECT_EQ(ReadFile(path), withNul);
    fs::remove(path);

    EXPECT_FALSE(lorvane::WriteOutput(TempPath("no-such-dir") + "/out.txt", "x"));
    if (fs::exists("/dev/full"))  // opens, then fails when the bytes are flushed
        EXPECT_FALSE(lorvane::WriteOutput("/dev/full", std::string(100000, 'x')));
}
