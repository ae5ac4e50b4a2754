// What a sequence file tells about itself: a YUV4MPEG2 header, or a picture
// size and format in its file or folder name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "files.h"
#include "format.h"

namespace lorvane {

// The longest stream header and FRAME line accepted, newline included.
inline constexpr std::size_t kMaxY4mHeader = 1024;

// A parsed YUV4MPEG2 stream header.
struct Y4mHeader {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;
    std::string chromaTag;        // the C value as written, "420jpeg" when absent
    std::uint64_t headerBytes = 0;  // up to and including the newline
    std::int64_t rateNum = 0, rateDen = 0;  // the F field; 0 when absent or unreadable
};

// True when `data` starts with the "YUV4MPEG2 " signature.
bool HasY4mSignature(std::string_view data);

// Parses the stream header at the start of `data` (which holds at least the
// first kMaxY4mHeader bytes of the file, or the whole file when shorter). On
// failure returns false and sets `error` to a one-line reason in Chinese.
bool ParseY4mHeader(std::string_view data, Y4mHeader& header, std::string& error);

// `text` quoted from a file, fit for a message: CR, LF, NUL and the other
// control characters written \r, \n, \0 and \xNN, as are bytes that are not
// UTF-8; UTF-8 characters stay as they are.
std::string EscapeForMessage(std::string_view text);

// What the first bytes of a file say it is when it is an encoded video or
// picture rather than samples: "MP4/MOV", "Matroska/WebM", "AVI", "IVF",
// "MPEG-TS", "H.264", "HEVC", "PNG", "JPEG"; empty for anything else. Each
// signature is checked strictly enough that raw samples (flat frames, noise)
// never pass for one: a raw file taken for encoded could not be measured at
// all, an encoded file taken for raw is still refused by its odd size.
std::string_view EncodedKind(std::string_view head);
// The message refusing such an input; `role` names the sequence (源参考序列).
std::string EncodedInputMessage(const char* role, const std::string& path, std::string_view kind);

// `head`, the first bytes of a regular file already read from `file`, made
// up to the first kProbeBytes (decoded.h) by reading on: what DemuxerKind
// looks at.
std::string ReadProbeHead(std::FILE* file, std::string head, std::uint64_t fileBytes);

// A sequence that can be read only once (a pipe, a FIFO, /dev/stdin), opened
// and looked into before the run: `head` holds the bytes already read, either
// a whole YUV4MPEG2 stream header or the start of the first raw frame, and
// the run goes on reading `file` after them.
struct PeekedSequence {
    File file;
    std::string head;
};
// Reads the start of such a stream: the bytes that match "YUV4MPEG2 " one by
// one (so a raw stream gives up its first byte or few and no more) and, when
// they all do, the rest of the header line.
std::string PeekStreamHead(std::FILE* file);

// A YUV4MPEG2 file's frames, walked FRAME line by FRAME line: the whole
// frames, and the bytes after them when the file ends inside a frame or a
// FRAME line, or when a FRAME line is garbled (`badLine`).
struct Y4mFrameWalk {
    std::uint64_t frames = 0;
    std::uint64_t leftover = 0;
    bool badLine = false;
};
Y4mFrameWalk WalkY4mFrames(std::FILE* file, std::uint64_t fileBytes, std::uint64_t headerBytes,
                           std::uint64_t frameBytes);

// What a file name (and the name of the folder holding it) tells: 0 x 0 and a
// null format when nothing. Only whole words count: the runs between '_', '-',
// '.', spaces and the ends of the name. Sizes: "WxH" (x, X or *),
// 2160p/1080p/720p (a frame rate may follow: 1080p50), qcif/cif/4cif; formats:
// ffmpeg names (yuv420p10le), or 420/422/444/400 with 8bit/10bit/10-bit/10b
// depths. A word shaped like an ffmpeg pixel format that is none of ours
// (yuv420p10be, nv16) is kept in `unsupportedFormat`, never taken for 8-bit.
struct NameGuess {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;  // null: the name names none
    std::string unsupportedFormat;        // the word, when the name names a format Lorvane does not read
    bool SizeKnown() const { return width > 0 && height > 0; }
};
NameGuess GuessFromName(const std::string& path);

// What a sequence file tells, from its header or its names.
struct SequenceInfo {
    bool opened = false;       // the file could be opened and read
    bool regular = false;      // a regular file: its size is known
    std::uint64_t bytes = 0;   // file size when regular
    bool y4m = false;
    Y4mHeader header;          // when y4m
    std::string error;         // a bad Y4M header: the reason
    std::string_view encoded;  // what an encoded input appears to be (EncodedKind, else DemuxerKind)
    NameGuess name;            // from the file and folder names
    Y4mFrameWalk walk;         // a regular Y4M file's frames, when counted
    std::uint64_t walkFrameBytes = 0;  // the frame size they were counted at; 0: not counted
    std::shared_ptr<PeekedSequence> stream;  // a non-regular input kept open (Probe::KeepStream)
};
// How far a probe goes: Header reads a regular file's first bytes; Count also
// walks a regular Y4M file's frames; KeepStream also opens a non-regular input
// once, reads its head and keeps it open for the run, which cannot open a
// pipe a second time.
enum class Probe { Header, Count, KeepStream };
SequenceInfo ProbeSequence(const std::string& path, Probe depth = Probe::Count);

// What two sequences tell of the picture, by the rules every front end
// follows: a YUV4MPEG2 header outranks any name; two headers, or two names,
// that disagree tell nothing of what they disagree on. A null input, or one
// with a broken header (the run reports that), tells nothing.
struct FilesTell {
    bool fromHeader = false;
    std::int32_t width = 0;  // 0 x 0: no size told
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;  // null: no format told
    bool sizeConflict = false;
    bool formatConflict = false;
    std::string sourceSays, targetSays;  // "WxH format" as each told, for messages
    // A name that names a format Lorvane does not read (then no format is
    // told): the word, and which input (0 the source, 1 the target).
    std::string unsupportedFormat;
    int unsupportedIn = -1;
    bool SizeKnown() const { return width > 0 && height > 0; }
};
FilesTell WhatFilesTell(const SequenceInfo* source, const SequenceInfo* target);

// "1920x1080 yuv420p10le", "1920x1080" or "yuv420p10le": what is known of a picture.
std::string DescribePicture(std::int32_t width, std::int32_t height, const PixelFormat* format);

// Complete frames of the shorter of two regular files at this size and format
// (null: the classic layout, or a Y4M input's own), capped at kMaxDimension;
// 0 when either cannot tell.
std::int32_t FramesOfShorter(const SequenceInfo& source, const SequenceInfo& target, std::int32_t width,
                             std::int32_t height, const PixelFormat* format);

// A Y4M frame's plain "FRAME\n" line.
inline constexpr std::size_t kFrameLineBytes = 6;

// Complete frames in `fileBytes` of a sequence whose frames are `frameBytes`
// of samples, after a stream header of `headerBytes` and, for Y4M, each after
// a plain FRAME line.
std::uint64_t CompleteFrames(std::uint64_t fileBytes, bool y4m, std::uint64_t headerBytes,
                             std::uint64_t frameBytes);
// The same for a probed regular file, a Y4M file's by its walked FRAME lines;
// 0 for anything else.
std::uint64_t CompleteFrames(const SequenceInfo& info, std::uint64_t frameBytes);

// The largest of `samples` samples at `data`, of one byte or (bytesPerSample
// 2) two, little-endian.
std::uint32_t LargestSample(const std::uint8_t* data, std::size_t samples, int bytesPerSample);

// The largest sample in the first frame (`frameBytes`) of a probed regular
// file, after a Y4M header and its FRAME line; of what there is when the file
// is shorter. False when the file cannot be read there or holds no whole sample.
bool LargestSampleOfFirstFrame(const std::string& path, const SequenceInfo& info, std::uint64_t frameBytes,
                               int bytesPerSample, std::uint32_t& largest);

// What the first frame of a probed regular file says against a planar format
// of 9 to 15 bits at `width` x `height`: empty when its samples fit (or
// nothing can be told), else "<role> <path> 不是 <format> 格式：第0帧中最大的
// 样本值是 N，超过了 B 位的最大值 L。" and a line end. An 8-bit file beside
// a 10-bit name would otherwise be measured as 10-bit, far below any real result.
std::string SamplesBeyondFormat(const char* role, const std::string& path, const SequenceInfo& info,
                                const PixelFormat& format, std::int32_t width, std::int32_t height);

// The pictures "-s auto" tries, and the choice among them: the common sizes
// the file divides into at least two whole frames, in `format` or, when it is
// null, in the classic layout and in yuv420p10le; the one whose frames 0 and 1
// are most alike in luma, relative to the peak. Returns false when none is
// convincing; `report` then says why, otherwise what was picked and what came
// second.
struct SizeChoice {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;  // the classic layout, or the format tried
    double lumaMse = 0;
};
bool GuessSizeByContent(const std::string& path, const PixelFormat* format, SizeChoice& choice,
                        std::string& report);

}  // namespace lorvane
