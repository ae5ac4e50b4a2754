// libFuzzer target over PlanePsnr and comparison runs. For any input: no crash;
// values >= 0 or nan; identical planes give 100; a failed run writes no result; a
// run writes k + 2 lines for the k <= N complete frame pairs; inputs never change.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/probe.h"
#include "core/psnr.h"
#include "core/ssd.h"

namespace fs = std::filesystem;
using lorvane::MessageIcon;

namespace {

fs::path g_dir;  // scratch folder, emptied for every input

#define CHECK(cond, what)                                                                          \
    do { if (!(cond)) std::fprintf(stderr, "\nfuzz_run invariant broken: %s  [%s]\n  case: %s\n", \
                                   std::string(what).c_str(), #cond, ctx.c_str()), std::abort(); } while (0)

std::string Read(const fs::path& path)
{
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

std::string Bytes(std::size_t size, std::uint32_t state)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = char((state = state * 1103515245u + 12345u) >> 24);
    return bytes;
}

struct Recorder : lorvane::RunFeedback {
    std::vector<std::pair<std::string, MessageIcon>> messages;
    void ShowMessage(const std::string& t, const std::string&, MessageIcon i) override { messages.push_back({t, i}); }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
};

// PlanePsnr, under the level the run picked, on buffers of exactly the plane's
// size, so that any read past them is caught. Samples the input lacks are 0 against 255.
void CheckPlanePsnr(FuzzedDataProvider& in)
{
    const std::int32_t width = in.ConsumeIntegralInRange(0, 48), height = in.ConsumeIntegralInRange(0, 48);
    const std::size_t count = std::size_t(width) * std::size_t(height);
    std::vector<std::uint8_t> a(count), b(count);
    for (std::size_t i = 0; i < count; ++i)
        a[i] = in.ConsumeIntegral<std::uint8_t>(), b[i] = std::uint8_t(~in.ConsumeIntegral<std::uint8_t>());
    const std::string ctx = "PlanePsnr " + std::to_string(width) + "x" + std::to_string(height);
    const double value = lorvane::PlanePsnr(a.data(), b.data(), width, height);
    CHECK(count == 0 ? std::isnan(value) : value >= 0.0, "below zero, or nan not exactly for an empty plane");
    const double same = lorvane::PlanePsnr(a.data(), a.data(), width, height);
    CHECK(count == 0 ? std::isnan(same) : same == 100.0, "identical planes do not give 100");
}

void CheckRun(FuzzedDataProvider& in)
{
    lorvane::LimitCpuLevel(in.PickValueInArray<const char*>({"c", "sse2", "avx2", "avx512"}));
    // Size and frame count: mostly small, sometimes out of range, rarely a frame that fills a read-ahead batch.
    std::int32_t width = in.ConsumeIntegralInRange(0, 40), height = in.ConsumeIntegralInRange(0, 40);
    std::int32_t frames = in.ConsumeIntegralInRange(0, 20);
    const std::int32_t special = in.PickValueInArray({-1, INT32_MIN, INT32_MAX, 1000000001, 1000000000, 46341});
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: width = special, height %= 4; break;
    case 1: height = special, width %= 4; break;
    case 2: frames = special; break;
    case 3: width = 500 + width * 7, height = 500 + height * 5; break;
    }
    const bool sizeValid = width > 0 && height > 0 && frames >= 0 && std::max({width, height, frames}) <=
                           lorvane::kMaxDimension && std::int64_t(width) * height <= lorvane::kMaxLumaSamples;
    const auto layout = sizeValid ? lorvane::ComputeFrameLayout(width, height) : lorvane::FrameLayout{};
    const std::size_t frameSize = sizeValid ? std::size_t(layout.frameSize) : 64;

    // Sequence files of whole frames and, sometimes, a partial one; the target
    // other pictures, or the reference's with a few samples changed.
    const auto fileSize = [&] {
        const std::size_t whole = frameSize * in.ConsumeIntegralInRange<std::size_t>(0, frameSize > 100000 ? 3 : 10);
        return whole + (in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, frameSize - 1) : 0);
    };
    const std::size_t referenceSize = fileSize(), targetSize = fileSize();
    const std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>();
    const std::string reference = Bytes(referenceSize, seed);
    std::string target = Bytes(targetSize, in.ConsumeBool() ? seed : in.ConsumeIntegral<std::uint32_t>());
    for (int c = in.ConsumeIntegralInRange<int>(0, 3); c > 0 && !target.empty(); --c)
        target[in.ConsumeIntegralInRange<std::size_t>(0, target.size() - 1)] += in.ConsumeIntegral<char>();

    // Names with spaces and Chinese; an input may be missing, or the target the reference.
    const fs::path referenceFile = g_dir / "参考 ref.yuv", targetFile = g_dir / "目标 tgt", resultFile = g_dir / "结果";
    std::ofstream(referenceFile, std::ios::binary) << reference;
    std::ofstream(targetFile, std::ios::binary) << target;
    const int pathKind = in.ConsumeIntegralInRange<int>(0, 15);
    const std::string referencePath = (pathKind == 0 ? g_dir / "none" : referenceFile).string();
    const std::string targetPath = (pathKind == 1 ? g_dir / "none" : pathKind == 2 ? referenceFile : targetFile).string();

    const std::string ctx = std::to_string(width) + "x" + std::to_string(height) + " N=" + std::to_string(frames);
    Recorder feedback;
    lorvane::RunComparison({referencePath, resultFile.string(), width, height, frames, targetPath}, feedback);
    CHECK(Read(referenceFile) == reference && Read(targetFile) == target, "an input file changed");
    CHECK(feedback.messages.size() == 1, "a run shows exactly one message");
    const auto& [message, icon] = feedback.messages.front();
    if (!sizeValid || pathKind < 2) {
        CHECK(icon == MessageIcon::Error && !fs::exists(resultFile), "a run that cannot be done: " + message);
        return;
    }
    const std::string& compared = pathKind == 2 ? reference : target;
    const std::size_t k = std::min({std::size_t(frames), referenceSize / frameSize, compared.size() / frameSize});
    CHECK(icon == (k < std::size_t(frames) ? MessageIcon::Warning : MessageIcon::None), "wrong icon: " + message);
    const std::string result = Read(resultFile);
    std::size_t line = 0, start = 0;
    // Each line after the header: "<frame>,y,u,v" for frames 0 .. k - 1, then "Average,y,u,v".
    for (std::size_t end; (end = result.find("\r\n", start)) != std::string::npos; start = end + 2, ++line) {
        const std::string text = result.substr(start, end - start);
        double v[3];
        CHECK(line == 0 || std::sscanf(text.c_str(), "%*[^,],%lf,%lf,%lf", v, v + 1, v + 2) == 3, "unreadable: " + text);
        for (int p = 0; p < 3 && line > 0; ++p) {
            CHECK(v[p] >= 0.0 || std::isnan(v[p]), "PSNR below zero: " + text);
            const std::size_t at = (line - 1) * frameSize + (p == 0 ? 0 : p == 1 ? layout.uOffset : layout.vOffset);
            const std::size_t samples = p == 0 ? layout.lumaSamples : layout.chromaWidth * layout.chromaHeight;
            if (line <= k && reference.compare(at, samples, compared, at, samples) == 0)
                CHECK(samples == 0 ? std::isnan(v[p]) : v[p] == 100.0, "identical planes: " + text);
        }
    }
    CHECK(line == k + 2 && start == result.size(), "not k + 2 CR LF lines, k = " + std::to_string(k) + ":\n" + result);
}

// YUV4MPEG2 inputs with fuzzed headers and FRAME lines, size and format left to
// them; and names for the size guessing. No crash, one message, inputs unchanged.
void CheckY4m(FuzzedDataProvider& in)
{
    const std::string fields[] = {"W16", "H8", "W3", "H1", "C420jpeg", "C444p10", "Cmono", "C422", "C411", "W0",
                                  "Ip", "F25:1", "XYSCSS=420P10", "W", "H99999999999"};
    std::string header = "YUV4MPEG2";
    for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n)
        header += " " + (in.ConsumeBool() ? in.PickValueInArray(fields) : in.ConsumeRandomLengthString(12));
    header += in.ConsumeBool() ? "\n" : in.ConsumeRandomLengthString(4);
    std::string frames;
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        frames += (in.ConsumeBool() ? std::string("FRAME\n") : in.ConsumeRandomLengthString(8)) +
                  Bytes(in.ConsumeIntegralInRange<std::size_t>(0, 600), in.ConsumeIntegral<std::uint32_t>());
    const std::string reference = header + frames, target = in.ConsumeBool() ? reference : header + Bytes(400, 7);
    const fs::path referenceFile = g_dir / "ref.y4m", targetFile = g_dir / "tgt_16x8.y4m";
    std::ofstream(referenceFile, std::ios::binary) << reference;
    std::ofstream(targetFile, std::ios::binary) << target;
    const std::string ctx = "y4m " + header.substr(0, 80);
    Recorder feedback;
    lorvane::PsnrSettings settings{referenceFile.string(), "", 0, 0, in.ConsumeIntegralInRange(0, 6), targetFile.string()};
    lorvane::RunComparison(settings, feedback);
    CHECK(Read(referenceFile) == reference && Read(targetFile) == target, "an input file changed");
    CHECK(feedback.messages.size() == 1, "a run shows exactly one message");
    const lorvane::NameGuess guess = lorvane::GuessFromName(in.ConsumeRandomLengthString(40));
    CHECK(guess.width >= 0 && guess.height >= 0 && (guess.width == 0) == (guess.height == 0), "a half-guessed size");
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
    FuzzedDataProvider in(data, size);
    CheckRun(in);
    CheckPlanePsnr(in);
    CheckY4m(in);
    return 0;
}
