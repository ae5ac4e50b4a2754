// The comparison run: checks the settings, opens the files, walks both
// sequences frame by frame and reports through RunFeedback.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "align.h"
#include "decoded.h"
#include "files.h"
#include "probe.h"
#include "psnr.h"
#include "reader.h"
#include "ssd.h"

namespace lorvane {
namespace {

const char* const kTitleError = "错误!";
const char* const kTitleOpen = "打开文件错误!";
const char* const kTitleWrite = "写入文件错误!";
const char* const kTitleDone = "计算成功！";
const char* const kTitleIncomplete = "计算未完成！";

std::string WithPath(const std::string& pattern, const std::string& path)
{
    std::string text = pattern;
    text.replace(text.find("%s"), 2, path);
    return text;
}

std::string EndedEarlyLine(const PsnrSettings& settings, bool referenceEnded, bool targetEnded,
                           std::int32_t compared)
{
    std::string who;
    if (referenceEnded && targetEnded)
        who = "源参考序列 " + settings.sourcePath + " 和目标序列 " + settings.targetPath + " 都";
    else if (referenceEnded)
        who = "源参考序列 " + settings.sourcePath + " ";
    else
        who = "目标序列 " + settings.targetPath + " ";
    return who + "提前结束：只比较了" + std::to_string(compared) + "帧，要求" +
           std::to_string(settings.frameCount) + "帧。\n";
}

bool InRange(std::int32_t value) { return value >= 0 && value <= kMaxDimension; }

// Whether a sequence tells its own picture size (a YUV4MPEG2 file, or an
// encoded one, which the run decodes or refuses), without reporting anything.
bool TellsItsSize(const std::string& path, const std::shared_ptr<PeekedSequence>& stream)
{
    if (stream)
        return HasY4mSignature(stream->head);
    if (path.empty())
        return false;
    const SequenceInfo info = ProbeSequence(path, Probe::Header);
    return info.y4m || !info.encoded.empty();
}

// Reads the stream header of an open sequence, if it has one, and leaves the
// file at its first frame. A regular file's first bytes are read and the file
// rewound; a pipe or a device gives up only the bytes that match the Y4M
// signature (`peeked`, when they were read before the run), which then either
// are its header or start its first raw frame. Returns the title of the
// message in `error`, or null when the sequence can be read.
// An encoded regular file is opened for decoding instead (`decoded`).
const char* ReadStreamHeader(std::FILE* file, const std::string* peeked, const std::string& path, const char* role,
                             int videoStream, SequenceFraming& framing, Y4mHeader& header,
                             std::unique_ptr<DecodedSource>& decoded, std::string& error)
{
    std::uint64_t bytes = 0;
    const bool regular = RegularFileSize(file, bytes);
    std::string head;
    if (regular) {
        head.resize(std::size_t(std::min<std::uint64_t>(bytes, kMaxY4mHeader)));
        head.resize(std::fread(head.data(), 1, head.size(), file));
    } else {
        head = peeked ? *peeked : PeekStreamHead(file);
    }
    if (HasY4mSignature(head)) {
        // The file opened: what is wrong is its content.
        if (!ParseY4mHeader(head, header, error)) {
            error = std::string(role) + " " + path + " 不是有效的 YUV4MPEG2 文件：" + error;
            return kTitleError;
        }
        framing.y4m = true;
        framing.headerBytes = header.headerBytes;
    } else if (std::string_view kind = EncodedKind(head);
               !kind.empty() || (regular && !(kind = DemuxerKind(ReadProbeHead(file, head, bytes))).empty())) {
        // Nothing is decoded through a pipe: what was read of it to probe it is gone.
        if (!regular || !DecodingAvailable()) {
            error = EncodedInputMessage(role, path, kind);
            return kTitleError;
        }
        decoded = DecodedSource::Open(path, role, videoStream, error);
        if (!decoded)
            return kTitleError;
        framing.decoded = decoded.get();
        return nullptr;
    } else if (!regular) {
        framing.head = std::move(head);
    }
    if (regular && !SeekTo(file, framing.headerBytes)) {
        error = WithPath("不能打开 %s!请确认路径是否正确！", path);
        return kTitleOpen;
    }
    return nullptr;
}

// Frames are paired by their order whatever their rates: a pair of sequences
// whose rates differ, or a variable rate, is probably not paired as meant.
std::string RateWarning(const PsnrSettings& settings, const Y4mHeader* headers, const DecodedSource* const* decoded)
{
    std::int64_t num[2] = {}, den[2] = {};
    std::string text;
    const char* roles[2] = {"源参考序列 ", "目标序列 "};
    const std::string* paths[2] = {&settings.sourcePath, &settings.targetPath};
    for (int i = 0; i < 2; ++i) {
        if (decoded[i]) {
            const DecodedStream& stream = decoded[i]->Stream();
            num[i] = stream.rateNum;
            den[i] = stream.rateDen;
            if (stream.variableRate && den[i] > 0)
                text += std::string(roles[i]) + *paths[i] + " 的帧率可变（平均 " + FrameRateText(num[i], den[i]) + " 帧/秒）。";
        } else {
            num[i] = headers[i].rateNum;
            den[i] = headers[i].rateDen;
        }
    }
    if (den[0] > 0 && den[1] > 0 && num[0] * den[1] != num[1] * den[0])
        text = "源参考序列 " + settings.sourcePath + " 的帧率是 " + FrameRateText(num[0], den[0]) + " 帧/秒，目标序列 " +
               settings.targetPath + " 的帧率是 " + FrameRateText(num[1], den[1]) + " 帧/秒。" + text;
    return text.empty() ? text : text + "帧仍按序号一一配对。";
}

// What the frames [first, first + count) of a decoded input cost.
EncodeFacts EncodeFactsOf(const DecodedSource* decoded, std::uint64_t first, std::int32_t count)
{
    EncodeFacts facts;
    if (!decoded)
        return facts;
    const DecodedStream& stream = decoded->Stream();
    facts.decoded = true;
    facts.codec = stream.codec;
    facts.container = stream.container;
    facts.stream = stream.index;
    facts.rateNum = stream.rateNum;
    facts.rateDen = stream.rateDen;
    facts.variableRate = stream.variableRate;
    facts.bytes = decoded->PacketBytes(std::int64_t(first), count);
    facts.kbps = KilobitsPerSecond(facts.bytes, count, stream);
    return facts;
}

// A sequence handed over already open, or else opened by its path.
File OpenInput(const std::string& path, const std::shared_ptr<PeekedSequence>& stream)
{
    if (stream && stream->file)
        return std::move(stream->file);
    return OpenSequence(path);
}

// The squared differences of one plane.
std::uint64_t PlaneSsd(const std::uint8_t* reference, const std::uint8_t* target, std::uint64_t samples,
                       int bytesPerSample)
{
    if (samples == 0)
        return 0;
    if (bytesPerSample == 1)
        return Ssd(reference, target, std::size_t(samples));
    return Ssd16(reinterpret_cast<const std::uint16_t*>(reference), reinterpret_cast<const std::uint16_t*>(target),
                 std::size_t(samples));
}

}  // namespace

void RunComparison(const PsnrSettings& settings, RunFeedback& feedback)
{
    // Settings that cannot describe a sequence end the run before any file is
    // touched. A size of 0 x 0 asks for the size of a YUV4MPEG2 input.
    const bool sizeGiven = settings.width != 0 || settings.height != 0;
    if ((settings.width == 0 || settings.height == 0) &&
        (sizeGiven || !(TellsItsSize(settings.sourcePath, settings.sourceStream) ||
                        TellsItsSize(settings.targetPath, settings.targetStream)))) {
        feedback.ShowMessage("请正确输入图像宽高！", kTitleError, MessageIcon::Error);
        return;
    }
    if (!InRange(settings.width) || !InRange(settings.height) || !InRange(settings.frameCount) ||
        std::int64_t(settings.width) * settings.height > kMaxLumaSamples) {
        feedback.ShowMessage("图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，"
                             "且宽度×高度不超过 429496729。",
                             kTitleError, MessageIcon::Error);
        return;
    }
    if (settings.offset < -kMaxDimension || settings.offset > kMaxDimension || !InRange(settings.start)) {
        feedback.ShowMessage("偏移或起始超出范围！\n偏移应在 -1000000000 到 1000000000 之间，起始应在 0 到 1000000000 之间。",
                             kTitleError, MessageIcon::Error);
        return;
    }
    const PixelFormat* named = nullptr;
    if (!settings.pixelFormat.empty() && !(named = FindPixelFormat(settings.pixelFormat))) {
        feedback.ShowMessage("未知的像素格式 \"" + settings.pixelFormat + "\"！\n可用的格式：" + PixelFormatNames() + "。",
                             kTitleError, MessageIcon::Error);
        return;
    }

    // The two sequences.
    if (settings.sourcePath.empty()) {
        feedback.ShowMessage("请输入源参考序列文件名！", kTitleOpen, MessageIcon::Error);
        return;
    }
    const std::string* sourcePeeked = settings.sourceStream && settings.sourceStream->file ? &settings.sourceStream->head : nullptr;
    const std::string* targetPeeked = settings.targetStream && settings.targetStream->file ? &settings.targetStream->head : nullptr;
    File source = OpenInput(settings.sourcePath, settings.sourceStream);
    if (!source) {
        feedback.ShowMessage(WithPath("不能打开 %s!\n请确认路径是否正确！", settings.sourcePath),
                             kTitleOpen, MessageIcon::Error);
        return;
    }
    if (settings.targetPath.empty()) {
        feedback.ShowMessage("请输入目标序列文件名！", kTitleOpen, MessageIcon::Error);
        return;
    }
    File target = OpenInput(settings.targetPath, settings.targetStream);
    if (!target) {
        feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", settings.targetPath),
                             kTitleOpen, MessageIcon::Error);
        return;
    }

    // Their stream headers, and the picture the run measures.
    SequenceFraming sourceFraming, targetFraming;
    Y4mHeader sourceHeader, targetHeader;
    std::unique_ptr<DecodedSource> sourceDecoded, targetDecoded;
    std::string error;
    const char* failure = ReadStreamHeader(source.get(), sourcePeeked, settings.sourcePath, "源参考序列",
                                           -1, sourceFraming,
                                           sourceHeader, sourceDecoded, error);
    if (!failure)
        failure = ReadStreamHeader(target.get(), targetPeeked, settings.targetPath, "目标序列",
                                   settings.videoStream, targetFraming,
                                   targetHeader, targetDecoded, error);
    if (failure) {
        feedback.ShowMessage(error, failure, MessageIcon::Error);
        return;
    }
    // A decoded stream tells its picture as a YUV4MPEG2 header does.
    const auto tell = [](std::unique_ptr<DecodedSource>& decoded, Y4mHeader& header, bool y4m) {
        if (decoded) {
            header.width = decoded->Stream().width;
            header.height = decoded->Stream().height;
            header.format = decoded->Stream().format;
        }
        return y4m || decoded;
    };
    const bool sourceTells = tell(sourceDecoded, sourceHeader, sourceFraming.y4m);
    const bool targetTells = tell(targetDecoded, targetHeader, targetFraming.y4m);
    const auto what = [](bool decoded) { return decoded ? " 的视频流是 " : " 的文件头是 "; };
    std::int32_t width = settings.width, height = settings.height;
    const PixelFormat* format = named ? named : &ClassicFormat();
    if (sourceTells && targetTells &&
        (sourceHeader.width != targetHeader.width || sourceHeader.height != targetHeader.height ||
         sourceHeader.format != targetHeader.format)) {
        feedback.ShowMessage("源参考序列 " + settings.sourcePath + what(sourceDecoded != nullptr) +
                                 DescribePicture(sourceHeader.width, sourceHeader.height, sourceHeader.format) +
                                 "，目标序列 " + settings.targetPath + what(targetDecoded != nullptr) +
                                 DescribePicture(targetHeader.width, targetHeader.height, targetHeader.format) +
                                 "，两者不一致！",
                             kTitleError, MessageIcon::Error);
        return;
    }
    if (sourceTells || targetTells) {
        const Y4mHeader& header = sourceTells ? sourceHeader : targetHeader;
        const std::string& path = sourceTells ? settings.sourcePath : settings.targetPath;
        const bool sizeDiffers = sizeGiven && (width != header.width || height != header.height);
        const bool formatDiffers = named && named != header.format;
        if (sizeDiffers || formatDiffers) {
            // Only what disagrees, on both sides.
            const std::string told = DescribePicture(sizeDiffers ? header.width : 0, sizeDiffers ? header.height : 0,
                                                     formatDiffers ? header.format : nullptr);
            const std::string given = DescribePicture(sizeDiffers ? width : 0, sizeDiffers ? height : 0,
                                                      formatDiffers ? named : nullptr);
            feedback.ShowMessage((sourceTells ? "源参考序列 " : "目标序列 ") + path +
                                     what(sourceTells ? sourceDecoded != nullptr : targetDecoded != nullptr) + told + "，与给出的 " + given + " 不一致！",
                                 kTitleError, MessageIcon::Error);
            return;
        }
        width = header.width;
        height = header.height;
        format = header.format;
    }
    const PictureLayout layout = LayoutOf(*format, width, height);
    const double peak = PeakValue(format->bits, settings.peak);

    // The frames before the first pair, passed over before anything is
    // written: a sequence that ends among them leaves nothing to compare.
    const FrameSkips skips = SkipsOf(settings.offset, settings.start);
    std::string beyond;
    if (const std::uint64_t held = SkipFrames(source.get(), sourceFraming, layout.frameBytes, skips.reference);
        held < skips.reference)
        beyond = SkipBeyondLine("源参考序列", settings.sourcePath, held, skips.reference, settings.offset, settings.start);
    else if (const std::uint64_t held = SkipFrames(target.get(), targetFraming, layout.frameBytes, skips.target);
             held < skips.target)
        beyond = SkipBeyondLine("目标序列", settings.targetPath, held, skips.target, settings.offset, settings.start);
    if (!beyond.empty()) {
        feedback.ShowMessage(beyond + "没有可比较的帧。", kTitleError, MessageIcon::Error);
        return;
    }

    // Frame buffers, taken before the result file is created or truncated,
    // so that a run that cannot get them leaves an existing result file as it was.
    PairReader reader(source.get(), sourceFraming, target.get(), targetFraming, std::size_t(layout.frameBytes),
                      settings.frameCount);
    // Interleaved formats: each frame's planes unpacked here, once, then measured as planar ones.
    std::vector<std::uint8_t> referencePlanes, targetPlanes;
    bool unpackBuffers = true;
    try {
        referencePlanes.resize(std::size_t(layout.unpackedBytes));
        targetPlanes.resize(std::size_t(layout.unpackedBytes));
    } catch (const std::bad_alloc&) {
        unpackBuffers = false;
    }
    if (!unpackBuffers || !reader.Allocate()) {
        target.reset();
        source.reset();
        feedback.ShowMessage("内存不足，无法为 " + std::to_string(width) + "×" + std::to_string(height) +
                                 " 的帧分配缓冲区！",
                             kTitleError, MessageIcon::Error);
        return;
    }

    // The result file, written to a temporary file and put in place at the
    // end. A result path that names one of the sequences by any spelling is
    // refused first all the same: replacing a sequence would destroy it.
    const bool wantResult = !settings.resultPath.empty();
    OutputFile ownResult;
    OutputFile& result = settings.resultOutput ? *settings.resultOutput : ownResult;
    if (wantResult) {
        const bool isSource = !result.ToStdout() && SameFile(settings.resultPath, source.get());
        if (isSource || (!result.ToStdout() && SameFile(settings.resultPath, target.get()))) {
            feedback.ShowMessage(WithPath(isSource ? "结果保存文件 %s 就是源参考序列!\n请另选结果保存文件！"
                                                   : "结果保存文件 %s 就是目标序列!\n请另选结果保存文件！",
                                          settings.resultPath),
                                 kTitleOpen, MessageIcon::Error);
            return;
        }
        if (!result.Open(settings.resultPath)) {
            feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", settings.resultPath),
                                 kTitleOpen, MessageIcon::Error);
            return;
        }
        result.Write(ResultHeaderLine());
    }
    bool writeFailed = false;

    // The frames. A frame is compared only when both files delivered all
    // of it; the first incomplete pair ends the run.
    RunOutcome outcome;
    RunDescription& description = outcome.description;
    description = {settings.sourcePath, settings.targetPath, width, height,
                   format->name.empty() ? "classic" : std::string(format->name), format->bits,
                   PeakKindName(settings.peak), peak, sourceFraming.y4m, targetFraming.y4m};
    std::uint64_t totalSamples = 0;
    for (int p = 0; p < 3; ++p)
        totalSamples += description.planeSamples[p] = layout.planes[p].Samples();
    description.offset = settings.offset;
    description.start = settings.start;
    const Y4mHeader headers[2] = {sourceHeader, targetHeader};
    const DecodedSource* const decodedInputs[2] = {sourceDecoded.get(), targetDecoded.get()};
    if (const std::string rates = RateWarning(settings, headers, decodedInputs); !rates.empty())
        feedback.Warn(rates, "警告!");
    double sumY = 0.0, sumU = 0.0, sumV = 0.0;
    feedback.ProgressBegin(settings.frameCount);
    reader.Start();
    std::int32_t compared = 0;
    bool referenceEnded = false, targetEnded = false;
    for (std::int32_t i = 0; i < settings.frameCount; ++i) {
        feedback.ProgressStep(i);
        const PairReader::Frame frame = reader.Next(i);
        if (!frame.reference) {
            referenceEnded = frame.referenceEnded;
            targetEnded = frame.targetEnded;
            break;
        }
        FrameResult measured;
        measured.frame = i;
        if (layout.unpackedBytes > 0) {
            UnpackFrame(*format, layout, frame.reference, referencePlanes.data());
            UnpackFrame(*format, layout, frame.target, targetPlanes.data());
        }
        std::uint64_t ssdTotal = 0;
        for (int p = 0; p < 3; ++p) {
            const PictureLayout::Plane& plane = layout.planes[p];
            const std::uint64_t ssd = PlaneSsd(PlaneData(layout, p, frame.reference, referencePlanes.data()),
                                               PlaneData(layout, p, frame.target, targetPlanes.data()),
                                               plane.Samples(), layout.bytesPerSample);
            ssdTotal += ssd;
            // An empty plane gives 0 / 0, not-a-number, which PsnrOfMse keeps.
            measured.mse[p] = double(ssd) / double(plane.Samples());
            measured.psnr[p] = PsnrOfMse(measured.mse[p], peak);
        }
        measured.psnrYuv = PsnrOfMse(double(ssdTotal) / double(totalSamples), peak);
        if (wantResult)
            result.Write(ResultFrameLine(i, measured.psnr[0], measured.psnr[1], measured.psnr[2]));
        sumY += measured.psnr[0];
        sumU += measured.psnr[1];
        sumV += measured.psnr[2];
        ++compared;
        feedback.FrameMeasured(measured);
    }
    reader.Stop();
    feedback.FramesDone();
    // Running until the first input ends is what was asked; a stream whose
    // pictures changed did not end, though.
    const auto changed = [](const std::unique_ptr<DecodedSource>& d) { return d && !d->StoppedBecause().empty(); };
    if (settings.untilEnd && !changed(sourceDecoded) && !changed(targetDecoded))
        referenceEnded = targetEnded = false;

    // Averages to standard error and to the result file.
    const std::string diagnostic = AverageLine(ReportAverage(sumY, compared), ReportAverage(sumU, compared),
                                               ReportAverage(sumV, compared), "\n");
    std::fputs(diagnostic.c_str(), stderr);
    if (wantResult) {
        result.Write(AverageLine(ReportAverage(sumY, compared), ReportAverage(sumU, compared),
                                 ReportAverage(sumV, compared), "\r\n"));
        writeFailed = !result.Finish() || (&result == &ownResult && !result.Commit());
    }

    source.reset();
    target.reset();
    reader.ReleaseBuffers();

    outcome.framesRequested = settings.untilEnd ? compared : settings.frameCount;
    outcome.framesCompared = compared;
    description.sourceEncode = EncodeFactsOf(sourceDecoded.get(), skips.reference, compared);
    description.targetEncode = EncodeFactsOf(targetDecoded.get(), skips.target, compared);
    outcome.referenceEnded = referenceEnded;
    outcome.targetEnded = targetEnded;
    outcome.resultWriteFailed = writeFailed;
    // The decoder conceals what it could not decode, as ffmpeg does: those
    // frames are measured, and said once.
    for (const auto& [decoded, role, path] : {std::tuple(sourceDecoded.get(), "源参考序列", &settings.sourcePath),
                                              std::tuple(targetDecoded.get(), "目标序列", &settings.targetPath)})
        if (decoded && decoded->Errors() > 0)
            feedback.Warn(std::string(role) + " " + *path + " 解码时出错 " + std::to_string(decoded->Errors()) +
                              " 次，第一次在解码到第" + std::to_string(decoded->FirstErrorFrame()) +
                              "帧时：出错的帧按解码器掩盖后的样子测量。",
                          "警告!");
    feedback.RunEnded(outcome);

    // A result file that was not written completely is a failure, never a success.
    if (writeFailed) {
        feedback.ShowMessage(WithPath(result.Staged() ? "写入结果文件 %s 时出错!\n结果文件没有写出，原有的同名文件保持不变。"
                                                        "请检查磁盘空间后重新计算！"
                                                      : "写入结果文件 %s 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！",
                                      settings.resultPath),
                             kTitleWrite, MessageIcon::Error);
    } else {
        std::string summary = SummaryText(compared, ReportAverage(sumY, compared),
                                          ReportAverage(sumU, compared), ReportAverage(sumV, compared));
        const bool ended = referenceEnded || targetEnded;
        if (ended)
            summary += EndedEarlyLine(settings, referenceEnded, targetEnded, compared);
        if (referenceEnded && reader.ReferenceFrameLineBad())
            summary += "源参考序列 " + settings.sourcePath + " 第" + std::to_string(compared) + "帧的帧头（FRAME 行）缺失或无效。\n";
        if (targetEnded && reader.TargetFrameLineBad())
            summary += "目标序列 " + settings.targetPath + " 第" + std::to_string(compared) + "帧的帧头（FRAME 行）缺失或无效。\n";
        for (const DecodedSource* decoded : {sourceDecoded.get(), targetDecoded.get()})
            if (decoded && !decoded->StoppedBecause().empty())
                summary += decoded->StoppedBecause() + "\n";
        // A run that ended early did not do what was asked: never titled a success.
        feedback.ShowMessage(summary, ended ? kTitleIncomplete : kTitleDone,
                             ended ? MessageIcon::Warning : MessageIcon::None);
    }
    feedback.ProgressEnd();
}

}  // namespace lorvane
