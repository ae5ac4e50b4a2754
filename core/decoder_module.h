// The boundary between the core and the module that holds FFmpeg's decoders
// (lorvane-ffmpeg.so). The module is loaded only when an input looks encoded:
// linking libavformat and libavcodec into every run would load some hundred
// and thirty libraries, and cost a raw comparison more time and memory than
// the comparison itself. Both sides are built from this header by the same
// compiler, so C++ types cross it; kDecoderAbi guards against a stale module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane::decoding {

inline constexpr int kDecoderAbi = 4;

enum class OpenFailure {
    None,
    NotOpened,         // libavformat cannot open or read it
    NoVideo,           // no video stream at all
    NoSuchStream,      // --stream N beyond the streams
    NotVideoStream,    // --stream N is audio, subtitles, ...
    NoDecoder,         // no decoder for the codec (`codec` says which)
    DecoderNotOpened,  // the decoder refused the stream
    NoPicture,         // the stream tells no size or pixel format
    OutOfMemory,
};

// What the chosen video stream holds, as the decoder will hand it out.
struct StreamFacts {
    int index = -1;               // among all the file's streams, from 0 (as ffprobe counts)
    int streamCount = 0;
    int width = 0;
    int height = 0;
    std::string pixelFormat;      // FFmpeg's name; the JPEG-range twins as their yuv* names
    std::string codec;            // "h264"
    std::string container;        // "mov,mp4,m4a,3gp,3g2,mj2"
    std::int64_t frameEstimate = 0;  // the container's frame count; 0 when it does not say
    int rateNum = 0, rateDen = 0;    // average frame rate; 0 when unknown
    bool variableRate = false;    // the container's base rate differs from its average
};

// One decoded picture, valid until the next call to Next.
struct Picture {
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
    int width = 0;
    int height = 0;
    std::string_view pixelFormat;  // as StreamFacts::pixelFormat
    std::int64_t packetBytes = 0;  // the size of the packet the picture came from
};

class Decoder {
public:
    virtual ~Decoder() = default;
    // The next picture in presentation order; false at the end of the stream.
    virtual bool Next(Picture& picture) = 0;
    // Errors the demuxer or the decoder met so far (each concealed as ffmpeg
    // conceals it), and how many pictures had been handed out at the first.
    virtual std::int64_t Errors() const = 0;
    virtual std::int64_t FirstErrorAt() const = 0;
    // Frames a constant-rate stream's timestamps say are missing between the
    // pictures handed out (a demuxer that dropped damaged packets says
    // nothing else), and how many pictures came before the first gap.
    virtual std::int64_t MissingFrames() const = 0;
    virtual std::int64_t FirstGapAt() const = 0;
    // Makes frame `index` (from 0, in presentation order) the next one Next
    // hands out, by seeking to the keyframe before it and decoding forward,
    // for a constant-rate stream with timestamps. False when the stream
    // cannot be seeked so (the decoder must then be opened again and read
    // from the start).
    virtual bool SeekToFrame(std::int64_t index) = 0;
};

struct Entry {
    int abi;
    // The container or elementary stream libavformat recognises with
    // confidence by content alone in a file's first bytes; empty for none, and
    // for formats that take any bytes or know their files only by name.
    std::string (*probe)(std::string_view head);
    // Opens `stream` (-1: the first video stream) of the file at `path`; null
    // with `failure` set when it cannot.
    Decoder* (*open)(const char* path, int stream, StreamFacts& facts, OpenFailure& failure);
};

}  // namespace lorvane::decoding

extern "C" const lorvane::decoding::Entry* lorvane_decoder_entry();
