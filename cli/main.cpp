// lorvane-cli: the comparison run for scripts and batch work.
//
// stdout carries the summary and nothing else, so a script can keep it; the
// "Average,..." line, progress, warnings and errors go to stderr. Exit status:
// 0 all frames compared, 1 the run failed or compared fewer frames than asked,
// 2 a bad command line.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/arguments.h"
#include "core/files.h"
#include "core/psnr.h"
#include "core/ssd.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "用法：lorvane-cli -s 宽x高 [-n 帧数] [-o 结果文件] [-q] [--cpu 级别] 参考序列 目标序列\n"
    "\n"
    "逐帧计算目标序列相对参考序列的 Y、U、V 分量 PSNR（dB，峰值 255）及其平均值。\n"
    "两个序列都是无文件头的 8 位平面 YUV 4:2:0 文件（I420：每帧 Y，然后 U，然后 V）。\n"
    "\n"
    "选项：\n"
    "  -s, --size 宽x高        图像宽高，例如 176x144（必需）\n"
    "  -n, --frames 帧数       要比较的帧数；省略时取较短文件中的完整帧数\n"
    "                          （此时两个序列都必须是普通文件）\n"
    "  -o, --output 结果文件   写出逐帧结果文件（CR LF 换行）\n"
    "  -q, --quiet             不显示进度\n"
    "      --cpu 级别          指令集上限：c、sse2、avx2 或 avx512\n"
    "                          （与环境变量 LORVANE_CPU 相同）\n"
    "  -h, --help              显示本帮助并退出\n"
    "      --version           显示版本号并退出\n"
    "\n"
    "标准输出只有平均 PSNR 摘要；\"Average,...\" 行、进度、警告和错误写到标准错误。\n"
    "\n"
    "退出状态：\n"
    "  0  要求的帧全部比较完毕\n"
    "  1  计算出错，或某个序列提前结束、比较的帧数少于要求\n"
    "  2  命令行有误\n"
    "\n"
    "示例：\n"
    "  lorvane-cli -s 1920x1080 -n 120 -o result.txt ref.yuv encoded.yuv\n";

const char* const kTitleWarning = "警告!";

// Reports a bad command line the way scripts expect: one reason, exit 2.
int UsageError(const std::string& reason)
{
    std::fprintf(stderr, "lorvane-cli：%s\n请运行 lorvane-cli --help 查看用法。\n", reason.c_str());
    return kExitUsage;
}

void PrintMessage(const std::string& title, const std::string& text)
{
    std::string out = title + "\n" + text;
    if (out.back() != '\n')
        out += '\n';
    std::fputs(out.c_str(), stderr);
}

bool StderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

// Progress and messages on the terminal. ProgressStep comes once per frame, at
// tens of thousands of frames per second for small pictures, so it mostly just
// counts down; the clock is read every `stride_` frames, with the stride
// adapted so that happens every few milliseconds whatever the frame rate.
class TerminalFeedback final : public lorvane::RunFeedback {
public:
    explicit TerminalFeedback(bool showProgress) : showProgress_(showProgress) {}

    void ShowMessage(const std::string& text, const std::string& title,
                     lorvane::MessageIcon icon) override
    {
        ClearProgress();
        if (icon == lorvane::MessageIcon::None) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            return;
        }
        failed_ = true;
        PrintMessage(title, text);
    }

    void ProgressBegin(std::int32_t frames) override
    {
        frames_ = frames;
        begin_ = lastCheck_ = lastDraw_ = Clock::now();
        stride_ = countdown_ = 1;
    }

    void ProgressStep(std::int32_t frame) override
    {
        if (!showProgress_ || --countdown_ > 0)
            return;
        const Clock::time_point now = Clock::now();
        const auto sinceCheck = now - lastCheck_;
        if (sinceCheck < std::chrono::milliseconds(2) && stride_ < (1 << 16))
            stride_ *= 2;
        else if (sinceCheck > std::chrono::milliseconds(20) && stride_ > 1)
            stride_ /= 2;
        countdown_ = stride_;
        lastCheck_ = now;
        if (now - lastDraw_ >= std::chrono::milliseconds(100)) {
            lastDraw_ = now;
            Draw(frame, now);
        }
    }

    void ProgressEnd() override { ClearProgress(); }

    // True once an error or warning was shown: the run did not compare every frame asked for.
    bool Failed() const { return failed_; }

private:
    using Clock = std::chrono::steady_clock;
    // The run writes its "Average,..." line to stderr itself, with no call
    // before it. So the progress text is fixed-width and shorter than any such
    // line, and the cursor is left at its start: that line covers it completely.
    static constexpr int kProgressColumns = 20;

    void Draw(std::int32_t frame, Clock::time_point now)
    {
        const double seconds = std::chrono::duration<double>(now - begin_).count();
        const int percent = int(std::int64_t(frame) * 100 / frames_);
        const double fps = std::min(seconds > 0 ? frame / seconds : 0.0, 99999999.0);
        std::fprintf(stderr, "\r%3d%%  %8.0f 帧/秒\r", percent, fps);
        drawn_ = true;
    }

    void ClearProgress()
    {
        if (!drawn_)
            return;
        std::fprintf(stderr, "\r%*s\r", kProgressColumns, "");
        drawn_ = false;
    }

    bool showProgress_;
    bool failed_ = false;
    bool drawn_ = false;
    std::int32_t frames_ = 0;
    std::int32_t stride_ = 1;
    std::int32_t countdown_ = 1;
    Clock::time_point begin_, lastCheck_, lastDraw_;
};

// A whole signed 32-bit decimal number and nothing else.
std::optional<std::int32_t> ParseInt(std::string_view text)
{
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// "<int>x<int>". The numbers are not judged here: the run has its own checks
// and messages for sizes it cannot use.
std::optional<std::pair<std::int32_t, std::int32_t>> ParseSize(std::string_view text)
{
    const std::size_t x = text.find('x');
    if (x == std::string_view::npos)
        return std::nullopt;
    const auto width = ParseInt(text.substr(0, x));
    const auto height = ParseInt(text.substr(x + 1));
    if (!width || !height)
        return std::nullopt;
    return std::pair(*width, *height);
}

// Frame size in bytes, or 0 when the run will refuse the size anyway.
std::int64_t FrameBytes(std::int32_t width, std::int32_t height)
{
    if (width <= 0 || height <= 0 || width > lorvane::kMaxDimension ||
        height > lorvane::kMaxDimension || std::int64_t(width) * height > lorvane::kMaxLumaSamples)
        return 0;
    return lorvane::ComputeFrameLayout(width, height).frameSize;
}

struct Input {
    const char* role;  // as the run names the sequence
    const std::string& path;
    bool exists = false;
    bool directory = false;
    bool regular = false;
    std::uintmax_t bytes = 0;
};

Input Inspect(const char* role, const std::string& path)
{
    Input input{role, path};
    std::error_code error;
    const auto status = std::filesystem::status(lorvane::FilesystemPath(path), error);
    input.exists = !error && std::filesystem::exists(status);
    input.directory = !error && std::filesystem::is_directory(status);
    input.regular = !error && std::filesystem::is_regular_file(status);
    if (input.regular) {
        input.bytes = std::filesystem::file_size(lorvane::FilesystemPath(path), error);
        input.regular = !error;
    }
    return input;
}

// A size that is not a whole number of frames is the commonest sign of a
// wrongly typed picture size.
void WarnAboutPartialFrame(const Input& input, std::int32_t width, std::int32_t height,
                           std::int64_t frameBytes)
{
    const std::uintmax_t rest = input.bytes % std::uintmax_t(frameBytes);
    if (!input.regular || rest == 0)
        return;
    PrintMessage(kTitleWarning,
                 std::string(input.role) + " " + input.path + " 的大小 " + std::to_string(input.bytes) +
                     " 字节不是整数帧：" + std::to_string(width) + "x" + std::to_string(height) +
                     " 的一帧是 " + std::to_string(frameBytes) + " 字节，末尾多出 " +
                     std::to_string(rest) + " 字节。\n请确认图像宽高是否正确。\n");
}

// CLI11 reports in English; the user gets one line in Chinese.
std::string ParseFailureReason(const CLI::App& app, const CLI::ParseError& error)
{
    if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        std::string extras;
        for (const std::string& arg : app.remaining())
            extras += (extras.empty() ? "" : " ") + arg;
        return "无法识别的参数：" + extras;
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        // The message starts with the option's name: "--size: ...".
        const std::string what = error.what();
        const std::string name = what.substr(0, what.find(':'));
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option && option->count() > 1)
            return "选项 " + name + " 只能给出一次。";
        if (option)
            return "选项 " + name + " 缺少取值。";
    }
    return std::string("命令行有误：") + error.what();
}

}  // namespace

int main(int argc, char** argv)
{
    lorvane::SetUpStandardStreams();
    const std::vector<std::string> arguments = lorvane::Utf8Arguments(argc, argv);
    const std::vector<const char*> argumentPointers = lorvane::ArgumentPointers(arguments);
    CLI::App app("Lorvane: YUV 4:2:0 序列的逐帧 PSNR", "lorvane-cli");
    std::string size, frames, cpu;
    lorvane::PsnrSettings settings;
    bool quiet = false;
    std::vector<std::string> sequences;
    app.add_option("-s,--size", size);
    app.add_option("-n,--frames", frames);
    app.add_option("-o,--output", settings.resultPath);
    app.add_flag("-q,--quiet", quiet);
    app.add_option("--cpu", cpu);
    app.add_option("sequences", sequences);
    app.set_version_flag("--version", lorvane::kVersion);
    app.formatter_fn([](const CLI::App*, std::string, CLI::AppFormatMode) { return std::string(kHelp); });

    try {
        app.parse(int(arguments.size()), argumentPointers.data());
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return kExitDone;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return kExitDone;
    } catch (const CLI::ParseError& error) {
        return UsageError(ParseFailureReason(app, error));
    }

    if (!app.count("--size"))
        return UsageError("缺少图像宽高：请用 -s 宽x高 给出，例如 -s 176x144。");
    const auto picture = ParseSize(size);
    if (!picture)
        return UsageError("图像宽高 \"" + size + "\" 无效：应写成 宽x高，两个都是 32 位整数，例如 176x144。");
    if (sequences.size() != 2)
        return UsageError(sequences.size() < 2 ? "需要两个序列文件：参考序列和目标序列。"
                                               : "序列文件太多：只需要参考序列和目标序列两个。");
    if (app.count("--frames")) {
        const auto count = ParseInt(frames);
        if (!count)
            return UsageError("帧数 \"" + frames + "\" 无效：应为 32 位整数。");
        settings.frameCount = *count;
    }
    if (app.count("--cpu") && !lorvane::LimitCpuLevel(cpu))
        return UsageError("未知的指令集级别 \"" + cpu + "\"：应为 c、sse2、avx2 或 avx512。");

    settings.width = picture->first;
    settings.height = picture->second;
    settings.sourcePath = sequences[0];
    settings.targetPath = sequences[1];

    const std::int64_t frameBytes = FrameBytes(settings.width, settings.height);
    if (frameBytes > 0) {
        const Input inputs[] = {Inspect("源参考序列", settings.sourcePath),
                                Inspect("目标序列", settings.targetPath)};
        if (!app.count("--frames")) {
            // A missing file or a folder is left to the run, which says it cannot
            // open it as it does in the window; -n would not help there.
            for (const Input& input : inputs) {
                if (!input.exists || input.directory)
                    break;
                if (!input.regular)
                    return UsageError(std::string(input.role) + " " + input.path +
                                      " 不是普通文件，无法得知帧数：请用 -n 给出要比较的帧数。");
            }
            if (inputs[0].regular && inputs[1].regular) {
                const std::uintmax_t shorter = std::min(inputs[0].bytes, inputs[1].bytes);
                settings.frameCount = std::int32_t(
                    std::min<std::uintmax_t>(shorter / std::uintmax_t(frameBytes), lorvane::kMaxDimension));
            }
        }
        for (const Input& input : inputs)
            WarnAboutPartialFrame(input, settings.width, settings.height, frameBytes);
    }

    TerminalFeedback feedback(!quiet && StderrIsTerminal());
    lorvane::RunComparison(settings, feedback);

    // The summary is the one thing on stdout: losing it is a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        PrintMessage("错误!", "写入标准输出时出错，摘要不完整！");
        return kExitFailed;
    }
    return feedback.Failed() ? kExitFailed : kExitDone;
}
