// End-to-end runs of the built lorvane-cli: exact output bytes and exit status. The CPU
// level comes from LORVANE_CPU, set by ctest once per level. Bad input: test_bad_input.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string kAverage = "Average,48.130804,100.000000,100.000000\n";
const std::string kTwoFrameResult = "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
                                    " 0,48.130804,100.000000,100.000000\r\n"
                                    " 1,48.130804,100.000000,100.000000\r\n"
                                    "Average,48.130804,100.000000,100.000000\r\n";

std::string Summary(int frames)
{
    return "共计" + std::to_string(frames) + "帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome { int status; std::string out, err; };

class CliTest : public ::testing::Test {
protected:
    static constexpr std::size_t kFrame = 176 * 144 * 3 / 2;

    CliTest() { fs::create_directory(dir); }
    ~CliTest() override { fs::remove_all(dir); }

    // Runs lorvane-cli in the shell, stdout and stderr to files unless `redirect` says otherwise.
    Outcome RunCli(const std::vector<std::string>& args, const std::string& input = "", std::string redirect = "")
    {
        std::string command = input + "'" LORVANE_CLI "'";
        for (const std::string& arg : args)
            command += " '" + arg + "'";
        command += " " + (redirect.empty() ? ">" + out + " 2>" + err : redirect);
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
    }

    // A reference of random samples below 255, and a target that is a copy with
    // every Y sample one above (Y 48.130804 dB, U and V identical), cut to `targetBytes`.
    void MakePair(int referenceFrames, std::size_t targetBytes)
    {
        std::mt19937 random(7);
        std::string reference(kFrame * referenceFrames, '\0'), target = reference;
        for (std::size_t i = 0; i < reference.size(); ++i)
            target[i] = char((reference[i] = char(random() % 255)) + (i % kFrame < 176 * 144));
        target.resize(targetBytes);
        std::ofstream(ref, std::ios::binary) << reference;
        std::ofstream(tgt, std::ios::binary) << target;
    }

    const std::string dir = fs::temp_directory_path() / ("lorvane-cli-" + std::to_string(getpid()));
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    const std::string ref = dir + "/ref.yuv", tgt = dir + "/tgt.yuv", result = dir + "/result.txt";
};

TEST_F(CliTest, ComparesAllFramesAndWritesTheResultFile)
{
    MakePair(2, 2 * kFrame);
    const Outcome run = RunCli({"-s", "176x144", "-n", "2", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Summary(2));
    EXPECT_EQ(run.err, kAverage);
    EXPECT_EQ(ReadFile(result), kTwoFrameResult);

    // Long option names and options after the files give the same bytes.
    fs::remove(result);
    const Outcome same =
        RunCli({ref, tgt, "--size", "176x144", "--frames", "2", "--quiet", "--output", result, "--cpu", "c"});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out + same.err + ReadFile(result), run.out + run.err + kTwoFrameResult);
}

TEST_F(CliTest, WithoutFrameCountComparesTheCompleteFramesOfTheShorterFileAndWarnsOfTheRest)
{
    MakePair(3, 2 * kFrame + 100);
    const Outcome run = RunCli({"-s", "176x144", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Summary(2));
    EXPECT_EQ(run.err, "警告!\n目标序列 " + tgt +
                           " 的大小 76132 字节不是整数帧：176x144 的一帧是 38016 字节，末尾多出 100 字节。\n"
                           "请确认图像宽高是否正确。\n" + kAverage);
    EXPECT_EQ(ReadFile(result), kTwoFrameResult);
}

TEST_F(CliTest, ShortTargetComparesWhatThereIsAndFails)
{
    MakePair(3, kFrame);
    const Outcome run = RunCli({"-s", "176x144", "-n", "3", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kAverage + "计算成功！\n" + Summary(1) + "目标序列 " + tgt + " 提前结束：只比较了1帧，要求3帧。\n");
    EXPECT_EQ(ReadFile(result), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
                                " 0,48.130804,100.000000,100.000000\r\n"
                                "Average,48.130804,100.000000,100.000000\r\n");
}

TEST_F(CliTest, BadCommandLinesExitWithTwoAndTouchNothing)
{
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
        {{"-o", result, ref, tgt}, "缺少图像宽高：请用 -s 宽x高 给出，例如 -s 176x144。"},
        {{"-o", result, "-s", "176x", ref, tgt}, "图像宽高 \"176x\" 无效：应写成 宽x高，两个都是 32 位整数，例如 176x144。"},
        {{"-o", result, "-s", "176x144", "-n", "abc", ref, tgt}, "帧数 \"abc\" 无效：应为 32 位整数。"},
        {{"-o", result, "-s", "176x144", ref}, "需要两个序列文件：参考序列和目标序列。"},
         }) {
        const Outcome run = RunCli(args);
        EXPECT_EQ(run.status, 2) << reason;
        EXPECT_EQ(run.out, "") << reason;
        EXPECT_EQ(run.err, "lorvane-cli：" + reason + "\n请运行 lorvane-cli --help 查看用法。\n");
        EXPECT_FALSE(fs::exists(result)) << reason;
    }
}

TEST_F(CliTest, HelpAndVersionGoToStdout)
{
    for (const std::string flag : {"--version", "--help", "-h"}) {
        const Outcome run = RunCli({flag});
        EXPECT_EQ(run.status, 0) << flag;
        EXPECT_EQ(run.err, "") << flag;
        EXPECT_TRUE(flag == "--version" ? run.out == "1.0.0.1\n"
                                        : run.out.starts_with("用法：lorvane-cli -s 宽x高 [-n 帧数]") &&
                                              run.out.ends_with("ref.yuv encoded.yuv\n")) << run.out;
    }
}

// What a terminal shows once the \r and \n in `output` have been applied.
std::string Screen(const std::string& output)
{
    std::string shown, line;
    std::size_t column = 0;
    for (char c : output + "\n") {
        if (c == '\n')
            shown += line.substr(0, line.find_last_not_of(' ') + 1) + "\n", line.clear();
        else if (c != '\r')
            line.replace(column, 1, 1, c);  // overwrites, or appends at the end
        column = c == '\r' || c == '\n' ? 0 : column + 1;
    }
    return shown.substr(0, shown.find_last_not_of('\n') + 1) + "\n";
}

// The target comes slowly, 60 frames in over 0.6 s, then ends before the 1000 asked for. Progress
// shows only on a terminal without -q, and nothing of it is left on the screen.
TEST_F(CliTest, ProgressOnlyOnATerminalAndLeavesNothingBehind)
{
    const std::string slow = "for i in $(seq 60); do head -c 38016 /dev/zero; sleep 0.01; done | ";
    const std::vector<std::string> args = {"-s", "176x144", "-n", "1000", "/dev/zero", "/dev/stdin"};
    const std::string expected = "Average,100.000000,100.000000,100.000000\n计算成功！\n共计60帧，平均PSNR如下：\n"
                                 "PSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n"
                                 "目标序列 /dev/stdin 提前结束：只比较了60帧，要求1000帧。\n";
    EXPECT_EQ(RunCli(args, slow, "2>&1 >/dev/null | cat >" + err).err, expected);  // stderr on a pipe

    for (const std::string quiet : {"", "-q"}) {
        const int screen = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(screen >= 0 && grantpt(screen) == 0 && unlockpt(screen) == 0) << "no pseudo-terminal";
        const std::string terminal = ptsname(screen);
        const Outcome run = RunCli(args, slow, quiet + " >/dev/null 2>" + terminal);  // [-q] >/dev/null 2>TTY
        std::string seen;
        char buffer[4096];
        for (ssize_t n; (n = read(screen, buffer, sizeof buffer)) > 0;)
            seen.append(buffer, std::size_t(n));
        close(screen);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(seen.find("帧/秒") != std::string::npos, quiet.empty()) << seen;
        EXPECT_EQ(Screen(seen), expected) << seen;
    }
}

// Per frame, Y, U and V agree with ffmpeg's psnr filter to its two decimals; its inf is our 100.
TEST_F(CliTest, AgreesWithFfmpegPsnrFilter)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not on PATH";
    const std::string raw = " -f rawvideo -pix_fmt yuv420p -s 176x144 ", stats = dir + "/stats.log";
    // testsrc, and a copy with noise in every plane from frame 2 on (frames 0 and 1 stay identical).
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 24" + raw + ref +
        " && ffmpeg -v error -y" + raw + "-i " + ref + " -vf \"noise=alls=20:allf=t+u:enable='gte(n,2)'\"" + raw +
        tgt + " && ffmpeg -v error -y" + raw + "-i " + tgt + raw + "-i " + ref + " -lavfi psnr=stats_file=" + stats +
        " -f null -";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    const Outcome run = RunCli({"-s", "176x144", "-o", result, ref, tgt});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream ours(ReadFile(result)), theirs(ReadFile(stats));
    std::string line, peer;
    const auto two = [](double v) { char t[32]; std::snprintf(t, sizeof t, "%.2f", v); return std::string(t); };
    std::getline(ours, line);  // header
    int frames = 0, noisy = 0;
    for (; std::getline(theirs, peer); ++frames) {
        ASSERT_TRUE(std::getline(ours, line));
        double k = -1, value[3], their[3];  // strtod reads ffmpeg's "inf" as infinity
        ASSERT_EQ(std::sscanf(line.c_str(), " %lf,%lf,%lf,%lf", &k, &value[0], &value[1], &value[2]), 4) << line;
        ASSERT_EQ(std::sscanf(peer.c_str() + peer.find(" psnr_y:") + 1, "psnr_y:%lf psnr_u:%lf psnr_v:%lf", &their[0],
                              &their[1], &their[2]), 3) << peer;  // (not found: npos + 1 is 0, and this fails)
        EXPECT_EQ(k, frames);
        for (int p = 0; p < 3; ++p) {
            EXPECT_EQ(value[p] == 100.0 ? "inf" : two(value[p]), two(their[p])) << "plane " << p << " of frame " << k;
            noisy += value[p] != 100.0;
        }
    }
    EXPECT_EQ(frames, 24);
    EXPECT_GE(noisy, 3 * 20);  // real differences were compared, not just identical frames
}

}  // namespace
