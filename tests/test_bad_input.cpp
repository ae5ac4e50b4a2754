// Bad input through the built lorvane-cli, one table row per case: the exact
// messages and exit status, and every file that was there before the run still
// there, byte for byte, afterwards. Each case gets a fresh scratch folder whose
// own name holds a space and Chinese characters; "$D" in a row stands for it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// 16 x 8 pictures: 192-byte frames. The target's luma is one above the
// reference's everywhere and its chroma equal: every frame measures 48.130804 / 100 / 100.
constexpr int kWidth = 16, kHeight = 8, kFrameBytes = kWidth * kHeight * 3 / 2;

std::string Frames(int count, bool target)
{
    std::string bytes;
    for (int f = 0; f < count; ++f)
        for (int i = 0; i < kFrameBytes; ++i) {
            const int sample = (i * 7 + f * 13) % 200;
            bytes.push_back(char(target && i < kWidth * kHeight ? sample + 1 : sample));
        }
    return bytes;
}

std::string Values(int frames) { return frames == 0 ? "nan,nan,nan" : "48.130804,100.000000,100.000000"; }
std::string Average(int frames) { return "Average," + Values(frames) + "\n"; }
std::string Summary(int frames)
{
    const std::string y = frames ? "48.130804" : "nan", uv = frames ? "100.000000" : "nan";
    return "共计" + std::to_string(frames) + "帧，平均PSNR如下：\nPSNR_Y: " + y + "\nPSNR_U: " + uv + "\nPSNR_V: " + uv + "\n";
}
std::string ResultFile(int frames)
{
    std::string text = "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n";
    for (int i = 0; i < frames; ++i)
        text += " " + std::to_string(i) + "," + Values(1) + "\r\n";
    return text + "Average," + Values(frames) + "\r\n";
}

// The messages, as the command line prints them: title, newline, text.
std::string CannotOpen(const std::string& path, bool reference = false)
{
    return "打开文件错误!\n不能打开 " + path + (reference ? "!\n" : "!") + "请确认路径是否正确！\n";
}
const std::string kBadSize = "错误!\n请正确输入图像宽高！\n";
const std::string kOutOfRange =
    "错误!\n图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，且宽度×高度不超过 429496729。\n";
std::string IsSequence(const std::string& path, bool reference)
{
    return "打开文件错误!\n结果保存文件 " + path + (reference ? " 就是源参考序列!" : " 就是目标序列!") +
           "\n请另选结果保存文件！\n";
}
// A run that ended before N frames: the average line, then the summary of the
// frames compared as a warning naming the sequence ("源参考序列 <path> ").
std::string EndedEarly(int compared, int asked, const std::string& who)
{
    return Average(compared) + "计算成功！\n" + Summary(compared) + who + "提前结束：只比较了" +
           std::to_string(compared) + "帧，要求" + std::to_string(asked) + "帧。\n";
}
std::string Usage(const std::string& why) { return "lorvane-cli：" + why + "\n请运行 lorvane-cli --help 查看用法。\n"; }
std::string BadSizeText(const std::string& text)
{
    return Usage("图像宽高 \"" + text + "\" 无效：应写成 宽x高，两个都是 32 位整数，例如 176x144。");
}
std::string BadCountText(const std::string& text) { return Usage("帧数 \"" + text + "\" 无效：应为 32 位整数。"); }
std::string NeedsCount(const std::string& who) { return Usage(who + " 不是普通文件，无法得知帧数：请用 -n 给出要比较的帧数。"); }
// The warning about a file that is not a whole number of frames.
std::string Ragged(const std::string& who, long bytes, const std::string& size = "16x8", long frame = kFrameBytes)
{
    return "警告!\n" + who + " 的大小 " + std::to_string(bytes) + " 字节不是整数帧：" + size + " 的一帧是 " +
           std::to_string(frame) + " 字节，末尾多出 " + std::to_string(bytes % frame) +
           " 字节。\n请确认图像宽高是否正确。\n";
}

struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string out, err;      // standard output and standard error, exactly
    std::string result = "";   // a result file in $D the run writes, ...
    int resultFrames = 0;      // ... with this many frame lines
    std::string cwd = "";      // working folder ("$D" allowed)
    bool stdoutFull = false;   // standard output on /dev/full
    bool german = false;       // under a German (decimal comma) locale
};

const std::string ref = "$D/ref.yuv", tgt = "$D/tgt.yuv", both = "源参考序列 $D/ref.yuv 和目标序列 $D/tgt.yuv 都";

const std::vector<Case> kCases = {
    // Files that are not there, or are folders. An existing result file stays as it was.
    {"missing_reference", {"-s", "16x8", "-n", "3", "-o", "$D/old.txt", "$D/missing.yuv", tgt}, 1, "",
     CannotOpen("$D/missing.yuv", true)},
    {"missing_target_without_n", {"-s", "16x8", "-o", "$D/new.txt", ref, "$D/missing.yuv"}, 1, "",
     CannotOpen("$D/missing.yuv")},
    {"reference_is_a_folder", {"-s", "16x8", "-n", "3", "$D/folder", tgt}, 1, "", CannotOpen("$D/folder", true)},
    {"target_is_a_folder_without_n", {"-s", "16x8", "-o", "$D/old.txt", ref, "$D/folder"}, 1, "",
     CannotOpen("$D/folder")},
    {"result_is_a_folder", {"-s", "16x8", "-o", "$D/folder", ref, tgt}, 1, "", CannotOpen("$D/folder")},
    {"result_in_a_missing_folder", {"-s", "16x8", "-o", "$D/nowhere/out.txt", ref, tgt}, 1, "",
     CannotOpen("$D/nowhere/out.txt")},

    // Too little data: the frames there are the run; fewer than asked is exit 1.
    {"empty_reference", {"-s", "16x8", "-n", "3", "-o", "$D/old.txt", "$D/empty.yuv", tgt}, 1, "",
     EndedEarly(0, 3, "源参考序列 $D/empty.yuv "), "old.txt", 0},
    {"shorter_than_one_frame", {"-s", "16x8", "-n", "2", ref, "$D/tiny.yuv"}, 1, "",
     Ragged("目标序列 $D/tiny.yuv", 100) + EndedEarly(0, 2, "目标序列 $D/tiny.yuv ")},
    {"ragged_target_without_n", {"-s", "16x8", "-o", "$D/out.txt", ref, "$D/ragged.yuv"}, 0, Summary(2),
     Ragged("目标序列 $D/ragged.yuv", 434) + Average(2), "out.txt", 2},

    // Devices: they need -n; an endless one stops where the other sequence ends.
    {"dev_null_reference", {"-s", "16x8", "-n", "2", "/dev/null", tgt}, 1, "", EndedEarly(0, 2, "源参考序列 /dev/null ")},
    {"dev_null_without_n", {"-s", "16x8", "/dev/null", tgt}, 2, "", NeedsCount("源参考序列 /dev/null")},
    {"dev_zero_both", {"-s", "16x8", "-n", "4", "/dev/zero", "/dev/zero"}, 0,
     "共计4帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n",
     "Average,100.000000,100.000000,100.000000\n"},
    {"dev_zero_target_largest_count", {"-s", "16x8", "-n", "1000000000", ref, "/dev/zero"}, 1, "",
     "Average,7.244826,6.932294,6.677737\n计算成功！\n共计3帧，平均PSNR如下：\nPSNR_Y: 7.244826\nPSNR_U: 6.932294\n"
     "PSNR_V: 6.677737\n源参考序列 $D/ref.yuv 提前结束：只比较了3帧，要求1000000000帧。\n"},
    {"dev_zero_without_n", {"-s", "16x8", ref, "/dev/zero"}, 2, "", NeedsCount("目标序列 /dev/zero")},

    // Sizes and frame counts out of range: refused before any file is opened.
    {"zero_width", {"-s", "0x144", "-o", "$D/old.txt", ref, tgt}, 1, "", kBadSize},
    {"negative_width", {"-s", "-5x10", "-n", "1", ref, tgt}, 1, "", kOutOfRange},
    {"area_overflows_32_bits", {"-s", "46341x46341", "-n", "1", "-o", "$D/old.txt", ref, tgt}, 1, "", kOutOfRange},
    {"huge_size_small_files", {"-s", "20000x20000", "-n", "1", ref, tgt}, 1, "",
     Ragged("源参考序列 $D/ref.yuv", 576, "20000x20000", 600000000) +
         Ragged("目标序列 $D/tgt.yuv", 576, "20000x20000", 600000000) + EndedEarly(0, 1, both)},
    {"width_overflows_int", {"-s", "2147483648x1", ref, tgt}, 2, "", BadSizeText("2147483648x1")},
    {"frames_zero", {"-s", "16x8", "-n", "0", "-o", "$D/out.txt", ref, tgt}, 0, Summary(0), Average(0), "out.txt", 0},
    {"frames_negative", {"-s", "16x8", "-n", "-1", "-o", "$D/old.txt", ref, tgt}, 1, "", kOutOfRange},
    {"frames_above_limit", {"-s", "16x8", "-n", "1000000001", ref, tgt}, 1, "", kOutOfRange},
    {"frames_overflow_int", {"-s", "16x8", "-n", "2147483648", ref, tgt}, 2, "", BadCountText("2147483648")},

    // Text that is not a number.
    {"size_is_text", {"-s", "abc", "-o", "$D/new.txt", ref, tgt}, 2, "", BadSizeText("abc")},
    {"frames_is_a_fraction", {"-s", "16x8", "-n", "2.5", ref, tgt}, 2, "", BadCountText("2.5")},

    // A result path that is a sequence by another spelling: refused, both untouched.
    {"result_is_reference_by_relative_path", {"-s", "16x8", "-o", "ref.yuv", ref, tgt}, 1, "",
     IsSequence("ref.yuv", true), "", 0, "$D"},
    {"result_is_target_by_dotdot", {"-s", "16x8", "-o", "$D/folder/../tgt.yuv", ref, tgt}, 1, "",
     IsSequence("$D/folder/../tgt.yuv", false)},
    {"result_is_reference_by_symlink", {"-s", "16x8", "-o", "$D/link-ref", ref, tgt}, 1, "",
     IsSequence("$D/link-ref", true)},
    {"result_is_target_by_hard_link", {"-s", "16x8", "-o", "$D/hard-tgt", ref, tgt}, 1, "",
     IsSequence("$D/hard-tgt", false)},

    // Output that cannot be written is a failure, never a success.
    {"result_on_full_disk", {"-s", "16x8", "-o", "/dev/full", ref, tgt}, 1, "",
     Average(3) + "写入文件错误!\n写入结果文件 /dev/full 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！\n"},
    {"summary_on_full_disk", {"-s", "16x8", ref, tgt}, 1, "", Average(3) + "错误!\n写入标准输出时出错，摘要不完整！\n",
     "", 0, "", true},

    // A decimal-comma locale must not turn the points into commas.
    {"german_locale", {"-s", "16x8", "-o", "$D/out.txt", ref, tgt}, 0, Summary(3), Average(3), "out.txt", 3, "",
     false, true},
};

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

void WriteFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Every entry under `dir`: files by content, links by where they point, folders by name.
std::map<std::string, std::string> Snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        entries[fs::relative(entry.path(), dir).string()] =
            entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string()
                               : entry.is_directory() ? "folder" : "file " + ReadFile(entry.path());
    return entries;
}

class BadInput : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "lorvane 坏输入 XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
        dir_ = pattern;
        WriteFile(dir_ / "ref.yuv", Frames(3, false));
        WriteFile(dir_ / "tgt.yuv", Frames(3, true));
        WriteFile(dir_ / "empty.yuv", "");
        WriteFile(dir_ / "tiny.yuv", Frames(1, true).substr(0, 100));
        WriteFile(dir_ / "ragged.yuv", Frames(3, true).substr(0, 2 * kFrameBytes + 50));
        WriteFile(dir_ / "old.txt", "keep\n");
        fs::create_directory(dir_ / "folder");
        fs::create_symlink("ref.yuv", dir_ / "link-ref");
        fs::create_hard_link(dir_ / "tgt.yuv", dir_ / "hard-tgt");
    }
    void TearDown() override
    {
        for (const char* extra : {"", ".out", ".err", ".locale"})
            fs::remove_all(dir_.string() + extra);
    }
    fs::path dir_;
};

TEST_P(BadInput, MessageStatusAndFilesIntact)
{
    const Case& c = GetParam();
    const std::string d = dir_.string(), outPath = d + ".out", errPath = d + ".err", locales = d + ".locale";
    if (c.german) {
        // Built from Debian's locale sources, so no system-wide de_DE.UTF-8 is needed.
        fs::create_directory(locales);
        if (std::system(("localedef -i de_DE -c -f UTF-8 '" + locales + "/de_DE.UTF-8' >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (install Debian's \"locales\")";
        // The locale really is in force: printf writes a decimal comma under it.
        const std::string probe = "LOCPATH='" + locales + "' LC_ALL=de_DE.UTF-8 /usr/bin/printf %.1f 1.5 >'" + outPath + "'";
        ASSERT_EQ(std::system(probe.c_str()), 0);
        ASSERT_EQ(ReadFile(outPath), "1,5") << "the German locale is not in force";
    }

    // Through the shell, each argument quoted; a run that hangs is stopped after a minute.
    std::string command = c.cwd.empty() ? "" : "cd '" + Expand(c.cwd, d) + "' && ";
    if (c.german)
        command += "LOCPATH='" + locales + "' LC_ALL=de_DE.UTF-8 ";
    command += "timeout 60 '" LORVANE_CLI "'";
    for (const std::string& arg : c.args)
        command += " '" + Expand(arg, d) + "'";
    command += (c.stdoutFull ? " >/dev/full" : " >'" + outPath + "'") + " 2>'" + errPath + "'";
    const auto before = Snapshot(dir_);
    const int status = std::system(command.c_str());
    const std::string err = ReadFile(errPath);
    ASSERT_TRUE(WIFEXITED(status)) << command << "\nstderr:\n" << err;
    EXPECT_EQ(WEXITSTATUS(status), c.status) << "stderr:\n" << err;
    EXPECT_EQ(c.stdoutFull ? "" : ReadFile(outPath), Expand(c.out, d));
    EXPECT_EQ(err, Expand(c.err, d));

    // Nothing but the result file asked for may change.
    auto expected = before;
    if (!c.result.empty())
        expected[c.result] = "file " + ResultFile(c.resultFrames);
    const auto after = Snapshot(dir_);
    for (const auto& [name, content] : expected)
        EXPECT_EQ(after.count(name) ? after.at(name) : "gone", content) << name;
    for (const auto& [name, content] : after)
        EXPECT_TRUE(expected.count(name)) << name << " was created";
}

// Test names and failure reports show the row's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Cli, BadInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
