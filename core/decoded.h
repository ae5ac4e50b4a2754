// Encoded inputs (MP4, Matroska, IVF, MPEG-TS, elementary streams, ...)
// decoded with FFmpeg's libraries, frame by frame, into the layout a raw
// frame of the same format has, so that the rest of a run cannot tell them
// from raw frames. The libraries live in a module loaded on the first encoded
// input; where there is none (the Windows build, a build without FFmpeg) the
// functions here say that nothing can be decoded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace lorvane {

namespace decoding {
class Decoder;
struct Picture;
}

// True when this build can decode (loads the module on the first call).
bool DecodingAvailable();

// How many of a file's first bytes DemuxerKind wants to see.
inline constexpr std::size_t kProbeBytes = 4096;

// The name of the container or elementary stream libavformat recognises, by
// content alone, in a file's first bytes ("matroska,webm", "ivf", "hevc");
// empty when it recognises none with confidence, or recognises only a format
// that any bytes could be (raw video, images by their file names). Bytes that
// start like no media file at all are not shown to libavformat, so a raw
// sequence costs no loading of the decoders. Always empty without them.
std::string_view DemuxerKind(std::string_view head);

// What the measured video stream of an encoded file holds.
struct DecodedStream {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;
    std::string codec;               // "h264"
    std::string container;           // "mov,mp4,m4a,3gp,3g2,mj2"
    int index = 0;                   // among the file's streams, from 0
    std::int64_t frameEstimate = 0;  // the container's frame count; 0 when it does not say
    int rateNum = 0, rateDen = 0;    // frames per second as a fraction; 0 when unknown
    bool variableRate = false;
};

// The planes of a decoded picture where the decoder holds them: Y, U, V
// (U and V null for gray), each row `strides` bytes after the one before.
struct PictureView {
    const std::uint8_t* planes[3] = {};
    std::ptrdiff_t strides[3] = {};
};

// One encoded file, decoded in presentation order.
class DecodedSource {
public:
    // Opens `path` and the decoder of its video stream number `stream` (-1:
    // the first). On failure returns null and sets `error` to a message naming
    // the file; `role` names the sequence (源参考序列).
    static std::unique_ptr<DecodedSource> Open(const std::string& path, const char* role, int stream,
                                               std::string& error);
    ~DecodedSource();
    DecodedSource(const DecodedSource&) = delete;
    DecodedSource& operator=(const DecodedSource&) = delete;

    const DecodedStream& Stream() const { return stream_; }
    // The next frame, copied into `frame` as LayoutOf(format, width, height)
    // lays a raw frame out. False at the end of the stream.
    bool ReadFrame(std::uint8_t* frame);
    // The next frame without a copy, for planar formats: valid until the
    // next call. False at the end of the stream.
    bool ReadPicture(PictureView& view);
    // Makes frame `index` the next one read, by seeking (see Decoder); false
    // when the stream cannot be seeked so.
    bool SeekToFrame(std::int64_t index);
    // Frames handed out so far, and the bytes of the packets of frames
    // [first, first + count) among them.
    std::int64_t FramesRead() const { return std::int64_t(packetBytes_.size()); }
    std::uint64_t PacketBytes(std::int64_t first, std::int64_t count) const;

    // Errors the decoder or the demuxer met on the way; the frame that was
    // being decoded (counted from 0) when the first came.
    std::int64_t Errors() const;
    std::int64_t FirstErrorFrame() const;
    // Frames missing from a constant-rate stream, by its timestamps, and the
    // frame (counted from 0 among those decoded) before which the first gap lies.
    std::int64_t MissingFrames() const;
    std::int64_t FirstGapFrame() const;
    // A frame whose size or format differs from the stream's ended it: why.
    const std::string& StoppedBecause() const { return stoppedBecause_; }

private:
    DecodedSource() = default;
    bool Next(decoding::Picture& picture);
    std::unique_ptr<decoding::Decoder> decoder_;
    std::string path_, role_;
    DecodedStream stream_;
    std::vector<std::uint64_t> packetBytes_;
    std::string stoppedBecause_;
    bool ended_ = false;
};

// Kilobits per second of `bytes` over `frames` frames at the stream's rate;
// negative when the rate is unknown.
double KilobitsPerSecond(std::uint64_t bytes, std::int64_t frames, const DecodedStream& stream);

}  // namespace lorvane
