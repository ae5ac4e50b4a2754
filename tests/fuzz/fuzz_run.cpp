// libFuzzer target over PlanePsnr and comparison runs. For any input: no crash;
// values >= 0 or nan; identical planes give 100; a failed run changes no file; a
// run writes k + 2 lines for the k <= N complete frame pairs; inputs never change.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/psnr.h"
#include "core/ssd.h"

namespace fs = std::filesystem;
using lorvane::MessageIcon;

namespace {

fs::path g_dir;  // scratch folder, emptied for every input

[[noreturn]] void Fail(const std::string& what, const std::string& context)
{
    std::fprintf(stderr, "\nfuzz_run invariant broken: %s\n  case: %s\n", what.c_str(), context.c_str());
    std::abort();
}

#define CHECK(cond, what) \
    do { if (!(cond)) Fail(std::string(what) + "  [" #cond "]", ctx); } while (0)

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Contents of every regular file in the scratch folder (links followed), by path.
std::map<std::string, std::string> Snapshot()
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(g_dir))
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().string()].assign(std::istreambuf_iterator<char>(in), {});
        }
    return files;
}

struct Recorder : lorvane::RunFeedback {
    std::vector<std::pair<std::string, MessageIcon>> messages;
    void ShowMessage(const std::string& t, const std::string&, MessageIcon i) override { messages.push_back({t, i}); }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
};

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint32_t state)
{
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes)
        byte = std::uint8_t((state = state * 1103515245u + 12345u) >> 24);
    return bytes;
}

const char* const kCpuLevels[] = {"c", "sse2", "avx2", "avx512"};

// PlanePsnr on buffers of exactly the plane's size, so that any read past it is
// caught; every kernel this CPU offers must give the same value.
void CheckPlanePsnr(FuzzedDataProvider& in)
{
    const std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(0, 48);
    const std::int32_t height = in.ConsumeIntegralInRange<std::int32_t>(0, 48);
    const std::size_t count = std::size_t(width) * std::size_t(height);
    std::unique_ptr<std::uint8_t[]> a(new std::uint8_t[count]), b(new std::uint8_t[count]);
    const std::vector<std::uint8_t> data = in.ConsumeBytes<std::uint8_t>(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = i < data.size() ? data[i] : std::uint8_t(i * 7);
        b[i] = count + i < data.size() ? data[count + i] : std::uint8_t(255 - a[i]);
    }
    const double first = lorvane::PlanePsnr(a.get(), b.get(), width, height);
    for (const char* level : kCpuLevels) {
        lorvane::LimitCpuLevel(level);
        const std::string ctx = "PlanePsnr " + std::to_string(width) + "x" + std::to_string(height) + ", " + level;
        const double value = lorvane::PlanePsnr(a.get(), b.get(), width, height);
        CHECK(count == 0 ? std::isnan(value) : value >= 0.0, "below zero, or nan not exactly for an empty plane");
        CHECK(std::isnan(value) || value == first, "the kernels disagree");
        const double same = lorvane::PlanePsnr(a.get(), a.get(), width, height);
        CHECK(count == 0 ? std::isnan(same) : same == 100.0, "identical planes do not give 100");
    }
}

const std::int32_t kSpecialSizes[] = {-1, INT32_MIN, INT32_MAX, 1000000001, 46341, 65536};

void CheckRun(FuzzedDataProvider& in)
{
    lorvane::LimitCpuLevel(in.PickValueInArray(kCpuLevels));
    // Picture size: mostly tiny, sometimes out of range, rarely large enough
    // that a frame fills a read-ahead batch on its own.
    std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(0, 40);
    std::int32_t height = in.ConsumeIntegralInRange<std::int32_t>(0, 40);
    switch (in.ConsumeIntegralInRange<int>(0, 19)) {
    case 0: width = in.PickValueInArray(kSpecialSizes), height %= 4; break;
    case 1: height = in.PickValueInArray(kSpecialSizes), width %= 4; break;
    case 2: width = 500 + width * 7, height = 500 + height * 5; break;
    }
    std::int32_t frames = in.ConsumeIntegralInRange<std::int32_t>(0, 20);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        frames = in.PickValueInArray<std::int32_t>({-1, INT32_MAX, 1000000000, 1000000001});
    const bool sizeValid = width > 0 && height > 0 && frames >= 0 && std::max({width, height, frames}) <=
                           lorvane::kMaxDimension && std::int64_t(width) * height <= lorvane::kMaxLumaSamples;
    const auto layout = sizeValid ? lorvane::ComputeFrameLayout(width, height) : lorvane::FrameLayout{};
    const std::size_t frameSize = sizeValid ? std::size_t(layout.frameSize) : 64;

    // Sequence files: whole frames and, sometimes, a partial one; the target
    // other pictures, or the reference's with a few samples changed.
    const auto fileSize = [&] {
        const std::size_t whole = frameSize * in.ConsumeIntegralInRange<std::size_t>(0, frameSize > 100000 ? 3 : 10);
        return whole + (in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, frameSize - 1) : 0);
    };
    const std::size_t referenceSize = fileSize(), targetSize = fileSize();
    std::vector<std::uint8_t> reference = Bytes(referenceSize, in.ConsumeIntegral<std::uint32_t>());
    const std::vector<std::uint8_t> head = in.ConsumeBytes<std::uint8_t>(
        in.ConsumeIntegralInRange<std::size_t>(0, std::min<std::size_t>(referenceSize, 256)));
    std::copy(head.begin(), head.end(), reference.begin());
    std::vector<std::uint8_t> target = reference;
    target.resize(targetSize, 0x80);
    if (in.ConsumeBool())
        target = Bytes(targetSize, in.ConsumeIntegral<std::uint32_t>());
    for (int c = in.ConsumeIntegralInRange<int>(0, 3); c > 0 && !target.empty(); --c)
        target[in.ConsumeIntegralInRange<std::size_t>(0, target.size() - 1)] += in.ConsumeIntegral<std::uint8_t>();

    // Names with spaces and Chinese; an input may be missing, or the target the reference.
    const fs::path referenceFile = g_dir / "参考 ref.yuv", targetFile = g_dir / "目标 tgt.yuv";
    const fs::path resultFile = g_dir / "结果 result.txt", missing = g_dir / "missing.yuv";
    WriteFile(referenceFile, reference);
    WriteFile(targetFile, target);
    const int pathKind = in.ConsumeIntegralInRange<int>(0, 15);
    const std::string referencePath = (pathKind == 0 ? missing : referenceFile).string();
    const std::string targetPath = (pathKind == 1 ? missing : pathKind == 2 ? referenceFile : targetFile).string();
    // The result: none, a new or an old file, or the reference by another spelling.
    const int resultKind = in.ConsumeIntegralInRange<int>(0, 7);
    const std::string resultPath = resultKind == 0   ? ""
                                   : resultKind == 2 ? (g_dir / "子目录" / ".." / referenceFile.filename()).string()
                                                     : resultFile.string();
    if (resultKind == 1)
        WriteFile(resultFile, {'o', 'l', 'd', '\n'});
    const bool expectError = !sizeValid || pathKind < 2 || resultKind == 2;

    const std::string ctx = std::to_string(width) + "x" + std::to_string(height) + " N=" + std::to_string(frames) +
                            ", " + std::to_string(referenceSize) + "/" + std::to_string(targetSize) + " bytes, '" +
                            targetPath + "', result '" + resultPath + "'";
    auto before = Snapshot();
    Recorder feedback;
    lorvane::RunComparison({referencePath, resultPath, width, height, frames, targetPath}, feedback);
    auto after = Snapshot();

    CHECK(feedback.messages.size() == 1, "a run shows exactly one message");
    const auto& [text, icon] = feedback.messages.front();
    if (expectError) {
        CHECK(icon == MessageIcon::Error, "no error for a run that cannot be done: " + text);
        CHECK(after == before, "a run that failed changed or created a file");
        return;
    }
    const std::vector<std::uint8_t>& compared = pathKind == 2 ? reference : target;
    const std::size_t k = std::min({std::size_t(frames), reference.size() / frameSize, compared.size() / frameSize});
    CHECK(icon == (k < std::size_t(frames) ? MessageIcon::Warning : MessageIcon::None), "wrong icon: " + text);
    if (!resultPath.empty()) {
        const std::string result = after[resultFile.string()];
        std::vector<std::string> lines;
        std::size_t end = 0;
        for (std::size_t p = 0; (p = result.find("\r\n", end)) != std::string::npos; end = p + 2)
            lines.push_back(result.substr(end, p - end));
        CHECK(lines.size() == k + 2 && end == result.size(),
              "the result file does not hold k + 2 CR LF lines, k = " + std::to_string(k) + ":\n" + result);
        const std::size_t chroma = std::size_t(layout.chromaWidth) * std::size_t(layout.chromaHeight);
        const std::size_t offsets[3] = {0, std::size_t(layout.uOffset), std::size_t(layout.vOffset)};
        const std::size_t samples[3] = {std::size_t(layout.lumaSamples), chroma, chroma};
        for (std::size_t line = 1; line < lines.size(); ++line) {
            const char* values = std::strchr(lines[line].c_str(), ',');
            double v[3];
            CHECK(values && std::sscanf(values, ",%lf,%lf,%lf", v, v + 1, v + 2) == 3, "unreadable: " + lines[line]);
            for (int p = 0; p < 3; ++p) {
                CHECK(v[p] >= 0.0 || std::isnan(v[p]), "PSNR below zero: " + lines[line]);
                const std::size_t at = (line - 1) * frameSize + offsets[p];
                if (line <= k && std::memcmp(reference.data() + at, compared.data() + at, samples[p]) == 0)
                    CHECK(samples[p] == 0 ? std::isnan(v[p]) : v[p] == 100.0, "identical planes: " + lines[line]);
            }
        }
        after.erase(resultFile.string()), before.erase(resultFile.string());
    }
    CHECK(after == before, "an input file changed, or a stray file appeared");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (fs::temp_directory_path() / "lorvane-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    g_dir = pattern;
    std::atexit([] { std::error_code ignored; fs::remove_all(g_dir, ignored); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (const auto& entry : fs::directory_iterator(g_dir))
        fs::remove_all(entry.path());
    fs::create_directory(g_dir / "子目录");
    FuzzedDataProvider in(data, size);
    CheckRun(in);
    CheckPlanePsnr(in);
    return 0;
}
