// End-to-end runs of the built lorvane-cli: exact output bytes and exit status. The CPU
// level comes from LORVANE_CPU, set by ctest once per level. Bad input: test_bad_input.cpp.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include "cli_harness.h"

constexpr int kFrame = 176 * 144 * 3 / 2;

struct Cli : ::testing::Test {
    Scratch s;
    const std::string ref = s.dir + "/ref.yuv", tgt = s.dir + "/tgt.yuv", result = s.dir + "/result.txt";
};

TEST_F(Cli, RunsPrintExactTextsAndWriteTheResultFile)
{
    struct Row { int referenceFrames, targetBytes; std::vector<std::string> args; int status; std::string out, err;
                 int frames; };
    for (const Row& row : std::vector<Row>{
             {2, 2 * kFrame, {"-s", "176x144", "-n", "2", "-o", result, ref, tgt}, 0, Summary(2), Average(2), 2},
             // Long options, options after the files: the same bytes.
             {2, 2 * kFrame, {ref, tgt, "--size", "176x144", "--frames", "2", "--quiet", "--output", result, "--cpu", "c"},
              0, Summary(2), Average(2), 2},
             // Without -n: the complete frames of the shorter file, and a warning about the rest.
             {3, 2 * kFrame + 100, {"-s", "176x144", "-o", result, ref, tgt}, 0, Summary(2),
              Ragged("目标序列 " + tgt, 2 * kFrame + 100, "176x144", kFrame) + "源参考序列 " + ref + " 有 3 帧，目标序列 " + tgt +
                  " 有 2 帧：比较前 2 帧。\n" + Average(2), 2},
             // A short target: what there is gets compared, and the run fails.
             {3, kFrame, {"-s", "176x144", "-n", "3", "-o", result, ref, tgt}, 1, "",
              EndedEarly(1, 3, "目标序列 " + tgt + " "), 1},
         }) {
        WriteFile(ref, Frames(176, 144, row.referenceFrames, false));
        WriteFile(tgt, Frames(176, 144, row.referenceFrames, true).substr(0, row.targetBytes));
        fs::remove(U8Path(result));
        const Outcome run = s.Run(row.args);
        EXPECT_EQ(run.status, row.status) << ::testing::PrintToString(row.args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.err, row.err);
        EXPECT_EQ(ReadFile(result), ResultFile(row.frames));
    }
}

TEST_F(Cli, SeveralTargetsInOnePassMatchTheirOwnRuns)
{
    // Three targets off the reference by different amounts; the last one ends early.
    const std::string reference = Frames(64, 48, 6, false);
    const int frame = 64 * 48 * 3 / 2;
    WriteFile(ref, reference);
    std::vector<std::string> targets;
    for (int k = 0; k < 3; ++k) {
        std::string bytes = reference.substr(0, std::size_t(k == 2 ? 3 * frame : 6 * frame));
        for (std::size_t i = std::size_t(k); i < bytes.size(); i += std::size_t(5 + 2 * k))
            bytes[i] = char(bytes[i] + 3 * (k + 1));
        targets.push_back(s.dir + "/" + std::string(1, char('a' + k)) + ".yuv");
        WriteFile(targets.back(), bytes);
    }
    const auto outputs = [&](const std::string& name) {
        return std::vector<std::string>{"-o", s.dir + "/" + name + ".txt", "--json", s.dir + "/" + name + ".json",
                                        "--csv", s.dir + "/" + name + ".csv"};
    };
    std::vector<std::string> args = outputs("multi_{}");
    for (const std::string& arg : {std::string("-s"), std::string("64x48"), std::string("-n"), std::string("6"), ref})
        args.push_back(arg);
    args.insert(args.end(), targets.begin(), targets.end());
    const Outcome multi = s.Run(args);

    std::string out, averages, err;
    int worst = 0;
    for (int k = 0; k < 3; ++k) {
        const std::string name(1, char('a' + k));
        std::vector<std::string> one = outputs("single_" + name);
        for (const std::string& arg : {std::string("-s"), std::string("64x48"), std::string("-n"), std::string("6"), ref,
                                       targets[std::size_t(k)]})
            one.push_back(arg);
        const Outcome single = s.Run(one);
        worst = std::max(worst, single.status);
        out += (k ? "\n目标序列 " : "目标序列 ") + targets[std::size_t(k)] + "：\n" + single.out;
        // The Average lines come together after the frames; a summary that is a warning follows them.
        const std::size_t line = single.err.find('\n') + 1;
        averages += single.err.substr(0, line);
        err += single.err.substr(line);
        for (const char* extension : {".txt", ".json", ".csv"}) {
            const std::string written = ReadFile(s.dir + "/multi_" + name + extension);
            EXPECT_FALSE(written.empty()) << name << extension;
            EXPECT_EQ(written, ReadFile(s.dir + "/single_" + name + extension)) << name << extension;
        }
    }
    EXPECT_EQ(worst, 1) << "the short target ends early on its own";
    EXPECT_EQ(multi.status, worst);
    EXPECT_EQ(multi.out, out);
    EXPECT_EQ(multi.err, averages + err);
    // The short target's files hold its 3 frames, the others' all 6.
    EXPECT_NE(ReadFile(s.dir + "/multi_b.csv").find("\n5,"), std::string::npos);
    EXPECT_EQ(ReadFile(s.dir + "/multi_c.csv").find("\n3,"), std::string::npos);

    // One report with every target; a second --report is still one file.
    const Outcome report = s.Run({"-s", "64x48", "-q", "--report", s.dir + "/all.html", ref, targets[0], targets[1]});
    EXPECT_EQ(report.status, 0) << report.err;
    const std::string html = ReadFile(s.dir + "/all.html");
    for (const std::string& target : {targets[0], targets[1]})
        EXPECT_NE(html.find(target), std::string::npos) << target;
    EXPECT_NE(html.find("id=\"series-1\""), std::string::npos);
}

TEST_F(Cli, BadCommandLinesExitWithTwoAndTouchNothing)
{
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-o", result, ref, tgt}, "缺少图像宽高：请用 -s 宽x高 给出，例如 -s 176x144，或用 -s auto 按内容推断。"},
             {{"-o", result, "-s", "176x144", ref}, "需要两个序列文件：参考序列和目标序列。"},
             {{"-o", result, "-s", "176x144", "-s", "8x8", ref, tgt}, "选项 --size 只能给出一次。"},
             {{"-o", result, "-s", "176x144", "--bogus", ref, tgt}, "无法识别的参数：--bogus"},
             {{"-o", result, "-s", "176x144", "--stats", "--worst-by", "ssim", ref, tgt},
              "--worst-by ssim：这次没有测量 ssim，请用 -m ssim 加上它。"},
         }) {
        const Outcome run = s.Run(args);
        EXPECT_EQ(run.status, 2) << reason;
        EXPECT_EQ(run.out, "") << reason;
        EXPECT_EQ(run.err, Usage(reason));
        EXPECT_FALSE(fs::exists(U8Path(result))) << reason;
    }
}

TEST_F(Cli, HelpAndVersionGoToStdout)
{
    for (const std::string flag : {"--version", "--help", "-h"}) {
        const Outcome run = s.Run({flag});
        EXPECT_EQ(std::to_string(run.status) + run.err, "0") << flag;  // status 0, nothing on stderr
        EXPECT_TRUE(flag == "--version" ? run.out == "1.0.0.1\n"
                                        : run.out.starts_with("用法：lorvane-cli -s 宽x高 [-n 帧数]") &&
                                              run.out.ends_with("ref.yuv encoded.yuv\n")) << run.out;
    }
}

// Columns a terminal gives one character starting with byte `lead`: the non-ASCII ones here are Chinese
// (and the scratch folder's emoji), two columns each.
int CharColumns(unsigned char lead) { return lead < 0x80 ? 1 : 2; }
std::size_t CharBytes(unsigned char lead) { return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2; }

int Columns(const std::string& text)
{
    int columns = 0;
    for (std::size_t i = 0; i < text.size(); i += CharBytes(text[i]))
        columns += CharColumns(text[i]);
    return columns;
}

// What a terminal shows once the \r and \n in `output` have been applied, without trailing blanks. Each
// column is a cell; a wide character's second cell is "", and writing over either half of one blanks it.
std::string Screen(const std::string& output)
{
    std::string shown;
    std::vector<std::string> cells;
    std::size_t column = 0;
    const auto put = [&](std::string cell) {
        if (cells.size() <= column)
            cells.resize(column + 1, " ");
        if (cells[column].empty() && column > 0)
            cells[column - 1] = " ";
        if (column + 1 < cells.size() && cells[column + 1].empty())
            cells[column + 1] = " ";
        cells[column++] = std::move(cell);
    };
    const auto line = [&] {
        std::string text;
        for (const std::string& cell : cells)
            text += cell;
        return text.substr(0, text.find_last_not_of(' ') + 1);
    };
    for (std::size_t i = 0; i < output.size();) {
        const unsigned char lead = output[i];
        const std::size_t bytes = CharBytes(lead);
        if (lead == '\n')
            shown += line() + "\n", cells.clear();
        if (lead == '\n' || lead == '\r')
            column = 0;
        else
            put(output.substr(i, bytes));
        if (CharColumns(lead) == 2)
            put("");
        i += bytes;
    }
    return shown + line();
}

// The target comes slowly, 60 frames over 0.6 s, then ends before the 1000 asked for. Progress
// shows only when stderr is a terminal and there is no -q, and nothing of it is left on the screen.
// While it shows, it counts to what a regular reference holds (80 frames), or else to the -n asked,
// and on a narrow terminal it stays within the width, the last column left free.
TEST_F(Cli, ProgressOnlyOnATerminalAndLeavesNothingBehind)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal and a POSIX shell pipeline; Windows has neither";
#else
    const std::string slow = "for i in $(seq 60); do head -c 38016 /dev/zero; sleep 0.01; done | ";
    const std::string expected = "Average,100.000000,100.000000,100.000000\n计算未完成！\n共计60帧，平均PSNR如下：\n"
                                 "PSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n"
                                 "目标序列 /dev/stdin 提前结束：只比较了60帧，要求1000帧。\n";
    WriteFile(ref, std::string(80 * kFrame, '\0'));
    struct Case { std::string redirect, reference; unsigned short columns; };  // 0 columns: the terminal does not say
    for (const Case& c : std::vector<Case>{{">/dev/null 2>", ref, 0},
                                           {"-q >/dev/null 2>", ref, 0},
                                           {"2>&1 >/dev/null | cat >", ref, 0},
                                           {">/dev/null 2>", "/dev/zero", 40}}) {
        const int screen = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(screen >= 0 && grantpt(screen) == 0 && unlockpt(screen) == 0) << "no pseudo-terminal";
        const winsize size{24, c.columns, 0, 0};
        ASSERT_EQ(ioctl(screen, TIOCSWINSZ, &size), 0);
        const Outcome run = s.Run({"-s", "176x144", "-n", "1000", c.reference, "/dev/stdin"}, slow,
                                  c.redirect + ptsname(screen));
        std::string seen;
        char buffer[4096];
        for (ssize_t n; (n = read(screen, buffer, sizeof buffer)) > 0;)
            seen.append(buffer, std::size_t(n));
        close(screen);
        EXPECT_TRUE(run.status == 1 || c.redirect.ends_with("cat >")) << run.status;  // piped: cat's status
        if (c.columns == 0)
            EXPECT_EQ(seen.find("帧/秒") != std::string::npos, c.redirect.starts_with(">")) << c.redirect << "\n" << seen;
        EXPECT_EQ(Screen(seen), expected) << c.redirect << "\n" << seen;

        // Every line drawn, as the terminal got it between carriage returns.
        const int total = c.reference == ref ? 80 : 1000;
        const std::regex full(R"(\[(#*)(-*)\] +(\d+)%  +(\d+)/(\d+) 帧  \d+ 帧/秒  已用 0:0\d(  剩余 \d+:\d\d)?)");
        int drawn = 0, complete = 0;
        std::istringstream lines(seen);
        for (std::string line; std::getline(lines, line, '\r');) {
            if (line.find('[') == std::string::npos)
                continue;
            ++drawn;
            EXPECT_LE(Columns(line), (c.columns ? c.columns : 80) - 1) << line;
            EXPECT_NE(line.find("/" + std::to_string(total) + " 帧"), std::string::npos) << line;
            std::smatch part;
            if (!std::regex_match(line, part, full))
                continue;
            ++complete;
            const int hashes = int(part[1].length()), width = hashes + int(part[2].length()), done = std::stoi(part[4]);
            EXPECT_EQ(std::stoi(part[5]), total) << line;
            EXPECT_GE(width, 10) << line;
            EXPECT_EQ(std::stoi(part[3]), done * 100 / total) << line;
            EXPECT_EQ(hashes, done * width / total) << line;
        }
        EXPECT_EQ(drawn > 0, c.redirect.starts_with(">")) << seen;
        // Everything fits in 80 columns; in 40 the fields give way.
        EXPECT_EQ(complete > 0, c.redirect.starts_with(">") && c.columns == 0) << seen;
    }
#endif
}

// Per frame, Y, U and V agree with ffmpeg's psnr filter to its two decimals (its inf is our 100), in the
// classic layout, named formats of every kind and a YUV4MPEG2 pair, whose result file is the raw pair's.
// Interleaved formats are ffmpeg's conversions of their planar twin's pair: summary and result file are the
// twin's, byte for byte, and ffmpeg measures them directly, except P010, which it measures as 16-bit words
// against 65535 where its samples are the upper 10 bits: its stats are the twin's.
TEST_F(Cli, AgreesWithFfmpegPsnrFilter)
{
#ifdef _WIN32
    GTEST_SKIP() << "makes its sequences with ffmpeg through a POSIX shell; no Windows ffmpeg is packaged";
#endif
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not on PATH";
    const std::map<std::string, std::string> twins = {{"nv12", "yuv420p"}, {"nv21", "yuv420p"},
        {"p010le", "yuv420p10le"}, {"p016le", "yuv420p16le"}, {"yuyv422", "yuv422p"}, {"uyvy422", "yuv422p"}};
    for (const auto& [format, size] : std::vector<std::pair<std::string, std::string>>{
             {"", "176x144"}, {"yuv420p10le", "176x144"}, {"yuv422p", "176x144"}, {"yuv444p12le", "176x144"},
             {"gray10le", "176x144"}, {"y4m", "176x144"}, {"nv12", "176x144"}, {"nv21", "175x143"},
             {"p010le", "176x144"}, {"p016le", "176x144"}, {"yuyv422", "175x143"}, {"uyvy422", "176x144"}}) {
        // testsrc, and a copy with noise in every plane from frame 2 on (frames 0 and 1 stay identical).
        const auto twin = twins.find(format);
        const std::string pix = format.empty() ? "yuv420p" : format == "y4m" ? "yuv420p10le"
                              : twin != twins.end() ? twin->second : format;
        const std::string raw = " -f rawvideo -pix_fmt " + pix + " -s " + size + " ", make = "cd '" + s.dir +
            "' && ffmpeg -y -v error -f lavfi -i testsrc=size=" + size + ":rate=25 -frames:v 24 -vf format=" + pix + raw +
            "ref.yuv && ffmpeg -y -v error -f lavfi -i testsrc=size=" + size + ":rate=25 -frames:v 24 -vf \"noise=alls=20:"
            "allf=t+u:enable='gte(n,2)',format=" + pix + "\"" + raw + "tgt.yuv && ffmpeg -y -v error" + raw +
            "-i tgt.yuv" + raw + "-i ref.yuv -lavfi psnr=stats_file=stats.log -f null - && ffmpeg -y -v error" + raw +
            "-i ref.yuv -strict -1 ref.y4m && ffmpeg -y -v error" + raw + "-i tgt.yuv -strict -1 tgt.y4m";
        ASSERT_EQ(std::system(make.c_str()), 0) << make;

        std::vector<std::string> args = {"-s", size, "-o", result, ref, tgt};
        if (format == "y4m") {
            ASSERT_EQ(s.Run({"-s", size, "-p", pix, "-o", result, ref, tgt}).status, 0);
            args = {"-o", result, s.dir + "/ref.y4m", s.dir + "/tgt.y4m"};
            const std::string rawResult = ReadFile(result);
            ASSERT_EQ(s.Run(args).status, 0);
            EXPECT_EQ(ReadFile(result), rawResult);
        } else if (twin != twins.end()) {
            const Outcome planar = s.Run({"-s", size, "-p", pix, "-o", result, ref, tgt});
            ASSERT_EQ(planar.status, 0) << format;
            const std::string planarResult = ReadFile(result);
            const std::string as = " -f rawvideo -pix_fmt " + format + " -s " + size + " ",
                              convert = "cd '" + s.dir + "' && ffmpeg -y -v error" + raw + "-i ref.yuv" + as + "ref.raw" +
                                        " && ffmpeg -y -v error" + raw + "-i tgt.yuv" + as + "tgt.raw";
            ASSERT_EQ(std::system(convert.c_str()), 0) << convert;
            ASSERT_NE(ReadFile(s.dir + "/ref.raw"), ReadFile(ref)) << format << " is not stored as its twin";
            if (format != "p010le") {
                const std::string direct = "cd '" + s.dir + "' && ffmpeg -y -v error" + as + "-i tgt.raw" + as +
                                           "-i ref.raw -lavfi psnr=stats_file=stats.log -f null -";
                ASSERT_EQ(std::system(direct.c_str()), 0) << direct;
            }
            // -s auto reads the format's luma too; it tries 176 x 144, not 175 x 143.
            args = {"-s", size == "176x144" ? "auto" : size, "-p", format, "-o", result, s.dir + "/ref.raw",
                    s.dir + "/tgt.raw"};
            const Outcome interleaved = s.Run(args);
            ASSERT_EQ(interleaved.status, 0) << format << interleaved.err;
            EXPECT_EQ(interleaved.out, planar.out) << format;
            EXPECT_EQ(ReadFile(result), planarResult) << format;
        } else if (!format.empty()) {
            args.insert(args.begin(), {"-p", format});
        }
        ASSERT_EQ(s.Run(args).status, 0) << format;
        std::istringstream ours(ReadFile(result)), theirs(ReadFile(s.dir + "/stats.log"));
        std::string line, peer;
        const auto two = [](double v) { char t[32]; std::snprintf(t, sizeof t, "%.2f", v); return std::string(t); };
        std::getline(ours, line);  // header
        int frames = 0, noisy = 0;
        const bool gray = format.starts_with("gray");
        for (; std::getline(theirs, peer); ++frames) {
            ASSERT_TRUE(std::getline(ours, line));
            double value[3], their[3] = {0, 0, 0};  // strtod reads ffmpeg's "inf" as infinity
            ASSERT_EQ(std::sscanf(line.c_str(), " %*d,%lf,%lf,%lf", &value[0], &value[1], &value[2]), 3) << line;
            ASSERT_EQ(std::sscanf(peer.c_str() + peer.find(" psnr_y:") + 1, "psnr_y:%lf psnr_u:%lf psnr_v:%lf",
                                  &their[0], &their[1], &their[2]), gray ? 1 : 3) << peer;  // (npos + 1 is 0: fails)
            for (int p = 0; p < 3; ++p) {
                if (gray && p > 0) {
                    EXPECT_TRUE(std::isnan(value[p])) << line;
                    continue;
                }
                EXPECT_EQ(value[p] == 100.0 ? "inf" : two(value[p]), two(their[p]))
                    << format << ": plane " << p << " of frame " << frames;
                noisy += value[p] != 100.0;
            }
        }
        EXPECT_EQ(frames, 24) << format;
        EXPECT_GE(noisy, (gray ? 1 : 3) * 20) << format;  // real differences were compared, not just identical frames
    }
}

// Outputs are replaced whole: an existing file gets the new content under its own name, its permission bits
// and any link to it kept, and nothing else is left in the folder. Standard output by any of its names is
// written through (appending where it appends), a FIFO gets every byte once its reader comes, and two runs
// writing one file leave one run's file.
TEST_F(Cli, OutputsReplacedWholeStdoutWrittenThrough)
{
    WriteFile(ref, Frames(16, 8, 3, false));
    WriteFile(tgt, Frames(16, 8, 3, true));
    const std::string csv = s.dir + "/out.csv";
    ASSERT_EQ(s.Run({"-s", "16x8", "--csv", csv, ref, tgt}).status, 0);
    const std::string threeFrames = ReadFile(csv);
    ASSERT_EQ(s.Run({"-s", "16x8", "-n", "2", "--csv", csv, ref, tgt}).status, 0);
    const std::string twoFrames = ReadFile(csv);
    ASSERT_TRUE(threeFrames.starts_with(twoFrames.substr(0, twoFrames.rfind('\n', twoFrames.size() - 2))));
    ASSERT_LT(twoFrames.size(), threeFrames.size());  // the longer file's tail must not survive
    WriteFile(result, std::string(5000, 'x'));
    EXPECT_EQ(s.Run({"-s", "16x8", "-o", result, ref, tgt}).status, 0);
    EXPECT_EQ(ReadFile(result), ResultFile(3));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(U8Path(s.dir)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"out.csv", "ref.yuv", "result.txt", "tgt.yuv"}));
#ifndef _WIN32
    const std::string link = s.dir + "/link.csv";
    fs::create_symlink("out.csv", link);
    fs::permissions(csv, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(s.Run({"-s", "16x8", "--csv", link, ref, tgt}).status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(csv), threeFrames);
    EXPECT_EQ(fs::status(csv).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // Standard output by name: the log is appended to, never cut; the summary moves to stderr.
    const std::string log = s.dir + "/log.txt";
    for (const std::string& name : std::vector<std::string>{"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", log}) {
        WriteFile(log, "earlier\n");
        const Outcome run = s.Run({"-s", "16x8", "--csv", name, ref, tgt}, "", ">>'" + log + "'");
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(run.err, Average(3) + Summary(3)) << name;
        EXPECT_EQ(ReadFile(log), "earlier\n" + threeFrames) << name;
    }

    // A FIFO whose reader comes only after the run has finished measuring.
    const std::string fifo = s.dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Outcome piped = s.Run({"-s", "16x8", "--csv", fifo, ref, tgt}, "",
                                "& sleep 0.3; timeout 10 cat '" + fifo + "' >'" + s.dir + "/got.csv'; wait $!");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(ReadFile(s.dir + "/got.csv"), threeFrames);

    // Two runs at once on one output: whichever finishes last, its file is whole.
    const std::string json = s.dir + "/both.json";
    std::string alone[2];
    for (int n : {2, 3}) {
        ASSERT_EQ(s.Run({"-q", "-s", "16x8", "-n", std::to_string(n), "--json", json, ref, tgt}).status, 0);
        alone[n - 2] = ReadFile(json);
    }
    for (int round = 0; round < 5; ++round) {
        const std::string other = "'" LORVANE_CLI "' -q -s 16x8 -n 2 --json '" + json + "' '" + ref + "' '" + tgt + "' & ";
        ASSERT_EQ(s.Run({"-q", "-s", "16x8", "-n", "3", "--json", json, ref, tgt}, other, "; wait").status, 0);
        const std::string both = ReadFile(json);
        EXPECT_TRUE(both == alone[0] || both == alone[1]) << both;
    }
#endif
}

// Real encodes made by ffmpeg are found by their content whatever their names and decoded: every frame as
// ffmpeg's psnr filter measures it, and every printed digit as Lorvane measures ffmpeg's own decode to raw. The
// same frames through ffmpeg's YUV4MPEG2 pipe are read as Y4M.
TEST_F(Cli, EncodedFilesAreDecodedAndY4mPipesRead)
{
#ifdef _WIN32
    GTEST_SKIP() << "makes its files with ffmpeg through a POSIX shell; no Windows ffmpeg is packaged";
#endif
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not on PATH";
    const std::string make = "cd '" + s.dir + "' && ffmpeg -y -v error -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 3 ";
    ASSERT_EQ(std::system((make + "-f rawvideo -pix_fmt yuv420p ref.yuv").c_str()), 0);
#ifdef LORVANE_HAVE_FFMPEG
    struct Encode {
        std::string name, codec, pix;  // pix: what the decoder gives, and the reference's format
    };
    const Encode encodes[] = {
        {"x264.mp4", "-c:v libx264 -crf 30 -pix_fmt yuv420p", "yuv420p"},
        {"x265.mkv", "-c:v libx265 -x265-params log-level=none -crf 30 -pix_fmt yuv420p10le", "yuv420p10le"},
        {"vp9.webm", "-c:v libvpx-vp9 -crf 40 -b:v 0 -deadline realtime -cpu-used 8 -pix_fmt yuv420p", "yuv420p"},
        {"av1.ivf", "-c:v libaom-av1 -crf 45 -cpu-used 8 -usage realtime -pix_fmt yuv420p", "yuv420p"},
        {"mpeg2.ts", "-c:v mpeg2video -q:v 8 -pix_fmt yuv420p", "yuv420p"},
        {"x264-444.mov", "-c:v libx264 -crf 30 -pix_fmt yuv444p", "yuv444p"},
        {"x264.h264", "-c:v libx264 -crf 30 -bf 2 -pix_fmt yuv420p", "yuv420p"},
    };
    const auto two = [](double v) { char t[32]; std::snprintf(t, sizeof t, "%.2f", v); return std::string(t); };
    for (const Encode& e : encodes) {
        SCOPED_TRACE(e.name);
        const std::string lavfi = "cd '" + s.dir + "' && ffmpeg -y -v error -f lavfi -i testsrc=size=176x144:rate=25 "
                                  "-frames:v 12 ", raw = " -f rawvideo -s 176x144 -pix_fmt " + e.pix + " ";
        if (std::system((lavfi + e.codec + " '" + e.name + "' >/dev/null 2>&1").c_str()) != 0) {
            std::printf("skipped %s: this ffmpeg cannot write it\n", e.name.c_str());
            continue;
        }
        const std::string steps = lavfi + "-pix_fmt " + e.pix + raw + "src.yuv && ffmpeg -y -v error -i '" + e.name +
            "' -f rawvideo dec.yuv && ffmpeg -y -v error -i '" + e.name + "'" + raw +
            "-i src.yuv -lavfi psnr=stats_file=stats.log -f null -";
        ASSERT_EQ(std::system(steps.c_str()), 0) << steps;
        const std::string file = s.dir + "/" + e.name, named = file + ".yuv", src = s.dir + "/src.yuv";
        fs::copy_file(U8Path(file), U8Path(named), fs::copy_options::overwrite_existing);  // the content tells, not the name
        const Outcome straight = s.Run({"-s", "176x144", "-p", e.pix, "-o", result, src, s.dir + "/dec.yuv"});
        ASSERT_EQ(straight.status, 0) << straight.err;
        const std::string rawResult = ReadFile(result);
        // Size and format from the stream; -n left out: until the shorter ends, which is no early end.
        for (const std::vector<std::string>& args : {std::vector<std::string>{"-o", result, src, named},
                                                     std::vector<std::string>{"-o", result, named, src}}) {
            const Outcome decoded = s.Run(args);
            EXPECT_EQ(decoded.status, 0) << decoded.err;
            EXPECT_EQ(decoded.out, straight.out);
            EXPECT_EQ(decoded.err, straight.err);
            EXPECT_EQ(ReadFile(result), rawResult);
        }
        std::istringstream ours(rawResult), theirs(ReadFile(s.dir + "/stats.log"));
        std::string line, peer;
        std::getline(ours, line);  // header
        int frames = 0;
        for (; std::getline(theirs, peer); ++frames) {
            ASSERT_TRUE(std::getline(ours, line));
            double value[3], their[3] = {0, 0, 0};
            ASSERT_EQ(std::sscanf(line.c_str(), " %*d,%lf,%lf,%lf", &value[0], &value[1], &value[2]), 3) << line;
            ASSERT_EQ(std::sscanf(peer.c_str() + peer.find(" psnr_y:") + 1, "psnr_y:%lf psnr_u:%lf psnr_v:%lf",
                                  &their[0], &their[1], &their[2]), 3) << peer;
            for (int p = 0; p < 3; ++p) {
                EXPECT_LT(value[p], 100.0) << "frame " << frames << ": an encode is never lossless here";
                EXPECT_EQ(two(value[p]), two(their[p])) << "plane " << p << " of frame " << frames;
            }
        }
        EXPECT_EQ(frames, 12);
    }
    // A reference given at another size, or an RGB stream: said, naming both or the format; nothing is written.
    ASSERT_EQ(std::system((make + "-c:v libx264 -crf 30 -pix_fmt yuv420p small.mp4 && " + make.substr(make.find("ffmpeg")) +
                           "-c:v png rgb.mkv").c_str()), 0);
    const Outcome smaller = s.Run({"-s", "352x288", "-o", result, ref, s.dir + "/small.mp4"});
    EXPECT_EQ(smaller.status, 1);
    EXPECT_EQ(smaller.err, "错误!\n目标序列 " + s.dir + "/small.mp4 的视频流是 176x144，与给出的 352x288 不一致！\n");
    const Outcome rgb = s.Run({"-o", result, ref, s.dir + "/rgb.mkv"});
    EXPECT_EQ(rgb.status, 1);
    EXPECT_EQ(rgb.err, "错误!\n目标序列 " + s.dir + "/rgb.mkv 的像素格式是 rgb24，Lorvane 不能测量它（没有缩放也没有颜色转换）。\n");
    // What an encode cost: its packets' bytes, summed as ffprobe lists them, over the frames compared.
    const std::string x264 = s.dir + "/x264.mp4", src = s.dir + "/src.yuv";
    ASSERT_EQ(std::system(("cd '" + s.dir + "' && ffmpeg -y -v error -i x264.mp4 -f rawvideo src.yuv && ffprobe -v error "
                           "-select_streams v -show_entries packet=size -of csv=p=0 x264.mp4 > sizes.txt").c_str()), 0);
    std::istringstream sizes(ReadFile(s.dir + "/sizes.txt"));
    long long bytes = 0;
    for (std::string size; std::getline(sizes, size);)
        bytes += std::stoll(size);
    const Outcome costs = s.Run({"-s", "176x144", "--stats", "--json", s.dir + "/cost.json", src, x264});
    EXPECT_EQ(costs.status, 0) << costs.err;
    char bitrate[64];
    std::snprintf(bitrate, sizeof bitrate, "%.3f", bytes * 8.0 / (12 / 25.0) / 1000);
    EXPECT_NE(costs.out.find("目标序列编码：h264（mov,mp4,m4a,3gp,3g2,mj2，第0号流），25 帧/秒，码率 " + std::string(bitrate) +
                             " kbps（12 帧共 " + std::to_string(bytes) + " 字节）\n"), std::string::npos) << costs.out;
    const std::string json = ReadFile(s.dir + "/cost.json");
    EXPECT_NE(json.find("\"target_encode\": {"), std::string::npos);
    EXPECT_NE(json.find("\"bytes\": " + std::to_string(bytes) + ","), std::string::npos);
    // Another frame rate is said once and the frames are still paired by their order; --stream picks among all
    // streams, audio included, as ffprobe numbers them.
    ASSERT_EQ(std::system(("cd '" + s.dir + "' && ffmpeg -y -v error -r 30 -s 176x144 -f rawvideo -i src.yuv -f lavfi -i "
                           "sine=duration=0.4 -f lavfi -i testsrc=size=176x144:rate=30:duration=0.4 -map 1 -map 0 -map 2 "
                           "-c:v libx264 -crf 30 -pix_fmt yuv420p -c:a aac two.mkv").c_str()), 0);
    const std::string multi = s.dir + "/two.mkv";
    const Outcome rates = s.Run({"-s", "176x144", "-o", result, x264, multi});
    EXPECT_EQ(rates.status, 0) << rates.err;
    EXPECT_EQ(rates.err.substr(0, rates.err.find("Average")),
              "警告!\n源参考序列 " + x264 + " 的帧率是 25 帧/秒，目标序列 " + multi + " 的帧率是 30 帧/秒。帧仍按序号一一配对。\n");
    const Outcome first = s.Run({"-s", "176x144", "--stream", "1", x264, multi});
    EXPECT_EQ(first.out, rates.out);
    // The reference is an encode's source: its first video stream, whatever --stream says.
    const Outcome second = s.Run({"-s", "176x144", "--stream", "2", x264, multi});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out, first.out);
    // Frames large enough to be measured where the decoder holds them, rows padded (650 is no multiple of the
    // decoder's alignment): the same bytes as ffmpeg's own decode to raw, one target or three in one pass.
    ASSERT_EQ(std::system(("cd '" + s.dir + "' && ffmpeg -y -v error -f lavfi -i testsrc2=size=650x482:rate=25 -frames:v 6 "
                           "-pix_fmt yuv420p big.y4m && ffmpeg -y -v error -i big.y4m -c:v libx264 -crf 35 big.mp4 && "
                           "ffmpeg -y -v error -i big.mp4 -f rawvideo big.yuv").c_str()), 0);
    const std::string big = s.dir + "/big", bigResult = s.dir + "/big.txt";
    ASSERT_EQ(s.Run({"-s", "650x482", "-p", "yuv420p", "-o", bigResult, big + ".y4m", big + ".yuv"}).status, 0);
    const std::string bigRaw = ReadFile(bigResult);
    EXPECT_EQ(s.Run({"-o", bigResult, big + ".y4m", big + ".mp4"}).status, 0);
    EXPECT_EQ(ReadFile(bigResult), bigRaw);
    fs::copy_file(U8Path(big + ".mp4"), U8Path(big + "2.mp4"), fs::copy_options::overwrite_existing);
    fs::rename(U8Path(big + ".yuv"), U8Path(big + "_raw.yuv"));
    EXPECT_EQ(s.Run({"-o", s.dir + "/pass_{}.txt", big + ".y4m", big + ".mp4", big + "_raw.yuv", big + "2.mp4"}).status, 0);
    for (const char* name : {"big", "big_raw", "big2"})
        EXPECT_EQ(ReadFile(s.dir + "/pass_" + name + ".txt"), bigRaw) << name;
    // Frames in step from the decoded frames: an encode that lost its first frame is found one off, and unrelated
    // content is no alignment.
    ASSERT_EQ(std::system(("cd '" + s.dir + "' && ffmpeg -y -v error -s 176x144 -f rawvideo -i src.yuv -vf "
                           "trim=start_frame=1,setpts=PTS-STARTPTS -c:v libx264 -crf 20 shifted.mp4 && ffmpeg -y -v error "
                           "-f lavfi -i mandelbrot=size=176x144 -frames:v 12 -c:v libx264 -pix_fmt yuv420p other.mp4")
                              .c_str()), 0);
    const std::string shifted = s.dir + "/shifted.mp4";
    EXPECT_NE(s.Run({"-s", "176x144", src, shifted}).err.find("看来与源参考序列差了 1 帧"), std::string::npos);
    const Outcome aligned = s.Run({"-s", "176x144", "--offset", "auto", src, shifted});
    EXPECT_EQ(aligned.status, 0);
    EXPECT_NE(aligned.err.find("：取偏移 1（"), std::string::npos) << aligned.err;
    EXPECT_EQ(s.Run({"--offset", "-100", "-o", result, x264, shifted}).err,
              "错误!\n目标序列 " + shifted + " 有 11 帧，偏移 -100 要跳过它的前 100 帧。\n没有可比较的帧。\n");
    const Outcome unrelated = s.Run({"-s", "176x144", "--offset", "auto", "-o", result, src, s.dir + "/other.mp4"});
    EXPECT_EQ(unrelated.status, 1);
    EXPECT_NE(unrelated.err.find("无法按内容对齐目标序列"), std::string::npos) << unrelated.err;
    // Broken encodes: no video, the index cut away, packets lost in the middle (the demuxer drops them without a
    // word; the timestamps tell, and every pair after them is out of step: exit 1).
    ASSERT_EQ(std::system(("cd '" + s.dir + "' && ffmpeg -y -v error -f lavfi -i sine=duration=0.2 -c:a aac audio.m4a && "
                           "ffmpeg -y -v error -i x264.mp4 -c copy -f mpegts whole.ts && head -c 3000 x264.mp4 > cut.mp4")
                              .c_str()), 0);
    const std::string ts = ReadFile(s.dir + "/whole.ts");
    const std::size_t middle = ts.size() / 188 / 2 * 188;
    WriteFile(s.dir + "/damaged.ts", ts.substr(0, middle) + ts.substr(middle + 3 * 188));
    const std::string audio = s.dir + "/audio.m4a", cut = s.dir + "/cut.mp4", damaged = s.dir + "/damaged.ts";
    EXPECT_EQ(s.Run({"-o", result, x264, audio}).err, "错误!\n目标序列 " + audio + " 没有视频流，无法测量。\n");
    EXPECT_EQ(s.Run({"-o", result, cut, x264}).err,
              "错误!\n源参考序列 " + cut + " 无法作为视频文件打开：它的内容不完整或已损坏。\n");
    const Outcome lost = s.Run({x264, damaged});
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("警告!\n目标序列 " + damaged + " 的时间戳表明缺少 "), std::string::npos) << lost.err;
    const Outcome whole = s.Run({x264, s.dir + "/whole.ts"});
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(s.Run({"--stream", "3", multi, x264}).err,
              "错误!\n目标序列 " + x264 + " 没有第3号流：它只有1个流（从 0 起编号）。\n");
    EXPECT_EQ(s.Run({"--stream", "0", src, multi, "-s", "176x144"}).err,
              "错误!\n目标序列 " + multi + " 的第0号流不是视频流，无法测量。\n");
    fs::remove(U8Path(result));
#else
    ASSERT_EQ(std::system((make + "a.mp4").c_str()), 0);
    const Outcome run = s.Run({"-s", "176x144", "-o", result, ref, s.dir + "/a.mp4"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "错误!\n目标序列 " + s.dir + "/a.mp4 是 MP4/MOV 文件，不是 YUV 序列：请先解码为 YUV 文件。"
                       "这个版本的 Lorvane 不能解码视频文件。\n");
#endif
    EXPECT_FALSE(fs::exists(U8Path(result)));
    // ffmpeg's own YUV4MPEG2 pipe, both ways round: header and FRAME lines are not samples.
    const std::string pipe = make + "-pix_fmt yuv420p -f yuv4mpegpipe - 2>/dev/null | ";
    for (const std::vector<std::string> args : {std::vector<std::string>{"-n", "3", "-o", result, ref, "/dev/stdin"},
                                                std::vector<std::string>{"-n", "3", "-o", result, "/dev/stdin", ref}}) {
        const Outcome run = s.Run(args, pipe);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "Average,100.000000,100.000000,100.000000\n");
        EXPECT_EQ(ReadFile(result), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n 0,100.000000,100.000000,100.000000\r\n"
                                    " 1,100.000000,100.000000,100.000000\r\n 2,100.000000,100.000000,100.000000\r\n"
                                    "Average,100.000000,100.000000,100.000000\r\n");
    }
}

// -s auto tries 10-bit 4:2:0 beside 8-bit: four 1920x1080 yuv420p10le frames are as many bytes as two
// 3840x2160 8-bit ones, for which they were once taken. Content: a gradient moving 4 steps a frame, the
// target's luma one step above the reference's, so the summary shows the depth the run read.
TEST_F(Cli, AutoSizeTellsTheBitDepthToo)
{
    const auto sequence = [](int bits, int frames, bool target) {
        const int top = (1 << bits) - 1, bytes = bits > 8 ? 2 : 1;
        std::string data;
        data.reserve(std::size_t(1920 * 1080 * 3 / 2 * bytes * frames));
        const auto put = [&](int v) { data += char(v & 255); if (bytes == 2) data += char(v >> 8); };
        for (int f = 0; f < frames; ++f) {
            for (int y = 0; y < 1080; ++y)
                for (int x = 0; x < 1920; ++x) {
                    const int t = (x + 2 * y + 4 * f) % (2 * top);  // a triangle wave: no jump between frames
                    put(std::min((t < top ? t : 2 * top - t) + (target ? 1 : 0), top));
                }
            for (int i = 0; i < 1920 * 1080 / 2; ++i)
                put(top / 2);
        }
        return data;
    };
    struct Row { int bits, frames; std::string taken, second; };
    for (const Row& row : {Row{10, 4, "1920x1080 yuv420p10le", "3840x2160"}, Row{8, 8, "1920x1080", "3840x2160"}}) {
        WriteFile(ref, sequence(row.bits, row.frames, false));
        WriteFile(tgt, sequence(row.bits, row.frames, true));
        const Outcome run = s.Run({"-s", "auto", "-q", "-o", result, ref, tgt});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string intro = "按内容推断 " + ref + " 的图像宽高：" + row.taken + "（第0帧与第1帧的亮度 PSNR ";
        EXPECT_TRUE(run.err.starts_with(intro) && run.err.find("；其次是 " + row.second + "，") != std::string::npos)
            << run.err;
        // Nearly every luma sample one step off (not those at the top): the PSNR of one step at this depth.
        const std::string head = "共计" + std::to_string(row.frames) + "帧，平均PSNR如下：\nPSNR_Y: ";
        ASSERT_TRUE(run.out.starts_with(head)) << run.out;
        EXPECT_NEAR(std::stod(run.out.substr(head.size())), 20 * std::log10((1 << row.bits) - 1), 0.01) << run.out;
    }
}

// A target that lost the reference's first frame (and, the other way round, a reference that lost the
// target's): --offset pairs them again to the exact values of the harness's pairs, --offset auto finds the
// offset, and without --offset a warning names it; the numbers and the status stay those of the unpaired run.
// --start skips pairs and numbers frames from 0; JSON and the report say both. YUV4MPEG2 files with FRAME
// parameters are skipped line by line, a pipe by reading.
TEST_F(Cli, OffsetPairsFramesAgainAndIsFoundOrSuggested)
{
    // 176x144 is larger than the look without --offset takes whole: it compares bands of rows first.
    for (const auto& picture : {std::tuple{16, 8, false}, std::tuple{16, 8, true}, std::tuple{176, 144, false}})
        for (const int k : {1, -1}) {
            // Plain variables, not structured bindings: lambdas below capture them.
            const int width = std::get<0>(picture), height = std::get<1>(picture);
            const bool asY4m = std::get<2>(picture);
            const int luma = width * height, frameBytes = luma * 3 / 2;
            const std::string full[] = {Frames(width, height, 11, false), Frames(width, height, 11, true)};
            // The mean luma MSE of the first 8 pairs as they come, reference frame i against target frame i.
            const auto unpairedMse = [&](const std::string& reference, const std::string& target) {
                double sum = 0;
                for (int f = 0; f < 8; ++f)
                    for (int i = 0; i < luma; ++i) {
                        const double d = double(std::uint8_t(reference[std::size_t(f * frameBytes + i)])) -
                                         double(std::uint8_t(target[std::size_t(f * frameBytes + i)]));
                        sum += d * d;
                    }
                char text[32];
                std::snprintf(text, sizeof text, "%.2f", sum / (8.0 * luma));
                return std::string(text);
            };
            const auto y4m = [&](const std::string& frames) {
                std::string text = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F25:1\n";
                for (std::size_t f = 0; f < frames.size() / std::size_t(frameBytes); ++f)
                    text += (f % 2 ? "FRAME\n" : "FRAME Ixyz\n") + frames.substr(f * std::size_t(frameBytes), std::size_t(frameBytes));
                return text;
            };
            // k = 1: the target lacks frame 0; k = -1: the reference does.
            const std::string reference = k > 0 ? full[0] : full[0].substr(std::size_t(frameBytes));
            const std::string target = k > 0 ? full[1].substr(std::size_t(frameBytes)) : full[1];
            const std::string r = asY4m ? s.dir + "/ref.y4m" : ref, t = asY4m ? s.dir + "/tgt.y4m" : tgt;
            WriteFile(r, asY4m ? y4m(reference) : reference);
            WriteFile(t, asY4m ? y4m(target) : target);
            const std::vector<std::string> size =
                asY4m ? std::vector<std::string>{} : std::vector<std::string>{"-s", std::to_string(width) + "x" + std::to_string(height)};
            const auto run = [&](std::vector<std::string> args) {
                args.insert(args.begin(), size.begin(), size.end());
                args.insert(args.end(), {"-o", result, r, t});
                return s.Run(args);
            };
            const std::string lengths = "源参考序列 " + r + " 有 " + std::to_string(k > 0 ? 11 : 10) + " 帧，目标序列 " + t +
                                        " 有 " + std::to_string(k > 0 ? 10 : 11) + " 帧：";
            const std::string from = "从源参考序列第" + std::string(k > 0 ? "1" : "0") + "帧、目标序列第" +
                                     (k > 0 ? "0" : "1") + "帧起比较 ";

            const Outcome paired = run({"--offset", std::to_string(k)});
            EXPECT_EQ(paired.status, 0) << paired.err;
            EXPECT_EQ(paired.out, Summary(10));
            EXPECT_EQ(paired.err, lengths + from + "10 帧。\n" + Average(10));
            EXPECT_EQ(ReadFile(result), ResultFile(10));

            const Outcome found = run({"--offset", "auto:3"});
            EXPECT_EQ(found.status, 0) << found.err;
            EXPECT_EQ(found.out, Summary(10));
            const std::string taken = "按内容对齐目标序列 " + t + " 与源参考序列 " + r + "：取偏移 " + std::to_string(k) +
                                      "（前 8 对帧的亮度 MSE 1.00），其次是偏移 ";
            EXPECT_TRUE(found.err.starts_with(taken) && found.err.ends_with("；试过 -3 到 3。\n" + lengths + from +
                                                                            "10 帧。\n" + Average(10))) << found.err;

            // Unpaired: the numbers of frames out of step, and a warning beside them that changes no status.
            const Outcome warned = run({});
            EXPECT_EQ(warned.status, 0) << warned.err;
            EXPECT_TRUE(warned.out.starts_with("共计10帧") && warned.out != Summary(10)) << warned.out;
            EXPECT_EQ(warned.err.substr(0, warned.err.find("Average,")),
                      lengths + "比较前 10 帧。\n警告!\n目标序列 " + t + " 看来与源参考序列差了 1 帧：第" + (k > 0 ? "0" : "1") +
                          "帧对应源参考序列第" + (k > 0 ? "1" : "0") + "帧（亮度 MSE 1.00，不错位时 " +
                          unpairedMse(reference, target) + "）。可以试试 --offset " + std::to_string(k) + "。\n");

            // --start: pairs skipped, frames numbered from 0, both recorded.
            const std::string json = s.dir + "/out.json", html = s.dir + "/out.html";
            const Outcome started = run({"--offset", std::to_string(k), "--start", "3", "-n", "4", "--json", json,
                                         "--report", html});
            EXPECT_EQ(started.status, 0) << started.err;
            EXPECT_EQ(started.out, Summary(4));
            EXPECT_EQ(ReadFile(result), ResultFile(4));
            EXPECT_NE(ReadFile(json).find("\"frames_compared\": 4,\n    \"offset\": " + std::to_string(k) +
                                          ",\n    \"start\": 3,"), std::string::npos);
            EXPECT_NE(ReadFile(html).find("偏移 " + std::to_string(k) + "，起始 3：第0帧是源参考序列的第" +
                                          (k > 0 ? "4" : "3") + "帧与目标序列的第" + (k > 0 ? "3" : "4") + "帧"),
                      std::string::npos);
            // Without either, no trace of them.
            ASSERT_EQ(s.Run({"-s", "16x8", "--offset", "0", "--json", json, ref, ref}).status, 0);
            EXPECT_EQ(ReadFile(json).find("\"offset\""), std::string::npos);
        }
    // Luma that must be unpacked (packed 4:2:2, P010's shifted words) is found in step as its planar twin is.
    for (const auto& [format, twin] : {std::pair{"yuyv422", "yuv422p"}, std::pair{"p010le", "yuv420p10le"}}) {
        const bool packed = std::string(format) == "yuyv422";
        std::string planes[2], interleaved[2];  // reference, target
        for (int side = 0; side < 2; ++side)
            for (int f = side; f < 11; ++f) {  // the target lacks frame 0
                std::uint16_t y[128], u[64], v[64];
                for (int i = 0; i < 128; ++i)
                    y[i] = std::uint16_t((i * 7 + f * 13) % 200 + side);
                for (int i = 0; i < 64; ++i)
                    u[i] = std::uint16_t(60 + i), v[i] = std::uint16_t(90 + i);
                const int chroma = packed ? 64 : 32;  // 8x8 for 4:2:2, 8x4 for 4:2:0
                const auto put = [&](std::string& out, std::uint16_t value, bool wide) {
                    out += char(value & 255);
                    if (wide)
                        out += char(value >> 8);
                };
                for (int i = 0; i < 128; ++i)
                    put(planes[side], y[i], !packed);
                for (const std::uint16_t* c : {u, v})
                    for (int i = 0; i < chroma; ++i)
                        put(planes[side], c[i], !packed);
                if (packed) {
                    for (int i = 0; i < 128; i += 2)
                        interleaved[side] += {char(y[i]), char(u[i / 2]), char(y[i + 1]), char(v[i / 2])};
                } else {
                    for (int i = 0; i < 128; ++i)
                        put(interleaved[side], std::uint16_t(y[i] << 6), true);
                    for (int i = 0; i < 32; ++i)
                        put(interleaved[side], std::uint16_t(u[i] << 6), true), put(interleaved[side], std::uint16_t(v[i] << 6), true);
                }
            }
        std::string found[2];
        for (int asTwin = 0; asTwin < 2; ++asTwin) {
            WriteFile(ref, asTwin ? planes[0] : interleaved[0]);
            WriteFile(tgt, asTwin ? planes[1] : interleaved[1]);
            const Outcome run = s.Run({"-s", "16x8", "-p", asTwin ? twin : format, "--offset", "auto:3", ref, tgt});
            EXPECT_EQ(run.status, 0) << format << run.err;
            found[asTwin] = run.err.substr(0, run.err.find("；试过"));
        }
        EXPECT_TRUE(found[0].find("取偏移 1（前 8 对帧的亮度 MSE 1.00）") != std::string::npos) << format << found[0];
        EXPECT_EQ(found[0], found[1]) << format;
    }
#ifndef _WIN32
    // Through a pipe the skipped frames are read and dropped.
    WriteFile(ref, Frames(16, 8, 11, false));
    WriteFile(tgt, Frames(16, 8, 11, true).substr(16 * 8 * 3 / 2));
    const Outcome piped = s.Run({"-s", "16x8", "-n", "10", "--offset", "-1", "-o", result, tgt, "/dev/stdin"},
                                "cat '" + ref + "' | ");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out,
              "共计10帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n");
#endif
}

// SSIM as ffmpeg's ssim filter computes it on its C path, frame by frame to its last printed digit: 8 and 10 bits,
// 4:2:0, 4:2:2, 4:4:4 and gray, odd sizes and a width of 88 (4k + 1 windows a row); the summary's mean and the
// result file unchanged by -m.
TEST_F(Cli, SsimAgreesWithFfmpegsSsimFilter)
{
#ifdef _WIN32
    GTEST_SKIP() << "makes its sequences with ffmpeg through a POSIX shell; no Windows ffmpeg is packaged";
#endif
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not on PATH";
    const std::pair<std::string, std::string> cases[] = {
        {"yuv420p", "93x67"}, {"yuv420p10le", "93x67"}, {"yuv422p", "88x40"},
        {"yuv444p", "45x37"}, {"gray", "88x40"},        {"yuv422p10le", "64x36"},
    };
    for (const auto& c : cases) {
        const std::string &format = c.first, &size = c.second;
        SCOPED_TRACE(format + " " + size);
        const std::string raw = " -f rawvideo -pix_fmt " + format + " -s " + size + " ";
        const std::string steps = "cd '" + s.dir + "' && ffmpeg -y -v error -f lavfi -i testsrc2=size=" + size +
                                  ":rate=25 -frames:v 4" + raw + "ref.yuv && ffmpeg -y -v error" + raw +
                                  "-i ref.yuv -vf noise=alls=12:allf=t" + raw + "tgt.yuv && ffmpeg -y -v error -cpuflags 0" +
                                  raw + "-i tgt.yuv" + raw + "-i ref.yuv -lavfi ssim=stats_file=ssim.log -f null -";
        ASSERT_EQ(std::system(steps.c_str()), 0) << steps;
        const Outcome plain = s.Run({"-s", size, "-p", format, "-o", result, s.dir + "/ref.yuv", s.dir + "/tgt.yuv"});
        const std::string plainResult = ReadFile(result);
        const Outcome run = s.Run({"-s", size, "-p", format, "-m", "ssim", "-o", result, "--csv", s.dir + "/s.csv",
                                   s.dir + "/ref.yuv", s.dir + "/tgt.yuv"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile(result), plainResult);
        EXPECT_EQ(run.out.substr(0, plain.out.size()), plain.out);
        std::istringstream ours(ReadFile(s.dir + "/s.csv")), theirs(ReadFile(s.dir + "/ssim.log"));
        std::string line, peer;
        std::getline(ours, line);
        EXPECT_EQ(line, "Frame,psnr_y,psnr_cb,psnr_cr,mse_y,mse_cb,mse_cr,psnr_yuv,ssim_y,ssim_cb,ssim_cr,ssim");
        double sum = 0;
        int frames = 0;
        for (; std::getline(theirs, peer); ++frames) {
            ASSERT_TRUE(std::getline(ours, line));
            std::vector<std::string> cells;
            std::istringstream row(line);
            for (std::string cell; std::getline(row, cell, ',');)
                cells.push_back(cell);
            cells.resize(12);
            const auto value = [&](const char* key) { return std::stod(peer.substr(peer.find(key) + std::string_view(key).size())); };
            EXPECT_NEAR(std::stod(cells[8]), value(" Y:"), 1.0000001e-6) << peer;
            if (format.rfind("gray", 0) == 0) {
                EXPECT_EQ(cells[9], "");
            } else {
                EXPECT_NEAR(std::stod(cells[9]), value(" U:"), 1.0000001e-6) << peer;
                EXPECT_NEAR(std::stod(cells[10]), value(" V:"), 1.0000001e-6) << peer;
            }
            EXPECT_NEAR(std::stod(cells[11]), value(" All:"), 1.0000001e-6) << peer;
            sum += std::stod(cells[8]);
        }
        EXPECT_EQ(frames, 4);
        EXPECT_NE(run.out.find("SSIM_Y: "), std::string::npos) << run.out;
    }
    // Names: each known once; unknown, repeated or not yet measured ones are command-line errors.
    EXPECT_EQ(s.Run({"-m", "psnr,vmaf", "a", "b"}).status, 2);
    EXPECT_EQ(s.Run({"-m", "ssim,ssim", "a", "b"}).err,
              "lorvane-cli：指标 \"ssim\" 给出了两次。\n请运行 lorvane-cli --help 查看用法。\n");
    EXPECT_EQ(s.Run({"-m", "ms-ssim", "a", "b"}).status, 2);
}

// Four frames on a flat picture, each luma plane off in its own way: 0 identical, 1 all 8 brighter
// (the largest MSE, yet SSIM barely moves), 2 a checkerboard ±2 and 3 one of ±1 (small MSEs, but
// structure SSIM sees). Chroma is identical throughout: its SSIM is 1, printed 100 in dB as PSNR's.
TEST_F(Cli, WorstByRanksTheWorstFramesByThatMetric)
{
    constexpr int width = 64, height = 48, luma = width * height;
    std::string reference, target;
    for (int f = 0; f < 4; ++f)
        for (int i = 0; i < luma * 3 / 2; ++i) {
            const int sign = (i % width + i / width) % 2 ? 1 : -1;
            reference.push_back(char(100));
            target.push_back(char(i >= luma ? 100 : f == 1 ? 108 : f == 2 ? 100 + 2 * sign : f == 3 ? 100 + sign : 100));
        }
    WriteFile(ref, reference);
    WriteFile(tgt, target);
    const std::string json = s.dir + "/w.json";
    const auto worstFrames = [&] {
        const std::string text = ReadFile(json);
        std::string order;
        const std::regex frame(R"("frame": ([0-9]+))");
        for (auto it = std::sregex_iterator(text.begin() + text.find("\"worst_frames\""), text.end(), frame);
             it != std::sregex_iterator(); ++it)
            order += (*it)[1].str();
        return order;
    };
    const std::vector<std::string> common = {"-q", "-s", "64x48", "--stats", "--worst", "4", "--json", json, ref, tgt};
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), common.begin(), common.end());
        return s.Run(args);
    };

    const Outcome plain = run({});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string plainJson = ReadFile(json);
    EXPECT_EQ(worstFrames(), "1230");
    // Naming the default changes nothing.
    const Outcome byPsnr = run({"-m", "psnr", "--worst-by", "psnr"});
    EXPECT_EQ(byPsnr.out, plain.out);
    EXPECT_EQ(ReadFile(json), plainJson);

    for (const auto& [args, order, heading] : std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
             {{"-m", "ssim"}, "1230", "最差帧（按 Y 的 PSNR）"},
             {{"-m", "ssim", "--worst-by", "ssim"}, "2310", "最差帧（按 SSIM_Y，从低到高）"},
         }) {
        const Outcome scored = run(args);
        ASSERT_EQ(scored.status, 0) << scored.err;
        EXPECT_EQ(worstFrames(), order) << heading;
        EXPECT_NE(scored.out.find("\n" + heading + "\n名次  帧"), std::string::npos) << scored.out;
        EXPECT_NE(scored.out.find("\nSSIM_U  1.000000  100.000000  1.000000   0  1.000000   0\n"), std::string::npos)
            << scored.out;
        EXPECT_EQ((ReadFile(json).find("\"worst_by\": \"ssim_y\"") != std::string::npos), args.size() > 2);
        // PSNR's table stays as it was.
        const auto psnrTable = [](const std::string& out) {
            const std::size_t at = out.find("统计（");
            return out.substr(at, out.find("\n\n", at) - at);
        };
        EXPECT_EQ(psnrTable(scored.out), psnrTable(plain.out));
    }

    const Outcome unknown = run({"--worst-by", "vmaf"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.err.starts_with("lorvane-cli：未知的指标 \"vmaf\"（--worst-by）：可用的指标有 psnr、ssim")) << unknown.err;
    EXPECT_EQ(unknown.out, "");
}
