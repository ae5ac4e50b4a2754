// Lorvane measurement core: PSNR of planar YUV sequences, raw or YUV4MPEG2.
//
// Platform-free and UI-free. A comparison run talks to the user only through
// RunFeedback; the one exception is the "Average,..." diagnostic line that a run
// writes to the standard error stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "format.h"
#include "statistics.h"

namespace lorvane {

inline constexpr const char* kVersion = "1.0.0.1";

// Limits a run enforces before it opens any file. kMaxLumaSamples is the largest
// width x height for which the frame layout (whose largest intermediate is
// width x height x 5) still fits in signed 32-bit arithmetic.
inline constexpr std::int32_t kMaxDimension = 1000000000;
inline constexpr std::int64_t kMaxLumaSamples = 429496729;

// PSNR in dB (peak 255) of a width x height plane of 8-bit samples stored with
// no gap between rows. Identical planes give exactly 100.0; an empty plane
// (width or height 0) gives not-a-number. Results are never clamped.
double PlanePsnr(const std::uint8_t* reference, const std::uint8_t* target,
                 std::int32_t width, std::int32_t height);

// Where the planes of one 4:2:0 frame lie in a frame buffer. Computed with
// truncating integer division exactly as written, so odd sizes keep the
// historical layout (3 x 3: S = 13, U at 9, V at 11, one sample each).
struct FrameLayout {
    std::int32_t lumaSamples = 0;   // A = width * height
    std::int32_t frameSize = 0;     // S = (A * 3) / 2
    std::int32_t uOffset = 0;       // A
    std::int32_t vOffset = 0;       // (A * 5) / 4
    std::int32_t chromaWidth = 0;   // width / 2
    std::int32_t chromaHeight = 0;  // height / 2
};

// Precondition: 0 <= width, height and width * height <= kMaxLumaSamples.
FrameLayout ComputeFrameLayout(std::int32_t width, std::int32_t height);

// The printed texts. Numbers are formatted as printf's "%f" would in the C
// locale, whatever the process locale is; not-a-number is always "nan".
// Line ends: the result-file lines end in CR LF, the standard-error line in LF.
std::string FormatValue(double value);
// std::to_chars(first, last, value, std::chars_format::fixed, decimals) for
// 0 <= decimals <= 6: the same digits, found faster for the usual values.
// kFixedChars bytes always suffice.
constexpr std::size_t kFixedChars = 400;
char* FixedToChars(char* first, char* last, double value, int decimals);
std::string ResultHeaderLine();
std::string ResultFrameLine(std::int32_t frame, double y, double u, double v);
std::string AverageLine(double y, double u, double v, const char* lineEnd);
std::string SummaryText(std::int32_t frames, double y, double u, double v);

// Average as the reports compute it: sum * (1.0 / n); n = 0 gives not-a-number.
double ReportAverage(double sum, std::int32_t n);

enum class MessageIcon { None, Error, Warning };

// What a run needs from the window (or command line) that starts it. All calls
// come from the thread that called RunComparison.
class RunFeedback {
public:
    virtual ~RunFeedback() = default;
    // A modal message; returns once the user has dismissed it.
    virtual void ShowMessage(const std::string& text, const std::string& title,
                             MessageIcon icon) = 0;
    // A warning that leaves the run's outcome as it is (a decoder that met
    // errors and concealed them).
    virtual void Warn(const std::string& text, const std::string& title)
    {
        ShowMessage(text, title, MessageIcon::Warning);
    }
    // Progress range 0..frames; the bar becomes visible.
    virtual void ProgressBegin(std::int32_t frames) = 0;
    // Called once per frame, before that frame is read: keep it cheap.
    virtual void ProgressStep(std::int32_t frame) = 0;
    // Position back to 0, indicator hidden.
    virtual void ProgressEnd() = 0;
    // Each frame's numbers, in frame order, once they are known. Called from
    // the measuring loop: keep it cheap.
    virtual void FrameMeasured(const FrameResult&) {}
    // Once the frame loop is over, right before the run writes its
    // "Average,..." line to the standard error stream: a front end that draws
    // on that stream takes its drawing away here.
    virtual void FramesDone() {}
    // Once, after the last frame and the result file, before the summary
    // message, for a run that reached its frame loop.
    virtual void RunEnded(const RunOutcome&) {}
};

struct PeekedSequence;  // probe.h

// The values of a run, in the form's order. Paths are UTF-8 on every platform.
struct PsnrSettings {
    std::string sourcePath;
    std::string resultPath;  // empty: no result file
    std::int32_t width = 0;  // width and height 0: from a YUV4MPEG2 header
    std::int32_t height = 0;
    std::int32_t frameCount = 0;
    std::string targetPath;
    // An ffmpeg pixel-format name; empty: the classic layout, or a YUV4MPEG2
    // input's own format.
    std::string pixelFormat;
    PeakKind peak = PeakKind::Full;
    // Frames in step: target frame i is compared with reference frame
    // i + offset (a negative offset skips the target's first -offset frames),
    // and the first `start` such pairs are skipped. Frames are numbered from 0
    // in the order compared, whatever these are.
    std::int32_t offset = 0;
    std::int32_t start = 0;
    // frameCount is only a limit: the run goes until the first sequence ends,
    // which is then no early end (an encoded input, whose frames are not
    // counted before it is decoded).
    bool untilEnd = false;
    // The stream of an encoded target that is measured, counted among all of
    // the file's streams from 0; -1: its first video stream. An encoded
    // reference is an encode's source: always its first video stream.
    int videoStream = -1;
    // A sequence that is a pipe or a device, already opened and looked into
    // (ProbeSequence with Probe::KeepStream): the run reads it instead of
    // opening the path again, which would lose what was read. Null: by path.
    std::shared_ptr<PeekedSequence> sourceStream, targetStream;
    // When set, the run writes the result file through it and leaves Commit
    // to the caller, who may then put it in place together with other
    // outputs, or not at all. Otherwise the run commits it itself.
    OutputFile* resultOutput = nullptr;
    // What the run measures: names from the metric table (metric.h). A name
    // the table does not hold is the caller's mistake, not the user's: the
    // run throws std::invalid_argument before it touches any file.
    std::vector<std::string> metrics = {"psnr"};
    // Threads a CPU-bound metric may split each frame across; 0: one per
    // core. Results are the same, to the last bit, whatever the number.
    int threads = 0;
};

// One of the sequences a run measures against its reference, with what is its
// own: its frames, its pairing with the reference, its result file and the
// feedback that gets its frames, its end and its summary.
struct RunTarget {
    std::string path;
    std::shared_ptr<PeekedSequence> stream;  // as PsnrSettings::targetStream
    std::string resultPath;                  // empty: no result file
    OutputFile* resultOutput = nullptr;      // as PsnrSettings::resultOutput
    std::int32_t frameCount = 0;
    std::int32_t offset = 0;  // the run's start applies to every target alike
    RunFeedback* feedback = nullptr;
};

// Compares frameCount frames of the target sequence with the reference, writes
// the result file (if a path is given) and the standard-error line, and reports
// everything else through `feedback`. Throws nothing of its own but for an
// unknown metric name (see PsnrSettings::metrics); what a
// feedback call throws (std::bad_alloc, say) passes through, with every file
// closed and a temporary result file removed.
void RunComparison(const PsnrSettings& settings, RunFeedback& feedback);

// The same for several targets in one pass: the reference is read (or
// decoded) once, and each of its frames is compared with the frames of every
// target paired with it. The settings' target, result, frame count and offset
// are not used: each target brings its own. Each target ends on its own (its
// frames asked for, or its end or the reference's); the run goes on while any
// target has frames left. `feedback` gets what concerns the run as a whole:
// a message that stops it before its frame loop (then no target hears of it),
// the progress (counted in frames of the reference from the first paired),
// FramesDone and the reference's decoder warnings. Each target's feedback gets
// its FrameMeasured calls, its decoder warnings, RunEnded and its summary or
// result-file message, target after target in the order given, after the
// frame loop. A feedback may serve more than one role: RunComparison is this
// with one target whose feedback is `feedback`.
void RunComparisons(const PsnrSettings& settings, const std::vector<RunTarget>& targets, RunFeedback& feedback);

}  // namespace lorvane
