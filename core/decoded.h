// Encoded inputs (MP4, Matroska, IVF, MPEG-TS, elementary streams, ...)
// decoded with FFmpeg's libraries, frame by frame, into the layout a raw
// frame of the same format has, so that the rest of a run cannot tell them
// from raw frames. Without those libraries (the static Windows build) the
// functions here say that nothing can be decoded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "format.h"

namespace lorvane {

// True when this build can decode.
bool DecodingAvailable();

// How many of a file's first bytes DemuxerKind wants to see.
inline constexpr std::size_t kProbeBytes = 4096;

// The name of the container or elementary stream libavformat recognises, by
// content alone, in a file's first bytes ("matroska,webm", "ivf", "hevc");
// empty when it recognises none with confidence, or recognises only a format
// that any bytes could be (raw video, images by their file names). Always
// empty without FFmpeg.
std::string_view DemuxerKind(std::string_view head);

// What the first video stream of an encoded file holds.
struct DecodedStream {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;
    std::string codec;           // "h264"
    std::int64_t frameEstimate = 0;  // the container's frame count; 0 when it does not say
};

// One encoded file, decoded in presentation order.
class DecodedSource {
public:
    // Opens `path` and the decoder of its first video stream. On failure
    // returns null and sets `error` to a message naming the file; `role`
    // names the sequence (源参考序列).
    static std::unique_ptr<DecodedSource> Open(const std::string& path, const char* role, std::string& error);
    ~DecodedSource();
    DecodedSource(const DecodedSource&) = delete;
    DecodedSource& operator=(const DecodedSource&) = delete;

    const DecodedStream& Stream() const;
    // The next frame, copied into `frame` as LayoutOf(format, width, height)
    // lays a raw frame out. False at the end of the stream.
    bool ReadFrame(std::uint8_t* frame);

    // Errors the decoder or the demuxer met on the way; the frame that was
    // being decoded (counted from 0) when the first came.
    std::int64_t Errors() const;
    std::int64_t FirstErrorFrame() const;
    // A frame whose size or format differs from the stream's ended it: why.
    const std::string& StoppedBecause() const;

    struct State;

private:
    explicit DecodedSource(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace lorvane
