// End-to-end runs of the built lorvane-cli: exact output bytes and exit status,
// on sequences made here at run time. The CPU level comes from LORVANE_CPU,
// which ctest sets once per level.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kCli = LORVANE_CLI;

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "lorvane-cli-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Frames of random samples, and a copy with every Y sample one above (so the Y
// PSNR is 10 log10(255^2) = 48.130804 and U, V are identical).
Bytes RandomFrames(int width, int height, int frames, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(std::size_t(width) * height * 3 / 2 * frames);
    for (auto& b : bytes)
        b = std::uint8_t(random() % 255);  // below 255, so +1 stays in range
    return bytes;
}

Bytes LumaPlusOne(Bytes frames, int width, int height)
{
    const std::size_t luma = std::size_t(width) * height, frame = luma * 3 / 2;
    for (std::size_t start = 0; start < frames.size(); start += frame)
        for (std::size_t i = 0; i < luma; ++i)
            ++frames[start + i];
    return frames;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the CLI with stdout and stderr captured in files (or stdout sent to
// `stdoutPath` when given) and stdin from /dev/null.
Outcome RunCli(const std::vector<std::string>& args, const std::string& stdoutPath = "")
{
    TempDir dir;
    const std::string out = stdoutPath.empty() ? dir / "stdout" : stdoutPath;
    const std::string err = dir / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(kCli.c_str())};
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    Outcome outcome;
    if (posix_spawn(&pid, kCli.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (stdoutPath.empty())
        outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
}

const char* const kSummaryPlusOne =
    "PSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n";
const char* const kAveragePlusOne = "Average,48.130804,100.000000,100.000000\n";

class CliTest : public ::testing::Test {
protected:
    static constexpr int kWidth = 176, kHeight = 144;
    static constexpr std::size_t kFrame = 176 * 144 * 3 / 2;

    // Writes `frames` frames of the reference and of its Y+1 target.
    void MakePair(int referenceFrames, int targetFrames)
    {
        const Bytes reference = RandomFrames(kWidth, kHeight, referenceFrames, 7);
        WriteFile(ref, reference);
        Bytes target = LumaPlusOne(reference, kWidth, kHeight);
        target.resize(kFrame * targetFrames, 0);
        WriteFile(tgt, target);
    }

    TempDir dir;
    const std::string ref = dir / "ref.yuv";
    const std::string tgt = dir / "tgt.yuv";
    const std::string result = dir / "result.txt";
};

TEST_F(CliTest, ComparesAllFramesAndWritesTheResultFile)
{
    MakePair(2, 2);
    const Outcome run = RunCli({"-s", "176x144", "-n", "2", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("共计2帧，平均PSNR如下：\n") + kSummaryPlusOne);
    EXPECT_EQ(run.err, kAveragePlusOne);
    EXPECT_EQ(ReadFile(result),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
              " 0,48.130804,100.000000,100.000000\r\n"
              " 1,48.130804,100.000000,100.000000\r\n"
              "Average,48.130804,100.000000,100.000000\r\n");

    // Long option names, options after the files, and every --cpu level give the same bytes.
    for (const char* level : {"c", "sse2", "avx2", "avx512"}) {
        SCOPED_TRACE(level);
        const Outcome same = RunCli({ref, tgt, "--size", "176x144", "--frames", "2", "--quiet",
                                     "--output", result, "--cpu", level});
        EXPECT_EQ(same.status, 0);
        EXPECT_EQ(same.out, run.out);
        EXPECT_EQ(same.err, run.err);
    }

    // -n 0 compares nothing, as asked: not-a-number averages, success.
    const Outcome none = RunCli({"-s", "176x144", "-n", "0", "-o", result, ref, tgt});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "共计0帧，平均PSNR如下：\nPSNR_Y: nan\nPSNR_U: nan\nPSNR_V: nan\n");
    EXPECT_EQ(ReadFile(result), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\nAverage,nan,nan,nan\r\n");
}

TEST_F(CliTest, WithoutFrameCountComparesTheCompleteFramesOfTheShorterFile)
{
    MakePair(3, 2);
    Outcome run = RunCli({"-s", "176x144", ref, tgt});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("共计2帧，平均PSNR如下：\n") + kSummaryPlusOne);
    EXPECT_EQ(run.err, kAveragePlusOne);

    // A trailing partial frame is not compared, and is worth a warning: it
    // usually means the picture size is wrong.
    Bytes target = LumaPlusOne(RandomFrames(kWidth, kHeight, 3, 7), kWidth, kHeight);
    target.resize(kFrame * 2 + 100);
    WriteFile(tgt, target);
    run = RunCli({"-s", "176x144", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("共计2帧，平均PSNR如下：\n") + kSummaryPlusOne);
    EXPECT_EQ(run.err, "警告!\n目标序列 " + tgt +
                           " 的大小 76132 字节不是整数帧：176x144 的一帧是 38016 字节，末尾多出 100 字节。\n"
                           "请确认图像宽高是否正确。\n" +
                           kAveragePlusOne);
    const std::string written = ReadFile(result);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 4);

    // The warning shows whether or not -n is given.
    run = RunCli({"-s", "176x145", "-n", "1", ref, ref});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("警告!\n源参考序列 " + ref + " 的大小 114048 字节不是整数帧：176x145 的一帧是 38280 字节"),
              std::string::npos)
        << run.err;

    // A device or pipe has no size to count frames from: -n is needed.
    run = RunCli({"-s", "176x144", "/dev/zero", tgt});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("/dev/zero 不是普通文件"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("-n"), std::string::npos);
    run = RunCli({"-s", "176x144", "-n", "1", "/dev/zero", "/dev/zero"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "共计1帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n");
}

TEST_F(CliTest, ShortTargetComparesWhatThereIsAndFails)
{
    MakePair(3, 1);
    const Outcome run = RunCli({"-s", "176x144", "-n", "3", "-o", result, ref, tgt});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(kAveragePlusOne) + "计算成功！\n共计1帧，平均PSNR如下：\n" + kSummaryPlusOne +
                           "目标序列 " + tgt + " 提前结束：只比较了1帧，要求3帧。\n");
    EXPECT_EQ(ReadFile(result),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
              " 0,48.130804,100.000000,100.000000\r\n"
              "Average,48.130804,100.000000,100.000000\r\n");
}

TEST_F(CliTest, RunRefusalsExitWithOne)
{
    MakePair(1, 1);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string range = "错误!\n图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，"
                              "且宽度×高度不超过 429496729。\n";
    const std::vector<Case> cases = {
        {{"-s", "0x144", "-o", result, ref, tgt}, "错误!\n请正确输入图像宽高！\n"},
        {{"-s", "176x0", "-o", result, ref, tgt}, "错误!\n请正确输入图像宽高！\n"},
        {{"-s", "-176x144", "-o", result, ref, tgt}, range},
        {{"-s", "46341x46341", "-n", "1", "-o", result, ref, tgt}, range},
        {{"-s", "176x144", "-n", "-1", "-o", result, ref, tgt}, range},
        {{"-s", "176x144", "-o", result, dir / "missing.yuv", tgt},
         "打开文件错误!\n不能打开 " + dir / "missing.yuv" + "!\n请确认路径是否正确！\n"},
        {{"-s", "176x144", "-n", "1", "-o", result, ref, dir / "missing.yuv"},
         "打开文件错误!\n不能打开 " + dir / "missing.yuv" + "!请确认路径是否正确！\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2] + " " + c.args[3]);
        const Outcome run = RunCli(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        EXPECT_FALSE(fs::exists(result));
    }

    // A result file that cannot be written completely is not a success.
    Outcome run = RunCli({"-s", "176x144", "-o", "/dev/full", ref, tgt});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("/dev/full"), std::string::npos) << run.err;

    // Nor is a summary that could not be written to stdout.
    run = RunCli({"-s", "176x144", ref, tgt}, "/dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("标准输出"), std::string::npos) << run.err;
}

TEST_F(CliTest, BadCommandLinesExitWithTwoAndTouchNothing)
{
    MakePair(1, 1);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {ref, tgt},                                            // no size
        {"-s", "176*144", ref, tgt},                           // not WxH
        {"-s", "176x", ref, tgt},
        {"-s", "x144", ref, tgt},
        {"-s", "176x144x1", ref, tgt},
        {"-s", " 176x144", ref, tgt},
        {"-s", "176.0x144", ref, tgt},
        {"-s", "2147483648x144", ref, tgt},                    // beyond 32 bits
        {"-s", "176x99999999999", ref, tgt},
        {"-s", "176x144", "-n", "abc", ref, tgt},
        {"-s", "176x144", "-n", "2147483648", ref, tgt},
        {"-s", "176x144", "-n", "", ref, tgt},
        {"-s", "176x144", "--cpu", "avx3", ref, tgt},
        {"-s", "176x144", "-s", "176x144", ref, tgt},          // twice
        {ref, tgt, "-s"},                                      // no value
        {"-s", "176x144", ref},                                // one file
        {"-s", "176x144", ref, tgt, tgt},                      // three
        {"-s", "176x144", "--frame", "1", ref, tgt},           // unknown option
        {"-s", "176x144", "-x", ref, tgt},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& arg : args)
            line += "[" + arg + "]";
        SCOPED_TRACE(line);
        std::vector<std::string> withResult = {"-o", result};
        withResult.insert(withResult.end(), args.begin(), args.end());
        const Outcome run = RunCli(withResult);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        // One line of reason, then where to look.
        ASSERT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
        EXPECT_EQ(run.err.rfind("lorvane-cli：", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos);
        EXPECT_EQ(run.err.find("Average"), std::string::npos);
        EXPECT_FALSE(fs::exists(result));
    }
}

TEST_F(CliTest, HelpAndVersionGoToStdout)
{
    Outcome run = RunCli({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1.0.0.1\n");
    EXPECT_EQ(run.err, "");

    for (const char* flag : {"--help", "-h"}) {
        run = RunCli({flag});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.rfind("用法：lorvane-cli -s 宽x高", 0), 0u) << run.out;
        for (const char* option : {"-s, --size", "-n, --frames", "-o, --output", "-q, --quiet", "--cpu",
                                   "--version", "示例："})
            EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

// ---- On a terminal. stderr goes to a pseudo-terminal; what the user is left
// with is what a terminal shows once the \r and \n have been applied.

std::vector<std::string> Screen(const std::string& output)
{
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (char c : output) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line.push_back(c);
            ++column;
        }
    }
    for (auto& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// Runs the CLI with stderr on a pseudo-terminal (or a pipe) while `feed`
// writes the target into a named pipe; returns everything stderr received.
std::string RunWithSlowTarget(const std::vector<std::string>& args, bool terminal, const std::string& fifo,
                              const std::function<void(int)>& feed, int& status)
{
    int reader = -1, writer = -1;
    std::string slave;
    if (terminal) {
        reader = posix_openpt(O_RDWR | O_NOCTTY);
        if (reader < 0 || grantpt(reader) != 0 || unlockpt(reader) != 0)
            return "no pseudo-terminal";
        slave = ptsname(reader);
    } else {
        int ends[2];
        if (pipe(ends) != 0)
            return "no pipe";
        reader = ends[0];
        writer = ends[1];
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (terminal) {
        posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_WRONLY | O_NOCTTY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, writer, 2);
        posix_spawn_file_actions_addclose(&actions, reader);
    }
    std::vector<char*> argv{const_cast<char*>(kCli.c_str())};
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const bool spawned = posix_spawn(&pid, kCli.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (writer >= 0)
        close(writer);
    if (!spawned)
        return "not started";

    std::thread feeder([&] {
        // Wait for the run to open the pipe, but not forever if it never does.
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 500; ++tries) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fd >= 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            feed(fd);
            close(fd);
        }
    });
    std::string received;
    for (bool exited = false;;) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[4096];
            const ssize_t n = read(reader, buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, std::size_t(n));
                continue;
            }
        }
        if (exited)
            break;
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    feeder.join();
    close(reader);
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return received;
}

TEST_F(CliTest, ProgressShowsOnATerminalAndLeavesNothingBehind)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::string fifo = dir / "target.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The target arrives slowly, 60 frames in 0.6 s: long enough for progress
    // to be drawn. Then it ends, as asked or early.
    const Bytes frame = LumaPlusOne(Bytes(kFrame, 0), kWidth, kHeight);
    const auto slowTarget = [&](int fd) {
        for (int i = 0; i < 60; ++i) {
            if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size()))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };

    int status = -1;
    std::string seen =
        RunWithSlowTarget({"-s", "176x144", "-n", "60", "/dev/zero", fifo}, true, fifo, slowTarget, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(seen.find("帧/秒"), std::string::npos) << seen;
    EXPECT_EQ(Screen(seen), std::vector<std::string>{"Average,48.130804,100.000000,100.000000"}) << seen;

    const std::vector<std::string> args = {"-s", "176x144", "-n", "1000", "/dev/zero", fifo};
    seen = RunWithSlowTarget(args, true, fifo, slowTarget, status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(seen.find("帧/秒"), std::string::npos) << seen;
    const std::vector<std::string> expected = {
        "Average,48.130804,100.000000,100.000000",
        "计算成功！",
        "共计60帧，平均PSNR如下：",
        "PSNR_Y: 48.130804",
        "PSNR_U: 100.000000",
        "PSNR_V: 100.000000",
        "目标序列 " + fifo + " 提前结束：只比较了60帧，要求1000帧。",
    };
    EXPECT_EQ(Screen(seen), expected) << seen;

    // With -q, or with stderr not a terminal: the same run without progress.
    std::vector<std::string> quiet = args;
    quiet.push_back("-q");
    seen = RunWithSlowTarget(quiet, true, fifo, slowTarget, status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(seen.find("帧/秒"), std::string::npos) << seen;
    EXPECT_EQ(Screen(seen), expected);

    seen = RunWithSlowTarget(args, false, fifo, slowTarget, status);
    EXPECT_EQ(status, 1);
    std::string lines;
    for (const auto& line : expected)
        lines += line + "\n";
    EXPECT_EQ(seen, lines);
}

// ---- Against a peer: ffmpeg's psnr filter on the same pair.

bool HaveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

TEST_F(CliTest, AgreesWithFfmpegPsnrFilter)
{
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg is not on PATH";
    const std::string raw = " -f rawvideo -pix_fmt yuv420p -s 176x144 ";
    const std::string stats = dir / "stats.log";
    // testsrc, and a copy with noise in every plane from frame 2 on (frames 0
    // and 1 stay identical: ffmpeg says inf where we say 100).
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 24" + raw + "'" + ref + "'" +
        " && ffmpeg -v error -y" + raw + "-i '" + ref + "' -vf \"noise=alls=20:allf=t+u:enable='gte(n,2)'\"" +
        raw + "'" + tgt + "'" + " && ffmpeg -v error -y" + raw + "-i '" + tgt + "'" + raw + "-i '" + ref +
        "' -lavfi psnr=stats_file='" + stats + "' -f null -";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    const Outcome run = RunCli({"-s", "176x144", "-o", result, ref, tgt});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.rfind("共计24帧", 0), 0u) << run.out;

    std::istringstream ours(ReadFile(result)), theirs(ReadFile(stats));
    std::string line, peer;
    std::getline(ours, line);  // header
    int frames = 0, noisy = 0;
    while (std::getline(theirs, peer)) {
        ASSERT_TRUE(std::getline(ours, line));
        int k = -1;
        double value[3];
        ASSERT_EQ(std::sscanf(line.c_str(), " %d,%lf,%lf,%lf", &k, &value[0], &value[1], &value[2]), 4) << line;
        EXPECT_EQ(k, frames);
        std::map<std::string, std::string> fields;
        std::istringstream words(peer);
        for (std::string word; words >> word;)
            fields[word.substr(0, word.find(':'))] = word.substr(word.find(':') + 1);
        const char* keys[3] = {"psnr_y", "psnr_u", "psnr_v"};
        for (int p = 0; p < 3; ++p) {
            SCOPED_TRACE(std::string(keys[p]) + " of frame " + std::to_string(k));
            if (fields[keys[p]] == "inf") {
                EXPECT_EQ(value[p], 100.0);
            } else {
                char two[32];
                std::snprintf(two, sizeof two, "%.2f", value[p]);
                EXPECT_EQ(two, fields[keys[p]]);
                ++noisy;
            }
        }
        ++frames;
    }
    EXPECT_EQ(frames, 24);
    EXPECT_GE(noisy, 3 * 20);  // the comparison covered real differences, not just identical frames
    std::getline(ours, line);
    EXPECT_EQ(line.rfind("Average,", 0), 0u);
}

}  // namespace
