#include "cli/rd.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

#include <CLI/CLI.hpp>

#include "core/files.h"
#include "core/psnr.h"
#include "report/outputs.h"
#include "report/rd_report.h"

namespace lorvane {

namespace {

constexpr int kExitDone = 0, kExitFailed = 1, kExitUsage = 2;

constexpr const char* kBdHelp =
    "用法：lorvane-cli bd --anchor RD文件 [--anchor RD文件…] --test RD文件 [--test RD文件…] [选项]\n"
    "      lorvane-cli bd [选项] 基准.csv 对比.csv\n"
    "\n"
    "由 --rd 写出的文件计算 Bjøntegaard 差值：按 Sequence 分组，对两边都有的每个序列给出\n"
    "BD-rate（%，相同质量下 --test 比 --anchor 多用或少用的码率）和质量差（相同码率下的\n"
    "质量之差），以及它们所取的质量区间和码率区间，最后是各序列的平均。\n"
    "每边可以给出多个 --rd 文件（例如各分片写出的），合在一起使用。\n"
    "\n"
    "选项：\n"
    "      --anchor 文件       基准一边的 RD 文件，可重复\n"
    "      --test 文件         对比一边的 RD 文件，可重复\n"
    "      --metric 指标       psnr_y（默认）、psnr_yuv、psnr_611、ssim_y、ssim 或 ms_ssim_y\n"
    "      --method 方法       pchip（默认，JCT-VC/JVET 测试条件的表格）或 cubic（VCEG-M33）\n"
    "      --csv 文件          把结果表写成 CSV；- 表示标准输出\n"
    "      --report 文件       写出 HTML 报告（码率-质量曲线和结果表）；- 表示标准输出\n"
    "  -h, --help              显示本帮助并退出\n"
    "\n"
    "每条曲线至少要 4 个点；pchip 要求按质量排序后码率和质量都严格递增。PSNR 为 100\n"
    "（与参考完全相同）的点不计入曲线。\n"
    "退出状态：0 全部序列算出；1 有序列算不出或文件有误；2 命令行有误。\n";

int Usage(const std::string& reason)
{
    std::fprintf(stderr, "lorvane-cli bd：%s\n请运行 lorvane-cli bd --help 查看用法。\n", reason.c_str());
    return kExitUsage;
}

void Error(const std::string& text, const char* title = "错误!")
{
    std::fputs((std::string(title) + "\n" + text + "\n").c_str(), stderr);
}

bool ReadWhole(const std::string& path, std::string& text)
{
    const File file = OpenSequence(path);
    if (!file)
        return false;
    char buffer[1 << 16];
    text.clear();
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        text.append(buffer, got);
    return !std::ferror(file.get());
}

std::string Fixed(double value, int decimals)
{
    char buffer[kFixedChars];
    return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, value, decimals));
}

// Aligned columns: the first to the left, the others to the right.
std::string Columns(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<int> widths;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
        }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string pad(std::size_t(widths[c] - DisplayWidth(row[c])), ' ');
            line += c == 0 ? row[c] + pad : "  " + pad + row[c];
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + '\n';
    }
    return text;
}

std::string BdCsv(const BdTable& table)
{
    std::string text = "Sequence,BD_rate_percent,BD_" + table.metric +
                       ",Quality_low,Quality_high,Rate_low_kbps,Rate_high_kbps\n";
    for (const BdSequence& s : table.sequences)
        if (s.ok)
            text += CsvField(s.sequence) + ',' + Fixed(s.result.rate, 3) + ',' + Fixed(s.result.delta, 4) + ',' +
                    Fixed(s.result.qualityLow, 4) + ',' + Fixed(s.result.qualityHigh, 4) + ',' +
                    Fixed(s.result.kbpsLow, 3) + ',' + Fixed(s.result.kbpsHigh, 3) + '\n';
    text += "Mean," + Fixed(table.meanRate, 3) + ',' + Fixed(table.meanDelta, 4) + ",,,,\n";
    return text;
}

}  // namespace

bool ParseShard(const std::string& text, int& shard, int& shards)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    const char* end = text.data() + text.size();
    const auto k = std::from_chars(text.data(), text.data() + slash, shard);
    const auto n = std::from_chars(text.data() + slash + 1, end, shards);
    return slash > 0 && k.ec == std::errc() && k.ptr == text.data() + slash && n.ec == std::errc() && n.ptr == end &&
           shards >= 1 && shard >= 0 && shard < shards;
}

int RunBd(const std::vector<std::string>& arguments)
{
    CLI::App app("lorvane-cli bd", "lorvane-cli bd");
    std::vector<std::string> anchors, tests, files;
    std::string metric = "psnr_y", method = "pchip", csvPath, reportPath;
    app.add_option("--anchor", anchors)->allow_extra_args(false);
    app.add_option("--test", tests)->allow_extra_args(false);
    app.add_option("--metric", metric);
    app.add_option("--method", method);
    app.add_option("--csv", csvPath);
    app.add_option("--report", reportPath);
    app.add_option("files", files);
    app.formatter_fn([](const CLI::App*, std::string, CLI::AppFormatMode) { return std::string(kBdHelp); });
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kBdHelp, stdout);
        return kExitDone;
    } catch (const CLI::ParseError& error) {
        if (dynamic_cast<const CLI::ExtrasError*>(&error))
            return Usage("无法识别的参数：" + std::string(error.what()));
        return Usage(std::string("命令行有误：") + error.what());
    }
    if (!files.empty()) {
        if (!anchors.empty() || !tests.empty() || files.size() != 2)
            return Usage("应给出两个 RD 文件（基准和对比），或用 --anchor 和 --test 给出，不能混用。");
        anchors = {files[0]};
        tests = {files[1]};
    }
    if (anchors.empty() || tests.empty())
        return Usage("缺少 RD 文件：至少要一个 --anchor 和一个 --test。");
    const std::vector<std::string>& metrics = BdMetricNames();
    if (std::find(metrics.begin(), metrics.end(), metric) == metrics.end())
        return Usage("未知的质量指标 \"" + metric + "\"：应为 psnr_y、psnr_yuv、psnr_611、ssim_y、ssim 或 ms_ssim_y。");
    if (method != "pchip" && method != "cubic")
        return Usage("未知的方法 \"" + method + "\"：应为 pchip 或 cubic。");
    if (!csvPath.empty() && !reportPath.empty() &&
        ((NamesStandardOutput(csvPath) && NamesStandardOutput(reportPath)) || SameOutputFile(csvPath, reportPath)))
        return Usage("--csv " + csvPath + " 和 --report " + reportPath + " 是同一个输出：每个文件只能写一个输出。");
    for (const std::string* output : {&csvPath, &reportPath})
        for (const std::vector<std::string>* side : {&anchors, &tests})
            for (const std::string& input : *side)
                if (!output->empty() && SameFile(*output, input))
                    return Usage("输出文件 " + *output + " 就是 RD 文件 " + input + "：请另选输出文件。");

    std::vector<RdRow> rows[2];
    for (int s = 0; s < 2; ++s)
        for (const std::string& path : s == 0 ? anchors : tests) {
            std::string text, error;
            if (!ReadWhole(path, text)) {
                Error("不能打开 RD 文件 " + path + "!\n请确认路径是否正确！", "打开文件错误!");
                return kExitFailed;
            }
            if (!ParseRdCsv(text, path, rows[s], error)) {
                Error(error);
                return kExitFailed;
            }
        }
    const BdTable table =
        CompareRd(rows[0], rows[1], metric, method == "pchip" ? BdMethod::Pchip : BdMethod::Cubic);
    if (!table.error.empty()) {
        Error(table.error);
        return kExitFailed;
    }
    for (const std::string& warning : table.warnings)
        Error(warning, "警告!");
    bool failed = false;
    for (const BdSequence& s : table.sequences)
        if (!s.ok) {
            Error(s.error);
            failed = true;
        }
    if (table.sequences.empty()) {
        Error("两边没有共同的序列：没有可比较的曲线。");
        return kExitFailed;
    }

    // The table goes to stdout unless an output does.
    const bool outputToStdout = NamesStandardOutput(csvPath) || NamesStandardOutput(reportPath);
    std::vector<std::vector<std::string>> lines = {
        {"序列", "BD-rate (%)", "质量差 (" + metric + ")", "质量区间", "码率区间 (kbps)"}};
    for (const BdSequence& s : table.sequences)
        if (s.ok)
            lines.push_back({s.sequence, Fixed(s.result.rate, 3), Fixed(s.result.delta, 4),
                             Fixed(s.result.qualityLow, 4) + " – " + Fixed(s.result.qualityHigh, 4),
                             Fixed(s.result.kbpsLow, 3) + " – " + Fixed(s.result.kbpsHigh, 3)});
    if (table.compared > 0)
        lines.push_back({"平均（" + std::to_string(table.compared) + " 个序列）", Fixed(table.meanRate, 3),
                         Fixed(table.meanDelta, 4), "", ""});
    if (table.compared > 0) {
        const std::string printed = method + "，" + metric + "：\n" + Columns(lines);
        std::fputs(printed.c_str(), outputToStdout ? stderr : stdout);
    }

    // A table with a sequence missing would pass for the whole: no output then.
    if (failed) {
        if (!csvPath.empty() || !reportPath.empty())
            Error("有序列算不出，没有写出 --csv 和 --report（原有的同名文件保持不变）。");
        return kExitFailed;
    }
    OutputFile files_[2];
    const std::pair<const std::string*, std::string> outputs[] = {
        {&csvPath, csvPath.empty() ? "" : BdCsv(table)}, {&reportPath, reportPath.empty() ? "" : BdReportPage(table)}};
    for (int o = 0; o < 2; ++o) {
        const std::string& path = *outputs[o].first;
        if (path.empty())
            continue;
        if (NamesStandardOutput(path))
            files_[o].SendToStdout();
        if (!files_[o].Open(path) || (files_[o].Write(outputs[o].second), !files_[o].Finish())) {
            Error("写入 " + path + " 时出错!\n输出不完整，请检查路径和磁盘空间！", "写入文件错误!");
            return kExitFailed;
        }
    }
    for (OutputFile& file : files_)
        if (file.Opened() && !file.Commit()) {
            Error("写入输出文件时出错!\n请检查路径和磁盘空间！", "写入文件错误!");
            return kExitFailed;
        }
    return std::fflush(stdout) == 0 ? kExitDone : kExitFailed;
}

int RunManifest(const ManifestRun& run,
                const std::function<int(const std::vector<std::string>& arguments, RdRequest& request)>& runOne)
{
    std::string text, error;
    if (!ReadWhole(run.manifest, text)) {
        Error("不能打开清单文件 " + run.manifest + "!\n请确认路径是否正确！", "打开文件错误!");
        return kExitFailed;
    }
    std::vector<ManifestRow> rows;
    if (!ParseManifest(text, run.manifest, rows, error)) {
        Error(error);
        return kExitFailed;
    }
    // Paths are taken from the manifest's folder, so that a manifest and its
    // files move together (to a cluster's shared disk, say).
    const std::filesystem::path folder = FilesystemPath(run.manifest).parent_path();
    const auto resolve = [&](const std::string& path) {
        const std::filesystem::path p = FilesystemPath(path);
        if (p.is_absolute() || folder.empty() || path == "-")
            return path;
        const std::u8string joined = (folder / p).u8string();
        return std::string(joined.begin(), joined.end());
    };
    std::vector<std::string> references;
    std::map<std::string, std::vector<const ManifestRow*>> byReference;
    for (ManifestRow& row : rows) {
        row.reference = resolve(row.reference);
        row.target = resolve(row.target);
        std::vector<const ManifestRow*>& group = byReference[row.reference];
        if (group.empty())
            references.push_back(row.reference);
        group.push_back(&row);
    }
    const auto exists = [](const std::string& path) {
        std::error_code error;
        return std::filesystem::exists(FilesystemPath(path), error);
    };
    std::vector<RdRow> collected;
    std::vector<const ManifestRow*> missing;
    int status = kExitDone;
    for (std::size_t r = 0; r < references.size(); ++r) {
        if (int(r % std::size_t(run.shards)) != run.shard)
            continue;
        const std::string& reference = references[r];
        std::vector<std::string> arguments = run.options;
        arguments.push_back(reference);
        RdRequest request;
        request.summaryToStderr = NamesStandardOutput(run.rdPath);
        const bool referenceThere = exists(reference);
        for (const ManifestRow* row : byReference[reference]) {
            if (!referenceThere || !exists(row->target)) {
                missing.push_back(row);
                continue;
            }
            arguments.push_back(row->target);
            request.series.push_back(row->series);
            request.kbps.push_back(row->kbps);
        }
        if (request.series.empty())
            continue;
        const int one = runOne(arguments, request);
        if (one == kExitUsage)
            return one;
        status = std::max(status, one);
        collected.insert(collected.end(), request.rows.begin(), request.rows.end());
    }
    if (!run.rdPath.empty()) {
        OutputFile file;
        if (NamesStandardOutput(run.rdPath))
            file.SendToStdout();
        if (!file.Open(run.rdPath) || (file.Write(RdCsvText(collected)), !file.Finish()) || !file.Commit()) {
            Error("写入 " + run.rdPath + " 时出错!\n输出不完整，请检查路径和磁盘空间！", "写入文件错误!");
            status = kExitFailed;
        }
    }
    if (!missing.empty()) {
        // In the manifest's order: the rows are in one vector.
        std::sort(missing.begin(), missing.end());
        std::string lines;
        for (const ManifestRow* row : missing)
            lines += "\n  " + row->origin + "：" + (exists(row->reference) ? row->target : row->reference);
        Error("清单 " + run.manifest + " 中这些行的文件不存在，没有比较：" + lines);
        status = kExitFailed;
    }
    return status;
}

}  // namespace lorvane
