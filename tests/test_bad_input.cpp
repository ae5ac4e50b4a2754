// Bad input through the built lorvane-cli, one table row per case: the exact
// message and exit status, and every file that was there before the run still
// there, byte for byte, afterwards. Each case gets a fresh scratch folder whose
// own name holds a space and Chinese characters; "$D" in a row stands for it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kCli = LORVANE_CLI;

// 16 x 8 pictures: 192-byte frames. The target's luma is one above the
// reference's everywhere and its chroma equal, so every frame measures
// 48.130804 / 100 / 100.
constexpr int kWidth = 16, kHeight = 8, kFrameBytes = kWidth * kHeight * 3 / 2;
const char* const kSize = "16x8";

std::vector<char> Frames(int count, bool target)
{
    std::vector<char> bytes;
    for (int f = 0; f < count; ++f)
        for (int i = 0; i < kFrameBytes; ++i) {
            const int sample = (i * 7 + f * 13) % 200;
            bytes.push_back(char(target && i < kWidth * kHeight ? sample + 1 : sample));
        }
    return bytes;
}

std::string Values(bool nan) { return nan ? "nan,nan,nan" : "48.130804,100.000000,100.000000"; }

std::string Average(int frames) { return "Average," + Values(frames == 0) + "\n"; }

std::string Summary(int frames)
{
    const bool nan = frames == 0;
    return "共计" + std::to_string(frames) + "帧，平均PSNR如下：\nPSNR_Y: " + (nan ? "nan" : "48.130804") +
           "\nPSNR_U: " + (nan ? "nan" : "100.000000") + "\nPSNR_V: " + (nan ? "nan" : "100.000000") + "\n";
}

std::string ResultFile(int frames)
{
    std::string text = "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n";
    for (int i = 0; i < frames; ++i)
        text += " " + std::to_string(i) + "," + Values(false) + "\r\n";
    return text + "Average," + Values(frames == 0) + "\r\n";
}

// The run's messages, as the command line prints them: title, newline, text.
std::string CannotOpenReference(const std::string& path)
{
    return "打开文件错误!\n不能打开 " + path + "!\n请确认路径是否正确！\n";
}
std::string CannotOpen(const std::string& path) { return "打开文件错误!\n不能打开 " + path + "!请确认路径是否正确！\n"; }
const std::string kBadSize = "错误!\n请正确输入图像宽高！\n";
const std::string kOutOfRange =
    "错误!\n图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，且宽度×高度不超过 429496729。\n";
std::string IsReference(const std::string& path)
{
    return "打开文件错误!\n结果保存文件 " + path + " 就是源参考序列!\n请另选结果保存文件！\n";
}
std::string IsTarget(const std::string& path)
{
    return "打开文件错误!\n结果保存文件 " + path + " 就是目标序列!\n请另选结果保存文件！\n";
}
std::string WriteFailed(const std::string& path)
{
    return "写入文件错误!\n写入结果文件 " + path + " 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！\n";
}
// A sequence that ended before N frames: the average line, then the summary of
// the k frames compared as a warning, naming the sequence ("源参考序列 <path> ").
std::string EndedEarly(int compared, int asked, const std::string& who)
{
    return Average(compared) + "计算成功！\n" + Summary(compared) + who + "提前结束：只比较了" +
           std::to_string(compared) + "帧，要求" + std::to_string(asked) + "帧。\n";
}
// A command-line error: one reason naming `what`, then the pointer to --help.
std::vector<std::string> Usage(const std::string& what)
{
    return {"lorvane-cli：", what, "\n请运行 lorvane-cli --help 查看用法。\n"};
}
// The command line's own warning about a file that is not a whole number of frames.
std::string Ragged(const std::string& who) { return "警告!\n" + who + " 的大小 "; }

struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string out;                     // standard output, exactly
    std::string err;                     // standard error, exactly, unless `errHas` is given
    std::vector<std::string> errHas;     // pieces standard error holds, in this order
    std::string result;                  // result file in $D the run writes ...
    int resultFrames = -1;               // ... with this many frame lines; -1: none is written
    std::string cwd;                     // working folder ("$D" allowed)
    std::vector<std::pair<std::string, std::string>> env;
    bool stdoutFull = false;             // standard output on /dev/full
    bool germanLocale = false;
};

Case Row(std::string name, std::vector<std::string> args, int status, std::string out, std::string err)
{
    Case c;
    c.name = std::move(name);
    c.args = std::move(args);
    c.status = status;
    c.out = std::move(out);
    c.err = std::move(err);
    return c;
}

Case Row(std::string name, std::vector<std::string> args, int status, std::string out,
         std::vector<std::string> errHas)
{
    Case c = Row(std::move(name), std::move(args), status, std::move(out), std::string());
    c.errHas = std::move(errHas);
    return c;
}

Case Writes(Case c, std::string result, int frames)
{
    c.result = std::move(result);
    c.resultFrames = frames;
    return c;
}

std::vector<Case> Cases()
{
    const std::string ref = "$D/ref.yuv", tgt = "$D/tgt.yuv";
    std::vector<Case> cases = {
        // Good input, for contrast: the same files give the exact texts.
        Writes(Row("all_frames", {"-s", kSize, "-n", "3", "-o", "$D/out.txt", ref, tgt}, 0, Summary(3), Average(3)),
               "out.txt", 3),
        Row("frames_from_file_sizes", {"-s", kSize, ref, tgt}, 0, Summary(3), Average(3)),
        Writes(Row("existing_result_is_replaced", {"-s", kSize, "-o", "$D/old.txt", ref, tgt}, 0, Summary(3), Average(3)),
               "old.txt", 3),
        Writes(Row("spaces_and_chinese_in_paths",
                   {"-s", kSize, "-o", "$D/结果 文件.txt", "$D/参考 序列.yuv", "$D/目标 序列.yuv"}, 0, Summary(3),
                   Average(3)),
               "结果 文件.txt", 3),

        // Files that are not there, or are folders. An existing result file stays as it was.
        Row("missing_reference", {"-s", kSize, "-n", "3", "-o", "$D/old.txt", "$D/missing.yuv", tgt}, 1, "",
            CannotOpenReference("$D/missing.yuv")),
        Row("missing_reference_without_n", {"-s", kSize, "-o", "$D/old.txt", "$D/missing.yuv", tgt}, 1, "",
            CannotOpenReference("$D/missing.yuv")),
        Row("missing_target", {"-s", kSize, "-n", "3", "-o", "$D/old.txt", ref, "$D/missing.yuv"}, 1, "",
            CannotOpen("$D/missing.yuv")),
        Row("missing_target_without_n", {"-s", kSize, "-o", "$D/new.txt", ref, "$D/missing.yuv"}, 1, "",
            CannotOpen("$D/missing.yuv")),
        Row("reference_is_a_folder", {"-s", kSize, "-n", "3", "$D/folder", tgt}, 1, "",
            CannotOpenReference("$D/folder")),
        Row("target_is_a_folder", {"-s", kSize, "-n", "3", "-o", "$D/old.txt", ref, "$D/folder"}, 1, "",
            CannotOpen("$D/folder")),
        Row("folder_without_n", {"-s", kSize, ref, "$D/folder"}, 1, "", CannotOpen("$D/folder")),
        Row("result_is_a_folder", {"-s", kSize, "-n", "3", "-o", "$D/folder", ref, tgt}, 1, "", CannotOpen("$D/folder")),
        Row("result_in_a_missing_folder", {"-s", kSize, "-o", "$D/nowhere/out.txt", ref, tgt}, 1, "",
            CannotOpen("$D/nowhere/out.txt")),

        // Too little data: the frames that exist are the run; fewer than asked is exit 1.
        Writes(Row("empty_reference", {"-s", kSize, "-n", "3", "-o", "$D/old.txt", "$D/empty.yuv", tgt}, 1, "",
                   EndedEarly(0, 3, "源参考序列 $D/empty.yuv ")),
               "old.txt", 0),
        Row("empty_files_without_n", {"-s", kSize, "$D/empty.yuv", "$D/empty.yuv"}, 0, Summary(0), Average(0)),
        Row("shorter_than_one_frame", {"-s", kSize, "-n", "2", ref, "$D/tiny.yuv"}, 1, "",
            std::vector<std::string>{Ragged("目标序列 $D/tiny.yuv"), EndedEarly(0, 2, "目标序列 $D/tiny.yuv ")}),
        Writes(Row("short_target", {"-s", kSize, "-n", "3", "-o", "$D/out.txt", ref, "$D/one.yuv"}, 1, "",
                   EndedEarly(1, 3, "目标序列 $D/one.yuv ")),
               "out.txt", 1),
        Row("ragged_target_without_n", {"-s", kSize, ref, "$D/ragged.yuv"}, 0, Summary(2),
            std::vector<std::string>{Ragged("目标序列 $D/ragged.yuv"), "不是整数帧", Average(2)}),
        Row("ragged_target", {"-s", kSize, "-n", "3", ref, "$D/ragged.yuv"}, 1, "",
            std::vector<std::string>{Ragged("目标序列 $D/ragged.yuv"), EndedEarly(2, 3, "目标序列 $D/ragged.yuv ")}),
        Row("ragged_reference_too", {"-s", kSize, "-n", "3", "$D/ragged.yuv", "$D/ragged.yuv"}, 1, "",
            std::vector<std::string>{Ragged("源参考序列 $D/ragged.yuv"), Ragged("目标序列 $D/ragged.yuv"),
                                     "源参考序列 $D/ragged.yuv 和目标序列 $D/ragged.yuv 都提前结束：只比较了2帧，要求3帧。\n"}),

        // Devices and endless streams: they need -n, and an endless one stops at N.
        Row("dev_null_reference", {"-s", kSize, "-n", "2", "/dev/null", tgt}, 1, "",
            EndedEarly(0, 2, "源参考序列 /dev/null ")),
        Row("dev_null_without_n", {"-s", kSize, "/dev/null", tgt}, 2, "", Usage("/dev/null")),
        Row("dev_zero_both", {"-s", kSize, "-n", "4", "/dev/zero", "/dev/zero"}, 0,
            "共计4帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n",
            "Average,100.000000,100.000000,100.000000\n"),
        Row("dev_zero_target_endless_count", {"-s", kSize, "-n", "1000000000", ref, "/dev/zero"}, 1, "",
            std::vector<std::string>{"计算成功！\n共计3帧，平均PSNR如下：\n",
                                     "源参考序列 $D/ref.yuv 提前结束：只比较了3帧，要求1000000000帧。\n"}),
        Row("dev_zero_without_n", {"-s", kSize, ref, "/dev/zero"}, 2, "", Usage("/dev/zero")),

        // Sizes and frame counts out of range: refused before any file is opened.
        Row("zero_width", {"-s", "0x144", "-o", "$D/new.txt", ref, tgt}, 1, "", kBadSize),
        Row("zero_height", {"-s", "16x0", "-o", "$D/old.txt", "$D/missing.yuv", tgt}, 1, "", kBadSize),
        Row("negative_width", {"-s", "-5x10", "-n", "1", ref, tgt}, 1, "", kOutOfRange),
        Row("negative_height_joined", {"--size=16x-8", "-n", "1", "-o", "$D/old.txt", ref, tgt}, 1, "", kOutOfRange),
        Row("area_overflows_32_bits", {"-s", "46341x46341", "-n", "1", "-o", "$D/old.txt", ref, tgt}, 1, "", kOutOfRange),
        Row("area_just_above_limit", {"-s", "429496730x1", "-n", "1", ref, tgt}, 1, "", kOutOfRange),
        Row("width_above_limit", {"-s", "1000000001x1", ref, tgt}, 1, "", kOutOfRange),
        Row("huge_size_small_files", {"-s", "20000x20000", "-n", "1", ref, tgt}, 1, "",
            std::vector<std::string>{Ragged("源参考序列 $D/ref.yuv"), Ragged("目标序列 $D/tgt.yuv"),
                                     "源参考序列 $D/ref.yuv 和目标序列 $D/tgt.yuv 都提前结束：只比较了0帧，要求1帧。\n"}),
        Row("width_overflows_int", {"-s", "2147483648x1", ref, tgt}, 2, "", Usage("2147483648x1")),
        Writes(Row("frames_zero", {"-s", kSize, "-n", "0", "-o", "$D/out.txt", ref, tgt}, 0, Summary(0), Average(0)),
               "out.txt", 0),
        Row("frames_at_limit", {"-s", kSize, "-n", "1000000000", ref, tgt}, 1, "",
            EndedEarly(3, 1000000000, "源参考序列 $D/ref.yuv 和目标序列 $D/tgt.yuv 都")),
        Row("frames_negative", {"-s", kSize, "-n", "-1", "-o", "$D/old.txt", ref, tgt}, 1, "", kOutOfRange),
        Row("frames_above_limit", {"-s", kSize, "-n", "1000000001", ref, tgt}, 1, "", kOutOfRange),
        Row("frames_overflow_int", {"-s", kSize, "-n", "2147483648", ref, tgt}, 2, "", Usage("2147483648")),

        // Text that is not a number, and other bad command lines.
        Row("size_is_text", {"-s", "abc", ref, tgt}, 2, "", Usage("abc")),
        Row("size_without_height", {"-s", "176x", ref, tgt}, 2, "", Usage("176x")),
        Row("size_with_spaces", {"-s", "16 x 8", ref, tgt}, 2, "", Usage("16 x 8")),
        Row("size_with_capital_x", {"-s", "16X8", ref, tgt}, 2, "", Usage("16X8")),
        Row("frames_is_text", {"-s", kSize, "-n", "drei", ref, tgt}, 2, "", Usage("drei")),
        Row("frames_is_a_fraction", {"-s", kSize, "-n", "2.5", ref, tgt}, 2, "", Usage("2.5")),
        Row("no_size", {"-n", "3", ref, tgt}, 2, "", Usage("-s")),
        Row("one_sequence", {"-s", kSize, ref}, 2, "", Usage("")),
        Row("three_sequences", {"-s", kSize, ref, tgt, tgt}, 2, "", Usage("")),
        Row("unknown_cpu_level", {"-s", kSize, "--cpu", "fast", ref, tgt}, 2, "", Usage("fast")),

        // A result path that is a sequence by another spelling: refused, both untouched.
        Row("result_is_target_by_dotdot", {"-s", kSize, "-o", "$D/folder/../tgt.yuv", ref, tgt}, 1, "",
            IsTarget("$D/folder/../tgt.yuv")),
        Row("result_is_reference_by_symlink", {"-s", kSize, "-o", "$D/link-ref", ref, tgt}, 1, "",
            IsReference("$D/link-ref")),
        Row("result_is_target_by_hard_link", {"-s", kSize, "-o", "$D/hard-tgt", ref, tgt}, 1, "",
            IsTarget("$D/hard-tgt")),
        Row("result_is_sequence_same_spelling", {"-s", kSize, "-o", tgt, tgt, tgt}, 1, "", IsReference(tgt)),

        // Output that cannot be written is a failure, never a success.
        Row("result_on_full_disk", {"-s", kSize, "-o", "/dev/full", ref, tgt}, 1, "", Average(3) + WriteFailed("/dev/full")),
    };

    Case relative = Row("result_is_reference_by_relative_path", {"-s", kSize, "-o", "ref.yuv", ref, tgt}, 1, "",
                        IsReference("ref.yuv"));
    relative.cwd = "$D";
    cases.push_back(relative);

    Case relativeInputs = Writes(Row("relative_paths_everywhere", {"-s", kSize, "-o", "../out.txt", "../ref.yuv", "../tgt.yuv"},
                                     0, Summary(3), Average(3)),
                                 "out.txt", 3);
    relativeInputs.cwd = "$D/folder";
    cases.push_back(relativeInputs);

    Case fullStdout = Row("summary_on_full_disk", {"-s", kSize, ref, tgt}, 1, "", std::vector<std::string>{Average(3), "错误!\n"});
    fullStdout.stdoutFull = true;
    cases.push_back(fullStdout);

    // A decimal-comma locale must not turn the points into commas.
    Case german = Writes(Row("german_locale", {"-s", kSize, "-o", "$D/out.txt", ref, tgt}, 0, Summary(3), Average(3)),
                         "out.txt", 3);
    german.germanLocale = true;
    cases.push_back(german);
    Case germanShort = Row("german_locale_short_target", {"-s", kSize, "-n", "3", ref, "$D/one.yuv"}, 1, "",
                           EndedEarly(1, 3, "目标序列 $D/one.yuv "));
    germanShort.germanLocale = true;
    cases.push_back(germanShort);
    return cases;
}

// ---- Running the command line.

std::string Expand(std::string text, const std::string& dir)
{
    for (std::size_t at = 0; (at = text.find("$D", at)) != std::string::npos; at += dir.size())
        text.replace(at, 2, dir);
    return text;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::vector<char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

struct Outcome {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string description;
    std::string out, err;
};

Outcome RunCli(const std::vector<std::string>& args, const fs::path& cwd,
               const std::vector<std::pair<std::string, std::string>>& env, bool stdoutFull,
               const fs::path& captureDir)
{
    const fs::path outPath = captureDir / "stdout", errPath = captureDir / "stderr";
    std::vector<char*> argv{const_cast<char*>(kCli)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = stdoutFull ? open("/dev/full", O_WRONLY)
                                   : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        execv(kCli, argv.data());
        _exit(127);
    }

    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            outcome.description = "killed after 60 s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (outcome.description.empty())
        outcome.description = "died of signal " + std::to_string(WTERMSIG(status));
    outcome.out = stdoutFull ? std::string() : ReadFile(outPath);
    outcome.err = ReadFile(errPath);
    return outcome;
}

// Every entry under `dir`: files by content, links by where they point, folders by name.
std::map<std::string, std::string> Snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        if (entry.is_symlink())
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[name] = "folder";
        else
            entries[name] = "file " + ReadFile(entry.path());
    }
    return entries;
}

// The entries that differ, one line each; short contents are shown in full.
std::string Differences(const std::map<std::string, std::string>& expected,
                        const std::map<std::string, std::string>& actual)
{
    const auto show = [](const std::map<std::string, std::string>& entries, const std::string& name) {
        const auto it = entries.find(name);
        if (it == entries.end())
            return std::string("absent");
        return it->second.size() <= 160 ? "\"" + it->second + "\"" : std::to_string(it->second.size()) + " bytes";
    };
    std::map<std::string, std::string> all = expected;
    all.insert(actual.begin(), actual.end());
    std::string report;
    for (const auto& [name, ignored] : all) {
        const auto e = expected.find(name), a = actual.find(name);
        if (e == expected.end() || a == actual.end() || e->second != a->second)
            report += name + ": expected " + show(expected, name) + ", found " + show(actual, name) + "\n";
    }
    return report;
}

// ---- The fixture: a scratch folder per case and, once, a German locale.

class BadInput : public ::testing::TestWithParam<Case> {
public:
    static void TearDownTestSuite()
    {
        if (!localeDir_.empty())
            fs::remove_all(localeDir_);
    }

protected:
    // Built on first use (ctest runs every case in a process of its own), so the
    // test needs only the locale sources of Debian's "locales" package, not a
    // system-wide de_DE.UTF-8. Empty when localedef fails.
    static fs::path GermanLocaleDir()
    {
        if (localeDir_.empty()) {
            localeDir_ = MakeTempDir("lorvane-locales-XXXXXX");
            const std::string command = "localedef -i de_DE -c -f UTF-8 '" +
                                        (localeDir_ / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
            germanReady_ = std::system(command.c_str()) == 0 &&
                           fs::exists(localeDir_ / "de_DE.UTF-8" / "LC_NUMERIC");
        }
        return germanReady_ ? localeDir_ : fs::path();
    }

    void SetUp() override
    {
        dir_ = MakeTempDir("lorvane 坏输入 XXXXXX");
        captureDir_ = MakeTempDir("lorvane-capture-XXXXXX");
        WriteFile(dir_ / "ref.yuv", Frames(3, false));
        WriteFile(dir_ / "tgt.yuv", Frames(3, true));
        WriteFile(dir_ / "参考 序列.yuv", Frames(3, false));
        WriteFile(dir_ / "目标 序列.yuv", Frames(3, true));
        WriteFile(dir_ / "one.yuv", Frames(1, true));
        WriteFile(dir_ / "empty.yuv", {});
        std::vector<char> tiny = Frames(1, true);
        tiny.resize(100);
        WriteFile(dir_ / "tiny.yuv", tiny);
        std::vector<char> ragged = Frames(3, true);
        ragged.resize(2 * kFrameBytes + 50);
        WriteFile(dir_ / "ragged.yuv", ragged);
        WriteFile(dir_ / "old.txt", {'k', 'e', 'e', 'p', '\n'});
        fs::create_directory(dir_ / "folder");
        fs::create_symlink("ref.yuv", dir_ / "link-ref");
        fs::create_hard_link(dir_ / "tgt.yuv", dir_ / "hard-tgt");
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        fs::remove_all(captureDir_);
    }

    static fs::path MakeTempDir(const std::string& name)
    {
        std::string pattern = (fs::temp_directory_path() / name).string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create " + pattern);
        return pattern;
    }

    static inline fs::path localeDir_;
    static inline bool germanReady_ = false;
    fs::path dir_, captureDir_;
};

TEST_P(BadInput, MessageStatusAndFilesIntact)
{
    const Case& c = GetParam();
    const std::string d = dir_.string();

    std::vector<std::pair<std::string, std::string>> env = c.env;
    if (c.germanLocale) {
        const fs::path locales = GermanLocaleDir();
        if (locales.empty())
            GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (install Debian's \"locales\")";
        env.emplace_back("LOCPATH", locales.string());
        env.emplace_back("LC_ALL", "de_DE.UTF-8");
        // The locale really is in force: printf writes a decimal comma under it.
        const std::string probe = "LOCPATH='" + locales.string() + "' LC_ALL=de_DE.UTF-8 /usr/bin/printf %.1f 1.5 > '" +
                                  (captureDir_ / "probe").string() + "'";
        ASSERT_EQ(std::system(probe.c_str()), 0);
        ASSERT_EQ(ReadFile(captureDir_ / "probe"), "1,5") << "the German locale is not in force";
    }

    std::vector<std::string> args;
    for (const std::string& arg : c.args)
        args.push_back(Expand(arg, d));
    const auto before = Snapshot(dir_);

    const Outcome got = RunCli(args, c.cwd.empty() ? fs::path() : fs::path(Expand(c.cwd, d)), env,
                               c.stdoutFull, captureDir_);

    ASSERT_TRUE(got.description.empty()) << got.description << "\nstderr:\n" << got.err;
    EXPECT_EQ(got.status, c.status) << "stderr:\n" << got.err;
    EXPECT_EQ(got.out, Expand(c.out, d));
    if (c.errHas.empty()) {
        EXPECT_EQ(got.err, Expand(c.err, d));
    } else {
        std::size_t at = 0;
        for (const std::string& piece : c.errHas) {
            const std::size_t found = got.err.find(Expand(piece, d), at);
            EXPECT_NE(found, std::string::npos) << "stderr lacks, in order: " << Expand(piece, d) << "\nstderr:\n" << got.err;
            if (found == std::string::npos)
                break;
            at = found + Expand(piece, d).size();
        }
        if (c.status == 2)  // a bad command line gets exactly one reason and the pointer to --help
            EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 2) << got.err;
    }

    // Nothing but the result file asked for may change.
    auto expected = before;
    if (c.resultFrames >= 0)
        expected[c.result] = "file " + ResultFile(c.resultFrames);
    EXPECT_EQ(Differences(expected, Snapshot(dir_)), "");
}

// Test names and failure reports show the row's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Cli, BadInput, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
