// lorvane-cli: the comparison run for scripts and batch work.
//
// stdout carries the summary and nothing else, so a script can keep it; the
// "Average,..." line, progress, warnings and errors go to stderr. Exit status:
// 0 all frames compared, 1 the run failed or compared fewer frames than asked,
// 2 a bad command line.
#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <new>
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
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "cli/arguments.h"
#include "cli/rd.h"
#include "core/lorvane.h"
#include "report/outputs.h"
#include "report/rd_report.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "用法：lorvane-cli -s 宽x高 [-n 帧数] [-o 结果文件] [-p 格式] [选项] 参考序列 目标序列\n"
    "      lorvane-cli [选项] 参考序列 目标序列 [目标序列…]\n"
    "      lorvane-cli [选项] --manifest 清单.csv [--shard K/N] --rd 文件\n"
    "      lorvane-cli bd [选项] 基准.csv 对比.csv（Bjøntegaard 差值，见 lorvane-cli bd --help）\n"
    "\n"
    "逐帧计算目标序列相对参考序列的 Y、U、V 分量 PSNR（dB）及其平均值。\n"
    "序列可以是无文件头的 YUV 文件（平面格式，或 nv12、p010le、yuyv422 等交错格式），\n"
    "也可以是 YUV4MPEG2（.y4m）文件，或 FFmpeg 能解码的视频文件（mp4、mkv、webm、ivf、ts 等，\n"
    "按内容识别，逐帧解码后比较，不缩放也不转换格式）。\n"
    "不给出格式时按经典布局读取：8 位 YUV 4:2:0（I420），色度宽高为亮度的一半（向下取整）。\n"
    "\n"
    "选项：\n"
    "  -s, --size 宽x高        图像宽高，例如 176x144；auto 表示按内容推断。省略时取自\n"
    "                          YUV4MPEG2 文件头或文件名（如 foo_1920x1080_50.yuv）\n"
    "  -p, --pix-fmt 格式      像素格式，名称同 ffmpeg 的 -pix_fmt，例如 yuv420p10le；\n"
    "                          给出格式时色度宽高向上取整，与 ffmpeg 写出的文件一致\n"
    "      --peak full|scaled  峰值：full 为 2^位深-1（默认，同 ffmpeg），\n"
    "                          scaled 为 255×2^(位深-8)（同 HM/VTM）\n"
    "  -n, --frames 帧数       要比较的帧数；省略时取较短文件中的完整帧数\n"
    "                          （此时两个序列都必须是普通文件）\n"
    "      --offset K          目标序列第 i 帧与源参考序列第 i+K 帧比较（K 可为负）；\n"
    "                          auto[:M] 表示在 -M 到 M（默认 16）中按内容找出 K\n"
    "      --start S           跳过前 S 对帧；帧号仍从 0 起\n"
    "      --stream N          目标视频文件中要测量的流的编号（同 ffprobe，从 0 起）；\n"
    "                          省略时取第一个视频流；参考序列总取第一个视频流\n"
    "  -o, --output 结果文件   写出逐帧结果文件（CR LF 换行）；- 表示标准输出\n"
    "      --json 文件         写出 JSON（libvmaf 的布局）；- 表示标准输出\n"
    "      --csv 文件          写出 CSV，每帧一行；- 表示标准输出\n"
    "      --report 文件       写出 HTML 报告（含逐帧曲线）；- 表示标准输出\n"
    "  -m, --metrics 列表      PSNR 之外还要测量的指标，逗号分隔：psnr、ssim、ms-ssim，\n"
    "                          或 all（全部）；PSNR 总会测量。结果文件（-o）只有 PSNR。\n"
    "                          ms-ssim 要求亮度平面宽高都至少 176\n"
    "      --rd 文件           每个目标序列写一行码率与质量（CSV，供 lorvane-cli bd 使用）；\n"
    "                          - 表示标准输出\n"
    "      --series 名称       --rd 中这些编码所属的系列（编码器或设置），例如 x265-slow\n"
    "      --rates 列表        无头 YUV 和 YUV4MPEG2 目标序列的码率（kbps），逗号分隔，\n"
    "                          按给出的顺序每个一个；解码的目标序列用测得的码率\n"
    "      --manifest 文件     按清单（CSV：reference,target,series,rate）运行多组比较，\n"
    "                          同一参考序列的各行在一次运行中完成；路径相对清单所在目录\n"
    "      --shard K/N         只运行清单中第 K、K+N、K+2N… 个参考序列（K 从 0 起）\n"
    "      --stats             在摘要之后显示统计表：均值、合并 PSNR、最小值、最大值、最差帧\n"
    "      --worst 帧数        统计中列出的最差帧数（默认 5）\n"
    "      --worst-by 指标     最差帧按哪个指标的 Y 分量排列：psnr（默认，按均方误差）、\n"
    "                          ssim 或 ms-ssim（最低的在前）；须是这次测量的指标\n"
    "  -q, --quiet             不显示进度\n"
    "      --cpu 级别          指令集上限：c、sse2、avx2 或 avx512\n"
    "                          （与环境变量 LORVANE_CPU 相同）\n"
    "  -h, --help              显示本帮助并退出\n"
    "      --version           显示版本号并退出\n"
    "\n"
    "标准输出只有平均 PSNR 摘要（某个输出写到标准输出时，摘要改写到标准错误）；\n"
    "\"Average,...\" 行、进度、警告和错误写到标准错误。\n"
    "输出文件先写到同一目录下的临时文件，全部写完后才替换同名文件；\n"
    "出错或中断时，原有文件保持不变。\n"
    "\n"
    "退出状态：\n"
    "  0  要求的帧全部比较完毕\n"
    "  1  计算出错，或某个序列提前结束、比较的帧数少于要求\n"
    "  2  命令行有误\n"
    "\n"
    "示例：\n"
    "  lorvane-cli --stats --json result.json ref.y4m encoded.y4m\n"
    "  lorvane-cli -s 1920x1080 -n 120 -o result.txt ref.yuv encoded.yuv\n";

const char* const kTitleWarning = "警告!";

// The widest search of --offset auto: each shift costs the SSD of 8 luma planes.
constexpr std::int32_t kMaxAutoShift = 250;

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

// The columns of the terminal on stderr; 80 when it does not say.
int TerminalColumns()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO console;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console) &&
        console.srWindow.Right > console.srWindow.Left)
        return console.srWindow.Right - console.srWindow.Left + 1;
#else
    winsize window{};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &window) == 0 && window.ws_col > 0)
        return window.ws_col;
#endif
    return 80;
}

// A duration as m:ss, or h:mm:ss from an hour on.
std::string ClockText(double seconds)
{
    const long long s = static_cast<long long>(std::min(std::max(seconds, 0.0), 1e9));
    char text[48];
    if (s < 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// What one progress line tells.
struct ProgressState {
    std::int64_t done = 0;
    std::int64_t total = 0;  // 0: not known
    bool estimated = false;  // the total is only an estimate
    double seconds = 0;      // since the run started
};

// The progress line, in at most `columns` display columns so that it never
// wraps: "[####----]  45%  2700/6000 帧  512 帧/秒  已用 0:05  剩余 0:06". On a
// narrow terminal the bar shrinks first, then fields go, the least useful
// first; what cannot fit even alone is not shown at all ("").
std::string ProgressLine(const ProgressState& state, int columns)
{
    constexpr int kShortestBar = 10, kLongestBar = 40;
    // Ranks: the lowest is dropped first.
    enum Rank { kElapsed, kRate, kBar, kLeft, kFrames, kPercent };
    struct Field {
        Rank rank;
        std::string text;  // the bar's is made once its width is known
    };
    const bool totalKnown = state.total > 0 && state.done <= state.total;
    const double rate = state.seconds > 0 ? double(state.done) / state.seconds : 0.0;
    char number[64];
    std::vector<Field> fields;
    if (totalKnown) {
        fields.push_back({kBar, ""});
        std::snprintf(number, sizeof number, "%3d%%", int(state.done * 100 / state.total));
        fields.push_back({kPercent, number});
        // The count keeps its width, so the fields after it stay in place.
        const std::string total = std::to_string(state.total);
        std::snprintf(number, sizeof number, "%*lld/%s%s 帧", int(total.size()), static_cast<long long>(state.done),
                      state.estimated ? "约" : "", total.c_str());
        fields.push_back({kFrames, number});
    } else {
        fields.push_back({kFrames, std::to_string(state.done) + " 帧"});
    }
    std::snprintf(number, sizeof number, "%.0f 帧/秒", std::min(rate, 99999999.0));
    fields.push_back({kRate, number});
    fields.push_back({kElapsed, "已用 " + ClockText(state.seconds)});
    // Only once the rate has settled somewhat.
    if (totalKnown && state.seconds >= 1.0 && state.done > 0)
        fields.push_back({kLeft, "剩余 " + ClockText(std::ceil(double(state.total - state.done) / rate))});

    // The bar's width is set by the terminal and the total alone, not by the
    // fields of the moment, so that it does not twitch as they change or when
    // the time left appears; it only gives way when they would not fit. Room
    // is kept for: the brackets, " 45%", the count, "12345 帧/秒", elapsed and
    // time left as "已用 12:34", and the five gaps between the six fields.
    const int countColumns = 2 * int(std::to_string(state.total).size()) + 1 + (state.estimated ? 2 : 0) + 3;
    const int others = 2 + 4 + countColumns + 11 + 2 * 10 + 5 * 2;
    const int barColumns = std::clamp(columns - others, kShortestBar, kLongestBar);
    for (; !fields.empty();) {
        int used = 2 * int(fields.size() - 1);  // two blanks between fields
        bool bar = false;
        for (const Field& field : fields) {
            bar = bar || field.rank == kBar;
            used += field.rank == kBar ? 2 : lorvane::DisplayWidth(field.text);
        }
        const int room = columns - used;  // inside the bar, if there is one
        if (bar ? room >= kShortestBar : room >= 0) {
            std::string line;
            for (const Field& field : fields) {
                if (!line.empty())
                    line += "  ";
                if (field.rank != kBar) {
                    line += field.text;
                    continue;
                }
                const int width = std::min(room, barColumns);
                const int filled = int(state.done * width / state.total);
                line += '[' + std::string(std::size_t(filled), '#') + std::string(std::size_t(width - filled), '-') + ']';
            }
            return line;
        }
        fields.erase(std::min_element(fields.begin(), fields.end(),
                                      [](const Field& a, const Field& b) { return a.rank < b.rank; }));
    }
    return "";
}

// Progress and messages on the terminal. ProgressStep comes once per frame, at
// tens of thousands of frames per second for small pictures, so it mostly just
// counts down; the clock is read every `stride_` frames, with the stride
// adapted so that happens every few milliseconds whatever the frame rate.
class TerminalFeedback final : public lorvane::RunFeedback {
public:
    // `summaryToStderr`: an output takes standard output, so the summary goes
    // to stderr to keep the data clean. `keepFrames`: frames the outputs
    // need, kept as they are measured (nothing is reserved for the frames
    // asked for: -n may ask for far more than the inputs hold).
    TerminalFeedback(bool showProgress, bool summaryToStderr, bool keepFrames)
        : showProgress_(showProgress), summary_(summaryToStderr ? stderr : stdout), keepFrames_(keepFrames)
    {
    }

    // The summary is kept for TakeSummary instead of being written: one of
    // several targets prints it in its block, after the run.
    void HoldSummary() { holdSummary_ = true; }
    std::string TakeSummary() { return std::move(summaryText_); }

    // Also when a feedback call throws (out of memory): the message that
    // follows must not land on the progress line.
    ~TerminalFeedback() override { ClearProgress(); }

    // The frames the run can compare at most, when that is known before it
    // starts and may be fewer than asked (-n beyond what the files hold), or
    // only an estimate (a container's frame count), which the line marks.
    void ExpectFrames(std::int64_t frames, bool estimate)
    {
        expected_ = frames;
        expectedIsEstimate_ = estimate;
    }

    void ShowMessage(const std::string& text, const std::string& title,
                     lorvane::MessageIcon icon) override
    {
        ClearProgress();
        if (icon == lorvane::MessageIcon::None) {
            if (holdSummary_)
                summaryText_ += text;
            else
                std::fwrite(text.data(), 1, text.size(), summary_);
            return;
        }
        failed_ = true;
        PrintMessage(title, text);
    }

    void Warn(const std::string& text, const std::string& title) override
    {
        ClearProgress();
        PrintMessage(title, text);
    }

    void ProgressBegin(std::int32_t frames) override
    {
        total_ = frames;
        estimated_ = false;
        if (expected_ >= 0 && expected_ < frames) {
            total_ = expected_;
            estimated_ = expectedIsEstimate_;
        }
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
        if (now - lastDraw_ >= std::chrono::milliseconds(200)) {
            lastDraw_ = now;
            Draw(frame, now);
        }
    }

    void FrameMeasured(const lorvane::FrameResult& frame) override
    {
        if (keepFrames_)
            measured_.push_back(frame);
    }

    // The run writes its "Average,..." line next, straight to stderr.
    void FramesDone() override { ClearProgress(); }

    void ProgressEnd() override { ClearProgress(); }

    void RunEnded(const lorvane::RunOutcome& outcome) override { outcome_ = outcome; }

    // True once an error or warning was shown: the run did not compare every frame asked for.
    bool Failed() const { return failed_; }
    FILE* SummaryStream() const { return summary_; }
    // The run's outcome, when it reached its frame loop.
    const std::optional<lorvane::RunOutcome>& Outcome() const { return outcome_; }
    std::vector<lorvane::FrameResult> TakeFrames() { return std::move(measured_); }

private:
    using Clock = std::chrono::steady_clock;

    // One write per redraw, so the terminal never shows half a line. The line
    // is drawn over the previous one, blanks cover what that had beyond it, and
    // the cursor goes back to its start, where any stray text would overwrite
    // it rather than follow it.
    void Draw(std::int32_t frame, Clock::time_point now)
    {
        // The last column is left free: some consoles wrap as soon as it is written.
        const std::string text = ProgressLine(
            {frame, total_, estimated_, std::chrono::duration<double>(now - begin_).count()}, TerminalColumns() - 1);
        const int columns = lorvane::DisplayWidth(text);
        const std::string line =
            '\r' + text + std::string(std::size_t(std::max(drawnColumns_ - columns, 0)), ' ') + '\r';
        std::fwrite(line.data(), 1, line.size(), stderr);
        drawnColumns_ = columns;
    }

    void ClearProgress()
    {
        if (drawnColumns_ == 0)
            return;
        const std::string blank = '\r' + std::string(std::size_t(drawnColumns_), ' ') + '\r';
        std::fwrite(blank.data(), 1, blank.size(), stderr);
        drawnColumns_ = 0;
    }

    bool showProgress_;
    FILE* summary_;
    bool holdSummary_ = false;
    std::string summaryText_;
    bool keepFrames_;
    std::vector<lorvane::FrameResult> measured_;
    std::optional<lorvane::RunOutcome> outcome_;
    bool failed_ = false;
    int drawnColumns_ = 0;  // of the progress line on the screen; 0: none
    std::int64_t expected_ = -1;  // -1: nothing known beyond what the run is asked
    bool expectedIsEstimate_ = false;
    std::int64_t total_ = 0;
    bool estimated_ = false;
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
std::uint64_t FrameBytes(std::int32_t width, std::int32_t height, const lorvane::PixelFormat& format)
{
    if (width <= 0 || height <= 0 || width > lorvane::kMaxDimension ||
        height > lorvane::kMaxDimension || std::int64_t(width) * height > lorvane::kMaxLumaSamples)
        return 0;
    return lorvane::LayoutOf(format, width, height).frameBytes;
}

struct Input {
    const char* role;  // as the run names the sequence
    std::string path;
    lorvane::SequenceInfo info;
    std::optional<lorvane::DecodedStream> decoded;  // an encoded file, as its decoder sees it
    bool Y4m() const { return info.y4m && info.error.empty(); }
    // What a header or a stream tells of the picture.
    bool Tells() const { return Y4m() || decoded; }
    std::int32_t Width() const { return decoded ? decoded->width : info.header.width; }
    std::int32_t Height() const { return decoded ? decoded->height : info.header.height; }
    const lorvane::PixelFormat* Format() const { return decoded ? decoded->format : info.header.format; }
};

// A size that is not a whole number of frames is the commonest sign of a
// wrongly typed picture size. With an odd width or height, it is as often a
// file ffmpeg wrote: its chroma planes are rounded up, the classic layout's
// down, so the warning says so when that layout fits the file exactly.
void WarnAboutPartialFrame(const Input& input, std::int32_t width, std::int32_t height,
                           std::uint64_t frameBytes, bool classic)
{
    if (!input.info.regular || input.info.y4m)
        return;
    const std::uint64_t rest = input.info.bytes % frameBytes;
    if (rest == 0)
        return;
    std::string advice = "请确认图像宽高是否正确。\n";
    if (classic) {
        const std::uint64_t roundedUp = FrameBytes(width, height, *lorvane::FindPixelFormat("yuv420p"));
        if (roundedUp > 0 && input.info.bytes % roundedUp == 0)
            advice = "按色度宽高向上取整的布局（ffmpeg 写出奇数宽高时用的布局，一帧 " + std::to_string(roundedUp) +
                     " 字节）算，它正好是 " + std::to_string(input.info.bytes / roundedUp) +
                     " 帧：若是这样，请用 -p yuv420p 读取。\n";
    }
    PrintMessage(kTitleWarning,
                 std::string(input.role) + " " + input.path + " 的大小 " + std::to_string(input.info.bytes) +
                     " 字节不是整数帧：" + std::to_string(width) + "x" + std::to_string(height) +
                     " 的一帧是 " + std::to_string(frameBytes) + " 字节，末尾多出 " +
                     std::to_string(rest) + " 字节。\n" + advice);
}

// A high-bit-depth format whose first frame holds samples above the depth's
// largest value cannot be the file's. A format guessed from the names or the
// content is then refused (returns false: the run must not go on); one that
// -p or a header gave is only questioned.
bool CheckSamplesFitFormat(const Input& input, const lorvane::PixelFormat& format, std::int32_t width,
                           std::int32_t height, bool guessed)
{
    const std::string finding =
        lorvane::SamplesBeyondFormat(input.role, input.path, input.info, format, width, height);
    if (finding.empty())
        return true;
    if (guessed) {
        PrintMessage("错误!", finding + "这个格式是推断出来的：请用 -p 给出文件真正的格式。\n");
        return false;
    }
    PrintMessage(kTitleWarning, "看来" + finding + "样本按原值计算。\n");
    return true;
}

// A YUV4MPEG2 file that ends inside a frame, or whose FRAME line is garbled,
// is damaged (a raw file's leftover bytes may only be a mistyped size): its
// whole frames are still compared, but the run does not count as complete.
bool WarnAboutDamagedY4m(const Input& input, std::uint64_t frameBytes)
{
    const lorvane::Y4mFrameWalk& walk = input.info.walk;
    if (!input.Y4m() || input.info.walkFrameBytes != frameBytes || walk.leftover == 0)
        return false;
    const std::string frames = std::to_string(walk.frames);
    PrintMessage(kTitleWarning, std::string(input.role) + " " + input.path +
                                    (walk.badLine ? " 第" + frames + "帧的帧头（FRAME 行）缺失或无效"
                                                  : " 在第" + frames + "帧中间结束") +
                                    "：有 " + frames + " 个完整帧，其后多出 " + std::to_string(walk.leftover) +
                                    " 字节。\nYUV4MPEG2 文件不完整，可能已损坏。\n");
    return true;
}

// Size and format from the file names, where the command line and the
// headers leave them open. Returns a usage error's reason, or "".
// Every two names must agree; what one pair of them tells is then what all tell.
std::string TakeFromNames(const std::vector<Input>& inputs, bool wantSize, bool wantFormat,
                          lorvane::PsnrSettings& settings)
{
    lorvane::FilesTell told;
    for (std::size_t i = 0; i < inputs.size(); ++i)
        for (std::size_t j = i + 1; j < inputs.size(); ++j) {
            const lorvane::FilesTell pair = lorvane::WhatFilesTell(&inputs[i].info, &inputs[j].info);
            if (wantFormat && pair.unsupportedIn >= 0)
                return "文件名 " + inputs[pair.unsupportedIn == 0 ? i : j].path + " 中的 " + pair.unsupportedFormat +
                       " 是不支持的像素格式，不会当作 8 位读取。请用 -p 给出文件的格式。";
            if ((wantSize && pair.sizeConflict) || (wantFormat && pair.formatConflict))
                return "两个文件名给出的图像不一致：" + inputs[i].path + " 是 " + pair.sourceSays + "，" + inputs[j].path +
                       " 是 " + pair.targetSays + "。请用 -s 和 -p 给出。";
            if (!told.SizeKnown() && pair.SizeKnown())
                told.width = pair.width, told.height = pair.height;
            if (!told.format)
                told.format = pair.format;
        }
    const bool size = wantSize && told.SizeKnown(), format = wantFormat && told.format;
    if (!size && !format)
        return "";
    std::string from;
    for (const Input& input : inputs) {
        const lorvane::NameGuess& g = input.info.name;
        if ((size && g.SizeKnown()) || (format && g.format))
            from += (from.empty() ? "" : " 和 ") + input.path;
    }
    if (size)
        settings.width = told.width, settings.height = told.height;
    if (format)
        settings.pixelFormat = std::string(told.format->name);
    std::fputs(("从文件名 " + from + " 推断：" +
                lorvane::DescribePicture(size ? told.width : 0, size ? told.height : 0, format ? told.format : nullptr) +
                "\n").c_str(), stderr);
    return "";
}

// The files the run's numbers are written to: the result file and the others.
// Each is written whole to a temporary file, and all are put in place
// together once every one of them is complete, or none is.
struct Output {
    Output(const char* name) : option(name) {}
    const char* option;
    std::string path;
    lorvane::OutputFile file;
    bool failed = false;
};

// An output path of one of several targets: each {} becomes the target's file
// name without its folder and its extension.
std::string ExpandTargetName(const std::string& pattern, const std::string& target)
{
#ifdef _WIN32
    const std::size_t slash = target.find_last_of("/\\");
#else
    const std::size_t slash = target.rfind('/');
#endif
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.resize(dot);
    std::string path;
    for (std::size_t at = 0;;) {
        const std::size_t marker = pattern.find("{}", at);
        path += pattern.substr(at, marker == std::string::npos ? std::string::npos : marker - at);
        if (marker == std::string::npos)
            return path;
        path += name;
        at = marker + 2;
    }
}

// The names a sequence read from standard input goes by.
bool NamesStandardInput(const std::string& path)
{
    return path == "-" || path == "/dev/stdin" || path == "/dev/fd/0" || path == "/proc/self/fd/0";
}

// "-o a.txt、--json b.json": outputs for a message.
std::string NameOutputs(const std::vector<const Output*>& outputs)
{
    std::string names;
    for (const Output* output : outputs)
        names += (names.empty() ? "" : "、") + std::string(output->option) + " " + output->path;
    return names;
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

// `request`: a run of a manifest's reference, which hands its RD rows back
// instead of writing them.
int RunCli(const std::vector<std::string>& arguments, lorvane::RdRequest* request)
{
    const std::vector<const char*> argumentPointers = lorvane::ArgumentPointers(arguments);
    CLI::App app("Lorvane: YUV 序列的逐帧 PSNR", "lorvane-cli");
    std::string size, frames, cpu, peak, worst, offset, start, stream, metrics, worstBy;
    lorvane::PsnrSettings settings;
    bool quiet = false, stats = false;
    std::vector<std::string> sequences;
    Output outputs[] = {"-o", "--json", "--csv", "--report"};
    Output& resultOutput = outputs[0];
    app.add_option("-s,--size", size);
    app.add_option("-p,--pix-fmt", settings.pixelFormat);
    app.add_option("--peak", peak);
    app.add_option("-n,--frames", frames);
    app.add_option("--offset", offset);
    app.add_option("--start", start);
    app.add_option("--stream", stream);
    app.add_option("-m,--metrics", metrics);
    app.add_option("-o,--output", resultOutput.path);
    for (Output& output : outputs)
        if (&output != &resultOutput)
            app.add_option(output.option, output.path);
    app.add_flag("--stats", stats);
    app.add_option("--worst", worst);
    app.add_option("--worst-by", worstBy);
    app.add_flag("-q,--quiet", quiet);
    app.add_option("--cpu", cpu);
    // Rate and quality: a row per target (--rd), and many references from a manifest.
    Output rdOutput("--rd");
    std::string series, rates, manifest, shard;
    app.add_option("--rd", rdOutput.path);
    app.add_option("--series", series);
    app.add_option("--rates", rates);
    app.add_option("--manifest", manifest);
    app.add_option("--shard", shard);
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

    const bool sizeGiven = app.count("--size") > 0, autoSize = sizeGiven && size == "auto";
    std::optional<std::pair<std::int32_t, std::int32_t>> picture;
    if (sizeGiven && !autoSize && !(picture = ParseSize(size)))
        return UsageError("图像宽高 \"" + size + "\" 无效：应写成 宽x高，两个都是 32 位整数，例如 176x144。");
    if (app.count("--pix-fmt") && !lorvane::FindPixelFormat(settings.pixelFormat))
        return UsageError("未知的像素格式 \"" + settings.pixelFormat + "\"：可用的格式有 " + lorvane::PixelFormatNames() + "。");
    if (app.count("--peak")) {
        if (peak != "full" && peak != "scaled")
            return UsageError("未知的峰值 \"" + peak + "\"：应为 full 或 scaled。");
        settings.peak = peak == "scaled" ? lorvane::PeakKind::Scaled : lorvane::PeakKind::Full;
    }
    if (sequences.size() < 2 && !app.count("--manifest"))
        return UsageError("需要两个序列文件：参考序列和目标序列。");
    // One rate per raw or YUV4MPEG2 target, checked against the targets once they are probed.
    std::vector<double> givenRates;
    for (std::size_t at = 0; app.count("--rates") && at <= rates.size();) {
        const std::size_t comma = std::min(rates.find(',', at), rates.size());
        const std::string one = rates.substr(at, comma - at);
        double kbps = 0;
        const auto parsed = std::from_chars(one.data(), one.data() + one.size(), kbps);
        if (one.empty() || parsed.ec != std::errc() || parsed.ptr != one.data() + one.size() || !(kbps > 0) ||
            !std::isfinite(kbps))
            return UsageError("码率 \"" + one + "\" 无效：--rates 应为逗号分隔的正数（kbps），每个无头 YUV 或 YUV4MPEG2 目标序列一个。");
        givenRates.push_back(kbps);
        at = comma + 1;
    }
    if (app.count("--frames")) {
        const auto count = ParseInt(frames);
        if (!count)
            return UsageError("帧数 \"" + frames + "\" 无效：应为 32 位整数。");
        settings.frameCount = *count;
    }
    std::size_t worstCount = 5;
    if (app.count("--worst")) {
        const auto count = ParseInt(worst);
        if (!count || *count < 0)
            return UsageError("最差帧数 \"" + worst + "\" 无效：应为不小于 0 的 32 位整数。");
        worstCount = std::size_t(*count);
    }
    // --offset K, or auto[:M]: the K in -M..M whose first pairs match best.
    bool autoOffset = false;
    std::int32_t maxShift = 16;
    if (app.count("--offset")) {
        autoOffset = offset == "auto" || offset.starts_with("auto:");
        const std::optional<std::int32_t> value =
            offset == "auto" ? std::optional(maxShift) : ParseInt(autoOffset ? offset.substr(5) : offset);
        const bool valid = value && (autoOffset ? *value >= 1 && *value <= kMaxAutoShift
                                                : *value >= -lorvane::kMaxDimension && *value <= lorvane::kMaxDimension);
        if (valid)
            (autoOffset ? maxShift : settings.offset) = *value;
        else
            return UsageError("偏移 \"" + offset + "\" 无效：应为 -1000000000 到 1000000000 之间的整数，或 auto、auto:M（M 为 1 到 " +
                              std::to_string(kMaxAutoShift) + " 之间的整数）。");
    }
    if (app.count("--metrics")) {
        // PSNR first, then the others in the table's order, each once.
        std::vector<std::string> named;
        for (std::size_t at = 0; at <= metrics.size();) {
            const std::size_t comma = std::min(metrics.find(',', at), metrics.size());
            named.push_back(metrics.substr(at, comma - at));
            at = comma + 1;
        }
        std::vector<std::string> chosen;
        for (const std::string& name : named) {
            if (name == "all") {
                for (const lorvane::Metric* metric : lorvane::Metrics())
                    if (std::find(chosen.begin(), chosen.end(), metric->name) == chosen.end())
                        chosen.emplace_back(metric->name);
                continue;
            }
            if (!lorvane::FindMetric(name))
                return UsageError("未知的指标 \"" + name + "\"：可用的指标有 psnr、ssim、ms-ssim，或 all。");
            if (std::find(chosen.begin(), chosen.end(), name) != chosen.end())
                return UsageError("指标 \"" + name + "\" 给出了两次。");
            chosen.push_back(name);
        }
        settings.metrics.clear();
        for (const lorvane::Metric* metric : lorvane::Metrics())
            if (metric->name == "psnr" || std::find(chosen.begin(), chosen.end(), metric->name) != chosen.end())
                settings.metrics.emplace_back(metric->name);
    }
    // The score the worst frames are ranked by: the luma score of a metric
    // measured; none for PSNR, ranked by its MSE.
    std::string worstScore;
    if (app.count("--worst-by")) {
        const lorvane::Metric* metric = lorvane::FindMetric(worstBy);
        if (!metric) {
            std::string names;
            for (const lorvane::Metric* m : lorvane::Metrics())
                names += (names.empty() ? "" : "、") + std::string(m->name);
            return UsageError("未知的指标 \"" + worstBy + "\"（--worst-by）：可用的指标有 " + names + "。");
        }
        if (std::find(settings.metrics.begin(), settings.metrics.end(), worstBy) == settings.metrics.end())
            return UsageError("--worst-by " + worstBy + "：这次没有测量 " + worstBy + "，请用 -m " + worstBy + " 加上它。");
        if (metric->name != "psnr" && !metric->scores.empty()) {
            const auto luma = std::find_if(metric->scores.begin(), metric->scores.end(),
                                           [](std::string_view score) { return score.ends_with("_y"); });
            worstScore = std::string(luma != metric->scores.end() ? *luma : metric->scores.front());
        }
    }
    if (app.count("--stream")) {
        const auto index = ParseInt(stream);
        if (!index || *index < 0)
            return UsageError("流编号 \"" + stream + "\" 无效：应为不小于 0 的整数（同 ffprobe 的编号）。");
        settings.videoStream = *index;
    }
    if (app.count("--start")) {
        const auto first = ParseInt(start);
        if (!first || *first < 0 || *first > lorvane::kMaxDimension)
            return UsageError("起始 \"" + start + "\" 无效：应为 0 到 1000000000 之间的整数。");
        settings.start = *first;
    }
    if (app.count("--cpu") && !lorvane::LimitCpuLevel(cpu))
        return UsageError("未知的指令集级别 \"" + cpu + "\"：应为 c、sse2、avx2 或 avx512。");
    if (app.count("--shard") && !app.count("--manifest"))
        return UsageError("--shard 只能与 --manifest 一起使用。");
    if (app.count("--manifest")) {
        lorvane::ManifestRun run;
        run.manifest = manifest;
        if (app.count("--shard") && !lorvane::ParseShard(shard, run.shard, run.shards))
            return UsageError("分片 \"" + shard + "\" 无效：应写成 K/N，N 不小于 1，K 从 0 到 N-1。");
        if (!sequences.empty())
            return UsageError("有 --manifest 时序列由清单给出，命令行上不能再给出序列。");
        for (const char* option : {"--series", "--rates", "-o", "--json", "--csv", "--report"})
            if (app.count(option))
                return UsageError(std::string("选项 ") + option + " 不能与 --manifest 一起使用：系列和码率由清单的 series、rate 列给出，"
                                  "结果写到 --rd。");
        run.rdPath = rdOutput.path;
        // Every option but those of the manifest itself applies to each of its runs.
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const std::string& a = arguments[i];
            const bool own = a == "--manifest" || a == "--shard" || a == "--rd";
            if (own) {
                ++i;
                continue;
            }
            if (!a.starts_with("--manifest=") && !a.starts_with("--shard=") && !a.starts_with("--rd="))
                run.options.push_back(a);
        }
        return lorvane::RunManifest(run, [&](const std::vector<std::string>& group, lorvane::RdRequest& one) {
            std::vector<std::string> all = {arguments[0]};
            all.insert(all.end(), group.begin(), group.end());
            return RunCli(all, &one);
        });
    }
    // "-" and every other name of standard output write through it; two
    // outputs may not share a file, whatever its spelling. With several
    // targets each has its own -o, --json and --csv, named by {} in the path
    // given; the one --report holds them all.
    const std::size_t targetCount = sequences.size() - 1;
    std::deque<Output> expanded;
    std::vector<Output*> all;                   // in the order they are checked and written
    std::vector<std::array<Output*, 3>> perTarget;  // -o, --json, --csv of each target
    Output& reportOutput = outputs[3];
    if (targetCount == 1) {
        for (Output& output : outputs)
            all.push_back(&output);
        perTarget.push_back({&outputs[0], &outputs[1], &outputs[2]});
    } else {
        for (std::size_t o = 0; o < 3; ++o)
            if (!outputs[o].path.empty() && outputs[o].path.find("{}") == std::string::npos)
                return UsageError(std::string("选项 ") + outputs[o].option + " " + outputs[o].path +
                                  " 的路径中没有 {}：有多个目标序列时，每个目标序列各写一个文件，"
                                  "路径中的 {} 换成目标序列的文件名（不含目录和扩展名）。");
        for (std::size_t k = 0; k < targetCount; ++k) {
            std::array<Output*, 3> own{};
            for (std::size_t o = 0; o < 3; ++o) {
                Output& output = expanded.emplace_back(outputs[o].option);
                output.path = ExpandTargetName(outputs[o].path, sequences[k + 1]);
                own[o] = &output;
                all.push_back(&output);
            }
            perTarget.push_back(own);
        }
        all.push_back(&reportOutput);
    }
    if (!rdOutput.path.empty())
        all.push_back(&rdOutput);
    if (targetCount > 1) {
        // Two targets of one name would write one file for both.
        for (std::size_t o = 0; o < 3; ++o)
            for (std::size_t a = 0; a < targetCount; ++a)
                for (std::size_t b = 0; b < a; ++b) {
                    const std::string& first = perTarget[b][o]->path;
                    const std::string& second = perTarget[a][o]->path;
                    if (!first.empty() && (first == second || lorvane::SameOutputFile(first, second)))
                        return UsageError(std::string("选项 ") + outputs[o].option + " " + outputs[o].path +
                                          " 给目标序列 " + sequences[b + 1] + " 和 " + sequences[a + 1] +
                                          " 都是 " + first + "：请让它们的文件名不同，或分开运行。");
                }
    }
    const Output* toStdout = nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
        Output& output = *all[i];
        if (output.path.empty())
            continue;
        if (lorvane::NamesStandardOutput(output.path)) {
            if (toStdout)
                return UsageError(std::string("选项 ") + toStdout->option + " 和 " + output.option +
                                  " 都写到标准输出：只能有一个输出写到标准输出。");
            output.file.SendToStdout();
            toStdout = &output;
            continue;
        }
        for (std::size_t j = 0; j < i; ++j)
            if (!all[j]->path.empty() && !all[j]->file.ToStdout() && lorvane::SameOutputFile(all[j]->path, output.path))
                return UsageError(std::string("选项 ") + all[j]->option + " " + all[j]->path + " 和 " +
                                  output.option + " " + output.path + " 是同一个文件：每个文件只能写一个输出。");
    }
    // A pipe is read once: standard input can feed one sequence only.
    for (std::size_t i = 0; i < sequences.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (NamesStandardInput(sequences[i]) && NamesStandardInput(sequences[j]))
                return UsageError("序列 " + sequences[j] + " 和 " + sequences[i] +
                                  " 都是标准输入：只能有一个序列从标准输入读取。");
    settings.resultPath = resultOutput.path;
    settings.resultOutput = &resultOutput.file;

    settings.sourcePath = sequences[0];
    settings.targetPath = sequences[1];
    if (picture) {
        settings.width = picture->first;
        settings.height = picture->second;
    }

    // What the files tell: a YUV4MPEG2 header gives size and format (the run
    // checks them against -s and -p); otherwise the names may.
    // A pipe or a device is opened here once, for good: what is read of it to
    // see what it is goes to the run with it.
    std::vector<Input> inputs;
    for (const std::string& path : sequences)
        inputs.push_back({inputs.empty() ? "源参考序列" : "目标序列", path,
                          lorvane::ProbeSequence(path, lorvane::Probe::KeepStream), {}});
    settings.sourceStream = inputs[0].info.stream;
    settings.targetStream = inputs[1].info.stream;
    // An encoded file would be measured as noise: refused before anything else
    // is said about it (a size from its name, its frame count).
    // One that can be decoded tells its size and format; nothing is decoded
    // through a pipe.
    for (Input& input : inputs)
        if (!input.info.encoded.empty()) {
            if (!input.info.regular || !lorvane::DecodingAvailable()) {
                PrintMessage("错误!", lorvane::EncodedInputMessage(input.role, input.path, input.info.encoded));
                return kExitFailed;
            }
            std::string error;
            const std::unique_ptr<lorvane::DecodedSource> source =
                lorvane::DecodedSource::Open(input.path, input.role, input.role == std::string("目标序列") ? settings.videoStream : -1, error);
            if (!source) {
                PrintMessage("错误!", error);
                return kExitFailed;
            }
            input.decoded = source->Stream();
        }
    const bool anyDecoded = std::any_of(inputs.begin(), inputs.end(), [](const Input& i) { return bool(i.decoded); });
    // The rate of each target: measured when decoded, else given (-1: none).
    std::vector<double> targetKbps(targetCount, -1);
    {
        std::size_t given = 0, raw = 0;
        for (std::size_t k = 0; k < targetCount; ++k) {
            if (request && request->kbps[k] > 0)
                targetKbps[k] = request->kbps[k];
            else if (!inputs[k + 1].decoded && !request && given < givenRates.size())
                targetKbps[k] = givenRates[given++];
            if (!inputs[k + 1].decoded) {
                ++raw;
                if (targetKbps[k] < 0 && (request || !rdOutput.path.empty()))
                    return UsageError("目标序列 " + inputs[k + 1].path + " 是无头 YUV 或 YUV4MPEG2 文件，没有码率：" +
                                      (request ? std::string("请在清单的 rate 列给出（kbps）。")
                                               : std::string("有 --rd 时请用 --rates 给出，每个这样的目标序列一个，按给出的顺序。")));
            }
        }
        if (givenRates.size() != raw && app.count("--rates"))
            return UsageError("--rates 给出了 " + std::to_string(givenRates.size()) + " 个码率，无头 YUV 和 YUV4MPEG2 目标序列却有 " +
                              std::to_string(raw) + " 个：每个这样的目标序列一个，按给出的顺序（解码的目标序列用测得的码率）。");
    }
    // Finding the offset compares frames at many places in both files.
    if (autoOffset)
        for (const Input& input : inputs)
            if (input.info.opened && !input.info.regular)
                return UsageError("--offset auto 要按内容比较两个序列开头的帧，" + std::string(input.role) + " " + input.path +
                                  " 却不是普通文件：请用 --offset 给出偏移。");
    const auto firstTelling = std::find_if(inputs.begin(), inputs.end(), [](const Input& i) { return i.Tells(); });
    const Input* y4m = firstTelling == inputs.end() ? nullptr : &*firstTelling;
    const bool badHeader = std::any_of(inputs.begin(), inputs.end(), [](const Input& i) { return !i.info.error.empty(); });
    if (!y4m && !badHeader) {
        const std::string reason =
            TakeFromNames(inputs, !picture, !app.count("--pix-fmt"), settings);
        if (!reason.empty())
            return UsageError(reason);
        if (settings.width == 0 && settings.height == 0 && autoSize) {
            // A reference that cannot be opened is reported as the run reports
            // it with a size given, not as a size that cannot be guessed.
            if (!inputs[0].info.opened) {
                PrintMessage("打开文件错误!", "不能打开 " + settings.sourcePath + "!\n请确认路径是否正确！");
                return kExitFailed;
            }
            lorvane::SizeChoice choice;
            std::string report;
            // No format given: the guess tries the bit depths too.
            if (!lorvane::GuessSizeByContent(settings.sourcePath, lorvane::FindPixelFormat(settings.pixelFormat),
                                             choice, report))
                return UsageError(report + "请用 -s 宽x高 给出。");
            std::fputs((report + "\n").c_str(), stderr);
            settings.width = choice.width;
            settings.height = choice.height;
            if (!choice.format->name.empty())
                settings.pixelFormat = std::string(choice.format->name);
        }
        if (settings.width == 0 && settings.height == 0)
            return UsageError("缺少图像宽高：请用 -s 宽x高 给出，例如 -s 176x144，或用 -s auto 按内容推断。");
    }

    // The frame count of the shorter file when -n is left out, counted as the
    // frames are laid out.
    std::int32_t width = settings.width, height = settings.height;
    const lorvane::PixelFormat* format = lorvane::FindPixelFormat(settings.pixelFormat);
    if (y4m && width == 0 && height == 0)
        width = y4m->Width(), height = y4m->Height();
    if (y4m && !format)
        format = y4m->Format();
    if (!format)
        format = &lorvane::ClassicFormat();
    // Settings that disagree with a header are the run's to refuse: frames
    // counted at a size the run will not use would only mislead.
    bool disagree = false;
    for (const Input& input : inputs)
        if (input.Tells())
            disagree = disagree || input.Width() != width || input.Height() != height || input.Format() != format;
    const std::uint64_t frameBytes = badHeader || disagree ? 0 : FrameBytes(width, height, *format);
    // A metric with a least plane size: a luma plane below it leaves nothing
    // to measure, chroma planes below it are left out (said once, here). A
    // size the run will refuse (frameBytes 0) is the run's to say.
    if (frameBytes > 0)
        for (const std::string& name : settings.metrics) {
            const std::int32_t least = lorvane::FindMetric(name)->smallestSide;
            if (least == 0)
                continue;
            const std::string needed = std::to_string(least) + "x" + std::to_string(least);
            if (width < least || height < least)
                return UsageError("图像 " + std::to_string(width) + "x" + std::to_string(height) + " 的亮度平面（Y）小于 " +
                                  needed + "：指标 " + name + " 要求亮度平面宽高都至少为 " + std::to_string(least) + "。");
            const lorvane::PictureLayout::Plane chroma = lorvane::LayoutOf(*format, width, height).planes[1];
            if (chroma.width > 0 && (chroma.width < least || chroma.height < least))
                PrintMessage(kTitleWarning, "色度平面（U、V）是 " + std::to_string(chroma.width) + "x" +
                                                std::to_string(chroma.height) + "，小于指标 " + name + " 要求的 " + needed +
                                                "：只测量亮度平面的 " + name + "，色度平面的记为 null。\n");
        }
    bool incomplete = false;  // a damaged Y4M input, or no frame compared: never exit 0
    // An encoded input's frames are counted only by decoding them all: without
    // -n the run goes until the first input ends. A raw partner's frames, or
    // the container's count, are what the progress line counts to.
    std::int64_t expected = -1;
    bool expectedIsEstimate = false;
    if (anyDecoded && frameBytes > 0) {
        const lorvane::FrameSkips skips = lorvane::SkipsOf(settings.offset, settings.start);
        // The reference bounds every target; the longest target bounds the run.
        std::int64_t reference = -1, longest = -1;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const Input& input = inputs[i];
            const std::uint64_t skip = i == 0 ? skips.reference : skips.target;
            std::int64_t frames = -1;
            if (input.decoded && input.decoded->frameEstimate > 0) {
                frames = input.decoded->frameEstimate;
                expectedIsEstimate = true;
            } else if (!input.decoded && input.info.regular) {
                frames = std::int64_t(lorvane::CompleteFrames(input.info, frameBytes));
                WarnAboutPartialFrame(input, width, height, frameBytes, format == &lorvane::ClassicFormat());
            } else if (!input.decoded && !app.count("--frames")) {
                if (input.info.opened)
                    return UsageError(std::string(input.role) + " " + input.path +
                                      " 不是普通文件，无法得知帧数：请用 -n 给出要比较的帧数。");
            }
            if (frames >= 0) {
                frames = std::max<std::int64_t>(0, frames - std::int64_t(skip));
                (i == 0 ? reference : longest) = std::max(i == 0 ? reference : longest, frames);
            }
        }
        expected = reference < 0 ? longest : longest < 0 ? reference : std::min(reference, longest);
        for (const Input& input : inputs)
            if (!input.decoded)
                incomplete = WarnAboutDamagedY4m(input, frameBytes) || incomplete;
        if (!app.count("--frames")) {
            settings.frameCount = lorvane::kMaxDimension;
            settings.untilEnd = true;
        }
    }
    // Each target's count and offset; the settings' are those of the first.
    std::vector<std::int32_t> targetFrames(targetCount, settings.frameCount), targetOffsets(targetCount, settings.offset);
    // The offset of each target, found or looked for as for raw files below,
    // from the first frames decoded (a pipe among the inputs is refused above
    // for --offset auto, and gets no look).
    for (std::size_t k = 0; frameBytes > 0 && anyDecoded && k < targetCount; ++k) {
        const Input& target = inputs[k + 1];
        if (!inputs[0].info.regular || !target.info.regular)
            continue;
        lorvane::SequencePair pair{settings.sourcePath, target.path, inputs[0].info, target.info,
                                   lorvane::LayoutOf(*format, width, height), format};
        pair.targetStream = settings.videoStream;
        std::string report;
        if (autoOffset) {
            if (!lorvane::FindOffset(pair, maxShift, std::uint64_t(settings.start), targetOffsets[k], report)) {
                PrintMessage("错误!", report + "\n请用 --offset 给出偏移。");
                return kExitFailed;
            }
            std::fputs((report + "\n").c_str(), stderr);
        } else if (!app.count("--offset")) {
            if (const std::int32_t shift = lorvane::LikelyShift(pair, std::uint64_t(settings.start), report))
                PrintMessage(kTitleWarning, report + "可以试试 --offset " + std::to_string(shift) + "。");
        }
    }
    if (frameBytes > 0 && !anyDecoded) {
        // 0 when either is not a regular file.
        std::vector<std::int32_t> shorter(targetCount);
        for (std::size_t k = 0; k < targetCount; ++k)
            shorter[k] = lorvane::FramesOfShorter(inputs[0].info, inputs[k + 1].info, width, height, format);
        if (!app.count("--frames")) {
            // A missing file or a folder is left to the run, which says it cannot
            // open it as it does in the window; -n would not help there.
            for (const Input& input : inputs) {
                if (!input.info.opened)
                    break;
                if (!input.info.regular)
                    return UsageError(std::string(input.role) + " " + input.path +
                                      " 不是普通文件，无法得知帧数：请用 -n 给出要比较的帧数。");
            }
            // Nothing to compare is no result: said before any output is made.
            for (std::size_t k = 0; k < targetCount; ++k) {
                const bool bothOpened = inputs[0].info.opened && inputs[k + 1].info.opened;
                if (bothOpened && shorter[k] == 0) {
                    std::string text;
                    for (const Input* input : {&inputs[0], &inputs[k + 1]})
                        if (lorvane::CompleteFrames(input->info, frameBytes) == 0)
                            text += std::string(input->role) + " " + input->path + " 没有一个完整帧：文件大小 " +
                                    std::to_string(input->info.bytes) + " 字节，" + std::to_string(width) + "x" +
                                    std::to_string(height) + " 的一帧是 " + std::to_string(frameBytes) + " 字节。\n";
                    PrintMessage("错误!", text + "没有可比较的帧。");
                    return kExitFailed;
                }
                targetFrames[k] = shorter[k];
            }
        }
        for (const Input& input : inputs)
            WarnAboutPartialFrame(input, width, height, frameBytes, format == &lorvane::ClassicFormat());
        for (const Input& input : inputs)
            incomplete = WarnAboutDamagedY4m(input, frameBytes) || incomplete;
        const bool guessed = !app.count("--pix-fmt") && !y4m;
        for (const Input& input : inputs)
            if (!CheckSamplesFitFormat(input, *format, width, height, guessed))
                return kExitFailed;
        for (std::size_t k = 0; k < targetCount; ++k) {
            const Input& target = inputs[k + 1];
            const bool bothRegular = inputs[0].info.opened && inputs[0].info.regular && target.info.opened &&
                                     target.info.regular;
            const Input* const pairInputs[] = {&inputs[0], &target};
            const lorvane::SequencePair pair{settings.sourcePath, target.path, inputs[0].info, target.info,
                                             lorvane::LayoutOf(*format, width, height), format};
            if (autoOffset && bothRegular) {
                std::string report;
                if (!lorvane::FindOffset(pair, maxShift, std::uint64_t(settings.start), targetOffsets[k], report)) {
                    PrintMessage("错误!", report + "\n请用 --offset 给出偏移。");
                    return kExitFailed;
                }
                std::fputs((report + "\n").c_str(), stderr);
            }
            // Frames skipped beyond a file's end leave nothing to compare: said
            // before anything is written.
            const lorvane::FrameSkips skips = lorvane::SkipsOf(targetOffsets[k], settings.start);
            const std::uint64_t skip[] = {skips.reference, skips.target};
            std::uint64_t held[2] = {};
            std::string beyond;
            for (int i = 0; i < 2; ++i) {
                held[i] = lorvane::CompleteFrames(pairInputs[i]->info, frameBytes);
                if (pairInputs[i]->info.regular && skip[i] > 0 && skip[i] >= held[i])
                    beyond += lorvane::SkipBeyondLine(pairInputs[i]->role, pairInputs[i]->path, held[i], skip[i],
                                                      targetOffsets[k], settings.start);
            }
            if (!beyond.empty()) {
                PrintMessage("错误!", beyond + "没有可比较的帧。");
                return kExitFailed;
            }
            if (!app.count("--frames") && bothRegular && (skip[0] > 0 || skip[1] > 0)) {
                targetFrames[k] = std::int32_t(std::min<std::uint64_t>(
                    {held[0] - skip[0], held[1] - skip[1], std::uint64_t(lorvane::kMaxDimension)}));
                std::fputs((std::string(inputs[0].role) + " " + inputs[0].path + " 有 " + std::to_string(held[0]) + " 帧，" +
                            target.role + " " + target.path + " 有 " + std::to_string(held[1]) + " 帧：从源参考序列第" +
                            std::to_string(skip[0]) + "帧、目标序列第" + std::to_string(skip[1]) + "帧起比较 " +
                            std::to_string(targetFrames[k]) + " 帧。\n").c_str(), stderr);
            } else if (!app.count("--frames") && inputs[0].info.regular && target.info.regular) {
                if (held[0] != held[1])
                    std::fputs((std::string(inputs[0].role) + " " + inputs[0].path + " 有 " + std::to_string(held[0]) +
                                " 帧，" + target.role + " " + target.path + " 有 " + std::to_string(held[1]) +
                                " 帧：比较前 " + std::to_string(shorter[k]) + " 帧。\n").c_str(), stderr);
            }
            // Frames out of step by one or two give bad numbers that look like a
            // poor encode; a look at the first pairs costs next to nothing.
            if (!app.count("--offset") && bothRegular) {
                std::string report;
                if (const std::int32_t shift = lorvane::LikelyShift(pair, std::uint64_t(settings.start), report))
                    PrintMessage(kTitleWarning, report + "可以试试 --offset " + std::to_string(shift) + "。");
            }
        }
    }

    // An output path that names a sequence would destroy it: refused before
    // anything, the result files included, is created or truncated.
    for (const Output* output : all)
        for (const Input& input : inputs)
            if (output->option != resultOutput.option && !output->path.empty() && !output->file.ToStdout() &&
                lorvane::SameFile(output->path, input.path)) {
                PrintMessage("打开文件错误!", "输出文件 " + output->path + " 就是" + input.role + "!\n请另选输出文件！");
                return kExitFailed;
            }

    const bool wantRd = request || !rdOutput.path.empty();
    const bool keepFrames = stats || wantRd || std::any_of(std::begin(outputs) + 1, std::end(outputs),
                                                           [](const Output& o) { return !o.path.empty(); });
    const bool summaryToStderr = toStdout != nullptr || (request && request->summaryToStderr);
    TerminalFeedback feedback(!quiet && StderrIsTerminal(), summaryToStderr, keepFrames);
    // Each of several targets keeps its own frames and summary; one target
    // is the run's own feedback, as it always was.
    std::deque<TerminalFeedback> ownFeedback;
    std::vector<TerminalFeedback*> told;
    std::vector<lorvane::RunTarget> targets;
    for (std::size_t k = 0; k < targetCount; ++k) {
        TerminalFeedback* one = &feedback;
        if (targetCount > 1) {
            one = &ownFeedback.emplace_back(false, summaryToStderr, keepFrames);
            one->HoldSummary();
        }
        told.push_back(one);
        lorvane::RunTarget& target = targets.emplace_back();
        target.path = inputs[k + 1].path;
        target.stream = inputs[k + 1].info.stream;
        target.resultPath = perTarget[k][0]->path;
        target.resultOutput = &perTarget[k][0]->file;
        target.frameCount = targetFrames[k];
        target.offset = targetOffsets[k];
        target.feedback = one;
    }
    // -n may ask for more frames than the regular files hold: the progress
    // counts to the pairs they hold after the frames skipped, in frames of
    // the reference from the first compared.
    std::int64_t held = -1;
    if (frameBytes > 0 && !anyDecoded) {
        std::uint64_t referenceSkip = UINT64_MAX;
        for (const std::int32_t offset : targetOffsets)
            referenceSkip = std::min(referenceSkip, lorvane::SkipsOf(offset, settings.start).reference);
        for (std::size_t k = 0; k < targetCount; ++k) {
            const lorvane::FrameSkips skips = lorvane::SkipsOf(targetOffsets[k], settings.start);
            const std::uint64_t skipped[] = {skips.reference, skips.target};
            std::int64_t pairs = -1;
            for (int i = 0; i < 2; ++i) {
                const Input& input = inputs[i == 0 ? 0 : k + 1];
                if (input.info.regular) {
                    const std::uint64_t whole = lorvane::CompleteFrames(input.info, frameBytes);
                    const auto frames = std::int64_t(std::min<std::uint64_t>(whole - std::min(whole, skipped[i]),
                                                                             std::uint64_t(lorvane::kMaxDimension)));
                    pairs = pairs < 0 ? frames : std::min(pairs, frames);
                }
            }
            if (pairs < 0) {
                held = -1;
                break;
            }
            held = std::max(held, std::int64_t(skips.reference - referenceSkip) + pairs);
        }
    }
    if (held >= 0)
        feedback.ExpectFrames(held, false);
    if (expected >= 0)
        feedback.ExpectFrames(expected, expectedIsEstimate);
    lorvane::RunComparisons(settings, targets, feedback);

    // Each target's block: with several, the target it is for, its summary
    // (held until now) and its statistics, one block after another.
    bool failed = feedback.Failed() || incomplete;
    bool writeFailed = false;
    std::vector<lorvane::RunRecord> records;
    std::vector<std::size_t> recorded;  // the targets of the records
    for (std::size_t k = 0; k < targetCount; ++k) {
        TerminalFeedback& one = *told[k];
        // A run stopped before its frames (its message said why) has no blocks.
        if (targetCount > 1 && one.Outcome()) {
            const std::string head = (k > 0 ? "\n目标序列 " : "目标序列 ") + inputs[k + 1].path + "：\n" + one.TakeSummary();
            std::fwrite(head.data(), 1, head.size(), one.SummaryStream());
        }
        // No frame compared is no result, also when none was asked for (-n 0):
        // the averages are not-a-number.
        if (one.Outcome() && one.Outcome()->framesCompared == 0 && !one.Failed()) {
            PrintMessage(kTitleWarning, (targetCount > 1 ? "目标序列 " + inputs[k + 1].path + "：" : std::string()) +
                                            "没有比较任何帧（要求0帧）：平均值无从计算。");
            failed = true;
        }
        failed = failed || one.Failed();
        const std::optional<lorvane::RunOutcome>& outcome = one.Outcome();
        Output& result = *perTarget[k][0];
        result.failed = outcome && outcome->resultWriteFailed;  // the run said so itself
        writeFailed = writeFailed || result.failed;
        if (keepFrames && outcome && !result.failed) {
            lorvane::RunRecord& record = records.emplace_back();
            recorded.push_back(k);
            record.outcome = *outcome;
            record.frames = one.TakeFrames();
            record.statistics =
                lorvane::ComputeStatistics(record.frames, record.outcome.description, worstCount, worstScore);
            if (stats) {
                const std::string table = lorvane::StatisticsTable(record);
                std::fwrite(table.data(), 1, table.size(), one.SummaryStream());
            }
        }
    }

    // The outputs, once the run has compared what it could. The first that
    // cannot be written stops the rest: none is put in place.
    const auto writeOutput = [&](Output& output, const std::function<void(const lorvane::TextSink&)>& write) {
        if (output.path.empty() || writeFailed)
            return;
        lorvane::OutputFile& file = output.file;
        if (file.Open(output.path))
            write([&](std::string_view piece) { file.Write(piece); });
        if (!file.Opened() || !file.Finish()) {
            PrintMessage("写入文件错误!", "写入 " + output.path + " 时出错!\n输出不完整，请检查路径和磁盘空间！");
            output.failed = writeFailed = true;
        }
    };
    // A row per target for --rd (or the manifest's run), and the curves of
    // the report: the means the summary printed, at the rate measured or given.
    std::vector<lorvane::RdRow> rdRows;
    int unrated = 0;
    for (std::size_t r = 0; r < records.size(); ++r) {
        const std::size_t k = recorded[r];
        const lorvane::EncodeFacts& encode = records[r].outcome.description.targetEncode;
        const double kbps = targetKbps[k] > 0 ? targetKbps[k] : encode.decoded ? encode.kbps : -1;
        if (kbps <= 0) {
            ++unrated;
            if (wantRd) {
                PrintMessage("错误!", "目标序列 " + inputs[k + 1].path + " 的码率无法得知（流没有时长）：" +
                                          (request ? "请在清单的 rate 列给出。" : "请用 --rates 给出。"));
                failed = true;
            }
            continue;
        }
        rdRows.push_back(lorvane::RdRowOf(records[r], lorvane::RdName(settings.sourcePath),
                                          request ? request->series[k] : series, lorvane::RdName(inputs[k + 1].path), kbps));
    }
    if (request && records.size() == targetCount && rdRows.size() == targetCount)
        request->rows = rdRows;
    if (!writeFailed && records.size() == targetCount && targetCount > 0) {
        if (rdRows.size() == targetCount)
            writeOutput(rdOutput, [&](const lorvane::TextSink& out) { out(lorvane::RdCsvText(rdRows)); });
        for (std::size_t r = 0; r < records.size(); ++r) {
            const lorvane::RunRecord& record = records[r];
            writeOutput(*perTarget[recorded[r]][1], [&](const lorvane::TextSink& out) { lorvane::WriteJson(record, out); });
            writeOutput(*perTarget[recorded[r]][2], [&](const lorvane::TextSink& out) { lorvane::WriteCsv(record, out); });
        }
        writeOutput(reportOutput, [&](const lorvane::TextSink& out) {
            out(targetCount == 1 ? lorvane::HtmlReport(records[0])
                                 : lorvane::HtmlReport(records, lorvane::RdReportSection(rdRows, unrated)));
        });
    }
    if (!writeFailed) {
        for (Output* output : all) {
            if (output->file.Opened() && !output->file.Commit()) {
                PrintMessage("写入文件错误!", "写入 " + output->path + " 时出错!\n输出不完整，请检查路径和磁盘空间！");
                output->failed = writeFailed = true;
            }
        }
    }
    if (writeFailed) {
        // Every output whose content did not reach its file, besides the one
        // that failed: those written to a temporary file are dropped.
        std::vector<const Output*> unwritten;
        for (Output* output : all) {
            if (output->path.empty() || output->failed || (output->file.Opened() && !output->file.Staged()))
                continue;
            output->file.Discard();
            unwritten.push_back(output);
        }
        if (!unwritten.empty())
            PrintMessage("写入文件错误!", "因此没有写出：" + NameOutputs(unwritten) + "（原有的同名文件保持不变）。");
        failed = true;
    }

    // The summary is the one thing on stdout: losing it is a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        PrintMessage("错误!", "写入标准输出时出错，摘要不完整！");
        return kExitFailed;
    }
    return failed ? kExitFailed : kExitDone;
}

}  // namespace

int main(int argc, char** argv)
{
    lorvane::SetUpStandardStreams();
    const std::vector<std::string> arguments = lorvane::Utf8Arguments(argc, argv);
    lorvane::RemoveTemporaryFilesOnSignals();
    // Out of memory anywhere (the frames kept for the outputs, the report):
    // the temporary files are gone by the time this runs, every existing
    // output is as it was.
    try {
        if (arguments.size() > 1 && arguments[1] == "bd")
            return lorvane::RunBd(std::vector<std::string>(arguments.begin() + 2, arguments.end()));
        return RunCli(arguments, nullptr);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        PrintMessage("错误!", "内存不足，无法完成计算！");
        return kExitFailed;
    }
}
