// libFuzzer target for the measurement core. Each input describes a plane pair
// for PlanePsnr and a whole comparison run: picture size, frame count, the two
// sequence files (written to a scratch folder), and where the result goes. After
// the run it checks what must hold for any input:
//   - every PlanePsnr value is >= 0 or nan (nan exactly when the plane is empty),
//     identical planes give exactly 100, and the value is the one the plain
//     definition gives;
//   - a run either ends with one error message and touches nothing, or compares
//     the k complete frame pairs that exist (k <= N) and reports exactly k of
//     them: k + 2 CR LF lines in the result file, k in the summary, a warning
//     when k < N, one "Average,..." line on standard error;
//   - no input file changes, whatever happens.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/common_interface_defs.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/psnr.h"
#include "core/ssd.h"

namespace fs = std::filesystem;
using lorvane::MessageIcon;

namespace {

// ---- Scratch folder, kept for the life of the process and emptied per input.
fs::path g_dir;
int g_stderrCapture = -1;  // file that receives fd 2 while a run is in progress
int g_realStderr = -1;     // the process's own standard error, saved

[[noreturn]] void Fail(const std::string& what, const std::string& context)
{
    if (g_realStderr >= 0)
        dup2(g_realStderr, STDERR_FILENO);
    std::fprintf(stderr, "\nfuzz_run invariant broken: %s\n  case: %s\n", what.c_str(), context.c_str());
    std::abort();
}

#define CHECK(cond, what)                                  \
    do {                                                   \
        if (!(cond))                                       \
            Fail(std::string(what) + "  [" #cond "]", ctx); \
    } while (0)

// A sanitizer report written while fd 2 pointed at the capture file would be
// lost; copy it to the real standard error before the process dies.
void OnSanitizerDeath()
{
    if (g_realStderr < 0 || g_stderrCapture < 0)
        return;
    fsync(g_stderrCapture);
    char buffer[4096];
    ssize_t got;
    off_t offset = 0;
    while ((got = pread(g_stderrCapture, buffer, sizeof buffer, offset)) > 0) {
        if (write(g_realStderr, buffer, size_t(got)) < 0)
            break;
        offset += got;
    }
}

void RemoveScratchFolder()
{
    std::error_code ignored;
    if (!g_dir.empty())
        fs::remove_all(g_dir, ignored);
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        std::abort();
}

// Contents of every regular file in the scratch folder, by name (symbolic links
// are followed, so a link is compared by what it points at).
std::map<std::string, std::string> Snapshot()
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(g_dir)) {
        std::error_code ec;
        if (fs::is_regular_file(entry.path(), ec) && entry.path().filename() != "stderr.txt")
            files[fs::relative(entry.path(), g_dir).string()] = ReadFile(entry.path());
    }
    return files;
}

// The plain definition: sum of squared differences, mean, 10 log10(255^2 / mse).
double PlainPsnr(const std::uint8_t* a, const std::uint8_t* b, std::int64_t count)
{
    std::int64_t sum = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t d = std::int64_t(a[i]) - std::int64_t(b[i]);
        sum += d * d;
    }
    const double mse = double(sum) / double(count);
    if (mse == 0.0)
        return 100.0;
    return 10.0 * std::log10(65025.0 / mse);
}

bool SameValue(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

struct Recorder : lorvane::RunFeedback {
    struct Message {
        std::string text, title;
        MessageIcon icon;
    };
    std::vector<Message> messages;
    std::vector<std::string> events;  // "begin N", "step i", "message", "end" in order

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        messages.push_back({text, title, icon});
        events.push_back("message");
    }
    void ProgressBegin(std::int32_t frames) override { events.push_back("begin " + std::to_string(frames)); }
    void ProgressStep(std::int32_t frame) override { events.push_back("step " + std::to_string(frame)); }
    void ProgressEnd() override { events.push_back("end"); }
};

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed | 1u;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = std::uint8_t(state >> 24);
    }
    return bytes;
}

const char* const kCpuLevels[] = {"c", "sse2", "avx2", "avx512"};

// ---- PlanePsnr on its own, on buffers of exactly the plane's size so that any
// read past the plane is caught.
void CheckPlanePsnr(FuzzedDataProvider& in)
{
    const std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(0, 48);
    const std::int32_t height = in.ConsumeIntegralInRange<std::int32_t>(0, 48);
    const std::size_t count = std::size_t(width) * std::size_t(height);
    const std::string ctx = "PlanePsnr " + std::to_string(width) + "x" + std::to_string(height);

    std::unique_ptr<std::uint8_t[]> a(new std::uint8_t[count]);
    std::unique_ptr<std::uint8_t[]> b(new std::uint8_t[count]);
    const std::vector<std::uint8_t> data = in.ConsumeBytes<std::uint8_t>(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = i < data.size() ? data[i] : std::uint8_t(i * 7);
        b[i] = count + i < data.size() ? data[count + i] : std::uint8_t(255 - a[i]);
    }

    // Every kernel this CPU offers must give the same value, bit for bit.
    for (const char* level : kCpuLevels) {
        lorvane::LimitCpuLevel(level);
        const std::string at = std::string(" with the ") + level + " kernel";
        const double value = lorvane::PlanePsnr(a.get(), b.get(), width, height);
        CHECK(value >= 0.0 || std::isnan(value), "PSNR below zero" + at);
        CHECK(std::isnan(value) == (count == 0), "nan exactly for an empty plane" + at);
        CHECK(SameValue(value, PlainPsnr(a.get(), b.get(), std::int64_t(count))), "differs from the plain definition" + at);
        CHECK(SameValue(value, lorvane::PlanePsnr(b.get(), a.get(), width, height)), "not symmetric" + at);
        const double same = lorvane::PlanePsnr(a.get(), a.get(), width, height);
        CHECK(count == 0 ? std::isnan(same) : same == 100.0, "identical planes do not give 100" + at);
    }
}

// ---- One comparison run.
const std::int32_t kSpecialSizes[] = {-1, -5, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max(), 1000000000,
                                      1000000001, 46341, 65536, 100000};
const std::int32_t kSpecialCounts[] = {-1, std::numeric_limits<std::int32_t>::min(),
                                       std::numeric_limits<std::int32_t>::max(), 1000000000,
                                       1000000001};

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& in, const T (&values)[N])
{
    return values[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

bool InRange(std::int32_t v) { return v >= 0 && v <= lorvane::kMaxDimension; }

void CheckRun(FuzzedDataProvider& in)
{
    lorvane::LimitCpuLevel(Pick(in, kCpuLevels));

    // Picture size: mostly tiny, sometimes out of range, rarely large enough that
    // a frame exceeds the read-ahead batch (so the reading thread runs).
    std::int32_t width, height;
    const std::uint8_t sizeKind = in.ConsumeIntegral<std::uint8_t>();
    if (sizeKind < 12) {
        width = Pick(in, kSpecialSizes);
        height = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
    } else if (sizeKind < 24) {
        width = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
        height = Pick(in, kSpecialSizes);
    } else if (sizeKind < 30) {
        width = in.ConsumeIntegralInRange<std::int32_t>(500, 800);
        height = in.ConsumeIntegralInRange<std::int32_t>(500, 700);
    } else {
        width = in.ConsumeIntegralInRange<std::int32_t>(0, 40);
        height = in.ConsumeIntegralInRange<std::int32_t>(0, 40);
    }
    const bool big = std::int64_t(width) * height >= 250000;

    std::int32_t frames;
    const std::uint8_t countKind = in.ConsumeIntegral<std::uint8_t>();
    if (countKind < 200)
        frames = countKind % 9;
    else if (countKind < 240)
        frames = 9 + countKind % 12;
    else
        frames = Pick(in, kSpecialCounts);

    const bool sizeValid = width != 0 && height != 0 && InRange(width) && InRange(height) &&
                           InRange(frames) && std::int64_t(width) * height <= lorvane::kMaxLumaSamples;
    const lorvane::FrameLayout layout =
        sizeValid ? lorvane::ComputeFrameLayout(width, height) : lorvane::FrameLayout{};
    const std::size_t frameSize = sizeValid ? std::size_t(layout.frameSize) : 64;
    // Keep the files small: very large sizes get no more than a few frames' worth.
    const std::size_t fileFrameLimit = big ? 3 : (frameSize > 100000 ? 2 : 10);

    // Sequence files: whole frames plus, sometimes, a partial one.
    auto fileSize = [&] {
        std::size_t size = frameSize * in.ConsumeIntegralInRange<std::size_t>(0, fileFrameLimit);
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
            size += in.ConsumeIntegralInRange<std::size_t>(0, frameSize - 1);
        return size;
    };
    const std::size_t referenceSize = fileSize();
    const std::size_t targetSize = fileSize();
    std::vector<std::uint8_t> reference = Bytes(referenceSize, in.ConsumeIntegral<std::uint32_t>());
    std::vector<std::uint8_t> target;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        target = Bytes(targetSize, in.ConsumeIntegral<std::uint32_t>());
        break;
    case 1:  // the same pictures, maybe a different length
    case 2:  // the same with a few samples changed
    case 3:  // every sample one above (wrapping)
        target = reference;
        target.resize(targetSize, 0x80);
        break;
    }
    // The input's own bytes land at the start of the reference, where they matter most.
    const std::vector<std::uint8_t> head = in.ConsumeBytes<std::uint8_t>(
        std::min<std::size_t>(reference.size(), in.ConsumeIntegralInRange<std::size_t>(0, 256)));
    std::copy(head.begin(), head.end(), reference.begin());
    if (target.size() == reference.size() && in.ConsumeBool())
        target = reference;
    if (!target.empty()) {
        const int changes = in.ConsumeIntegralInRange<int>(0, 4);
        for (int c = 0; c < changes; ++c)
            target[in.ConsumeIntegralInRange<std::size_t>(0, target.size() - 1)] += in.ConsumeIntegral<std::uint8_t>();
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
            for (auto& byte : target)
                ++byte;
    }

    // Names with spaces and Chinese characters; variants for each path.
    const fs::path referenceFile = g_dir / "参考 ref.yuv";
    const fs::path targetFile = g_dir / "目标 tgt.yuv";
    const fs::path sub = g_dir / "子目录";
    WriteFile(referenceFile, reference);
    WriteFile(targetFile, target);

    std::string referencePath = referenceFile.string();
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: referencePath = (g_dir / "missing.yuv").string(); break;
    case 1: referencePath = sub.string(); break;
    case 2: referencePath.clear(); break;
    default: break;
    }
    std::string targetPath = targetFile.string();
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: targetPath = (g_dir / "missing.yuv").string(); break;
    case 1: targetPath = sub.string(); break;
    case 2: targetPath.clear(); break;
    case 3: targetPath = referencePath; break;  // a sequence against itself
    default: break;
    }

    // Result path; `sameAs` is the sequence it names by another spelling, if any.
    const fs::path resultFile = g_dir / "结果 result.txt";
    std::string resultPath;
    enum { None, Reference, Target } sameAs = None;
    bool resultUnopenable = false;
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: break;
    case 1: resultPath = resultFile.string(); break;
    case 2:
        resultPath = resultFile.string();
        WriteFile(resultFile, {'o', 'l', 'd', '\n'});
        break;
    case 3:
        resultPath = (sub / ".." / referenceFile.filename()).string();
        sameAs = Reference;
        break;
    case 4:
        fs::create_hard_link(targetFile, g_dir / "hard link");
        resultPath = (g_dir / "hard link").string();
        sameAs = Target;
        break;
    case 5:
        fs::create_symlink(referenceFile.filename(), g_dir / "soft link");
        resultPath = (g_dir / "soft link").string();
        sameAs = Reference;
        break;
    case 6:
        resultPath = (g_dir / "no such folder" / "result.txt").string();
        resultUnopenable = true;
        break;
    case 7:
        resultPath = sub.string();
        resultUnopenable = true;
        break;
    default:
        resultPath = resultFile.string();
        break;
    }

    const std::string ctx = std::to_string(width) + "x" + std::to_string(height) + " N=" +
                            std::to_string(frames) + " reference " + std::to_string(referenceSize) +
                            " bytes '" + referencePath + "', target " + std::to_string(targetSize) +
                            " bytes '" + targetPath + "', result '" + resultPath + "'";

    const auto before = Snapshot();

    // The run, with fd 2 redirected so its "Average,..." line can be checked.
    Recorder feedback;
    lorvane::PsnrSettings settings;
    settings.sourcePath = referencePath;
    settings.resultPath = resultPath;
    settings.width = width;
    settings.height = height;
    settings.frameCount = frames;
    settings.targetPath = targetPath;
    if (ftruncate(g_stderrCapture, 0) != 0 || lseek(g_stderrCapture, 0, SEEK_SET) != 0)
        std::abort();
    std::fflush(stderr);
    dup2(g_stderrCapture, STDERR_FILENO);
    lorvane::RunComparison(settings, feedback);
    std::fflush(stderr);
    dup2(g_realStderr, STDERR_FILENO);
    const std::string diagnostics = ReadFile(g_dir / "stderr.txt");

    const auto after = Snapshot();

    // What the run should have said, in the order it checks things.
    const auto regularFile = [](const std::string& path) {
        std::error_code ec;
        return !path.empty() && fs::is_regular_file(path, ec);
    };
    std::string errorText, errorTitle;
    bool errorTextExact = true;
    if (width == 0 || height == 0) {
        errorText = "请正确输入图像宽高！", errorTitle = "错误!";
    } else if (!sizeValid) {
        errorTitle = "错误!", errorTextExact = false;
    } else if (referencePath.empty()) {
        errorText = "请输入源参考序列文件名！", errorTitle = "打开文件错误!";
    } else if (!regularFile(referencePath)) {
        errorText = "不能打开 " + referencePath + "!\n请确认路径是否正确！", errorTitle = "打开文件错误!";
    } else if (targetPath.empty()) {
        errorText = "请输入目标序列文件名！", errorTitle = "打开文件错误!";
    } else if (!regularFile(targetPath)) {
        errorText = "不能打开 " + targetPath + "!请确认路径是否正确！", errorTitle = "打开文件错误!";
    } else if (sameAs == Reference || (sameAs == Target && targetPath == targetFile.string())) {
        // Past the checks above the reference is always the reference file, so a
        // result naming it is refused; the hard link is refused only when the
        // target file is in use.
        errorTitle = "打开文件错误!", errorTextExact = false;
    } else if (resultUnopenable) {
        errorText = "不能打开 " + resultPath + "!请确认路径是否正确！", errorTitle = "打开文件错误!";
    }
    const bool expectError = !errorTitle.empty();

    CHECK(feedback.messages.size() == 1, "a run shows exactly one message");
    const Recorder::Message& message = feedback.messages.front();

    if (expectError) {
        CHECK(message.icon == MessageIcon::Error, "error without the error icon: " + message.text);
        CHECK(message.title == errorTitle, "wrong title '" + message.title + "' for: " + message.text);
        if (errorTextExact)
            CHECK(message.text == errorText, "wrong message: " + message.text);
        else
            CHECK(!message.text.empty(), "empty error message");
        if (sameAs != None && !errorTextExact && message.title == "打开文件错误!")
            CHECK(message.text.find(resultPath) != std::string::npos, "refusal does not name the result path");
        CHECK(feedback.events == std::vector<std::string>{"message"}, "progress shown for a run that failed early");
        CHECK(diagnostics.empty(), "standard-error line from a run that failed early: " + diagnostics);
        CHECK(after == before, "a run that failed changed or created a file");
        return;
    }

    // A completed run: k complete pairs, k <= N.
    const std::int32_t referenceFrames = std::int32_t(std::min<std::size_t>(referenceSize / frameSize, 1u << 30));
    const std::int32_t targetFrames = std::int32_t(
        std::min<std::size_t>((targetPath == referencePath ? referenceSize : targetSize) / frameSize, 1u << 30));
    const std::int32_t k = std::min({frames, referenceFrames, targetFrames});
    const std::vector<std::uint8_t>& compared = targetPath == referencePath ? reference : target;

    std::string expectedFile = "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n";
    double sumY = 0, sumU = 0, sumV = 0;
    for (std::int32_t i = 0; i < k; ++i) {
        const std::uint8_t* r = reference.data() + std::size_t(i) * frameSize;
        const std::uint8_t* t = compared.data() + std::size_t(i) * frameSize;
        const std::int64_t chroma = std::int64_t(layout.chromaWidth) * layout.chromaHeight;
        const double y = PlainPsnr(r, t, layout.lumaSamples);
        const double u = PlainPsnr(r + layout.uOffset, t + layout.uOffset, chroma);
        const double v = PlainPsnr(r + layout.vOffset, t + layout.vOffset, chroma);
        for (double value : {y, u, v})
            CHECK(value >= 0.0 || std::isnan(value), "PSNR below zero in frame " + std::to_string(i));
        if (std::memcmp(r, t, frameSize) == 0) {
            CHECK(y == 100.0, "identical luma is not 100");
            CHECK(chroma == 0 || (u == 100.0 && v == 100.0), "identical chroma is not 100");
        }
        expectedFile += lorvane::ResultFrameLine(i, y, u, v);
        sumY += y, sumU += u, sumV += v;
    }
    const double avgY = lorvane::ReportAverage(sumY, k), avgU = lorvane::ReportAverage(sumU, k),
                 avgV = lorvane::ReportAverage(sumV, k);
    expectedFile += lorvane::AverageLine(avgY, avgU, avgV, "\r\n");

    CHECK(message.title == "计算成功！", "wrong title for a completed run: " + message.title + " / " + message.text);
    const std::string summary = lorvane::SummaryText(k, avgY, avgU, avgV);
    CHECK(message.text.compare(0, summary.size(), summary) == 0, "summary does not report k frames: " + message.text);
    if (k == frames) {
        CHECK(message.icon == MessageIcon::None, "complete run not shown as plain summary");
        CHECK(message.text == summary, "text added to a complete run's summary: " + message.text);
    } else {
        CHECK(message.icon == MessageIcon::Warning, "short run without the warning icon");
        const std::string extra = message.text.substr(summary.size());
        const bool referenceEnded = referenceFrames == k, targetEnded = targetFrames == k;
        CHECK(extra.find(std::to_string(k)) != std::string::npos && extra.find(std::to_string(frames)) != std::string::npos,
              "short-run line does not give k and N: " + extra);
        CHECK((extra.find("源参考序列 " + referencePath) != std::string::npos) == referenceEnded,
              "short-run line misnames the reference: " + extra);
        CHECK((extra.find("目标序列 " + targetPath) != std::string::npos) == targetEnded,
              "short-run line misnames the target: " + extra);
    }
    CHECK(diagnostics == lorvane::AverageLine(avgY, avgU, avgV, "\n"), "standard-error line: " + diagnostics);

    std::vector<std::string> events = {"begin " + std::to_string(frames)};
    for (std::int32_t i = 0; i < std::min(frames, k + 1); ++i)
        events.push_back("step " + std::to_string(i));
    events.push_back("message");
    events.push_back("end");
    CHECK(feedback.events == events, "progress calls out of order");

    // Files: the result holds exactly the expected k + 2 lines, everything else is as it was.
    auto expectedAfter = before;
    if (!resultPath.empty()) {
        const std::string actual = ReadFile(resultPath);
        std::size_t lines = 0;
        for (std::size_t p = 0; (p = actual.find("\r\n", p)) != std::string::npos; p += 2)
            ++lines;
        CHECK(lines == std::size_t(k) + 2 && actual.size() >= 2 && actual.compare(actual.size() - 2, 2, "\r\n") == 0,
              "result file does not hold k + 2 CR LF lines:\n" + actual);
        CHECK(actual == expectedFile, "result file content:\n" + actual + "expected:\n" + expectedFile);
        expectedAfter[fs::relative(resultPath, g_dir).string()] = expectedFile;
        if (sameAs == Target)  // the target file was not in this run; the link wrote it
            expectedAfter[fs::relative(targetFile, g_dir).string()] = expectedFile;
    }
    CHECK(after == expectedAfter, "an input file changed, or a stray file appeared");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lorvane-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    g_dir = pattern;
    std::atexit(RemoveScratchFolder);
    g_stderrCapture = open((g_dir / "stderr.txt").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    g_realStderr = dup(STDERR_FILENO);
    if (g_stderrCapture < 0 || g_realStderr < 0)
        std::abort();
    __sanitizer_set_death_callback(OnSanitizerDeath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A fresh folder state for every input.
    for (const auto& entry : fs::directory_iterator(g_dir))
        if (entry.path().filename() != "stderr.txt")
            fs::remove_all(entry.path());
    fs::create_directory(g_dir / "子目录");

    FuzzedDataProvider in(data, size);
    CheckRun(in);
    CheckPlanePsnr(in);
    return 0;
}
