// The comparison run: checks the settings, opens the files, walks both
// sequences frame by frame and reports through RunFeedback.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "align.h"
#include "decoded.h"
#include "files.h"
#include "metric.h"
#include "parallel.h"
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

std::string EndedEarlyLine(const std::string& sourcePath, const RunTarget& target, bool referenceEnded,
                           bool targetEnded, std::int32_t compared)
{
    std::string who;
    if (referenceEnded && targetEnded)
        who = "源参考序列 " + sourcePath + " 和目标序列 " + target.path + " 都";
    else if (referenceEnded)
        who = "源参考序列 " + sourcePath + " ";
    else
        who = "目标序列 " + target.path + " ";
    return who + "提前结束：只比较了" + std::to_string(compared) + "帧，要求" +
           std::to_string(target.frameCount) + "帧。\n";
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
std::string RateWarning(const std::string& sourcePath, const Y4mHeader& sourceHeader, const DecodedSource* sourceDecoded,
                        const std::string& targetPath, const Y4mHeader& targetHeader, const DecodedSource* targetDecoded)
{
    std::int64_t num[2] = {}, den[2] = {};
    std::string text;
    const char* roles[2] = {"源参考序列 ", "目标序列 "};
    const std::string* paths[2] = {&sourcePath, &targetPath};
    const Y4mHeader* headers[2] = {&sourceHeader, &targetHeader};
    const DecodedSource* decoded[2] = {sourceDecoded, targetDecoded};
    for (int i = 0; i < 2; ++i) {
        if (decoded[i]) {
            const DecodedStream& stream = decoded[i]->Stream();
            num[i] = stream.rateNum;
            den[i] = stream.rateDen;
            if (stream.variableRate && den[i] > 0)
                text += std::string(roles[i]) + *paths[i] + " 的帧率可变（平均 " + FrameRateText(num[i], den[i]) +
                        " 帧/秒）。";
        } else {
            num[i] = headers[i]->rateNum;
            den[i] = headers[i]->rateDen;
        }
    }
    if (den[0] > 0 && den[1] > 0 && num[0] * den[1] != num[1] * den[0])
        text = "源参考序列 " + sourcePath + " 的帧率是 " + FrameRateText(num[0], den[0]) + " 帧/秒，目标序列 " +
               targetPath + " 的帧率是 " + FrameRateText(num[1], den[1]) + " 帧/秒。" + text;
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

// One target of a run: its file, and what it measured.
struct Side {
    const RunTarget* target = nullptr;
    RunFeedback* feedback = nullptr;
    File file;
    SequenceFraming framing;
    Y4mHeader header;
    std::unique_ptr<DecodedSource> decoded;
    bool tells = false;
    std::uint64_t skip = 0;        // its own frames before its first pair
    std::int32_t delay = 0;        // reference frames read before its first pair
    OutputFile ownResult;
    OutputFile* result = nullptr;  // null: no result file
    double sumY = 0.0, sumU = 0.0, sumV = 0.0;
    std::vector<double> scoreSums;  // of the scores beyond PSNR, as RunDescription::scores names them
    std::int32_t compared = 0;
    bool done = false;
    bool referenceEnded = false, targetEnded = false;
};

}  // namespace

void RunComparison(const PsnrSettings& settings, RunFeedback& feedback)
{
    RunTarget target;
    target.path = settings.targetPath;
    target.stream = settings.targetStream;
    target.resultPath = settings.resultPath;
    target.resultOutput = settings.resultOutput;
    target.frameCount = settings.frameCount;
    target.offset = settings.offset;
    target.feedback = &feedback;
    RunComparisons(settings, {target}, feedback);
}

void RunComparisons(const PsnrSettings& settings, const std::vector<RunTarget>& targets, RunFeedback& feedback)
{
    std::vector<const Metric*> metrics;
    for (const std::string& name : settings.metrics) {
        metrics.push_back(FindMetric(name));
        if (!metrics.back())
            throw std::invalid_argument("no metric is named \"" + name + "\"");
    }
    // Settings that cannot describe a sequence end the run before any file is
    // touched. A size of 0 x 0 asks for the size of a YUV4MPEG2 input.
    const bool sizeGiven = settings.width != 0 || settings.height != 0;
    const bool anyTells = TellsItsSize(settings.sourcePath, settings.sourceStream) ||
                          std::any_of(targets.begin(), targets.end(),
                                      [](const RunTarget& t) { return TellsItsSize(t.path, t.stream); });
    if ((settings.width == 0 || settings.height == 0) && (sizeGiven || !anyTells)) {
        feedback.ShowMessage("请正确输入图像宽高！", kTitleError, MessageIcon::Error);
        return;
    }
    if (!InRange(settings.width) || !InRange(settings.height) ||
        !std::all_of(targets.begin(), targets.end(), [](const RunTarget& t) { return InRange(t.frameCount); }) ||
        std::int64_t(settings.width) * settings.height > kMaxLumaSamples) {
        feedback.ShowMessage("图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，"
                             "且宽度×高度不超过 429496729。",
                             kTitleError, MessageIcon::Error);
        return;
    }
    if (!std::all_of(targets.begin(), targets.end(),
                     [](const RunTarget& t) { return t.offset >= -kMaxDimension && t.offset <= kMaxDimension; }) ||
        !InRange(settings.start)) {
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

    // The sequences.
    if (settings.sourcePath.empty()) {
        feedback.ShowMessage("请输入源参考序列文件名！", kTitleOpen, MessageIcon::Error);
        return;
    }
    const std::string* sourcePeeked = settings.sourceStream && settings.sourceStream->file ? &settings.sourceStream->head : nullptr;
    File source = OpenInput(settings.sourcePath, settings.sourceStream);
    if (!source) {
        feedback.ShowMessage(WithPath("不能打开 %s!\n请确认路径是否正确！", settings.sourcePath),
                             kTitleOpen, MessageIcon::Error);
        return;
    }
    // Not movable (an OutputFile each): a deque grows without moving them.
    std::deque<Side> sides;
    std::vector<const std::string*> targetPeeked;
    for (const RunTarget& target : targets) {
        Side& side = sides.emplace_back();
        side.target = &target;
        side.feedback = target.feedback ? target.feedback : &feedback;
        targetPeeked.push_back(target.stream && target.stream->file ? &target.stream->head : nullptr);
        if (target.path.empty()) {
            feedback.ShowMessage("请输入目标序列文件名！", kTitleOpen, MessageIcon::Error);
            return;
        }
        side.file = OpenInput(target.path, target.stream);
        if (!side.file) {
            feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", target.path), kTitleOpen,
                                 MessageIcon::Error);
            return;
        }
    }

    // Their stream headers, and the picture the run measures.
    SequenceFraming sourceFraming;
    Y4mHeader sourceHeader;
    std::unique_ptr<DecodedSource> sourceDecoded;
    std::string error;
    const char* failure = ReadStreamHeader(source.get(), sourcePeeked, settings.sourcePath, "源参考序列",
                                           -1, sourceFraming,
                                           sourceHeader, sourceDecoded, error);
    for (std::size_t k = 0; k < sides.size() && !failure; ++k)
        failure = ReadStreamHeader(sides[k].file.get(), targetPeeked[k], sides[k].target->path, "目标序列",
                                   settings.videoStream, sides[k].framing, sides[k].header, sides[k].decoded, error);
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
    for (Side& side : sides)
        side.tells = tell(side.decoded, side.header, side.framing.y4m);
    const auto what = [](bool decoded) { return decoded ? " 的视频流是 " : " 的文件头是 "; };
    std::int32_t width = settings.width, height = settings.height;
    const PixelFormat* format = named ? named : &ClassicFormat();
    // What the first sequence that tells its picture tells, the reference's
    // when it does; every other one that tells must tell the same.
    struct Teller {
        const char* role;
        const std::string* path;
        const Y4mHeader* header;
        bool decoded;
    };
    std::vector<Teller> tellers;
    if (sourceTells)
        tellers.push_back({"源参考序列 ", &settings.sourcePath, &sourceHeader, sourceDecoded != nullptr});
    for (const Side& side : sides)
        if (side.tells)
            tellers.push_back({"目标序列 ", &side.target->path, &side.header, side.decoded != nullptr});
    for (std::size_t t = 1; t < tellers.size(); ++t) {
        const Teller &first = tellers[0], &other = tellers[t];
        if (first.header->width != other.header->width || first.header->height != other.header->height ||
            first.header->format != other.header->format) {
            feedback.ShowMessage(std::string(first.role) + *first.path + what(first.decoded) +
                                     DescribePicture(first.header->width, first.header->height, first.header->format) +
                                     "，" + other.role + *other.path + what(other.decoded) +
                                     DescribePicture(other.header->width, other.header->height, other.header->format) +
                                     "，两者不一致！",
                                 kTitleError, MessageIcon::Error);
            return;
        }
    }
    if (!tellers.empty()) {
        const Teller& teller = tellers[0];
        const Y4mHeader& header = *teller.header;
        const bool sizeDiffers = sizeGiven && (width != header.width || height != header.height);
        const bool formatDiffers = named && named != header.format;
        if (sizeDiffers || formatDiffers) {
            // Only what disagrees, on both sides.
            const std::string told = DescribePicture(sizeDiffers ? header.width : 0, sizeDiffers ? header.height : 0,
                                                     formatDiffers ? header.format : nullptr);
            const std::string given = DescribePicture(sizeDiffers ? width : 0, sizeDiffers ? height : 0,
                                                      formatDiffers ? named : nullptr);
            feedback.ShowMessage(teller.role + *teller.path + what(teller.decoded) + told + "，与给出的 " + given +
                                     " 不一致！",
                                 kTitleError, MessageIcon::Error);
            return;
        }
        width = header.width;
        height = header.height;
        format = header.format;
    }
    const PictureLayout layout = LayoutOf(*format, width, height);
    const double peak = PeakValue(format->bits, settings.peak);

    // A pipe was looked into only as far as a YUV4MPEG2 signature goes. Its
    // first frame is read anyway: reading into it as far as the signatures
    // of encoded files go costs nothing, and an encoded stream is then never
    // measured as pixels. (It cannot be decoded: what was read is gone.)
    const auto encodedPipe = [&](std::FILE* file, SequenceFraming& framing, bool wanted, const std::string& path,
                                 const char* role) {
        std::uint64_t bytes = 0;
        if (!wanted || framing.y4m || framing.decoded || RegularFileSize(file, bytes))
            return false;
        const std::size_t want = std::size_t(std::min<std::uint64_t>(layout.frameBytes, kProbeBytes));
        char chunk[512];
        while (framing.head.size() < want) {
            const std::size_t got = std::fread(chunk, 1, std::min(sizeof chunk, want - framing.head.size()), file);
            if (got == 0)
                break;
            framing.head.append(chunk, got);
        }
        const std::string_view kind = EncodedKind(framing.head);
        if (kind.empty())
            return false;
        feedback.ShowMessage(EncodedInputMessage(role, path, kind) + "通过管道读入的视频文件无法解码：请直接给出文件路径。",
                             kTitleError, MessageIcon::Error);
        return true;
    };
    bool anyWanted = false;
    for (const Side& side : sides)
        anyWanted = anyWanted || side.target->frameCount > 0;
    if (encodedPipe(source.get(), sourceFraming, anyWanted, settings.sourcePath, "源参考序列"))
        return;
    for (Side& side : sides)
        if (encodedPipe(side.file.get(), side.framing, side.target->frameCount > 0, side.target->path, "目标序列"))
            return;

    // The frames before the first pair, passed over before anything is
    // written: a sequence that ends among them leaves nothing to compare.
    // The reference is read once for all targets: it is passed over as far
    // as the target paired furthest back needs, and each target paired
    // further on waits that many more of its frames.
    std::uint64_t referenceSkip = 0;
    const RunTarget* furthestBack = nullptr;
    for (const Side& side : sides) {
        const std::uint64_t skip = SkipsOf(side.target->offset, settings.start).reference;
        if (!furthestBack || skip < referenceSkip)
            referenceSkip = skip, furthestBack = side.target;
    }
    for (Side& side : sides) {
        const FrameSkips skips = SkipsOf(side.target->offset, settings.start);
        side.skip = skips.target;
        side.delay = std::int32_t(skips.reference - referenceSkip);
    }
    std::string beyond;
    if (const std::uint64_t held = SkipFrames(source.get(), sourceFraming, layout.frameBytes, referenceSkip);
        held < referenceSkip)
        beyond = SkipBeyondLine("源参考序列", settings.sourcePath, held, referenceSkip, furthestBack->offset,
                                settings.start);
    for (std::size_t k = 0; k < sides.size() && beyond.empty(); ++k) {
        Side& side = sides[k];
        if (const std::uint64_t held = SkipFrames(side.file.get(), side.framing, layout.frameBytes, side.skip);
            held < side.skip)
            beyond = SkipBeyondLine("目标序列", side.target->path, held, side.skip, side.target->offset, settings.start);
    }
    if (!beyond.empty()) {
        feedback.ShowMessage(beyond + "没有可比较的帧。", kTitleError, MessageIcon::Error);
        return;
    }

    // Frame buffers, taken before any result file is created or truncated,
    // so that a run that cannot get them leaves an existing result file as it was.
    std::vector<RunReader::Target> readerTargets;
    for (const Side& side : sides)
        readerTargets.push_back({side.file.get(), side.framing, side.delay, side.target->frameCount});
    RunReader reader(source.get(), sourceFraming, std::move(readerTargets), std::size_t(layout.frameBytes));
    if (layout.unpackedBytes == 0)
        reader.ReadDecodedInPlace();
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
        for (Side& side : sides)
            side.file.reset();
        source.reset();
        feedback.ShowMessage("内存不足，无法为 " + std::to_string(width) + "×" + std::to_string(height) +
                                 " 的帧分配缓冲区！",
                             kTitleError, MessageIcon::Error);
        return;
    }

    // The result files, written to temporary files and put in place at the
    // end. A result path that names one of the sequences by any spelling is
    // refused first all the same: replacing a sequence would destroy it.
    for (Side& side : sides) {
        const RunTarget& target = *side.target;
        if (target.resultPath.empty())
            continue;
        OutputFile& result = target.resultOutput ? *target.resultOutput : side.ownResult;
        const bool isSource = !result.ToStdout() && SameFile(target.resultPath, source.get());
        const bool isTarget =
            !result.ToStdout() && std::any_of(sides.begin(), sides.end(), [&](const Side& s) {
                return SameFile(target.resultPath, s.file.get());
            });
        if (isSource || isTarget) {
            feedback.ShowMessage(WithPath(isSource ? "结果保存文件 %s 就是源参考序列!\n请另选结果保存文件！"
                                                   : "结果保存文件 %s 就是目标序列!\n请另选结果保存文件！",
                                          target.resultPath),
                                 kTitleOpen, MessageIcon::Error);
            return;
        }
        if (!result.Open(target.resultPath)) {
            feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", target.resultPath), kTitleOpen,
                                 MessageIcon::Error);
            return;
        }
        result.Write(ResultHeaderLine());
        side.result = &result;
    }

    // The frames. A frame is compared only when both files delivered all of
    // it; a target's first incomplete pair ends it, the reference's every one.
    RunDescription description;
    description.sourcePath = settings.sourcePath;
    description.width = width;
    description.height = height;
    description.format = format->name.empty() ? "classic" : std::string(format->name);
    description.bits = format->bits;
    description.peakKind = PeakKindName(settings.peak);
    description.peak = peak;
    description.sourceIsY4m = sourceFraming.y4m;
    for (int p = 0; p < 3; ++p)
        description.planeSamples[p] = layout.planes[p].Samples();
    description.start = settings.start;
    // PSNR's scores have their own fields; every other metric's are named here.
    for (const Metric* metric : metrics)
        if (metric->name != "psnr")
            for (const std::string_view score : metric->scores)
                description.scores.emplace_back(score);
    std::size_t live = 0;
    for (Side& side : sides) {
        side.done = side.target->frameCount == 0;
        live += side.done ? 0 : 1;
        if (const std::string rates = RateWarning(settings.sourcePath, sourceHeader, sourceDecoded.get(),
                                                  side.target->path, side.header, side.decoded.get());
            !rates.empty())
            side.feedback->Warn(rates, "警告!");
    }
    std::vector<std::unique_ptr<MetricRun>> measures;
    for (const Metric* metric : metrics)
        measures.push_back(metric->start({format, layout, peak, ActiveCpuLevel(), ThreadCount(settings.threads)}));
    feedback.ProgressBegin(reader.Length());
    reader.Start();
    for (std::int32_t j = 0; j < reader.Length() && live > 0; ++j) {
        feedback.ProgressStep(j);
        const std::uint8_t* reference = reader.Next(j);
        if (!reference) {
            for (std::size_t k = 0; k < sides.size(); ++k) {
                Side& side = sides[k];
                if (side.done)
                    continue;
                side.referenceEnded = true;
                side.targetEnded = j >= side.delay && reader.TargetEnded(k);
                side.done = true;
            }
            break;
        }
        // Its unpacked planes are filled in only when a target is measured against it.
        const Picture referencePicture = FramePicture(layout, reference, referencePlanes.data());
        bool referenceUnpacked = false;
        for (std::size_t k = 0; k < sides.size(); ++k) {
            Side& side = sides[k];
            if (side.done || j < side.delay)
                continue;
            const PictureView* inPlace = reader.TargetInPlace(k, j);
            const std::uint8_t* target = inPlace ? nullptr : reader.TargetFrame(k, j);
            if (!inPlace && !target) {
                side.targetEnded = true;
                side.done = true;
                --live;
                continue;
            }
            FrameResult measured;
            measured.frame = j - side.delay;
            if (layout.unpackedBytes > 0) {
                if (!referenceUnpacked)
                    UnpackFrame(*format, layout, reference, referencePlanes.data());
                referenceUnpacked = true;
                UnpackFrame(*format, layout, target, targetPlanes.data());
            }
            const Picture targetPicture =
                inPlace ? DecodedPicture(layout, *inPlace) : FramePicture(layout, target, targetPlanes.data());
            for (const std::unique_ptr<MetricRun>& measure : measures)
                measure->Measure(referencePicture, targetPicture, measured);
            if (side.result)
                side.result->Write(ResultFrameLine(measured.frame, measured.psnr[0], measured.psnr[1], measured.psnr[2]));
            side.sumY += measured.psnr[0];
            side.sumU += measured.psnr[1];
            side.sumV += measured.psnr[2];
            side.scoreSums.resize(measured.scores.size());
            for (std::size_t m = 0; m < measured.scores.size(); ++m)
                side.scoreSums[m] += measured.scores[m];
            ++side.compared;
            side.feedback->FrameMeasured(measured);
            if (side.compared == side.target->frameCount) {
                side.done = true;
                --live;
            }
        }
    }
    reader.Stop();
    feedback.FramesDone();
    // Running until the first input ends is what was asked; a stream whose
    // pictures changed did not end, though.
    const auto changed = [](const std::unique_ptr<DecodedSource>& d) { return d && !d->StoppedBecause().empty(); };
    for (Side& side : sides)
        if (settings.untilEnd && !changed(sourceDecoded) && !changed(side.decoded))
            side.referenceEnded = side.targetEnded = false;

    // Averages to standard error and to the result files.
    std::vector<bool> writeFailed(sides.size());
    for (std::size_t k = 0; k < sides.size(); ++k) {
        Side& side = sides[k];
        const std::int32_t n = side.compared;
        const std::string diagnostic = AverageLine(ReportAverage(side.sumY, n), ReportAverage(side.sumU, n),
                                                   ReportAverage(side.sumV, n), "\n");
        std::fputs(diagnostic.c_str(), stderr);
        if (side.result) {
            side.result->Write(AverageLine(ReportAverage(side.sumY, n), ReportAverage(side.sumU, n),
                                           ReportAverage(side.sumV, n), "\r\n"));
            writeFailed[k] = !side.result->Finish() || (side.result == &side.ownResult && !side.result->Commit());
        }
    }

    source.reset();
    for (Side& side : sides)
        side.file.reset();
    reader.ReleaseBuffers();

    // The decoder conceals what it could not decode, as ffmpeg does: those
    // frames are measured, and said once.
    const auto warnErrors = [](RunFeedback& to, const DecodedSource* decoded, const char* role,
                               const std::string& path) {
        if (decoded && decoded->Errors() > 0)
            to.Warn(std::string(role) + " " + path + " 解码时出错 " + std::to_string(decoded->Errors()) +
                        " 次，第一次在解码到第" + std::to_string(decoded->FirstErrorFrame()) +
                        "帧时：出错的帧按解码器掩盖后的样子测量。",
                    "警告!");
    };
    // Frames lost before the last pair put every pair after them out of
    // step: never a success.
    const auto warnGaps = [](RunFeedback& to, const DecodedSource* decoded, const char* role, const std::string& path,
                             std::uint64_t pairedUpTo) {
        if (decoded && decoded->MissingFrames() > 0 && std::uint64_t(decoded->FirstGapFrame()) < pairedUpTo)
            to.ShowMessage(std::string(role) + " " + path + " 的时间戳表明缺少 " + std::to_string(decoded->MissingFrames()) +
                               " 帧，第一处在第" + std::to_string(decoded->FirstGapFrame()) +
                               "帧之前（损坏的数据包被丢弃，或流本身有空缺）：其后的帧仍按序号配对，结果可能错位。",
                           "警告!", MessageIcon::Warning);
    };
    warnErrors(feedback, sourceDecoded.get(), "源参考序列", settings.sourcePath);
    for (std::size_t k = 0; k < sides.size(); ++k) {
        Side& side = sides[k];
        const RunTarget& target = *side.target;
        RunFeedback& told = *side.feedback;
        warnErrors(told, side.decoded.get(), "目标序列", target.path);
        const std::int32_t compared = side.compared;
        warnGaps(told, sourceDecoded.get(), "源参考序列", settings.sourcePath,
                 referenceSkip + std::uint64_t(side.delay) + std::uint64_t(compared));
        warnGaps(told, side.decoded.get(), "目标序列", target.path, side.skip + std::uint64_t(compared));
        RunOutcome outcome;
        outcome.description = description;
        outcome.description.targetPath = target.path;
        outcome.description.targetIsY4m = side.framing.y4m;
        outcome.description.offset = target.offset;
        outcome.framesRequested = settings.untilEnd ? compared : target.frameCount;
        outcome.framesCompared = compared;
        outcome.description.sourceEncode =
            EncodeFactsOf(sourceDecoded.get(), referenceSkip + std::uint64_t(side.delay), compared);
        outcome.description.targetEncode = EncodeFactsOf(side.decoded.get(), side.skip, compared);
        outcome.referenceEnded = side.referenceEnded;
        outcome.targetEnded = side.targetEnded;
        outcome.resultWriteFailed = writeFailed[k];
        told.RunEnded(outcome);

        // A result file that was not written completely is a failure, never a success.
        if (writeFailed[k]) {
            told.ShowMessage(WithPath(side.result->Staged() ? "写入结果文件 %s 时出错!\n结果文件没有写出，原有的同名文件保持不变。"
                                                              "请检查磁盘空间后重新计算！"
                                                            : "写入结果文件 %s 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！",
                                      target.resultPath),
                             kTitleWrite, MessageIcon::Error);
            continue;
        }
        std::string summary = SummaryText(compared, ReportAverage(side.sumY, compared),
                                          ReportAverage(side.sumU, compared), ReportAverage(side.sumV, compared));
        // Then the mean of each score beyond PSNR: "SSIM_Y: 0.987654".
        for (std::size_t m = 0; m < description.scores.size(); ++m)
            summary += ScoreLabel(description.scores[m]) + ": " +
                       FormatValue(ReportAverage(m < side.scoreSums.size() ? side.scoreSums[m] : 0.0, compared)) + '\n';
        const bool ended = side.referenceEnded || side.targetEnded;
        if (ended)
            summary += EndedEarlyLine(settings.sourcePath, target, side.referenceEnded, side.targetEnded, compared);
        if (side.referenceEnded && reader.ReferenceFrameLineBad())
            summary += "源参考序列 " + settings.sourcePath + " 第" + std::to_string(compared + side.delay) +
                       "帧的帧头（FRAME 行）缺失或无效。\n";
        if (side.targetEnded && reader.TargetFrameLineBad(k))
            summary += "目标序列 " + target.path + " 第" + std::to_string(compared) + "帧的帧头（FRAME 行）缺失或无效。\n";
        for (const DecodedSource* decoded : {sourceDecoded.get(), side.decoded.get()})
            if (decoded && !decoded->StoppedBecause().empty())
                summary += decoded->StoppedBecause() + "\n";
        // A run that ended early did not do what was asked: never titled a success.
        told.ShowMessage(summary, ended ? kTitleIncomplete : kTitleDone,
                         ended ? MessageIcon::Warning : MessageIcon::None);
    }
    feedback.ProgressEnd();
}

}  // namespace lorvane
