#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "core/metric.h"
#include "core/probe.h"
#include "core/reader.h"
#include "core/psnr.h"
#include "portable.h"

namespace fs = std::filesystem;
using lorvane::MessageIcon;
using lorvane::PlanePsnr;
using lorvane::PsnrSettings;
using lorvane::RunComparison;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every feedback call in order, as text, so tests can check both the
// messages and where they fall relative to the progress calls.
struct Recorder : lorvane::RunFeedback {
    struct Message {
        std::string text, title;
        MessageIcon icon;
    };
    std::vector<Message> messages;
    std::vector<std::string> events;
    std::vector<std::int32_t> steps;

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        messages.push_back({text, title, icon});
        events.push_back("message");
    }
    void ProgressBegin(std::int32_t frames) override { events.push_back("begin " + std::to_string(frames)); }
    void ProgressStep(std::int32_t frame) override { steps.push_back(frame); }
    void ProgressEnd() override { events.push_back("end"); }
    void FrameMeasured(const lorvane::FrameResult& frame) override { frames.push_back(frame); }
    void RunEnded(const lorvane::RunOutcome& outcome) override { outcomes.push_back(outcome); }
    std::vector<lorvane::FrameResult> frames;
    std::vector<lorvane::RunOutcome> outcomes;
};

class TempDir {
public:
    TempDir() : path_(U8Path(MakeScratchFolder("lorvane-core-"))) {}
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return Utf8(path_ / U8Path(name)); }

private:
    fs::path path_;
};

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(U8Path(path), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                std::streamsize(bytes.size()));
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(U8Path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes RandomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (auto& b : bytes)
        b = std::uint8_t(random());
    return bytes;
}

// Runs a comparison and returns what it wrote to standard error.
std::string RunCapturingStderr(const PsnrSettings& settings, Recorder& recorder)
{
    testing::internal::CaptureStderr();
    RunComparison(settings, recorder);
    return testing::internal::GetCapturedStderr();
}

std::string Printed(double value) { return lorvane::FormatValue(value); }

}  // namespace

TEST(PlanePsnr, ExactValuesFromTheDefinition)
{
    const Bytes zeros(640 * 480, 0);
    Bytes oneOff = zeros;
    oneOff[12345] = 1;
    EXPECT_EQ(PlanePsnr(zeros.data(), zeros.data(), 640, 480), 100.0);
    // Never clamped: one differing sample in 307200 is better than "identical".
    EXPECT_EQ(Printed(PlanePsnr(zeros.data(), oneOff.data(), 640, 480)), "103.005016");

    const Bytes up(640 * 480, 1);
    EXPECT_EQ(Printed(PlanePsnr(zeros.data(), up.data(), 640, 480)), "48.130804");
    EXPECT_EQ(PlanePsnr(zeros.data(), up.data(), 640, 480), PlanePsnr(up.data(), zeros.data(), 640, 480));

    const Bytes full(640 * 480, 255);
    EXPECT_EQ(PlanePsnr(zeros.data(), full.data(), 640, 480), 0.0);

    const std::uint8_t ten = 10, thirteen = 13;
    EXPECT_EQ(Printed(PlanePsnr(&ten, &thirteen, 1, 1)), "38.588379");

    // An empty plane (the chroma of a picture one sample wide) is not-a-number, not 100.
    EXPECT_TRUE(std::isnan(PlanePsnr(&ten, &ten, 0, 5)));
    EXPECT_TRUE(std::isnan(PlanePsnr(&ten, &ten, 5, 0)));
}

// The run measures through the metric table; PSNR there must give what
// PlanePsnr gives, wherever the planes' rows lie.
TEST(PlanePsnr, TheMetricTableMeasuresAsPlanePsnr)
{
    ASSERT_EQ(lorvane::Metrics().size(), 3u);
    EXPECT_EQ(lorvane::Metrics()[0]->name, "psnr");
    EXPECT_EQ(lorvane::Metrics()[1]->name, "ssim");
    EXPECT_EQ(lorvane::Metrics()[2]->name, "ms-ssim");
    EXPECT_EQ(lorvane::FindMetric("nope"), nullptr);
    const lorvane::Metric* psnr = lorvane::FindMetric("psnr");
    ASSERT_EQ(psnr, lorvane::Metrics()[0]);

    // SSIM on 8 x 8 gray planes, one window: flat 100 against flat 110 leaves only the luminance term,
    // (2 * 6400 * 7040 + c1) / (6400^2 + 7040^2 + c1) with c1 = round(0.01^2 * 255^2 * 64) = 416; a plane too small
    // for a whole window gives no value, and with none at all neither does the frame.
    {
        const lorvane::Metric* ssim = lorvane::FindMetric("ssim");
        ASSERT_NE(ssim, nullptr);
        const lorvane::PixelFormat* gray = lorvane::FindPixelFormat("gray");
        for (const int side : {8, 7}) {
            const lorvane::PictureLayout layout = lorvane::LayoutOf(*gray, side, side);
            const Bytes a(std::size_t(side * side), 100), b(std::size_t(side * side), 110);
            auto run = ssim->start({gray, layout, 255.0, lorvane::CpuLevel::C});
            lorvane::FrameResult f;
            run->Measure(lorvane::FramePicture(layout, a.data(), nullptr), lorvane::FramePicture(layout, b.data(), nullptr), f);
            ASSERT_EQ(f.scores.size(), 4u);
            if (side == 8) {
                EXPECT_DOUBLE_EQ(f.scores[0], (2.0 * 6400 * 7040 + 416) / (6400.0 * 6400 + 7040.0 * 7040 + 416));
                EXPECT_DOUBLE_EQ(f.scores[3], f.scores[0]);
            } else {
                EXPECT_TRUE(std::isnan(f.scores[0]));
                EXPECT_TRUE(std::isnan(f.scores[3]));
            }
            EXPECT_TRUE(std::isnan(f.scores[1]));
        }
    }

    // 4 x 2 classic: Y 4 x 2, U and V 2 x 1, back to back.
    const lorvane::PictureLayout layout = lorvane::LayoutOf(lorvane::ClassicFormat(), 4, 2);
    const Bytes reference = {10, 20, 30, 40, 50, 60, 70, 80, 100, 110, 200, 210};
    const Bytes target = {11, 20, 33, 40, 50, 60, 70, 72, 100, 111, 190, 210};
    auto run = psnr->start({&lorvane::ClassicFormat(), layout, 255.0, lorvane::CpuLevel::C});
    lorvane::FrameResult flat;
    const lorvane::Picture referencePicture = lorvane::FramePicture(layout, reference.data(), nullptr);
    run->Measure(referencePicture, lorvane::FramePicture(layout, target.data(), nullptr), flat);
    EXPECT_EQ(flat.mse[0], (1.0 + 9.0 + 64.0) / 8.0);
    EXPECT_EQ(flat.mse[2], 100.0 / 2.0);
    EXPECT_EQ(flat.psnr[0], PlanePsnr(&reference[0], &target[0], 4, 2));
    EXPECT_EQ(flat.psnr[1], PlanePsnr(&reference[8], &target[8], 2, 1));
    EXPECT_EQ(flat.psnr[2], PlanePsnr(&reference[10], &target[10], 2, 1));
    EXPECT_EQ(flat.psnrYuv, PlanePsnr(reference.data(), target.data(), 12, 1));

    // The same samples with rows 7 (Y) and 5 (U, V) bytes apart, the gaps
    // holding what must not be read.
    const auto strided = [&](const Bytes& frame, Bytes& store) {
        store.assign(7 * 2 + 5 + 5, 0xEE);
        for (int y = 0; y < 2; ++y)
            std::copy_n(&frame[4 * y], 4, &store[7 * y]);
        std::copy_n(&frame[8], 2, &store[14]);
        std::copy_n(&frame[10], 2, &store[19]);
        lorvane::PictureView view;
        view.planes[0] = &store[0], view.planes[1] = &store[14], view.planes[2] = &store[19];
        view.strides[0] = 7, view.strides[1] = 5, view.strides[2] = 5;
        return lorvane::DecodedPicture(layout, view);
    };
    Bytes referenceStore, targetStore;
    const lorvane::Picture stridedReference = strided(reference, referenceStore);
    const lorvane::Picture stridedTarget = strided(target, targetStore);
    lorvane::FrameResult inPlace, bothInPlace;
    run->Measure(referencePicture, stridedTarget, inPlace);
    run->Measure(stridedReference, stridedTarget, bothInPlace);
    for (const lorvane::FrameResult* other : {&inPlace, &bothInPlace}) {
        for (int p = 0; p < 3; ++p) {
            EXPECT_EQ(other->mse[p], flat.mse[p]) << p;
            EXPECT_EQ(other->psnr[p], flat.psnr[p]) << p;
        }
        EXPECT_EQ(other->psnrYuv, flat.psnrYuv);
    }
}

// SSIM's bands are fixed, not one per thread: every score of every frame is
// the same, to the bit, on 1 to 8 threads and at every CPU level, for 8- and
// 16-bit samples. 330 x 300: the luma's windows make three bands, the
// chroma's two, and a row of blocks ends beside two spare columns.
TEST(Ssim, ScoresAreTheSameOnAnyNumberOfThreadsAndAnyCpu)
{
    TempDir dir;
    constexpr int kWidth = 330, kHeight = 300, kFrames = 3;
    for (const std::string format : {"yuv420p", "yuv420p10le"}) {
        const bool wide = format != "yuv420p";
        const std::size_t samples = std::size_t(kWidth * kHeight + 2 * 165 * 150) * kFrames;
        std::mt19937 random(7);
        Bytes reference, target;
        for (std::size_t i = 0; i < samples; ++i) {
            // A picture and a noisy copy, as an encode is.
            const unsigned value = unsigned(random() % (wide ? 1024 : 256));
            const unsigned noisy = std::min(value + unsigned(random() % 24), wide ? 1023u : 255u);
            for (const auto& [bytes, sample] : {std::pair{&reference, value}, std::pair{&target, noisy}}) {
                bytes->push_back(std::uint8_t(sample));
                if (wide)
                    bytes->push_back(std::uint8_t(sample >> 8));
            }
        }
        WriteFile(dir / "ref.yuv", reference);
        WriteFile(dir / "tgt.yuv", target);
        PsnrSettings settings;
        settings.sourcePath = dir / "ref.yuv";
        settings.targetPath = dir / "tgt.yuv";
        settings.width = kWidth;
        settings.height = kHeight;
        settings.pixelFormat = format;
        settings.frameCount = kFrames;
        settings.metrics = {"psnr", "ssim"};
        std::vector<double> first;
        for (const char* cpu : {"c", "sse2", "avx2", "avx512"})
            for (const int threads : {1, 2, 3, 8}) {
                ASSERT_TRUE(lorvane::LimitCpuLevel(cpu));
                settings.threads = threads;
                Recorder recorder;
                RunCapturingStderr(settings, recorder);
                ASSERT_EQ(recorder.frames.size(), std::size_t(kFrames));
                std::vector<double> scores;
                for (const lorvane::FrameResult& frame : recorder.frames)
                    scores.insert(scores.end(), frame.scores.begin(), frame.scores.end());
                ASSERT_EQ(scores.size(), 4u * kFrames);
                if (first.empty()) {
                    first = scores;
                    for (double score : scores)
                        EXPECT_TRUE(score > 0.5 && score < 1) << score;
                }
                EXPECT_EQ(std::memcmp(scores.data(), first.data(), scores.size() * sizeof(double)), 0)
                    << format << ", " << cpu << ", " << threads << " threads";
            }
    }
    ASSERT_TRUE(lorvane::LimitCpuLevel("avx512"));
}

TEST(FormatValue, DigitsAreThoseOfPrintf)
{
    // The quick rounding must give to_chars' digits everywhere, ties and near
    // ties included (k / 128 has exact halves in its decimals).
    std::vector<double> values = {0.0, -0.0, 1e-7, 5e-7, 0.0078125, 0.0234375, 999999999.9999995,
                                  1e9, 1e300, -3.5, 100.0, 48.130804, 4294836225.0,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::infinity()};
    for (int k = 0; k < 4096; ++k) {
        const double tie = k / 128.0 + (k % 7) * 1000.0;
        values.insert(values.end(), {tie, std::nextafter(tie, 0.0), std::nextafter(tie, 1e18)});
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 100000; ++i) {
        const double exponent = std::uniform_real_distribution<double>(-8, 10)(random);
        values.push_back(std::pow(10.0, exponent));
    }
    for (const double v : values)
        for (const int decimals : {6, 1, 0}) {
            char expected[lorvane::kFixedChars], actual[lorvane::kFixedChars];
            const std::string want(expected, std::to_chars(expected, expected + sizeof expected, v,
                                                           std::chars_format::fixed, decimals).ptr);
            const std::string got(actual, lorvane::FixedToChars(actual, actual + sizeof actual, v, decimals));
            ASSERT_EQ(got, want) << std::hexfloat << v << ' ' << decimals;
        }
    EXPECT_EQ(Printed(std::nan("")), "nan");
}

TEST(FrameLayout, EvenAndOddSizes)
{
    struct Row {
        std::int32_t width, height, frameSize, uOffset, vOffset, chromaSamples;
    };
    const Row rows[] = {
        {176, 144, 38016, 25344, 31680, 88 * 72},
        {3, 3, 13, 9, 11, 1},
        {1, 144, 216, 144, 180, 0},
        // The largest accepted picture: width x height x 5 still fits in 32 bits.
        {1, std::int32_t(lorvane::kMaxLumaSamples), 644245093, 429496729, 536870911, 0},
    };
    for (const Row& row : rows) {
        const auto layout = lorvane::ComputeFrameLayout(row.width, row.height);
        EXPECT_EQ(layout.frameSize, row.frameSize) << row.width << "x" << row.height;
        EXPECT_EQ(layout.uOffset, row.uOffset);
        EXPECT_EQ(layout.vOffset, row.vOffset);
        EXPECT_EQ(layout.chromaWidth * layout.chromaHeight, row.chromaSamples);
    }
}

// Named formats round chroma up as ffmpeg writes them; the classic layout keeps rounding down.
TEST(FrameLayout, NamedFormats)
{
    struct Row {
        const char* format;
        std::int32_t width, height;
        std::uint64_t frameBytes, vOffset;
        std::int32_t chromaWidth, chromaHeight;
    };
    const Row rows[] = {
        {"", 3, 3, 13, 11, 1, 1},
        {"yuv420p", 3, 3, 9 + 2 * 4, 13, 2, 2},
        {"yuv422p10le", 5, 2, 2 * (10 + 2 * 6), 2 * (10 + 6), 3, 2},
        {"yuv440p", 4, 3, 12 + 2 * 8, 20, 4, 2},
        {"yuv444p16le", 2, 2, 24, 16, 2, 2},
        {"gray12le", 4, 4, 32, 32, 0, 0},
        // 4:4:4 at 16 bits, 6 bytes a pixel: beyond 32 bits, still exact.
        {"yuv444p16le", 1, std::int32_t(lorvane::kMaxLumaSamples), 6 * std::uint64_t(lorvane::kMaxLumaSamples),
         4 * std::uint64_t(lorvane::kMaxLumaSamples), 1, std::int32_t(lorvane::kMaxLumaSamples)},
        // Interleaved: the frame as stored; V's offset is in the unpacked planes (after Y when Y is unpacked too).
        {"nv12", 3, 3, 9 + 2 * 4, 4, 2, 2},
        {"p010le", 3, 3, 2 * (9 + 2 * 4), 2 * (9 + 4), 2, 2},
        {"p016le", 5, 1, 2 * (5 + 2 * 3), 2 * 3, 3, 1},
        // Packed rows are whole pixel pairs: 3 pixels take 8 bytes, as ffmpeg writes them.
        {"yuyv422", 3, 2, 2 * 8, 6 + 4, 2, 2},
        {"uyvy422", 4, 1, 8, 4 + 2, 2, 1},
    };
    for (const Row& row : rows) {
        const lorvane::PixelFormat* format = *row.format ? lorvane::FindPixelFormat(row.format) : &lorvane::ClassicFormat();
        ASSERT_TRUE(format) << row.format;
        const auto layout = lorvane::LayoutOf(*format, row.width, row.height);
        EXPECT_EQ(layout.frameBytes, row.frameBytes) << row.format << " " << row.width << "x" << row.height;
        EXPECT_EQ(layout.planes[2].offset, row.vOffset) << row.format;
        EXPECT_EQ(layout.planes[1].width, row.chromaWidth) << row.format;
        EXPECT_EQ(layout.planes[1].height, row.chromaHeight) << row.format;
    }
    EXPECT_EQ(lorvane::PeakValue(10, lorvane::PeakKind::Full), 1023.0);
    EXPECT_EQ(lorvane::PeakValue(10, lorvane::PeakKind::Scaled), 1020.0);
    EXPECT_EQ(lorvane::PeakValue(8, lorvane::PeakKind::Scaled), 255.0);
    EXPECT_EQ(lorvane::PeakValue(16, lorvane::PeakKind::Full), 65535.0);
    EXPECT_EQ(lorvane::FindPixelFormat("yuv411p"), nullptr);
}

// Interleaved frames unpack to the planes of their planar twin: chroma pairs in either order, P010's upper
// 10 bits, and a packed row of odd width whose last pair carries one pixel.
TEST(FrameLayout, InterleavedFramesUnpackToPlanes)
{
    struct Row {
        const char* format;
        std::int32_t width, height;
        std::vector<int> frame;  // bytes, or for 16-bit formats words
        std::vector<int> planes[3];
    };
    const Row rows[] = {
        {"nv12", 3, 2, {1, 2, 3, 4, 5, 6, 10, 20, 11, 21}, {{1, 2, 3, 4, 5, 6}, {10, 11}, {20, 21}}},
        {"nv21", 3, 2, {1, 2, 3, 4, 5, 6, 20, 10, 21, 11}, {{1, 2, 3, 4, 5, 6}, {10, 11}, {20, 21}}},
        {"p010le", 2, 1, {0xFFC0, 0x007F, 0x8000, 0x003F}, {{1023, 1}, {512}, {0}}},
        {"p016le", 2, 1, {0xFFFF, 0x1234, 0xABCD, 0x0001}, {{0xFFFF, 0x1234}, {0xABCD}, {0x0001}}},
        {"yuyv422", 3, 2, {1, 10, 2, 20, 3, 11, 99, 21, 4, 12, 5, 22, 6, 13, 99, 23},
         {{1, 2, 3, 4, 5, 6}, {10, 11, 12, 13}, {20, 21, 22, 23}}},
        {"uyvy422", 3, 1, {10, 1, 20, 2, 11, 3, 21, 99}, {{1, 2, 3}, {10, 11}, {20, 21}}},
    };
    for (const Row& row : rows) {
        const lorvane::PixelFormat* format = lorvane::FindPixelFormat(row.format);
        ASSERT_TRUE(format) << row.format;
        const auto layout = lorvane::LayoutOf(*format, row.width, row.height);
        const int bytes = layout.bytesPerSample;
        Bytes frame;
        for (int value : row.frame)
            for (int b = 0; b < bytes; ++b)
                frame.push_back(std::uint8_t(value >> 8 * b));
        ASSERT_EQ(frame.size(), layout.frameBytes) << row.format;
        Bytes unpacked(layout.unpackedBytes, 0xEE);
        lorvane::UnpackFrame(*format, layout, frame.data(), unpacked.data());
        for (int p = 0; p < 3; ++p) {
            const std::uint8_t* data = lorvane::PlaneData(layout, p, frame.data(), unpacked.data());
            std::vector<int> samples;
            for (std::uint64_t i = 0; i < layout.planes[p].Samples(); ++i)
                samples.push_back(bytes == 1 ? data[i] : data[2 * i] | data[2 * i + 1] << 8);
            EXPECT_EQ(samples, row.planes[p]) << row.format << " plane " << p;
        }
    }
}

// What headers and names tell: the format's name, "WxH", or the reason a header is refused.
TEST(Probe, Y4mHeadersAndNames)
{
    const std::pair<std::string, std::string> headers[] = {
        {"YUV4MPEG2 W352 H288 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG\n", "352x288 yuv420p"},
        {"YUV4MPEG2 W16 H8\nFRAME\n", "16x8 yuv420p"},
        {"YUV4MPEG2 C420mpeg2 W16 H8 It\n", "16x8 yuv420p"},
        {"YUV4MPEG2 W16 H8 C420paldv\n", "16x8 yuv420p"},
        {"YUV4MPEG2 W16 H8 C420p10 XYSCSS=420P10\n", "16x8 yuv420p10le"},
        {"YUV4MPEG2 W16 H8 C422p12\n", "16x8 yuv422p12le"},
        {"YUV4MPEG2 W16 H8 C444\n", "16x8 yuv444p"},
        {"YUV4MPEG2 W16 H8 Cmono16\n", "16x8 gray16le"},
        {"YUV4MPEG2 W16 H8 Cmono\n", "16x8 gray"},
        {"YUV4MPEG2 W16 H8 C411\n", "不支持的色度格式 C411。"},
        {"YUV4MPEG2 W16 H8 C444alpha\n", "不支持的色度格式 C444alpha。"},
        {"YUV4MPEG2 W16 C420\n", "文件头缺少高度 H。"},
        {"YUV4MPEG2 H8\n", "文件头缺少宽度 W。"},
        {"YUV4MPEG2 C420 F25:1\n", "文件头缺少宽度 W 和高度 H。"},
        {"YUV4MPEG2 W-4 H8\n", "文件头中的宽度 W-4 无效。"},
        {"YUV4MPEG2 W16 H-0\n", "文件头中的图像宽高 16x0 超出范围：宽度和高度应在 1 到 1000000000 之间，且宽度×高度不超过 429496729。"},
        {"YUV4MPEG2 W16 H8\r\n", "文件头中的高度 H8\\r 无效。"},
        {std::string("YUV4MPEG2 W16 H8 C\0\x7F\x01\xE4\xB8\xAD\xE4\xB8\n", 27), "不支持的色度格式 C\\0\\x7F\\x01中\\xE4\\xB8。"},
        {"YUV4MPEG2 W0 H8\n", "文件头中的图像宽高 0x8 超出范围：宽度和高度应在 1 到 1000000000 之间，且宽度×高度不超过 429496729。"},
        {"YUV4MPEG2 W1000000001 H1\n", "文件头中的图像宽高 1000000001x1 超出范围：宽度和高度应在 1 到 1000000000 之间，且宽度×高度不超过 429496729。"},
        {"YUV4MPEG2 Wx H8\n", "文件头中的宽度 Wx 无效。"},
        {"YUV4MPEG2 W16 H8", "文件头不完整：没有以换行结束。"},
        {"YUV4MPEG2 W16 H8 X" + std::string(2000, 'x') + "\n", "文件头过长（超过 1024 字节）。"},
    };
    for (const auto& [text, expected] : headers) {
        lorvane::Y4mHeader header;
        std::string error;
        ASSERT_TRUE(lorvane::HasY4mSignature(text));
        const bool ok = lorvane::ParseY4mHeader(text, header, error);
        EXPECT_EQ(ok ? std::to_string(header.width) + "x" + std::to_string(header.height) + " " +
                           std::string(header.format->name)
                     : error,
                  expected) << text.substr(0, 60);
        EXPECT_TRUE(!ok || header.headerBytes == text.find('\n') + 1);
    }
    // What the first bytes of a file say it is: encoded files by their signatures, raw samples never.
    std::string ts, flat47(4096, '\x47'), noise(4096, '\0'), black(4096, '\0');
    for (int p = 0; p < 5; ++p)
        ts += std::string("\x47\x50\x00\x30", 4) + std::string(184, char(p));
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    std::string startCode = std::string("\0\0\0\x01\x67", 5) + std::string(200, '\0');  // then no second NAL unit
    const std::pair<std::string, std::string> heads[] = {
        {std::string("\0\0\0\x18" "ftypmp42", 8), "MP4/MOV"}, {std::string("\0\0\0\x08wide\0\0\0\0mdat", 16), "MP4/MOV"},
        {"\x1A\x45\xDF\xA3\x01", "Matroska/WebM"}, {std::string("RIFF\0\0\0\0" "AVI ", 12), "AVI"},
        {std::string("DKIF\0\0\x20\0", 8), "IVF"}, {ts, "MPEG-TS"}, {"\x89PNG\r\n\x1A\n", "PNG"},
        {"\xFF\xD8\xFF\xDB", "JPEG"}, {std::string("\0\0\0\x01\x09\xF0\0\0\0\x01\x67\x64", 12), "H.264"},
        {std::string("\0\0\0\x01\x46\x01\x50\0\0\x01\x40\x01", 12), "HEVC"},
        {"YUV4MPEG2 W16 H8 ftyp\n", ""}, {flat47, ""}, {std::string(4096, '\x10'), ""}, {std::string(4096, '\x80'), ""},
        {black, ""}, {noise, ""}, {startCode, ""}, {std::string("\0\0\0\x01\x01\0\0\x01\x01", 9), ""},
        {std::string("\0\0\0\x02" "ftyp", 8), ""}, {"RIFF\x10\0\0\0WAVE", ""}, {"\xFF\xD8\xFF\xFF", ""},
        {ts.substr(0, 3 * 188 + 3), ""},
    };
    for (const auto& [head, expected] : heads)
        EXPECT_EQ(lorvane::EncodedKind(head), expected) << ::testing::PrintToString(head.substr(0, 16));
    const std::pair<std::string, std::string> names[] = {
        {"/v/BasketballDrive_1920x1080_50.yuv", "1920x1080 -"},
        {"/v/crowd_run_1080p50_10bit_yuv420p10le.yuv", "1920x1080 yuv420p10le"},
        {"C:\\seq\\foreman_CIF.yuv", "352x288 -"},
        {"foreman_qcif_422_10b_.yuv", "176x144 yuv422p10le"},
        {"/seq/1280X720/a_444_16-bit.yuv", "1280x720 yuv444p16le"},
        {"/seq/3840*2160_gray12le/a.yuv", "3840x2160 gray12le"},
        {"clip_400_8bit.yuv", "0x0 gray"},
        {"movie_2160p.yuv", "3840x2160 -"},
        {"a1920x1080b.yuv", "0x0 -"},
        {"ref.yuv", "0x0 -"},
        // Whole words only: between '_', '-', '.', spaces and the ends of a name.
        {"/v/stingray_16x16.yuv", "16x16 -"},
        {"myyuv420p.yuv", "0x0 -"},
        {"grayscale_720p.yuv", "1280x720 -"},
        {"hd1080p.yuv", "0x0 -"},
        {"/seq/mycif/a_1280x720p.yuv", "0x0 -"},
        {"/seq/cif/a.yuv", "352x288 -"},
        {"a1920x1080_b.yuv", "0x0 -"},
        {"seq-1920x1080-10-bit 420.yuv", "1920x1080 yuv420p10le"},
        {"x264_crf30_720p.yuv", "1280x720 -"},
        {"clip.yuv4mpeg", "0x0 -"},
        // Formats we do not read are named, never taken for 8-bit; an exact name of ours outweighs them.
        {"clip_1920x1080_yuv420p10be.yuv", "1920x1080 !yuv420p10be"},
        {"clip_yuv420p12_420_10bit.yuv", "0x0 !yuv420p12"},
        {"/seq/nv12/clip_cif.yuv", "352x288 nv12"},
        {"/seq/nv16/clip_cif.yuv", "352x288 !nv16"},
        {"cam_720p_yuyv422.yuv", "1280x720 yuyv422"},
        {"/seq/yuv444p/rgb24_qcif.rgb", "176x144 !rgb24"},
        {"/seq/p010le/a_yuv420p.yuv", "0x0 yuv420p"},
        {"a_yuv420p_from_nv12.yuv", "0x0 yuv420p"},
        {"/seq/take ya23o7/nv2019x_rgb3d_p0100_cif.yuv", "352x288 -"},  // words that only start like formats
        {"/seq/p010le/gray10be_qcif.yuv", "176x144 !gray10be"},
    };
    // The scan that checks a guessed depth: two-byte samples are little-endian.
    const std::uint8_t samples[] = {0x03, 0xff, 0x04, 0x00, 0xff, 0x03};
    EXPECT_EQ(lorvane::LargestSample(samples, 6, 1), 0xffu);
    EXPECT_EQ(lorvane::LargestSample(samples, 3, 2), 0xff03u);
    EXPECT_EQ(lorvane::LargestSample(samples + 2, 2, 2), 0x3ffu);
    for (const auto& [path, expected] : names) {
        const lorvane::NameGuess guess = lorvane::GuessFromName(path);
        EXPECT_EQ(std::to_string(guess.width) + "x" + std::to_string(guess.height) + " " +
                      (guess.format                            ? std::string(guess.format->name)
                       : guess.unsupportedFormat.empty() ? "-"
                                                               : "!" + guess.unsupportedFormat),
                  expected) << path;
    }
}

TEST(ResultTexts, ExactFormatsWhateverTheLocale)
{
    // A GUI toolkit installs the user's locale; a decimal comma must not leak in.
    const char* locales[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "fr_FR.utf8", "German_Germany.1252"};  // the last: Windows
    std::string active;
    for (const char* name : locales)
        if (std::setlocale(LC_ALL, name)) {
            active = name;
            break;
        }
    if (active.empty() && std::getenv("CI"))
        ADD_FAILURE() << "CI must provide a decimal-comma locale (de_DE.UTF-8)";
    if (!active.empty()) {
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 1.5);
        EXPECT_STREQ(probe, "1,5") << "locale " << active << " should use a decimal comma";
    }

    EXPECT_EQ(lorvane::ResultHeaderLine(), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n");
    EXPECT_EQ(lorvane::ResultFrameLine(0, 48.130803608679, 100.0, 100.0),
              " 0,48.130804,100.000000,100.000000\r\n");
    EXPECT_EQ(lorvane::AverageLine(0.0, 1e-7, 0.0000015, "\n"), "Average,0.000000,0.000000,0.000002\n");
    EXPECT_EQ(lorvane::SummaryText(300, 48.130803608679, 100.0, 38.5883785),
              "共计300帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 38.588378\n");
    EXPECT_EQ(Printed(1234567.25), "1234567.250000");

    // Digit for digit what "%f" prints in the C locale, rounding included.
    std::setlocale(LC_ALL, "C");
    std::mt19937_64 random(3);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::ldexp(double(random() >> 11), -int(random() % 60));
        char expected[400];
        std::snprintf(expected, sizeof expected, "%f", value);
        ASSERT_EQ(Printed(value), expected) << value;
    }

    // Not-a-number reads the same whatever its sign bit.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Printed(nan), "nan");
    EXPECT_EQ(Printed(-nan), "nan");
    EXPECT_EQ(Printed(0.0 * (1.0 / 0.0)), "nan");
    EXPECT_TRUE(std::isnan(lorvane::ReportAverage(0.0, 0)));
    std::setlocale(LC_ALL, "C");
}

class RunTest : public testing::Test {
protected:
    static constexpr int kWidth = 16, kHeight = 8, kFrame = kWidth * kHeight * 3 / 2;

    // Frame i of the reference: random; of the target: Y one above, U and V equal.
    void MakeSequences(int referenceFrames, int targetFrames)
    {
        reference = RandomBytes(std::size_t(kFrame) * referenceFrames, 42);
        for (auto& b : reference)
            b = std::uint8_t(b % 250);
        target = reference;
        target.resize(std::size_t(kFrame) * targetFrames);
        for (int f = 0; f < std::min(referenceFrames, targetFrames); ++f)
            for (int i = 0; i < kWidth * kHeight; ++i)
                ++target[std::size_t(f) * kFrame + i];
        WriteFile(dir / "ref.yuv", reference);
        WriteFile(dir / "tgt.yuv", target);
    }

    PsnrSettings Settings(int frames, const std::string& result = "") const
    {
        PsnrSettings s;
        s.sourcePath = dir / "ref.yuv";
        s.targetPath = dir / "tgt.yuv";
        s.resultPath = result;
        s.width = kWidth;
        s.height = kHeight;
        s.frameCount = frames;
        return s;
    }

    void ExpectSequencesUntouched()
    {
        EXPECT_EQ(ReadText(dir / "ref.yuv"), std::string(reference.begin(), reference.end()));
        EXPECT_EQ(ReadText(dir / "tgt.yuv"), std::string(target.begin(), target.end()));
    }

    TempDir dir;
    Bytes reference, target;
    Recorder recorder;
};

TEST_F(RunTest, FullRunWritesTheThreeTextsInOrder)
{
    MakeSequences(2, 2);
    const std::string err = RunCapturingStderr(Settings(2, dir / "out.txt"), recorder);

    EXPECT_EQ(ReadText(dir / "out.txt"),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
              " 0,48.130804,100.000000,100.000000\r\n"
              " 1,48.130804,100.000000,100.000000\r\n"
              "Average,48.130804,100.000000,100.000000\r\n");
    EXPECT_EQ(err, "Average,48.130804,100.000000,100.000000\n");
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text,
              "共计2帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n");
    EXPECT_EQ(recorder.messages[0].title, "计算成功！");
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::None);
    // The bar is hidden only after the summary is dismissed; its last position is N - 1.
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"begin 2", "message", "end"}));
    EXPECT_EQ(recorder.steps, (std::vector<std::int32_t>{0, 1}));
    ExpectSequencesUntouched();
}

TEST_F(RunTest, NoResultPathAndZeroFrames)
{
    MakeSequences(1, 1);
    std::string err = RunCapturingStderr(Settings(1), recorder);
    EXPECT_EQ(err, "Average,48.130804,100.000000,100.000000\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(dir / "")), {}), 2);  // nothing created

    Recorder zero;
    err = RunCapturingStderr(Settings(0, dir / "zero.txt"), zero);
    EXPECT_EQ(ReadText(dir / "zero.txt"), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\nAverage,nan,nan,nan\r\n");
    EXPECT_EQ(err, "Average,nan,nan,nan\n");
    ASSERT_EQ(zero.messages.size(), 1u);
    EXPECT_EQ(zero.messages[0].text, "共计0帧，平均PSNR如下：\nPSNR_Y: nan\nPSNR_U: nan\nPSNR_V: nan\n");
    EXPECT_TRUE(zero.steps.empty());
}

TEST_F(RunTest, AwkwardPictureSizes)
{
    // 1 x 2: S = 3; the chroma planes have no samples, so U, V and their averages are nan.
    WriteFile(dir / "ref.yuv", {10, 20, 30, 13, 20, 30});
    WriteFile(dir / "tgt.yuv", {13, 20, 30, 10, 20, 31});
    PsnrSettings s = Settings(2, dir / "out.txt");
    s.width = 1, s.height = 2;
    RunCapturingStderr(s, recorder);
    EXPECT_EQ(ReadText(dir / "out.txt"),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n 0,41.598678,nan,nan\r\n 1,41.598678,nan,nan\r\n"
              "Average,41.598678,nan,nan\r\n");

    // 3 x 3: S = 13, U is byte 9, V is byte 11; bytes 10 and 12 belong to no plane.
    Bytes ref(13, 100), tgt(13, 100);
    tgt[9] = 103, tgt[10] = 0, tgt[11] = 101, tgt[12] = 0;
    WriteFile(dir / "ref.yuv", ref);
    WriteFile(dir / "tgt.yuv", tgt);
    s.width = s.height = 3;
    s.frameCount = 1;
    RunCapturingStderr(s, recorder);
    EXPECT_EQ(ReadText(dir / "out.txt"),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n 0,100.000000,38.588379,48.130804\r\n"
              "Average,100.000000,38.588379,48.130804\r\n");
}

TEST_F(RunTest, RefusalsComeInOrderAndTouchNothing)
{
    MakeSequences(1, 1);
    const std::string result = dir / "existing.txt";
    WriteFile(result, {'k', 'e', 'e', 'p'});
    struct Case {
        const char* name;
        PsnrSettings settings;
        std::string text, title;
    };
    auto with = [&](auto change) {
        PsnrSettings s = Settings(1, result);
        change(s);
        return s;
    };
    const Case cases[] = {
        {"zero width, empty source", with([](PsnrSettings& s) { s.width = 0, s.sourcePath.clear(); }),
         "请正确输入图像宽高！", "错误!"},
        {"empty source", with([](PsnrSettings& s) { s.sourcePath.clear(); }), "请输入源参考序列文件名！",
         "打开文件错误!"},
        {"missing source, empty target",
         with([&](PsnrSettings& s) { s.sourcePath = dir / "none.yuv", s.targetPath.clear(); }),
         "不能打开 " + (dir / "none.yuv") + "!\n请确认路径是否正确！", "打开文件错误!"},
        {"empty target", with([](PsnrSettings& s) { s.targetPath.clear(); }), "请输入目标序列文件名！",
         "打开文件错误!"},
        // Files that opened but are not what a run reads: not an opening error.
        {"encoded target", with([&](PsnrSettings& s) { s.targetPath = dir / "enc.yuv"; }),
#ifdef LORVANE_HAVE_FFMPEG
         "目标序列 " + (dir / "enc.yuv") + " 的视频流读不出图像宽高和像素格式：文件不完整或已损坏。", "错误!"},
#else
         "目标序列 " + (dir / "enc.yuv") + " 是 PNG 文件，不是 YUV 序列：请先解码为 YUV 文件。"
         "这个版本的 Lorvane 不能解码视频文件。", "错误!"},
#endif
        {"bad Y4M header", with([&](PsnrSettings& s) { s.sourcePath = dir / "bad.y4m"; }),
         "源参考序列 " + (dir / "bad.y4m") + " 不是有效的 YUV4MPEG2 文件：文件头中的宽度 W-4 无效。", "错误!"},
    };
    const std::string png = "\x89PNG\r\n\x1A\n", y4m = "YUV4MPEG2 W-4 H8\n";
    WriteFile(dir / "enc.yuv", Bytes(png.begin(), png.end()));
    WriteFile(dir / "bad.y4m", Bytes(y4m.begin(), y4m.end()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder r;
        const std::string err = RunCapturingStderr(c.settings, r);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].text, c.text);
        EXPECT_EQ(r.messages[0].title, c.title);
        EXPECT_EQ(r.messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(r.events, std::vector<std::string>{"message"});  // no progress shown
        EXPECT_EQ(err, "");
        EXPECT_EQ(ReadText(result), "keep");
        ExpectSequencesUntouched();
    }
}

// 4x2 yuv420p10le frames, raw and as YUV4MPEG2: values from the definition at both peaks, the same texts
// either way, every frame through FrameMeasured; a garbled FRAME line ends the run there, naming the frame.
TEST_F(RunTest, HighBitDepthRawAndY4m)
{
    std::string ref, tgt;
    const auto samples = [](std::string& bytes, std::initializer_list<int> values) {
        for (int v : values)
            bytes += char(v & 0xff), bytes += char(v >> 8);
    };
    for (int f = 0; f < 3; ++f) {
        samples(ref, {0, 0, 0, 0, 0, 0, 0, 0, 1000, 5, 7, 1023});
        samples(tgt, {1, 1, 1, 1, 1, 1, 1, 1, 0, 5, 7, 1023});  // Y one off, U one sample 1000 off, V equal
    }
    const auto y4m = [](const std::string& raw, const std::string& badLineAt1 = "FRAME\n") {
        std::string text = "YUV4MPEG2 W4 H2 F25:1 Ip C420p10 XYSCSS=420P10\n";
        for (int f = 0; f < 3; ++f)
            text += (f == 1 ? badLineAt1 : "FRAME\n") + raw.substr(std::size_t(f) * 24, 24);
        return text;
    };
    WriteFile(dir / "ref.yuv", Bytes(ref.begin(), ref.end()));
    WriteFile(dir / "tgt.yuv", Bytes(tgt.begin(), tgt.end()));
    for (const std::string name : {"ref.y4m", "tgt.y4m", "bad.y4m"}) {
        const std::string text = name == "ref.y4m" ? y4m(ref) : name == "tgt.y4m" ? y4m(tgt) : y4m(tgt, "FRAMX\n");
        WriteFile(dir / name, Bytes(text.begin(), text.end()));
    }
    for (const lorvane::PeakKind peak : {lorvane::PeakKind::Full, lorvane::PeakKind::Scaled}) {
        const double p = peak == lorvane::PeakKind::Full ? 1023.0 : 1020.0;
        const std::string line = Printed(10 * std::log10(p * p)) + "," +
                                 Printed(10 * std::log10(p * p / 500000.0)) + ",100.000000";
        std::string results[2];
        for (int asY4m = 0; asY4m < 2; ++asY4m) {
            Recorder r;
            PsnrSettings settings = Settings(3, dir / "out.txt");
            settings.peak = peak;
            if (asY4m) {
                settings.sourcePath = dir / "ref.y4m", settings.targetPath = dir / "tgt.y4m";
                settings.width = settings.height = 0;  // from the header
            } else {
                settings.width = 4, settings.height = 2, settings.pixelFormat = "yuv420p10le";
            }
            EXPECT_EQ(RunCapturingStderr(settings, r), "Average," + line + "\n");
            results[asY4m] = ReadText(dir / "out.txt");
            EXPECT_EQ(results[asY4m], "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n 0," + line + "\r\n 1," + line + "\r\n 2," +
                                          line + "\r\nAverage," + line + "\r\n");
            ASSERT_EQ(r.frames.size(), 3u);
            EXPECT_EQ(r.frames[2].frame, 2);
            EXPECT_EQ(r.frames[2].mse[0], 1.0);
            EXPECT_EQ(r.frames[2].mse[1], 500000.0);
            EXPECT_EQ(r.frames[2].mse[2], 0.0);
            // Combined: all 12 samples' squared differences.
            EXPECT_EQ(r.frames[2].psnrYuv, 10 * std::log10(p * p / (1000008.0 / 12)));
            ASSERT_EQ(r.outcomes.size(), 1u);
            EXPECT_EQ(r.outcomes[0].description.format, "yuv420p10le");
            EXPECT_EQ(r.outcomes[0].description.peak, p);
        }
        EXPECT_EQ(results[0], results[1]);
    }
    PsnrSettings settings = Settings(3);
    settings.sourcePath = dir / "ref.y4m", settings.targetPath = dir / "bad.y4m";
    settings.width = settings.height = 0;
    RunCapturingStderr(settings, recorder);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(recorder.messages[0].text.ends_with(
        "提前结束：只比较了1帧，要求3帧。\n目标序列 " + settings.targetPath + " 第1帧的帧头（FRAME 行）缺失或无效。\n"))
        << recorder.messages[0].text;
}

TEST_F(RunTest, ShortSequenceStopsAtTheFirstIncompletePair)
{
    // The target holds one whole frame and half of the next; three are asked for.
    MakeSequences(3, 1);
    target.insert(target.end(), reference.begin() + kFrame, reference.begin() + kFrame + kFrame / 2);
    WriteFile(dir / "tgt.yuv", target);
    const std::string err = RunCapturingStderr(Settings(3, dir / "out.txt"), recorder);

    EXPECT_EQ(ReadText(dir / "out.txt"),
              "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
              " 0,48.130804,100.000000,100.000000\r\n"
              "Average,48.130804,100.000000,100.000000\r\n");
    EXPECT_EQ(err, "Average,48.130804,100.000000,100.000000\n");
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].title, "计算未完成！");
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(recorder.messages[0].text,
              "共计1帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n"
              "目标序列 " + (dir / "tgt.yuv") + " 提前结束：只比较了1帧，要求3帧。\n");
    ExpectSequencesUntouched();

    // Both empty: nothing compared, averages not-a-number, both named.
    WriteFile(dir / "ref.yuv", {});
    WriteFile(dir / "tgt.yuv", {});
    Recorder empty;
    RunCapturingStderr(Settings(3, dir / "out.txt"), empty);
    EXPECT_EQ(ReadText(dir / "out.txt"), "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\nAverage,nan,nan,nan\r\n");
    ASSERT_EQ(empty.messages.size(), 1u);
    EXPECT_EQ(empty.messages[0].icon, MessageIcon::Warning);
    EXPECT_NE(empty.messages[0].text.find("共计0帧"), std::string::npos);
    EXPECT_NE(empty.messages[0].text.find("源参考序列 " + (dir / "ref.yuv") + " 和目标序列 " +
                                          (dir / "tgt.yuv") + " 都提前结束：只比较了0帧，要求3帧。\n"),
              std::string::npos);
}

TEST_F(RunTest, ReadAheadKeepsFramesInOrderAcrossBatches)
{
    // Large enough frames that a read-ahead batch holds only a few, so batch
    // boundaries fall inside the run; every frame differs, so a frame read
    // twice or out of order shows in its line.
    PsnrSettings s = Settings(0);
    s.width = 640, s.height = 480;
    const std::size_t frame = 640 * 480 * 3 / 2;
    const int frames = 9;
    const Bytes ref = RandomBytes(frame * frames, 7), tgt = RandomBytes(frame * frames, 8);
    WriteFile(s.sourcePath, ref);
    for (int available : {frames, 5, 2, 0}) {
        SCOPED_TRACE(available);
        WriteFile(s.targetPath, Bytes(tgt.begin(), tgt.begin() + std::ptrdiff_t(frame) * available));
        s.frameCount = frames;
        s.resultPath = dir / "out.txt";
        Recorder r;
        RunCapturingStderr(s, r);
        std::string expected = lorvane::ResultHeaderLine();
        double sums[3] = {};
        for (int f = 0; f < available; ++f) {
            const std::uint8_t* a = ref.data() + frame * f;
            const std::uint8_t* b = tgt.data() + frame * f;
            const double y = PlanePsnr(a, b, 640, 480);
            const double u = PlanePsnr(a + 307200, b + 307200, 320, 240);
            const double v = PlanePsnr(a + 384000, b + 384000, 320, 240);
            expected += lorvane::ResultFrameLine(f, y, u, v);
            sums[0] += y, sums[1] += u, sums[2] += v;
        }
        expected += lorvane::AverageLine(lorvane::ReportAverage(sums[0], available),
                                         lorvane::ReportAverage(sums[1], available),
                                         lorvane::ReportAverage(sums[2], available), "\r\n");
        EXPECT_EQ(ReadText(dir / "out.txt"), expected);
        // One step per frame up to and including the first incomplete one.
        EXPECT_EQ(r.steps.size(), std::size_t(std::min(frames, available + 1)));
        EXPECT_EQ(r.messages.back().icon, available == frames ? MessageIcon::None : MessageIcon::Warning);
    }
}

TEST_F(RunTest, UnwritableResultIsAFailureNotASuccess)
{
    MakeSequences(2, 2);
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    const std::string err = RunCapturingStderr(Settings(2, "/dev/full"), recorder);
    EXPECT_EQ(err, "Average,48.130804,100.000000,100.000000\n");
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(recorder.messages[0].title, "写入文件错误!");
    EXPECT_NE(recorder.messages[0].text.find("/dev/full"), std::string::npos);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"begin 2", "message", "end"}));
    ExpectSequencesUntouched();
}

#if defined(__SANITIZE_ADDRESS__)
#define LORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LORVANE_ASAN 1
#endif
#endif

TEST_F(RunTest, FrameBuffersThatCannotBeAllocatedEndTheRunCleanly)
{
#if defined(LORVANE_ASAN)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#elif defined(_WIN32)
    GTEST_SKIP() << "caps the memory with setrlimit(RLIMIT_AS), which Windows does not have";
#else
    MakeSequences(1, 1);
    WriteFile(dir / "out.txt", {'o', 'l', 'd'});
    // A 20000 x 20000 frame needs 600 MB a buffer; the child may map only 256 MB.
    const auto runWithLittleMemory = [this] {
        rlimit limit{256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
        PsnrSettings s = Settings(1, dir / "out.txt");
        s.width = s.height = 20000;
        Recorder r;
        RunComparison(s, r);
        const bool ok = r.messages.size() == 1 && r.messages[0].icon == MessageIcon::Error &&
                        r.messages[0].title == "错误!" && r.events == std::vector<std::string>{"message"} &&
                        r.steps.empty();
        std::fprintf(stderr, "%s", ok ? "clean" : r.messages.empty() ? "none" : r.messages[0].text.c_str());
        std::exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(runWithLittleMemory(), testing::ExitedWithCode(0), "clean");
    ExpectSequencesUntouched();
    EXPECT_EQ(ReadText(dir / "out.txt"), "old");  // not truncated by a run that could not start
#endif
}

#ifdef LORVANE_HAVE_FFMPEG
// The frame viewer's frame N of an encode is the frame N the run measured: reached by seeking to the keyframe before
// it where the stream allows (x264 with B-frames in MP4, MPEG-2 in TS), by decoding from the start where it does not
// (a raw H.264 stream without timestamps); compared with ffmpeg's own decode of every frame.
TEST(DecodedFrames, ReadFrameAtIsTheFrameTheRunMeasured)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not on PATH";
    TempDir dir;
    const std::string make = "cd '" + (dir / "") + "' && ffmpeg -y -v error -f lavfi -i testsrc2=size=96x64:rate=25 "
                             "-frames:v 30 -pix_fmt yuv420p ";
    const std::string encodes[] = {"-c:v libx264 -g 10 -bf 2 a.mp4", "-c:v mpeg2video -g 12 b.ts",
                                   "-c:v libx264 -g 10 c.h264"};
    const std::uint64_t frameBytes = 96 * 64 * 3 / 2;
    for (const std::string& encode : encodes) {
        const std::string name = encode.substr(encode.rfind(' ') + 1), path = dir / name;
        SCOPED_TRACE(name);
        ASSERT_EQ(std::system((make + encode + " && ffmpeg -y -v error -i " + name + " -f rawvideo dec.yuv").c_str()), 0);
        const std::string decoded = ReadText(dir / "dec.yuv");
        ASSERT_EQ(decoded.size(), 30 * frameBytes);
        for (std::uint64_t index : {0, 1, 9, 10, 11, 17, 29}) {
            std::vector<std::uint8_t> frame;
            std::string error;
            ASSERT_TRUE(lorvane::ReadFrameAt(path, frameBytes, index, frame, error)) << error;
            EXPECT_EQ(std::string(frame.begin(), frame.end()), decoded.substr(index * frameBytes, frameBytes))
                << "frame " << index;
        }
        std::vector<std::uint8_t> frame;
        std::string error;
        EXPECT_FALSE(lorvane::ReadFrameAt(path, frameBytes, 30, frame, error));
        EXPECT_EQ(error, path + " 没有完整的第30帧。");
    }
}
#endif
