#include "decoded.h"

#include "probe.h"

#include <cstring>
#include <vector>

#ifdef LORVANE_HAVE_FFMPEG
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}
#endif

namespace lorvane {

#ifdef LORVANE_HAVE_FFMPEG

bool DecodingAvailable() { return true; }

namespace {

// What goes wrong is said in the tool's own messages; FFmpeg's log lines
// would only interleave with them.
void QuietLibraries()
{
    static const bool quiet = (av_log_set_level(AV_LOG_QUIET), true);
    (void)quiet;
}

}  // namespace

std::string_view DemuxerKind(std::string_view head)
{
    QuietLibraries();
    if (head.empty())
        return {};
    // The probe reads past the data it is given: it wants zeros there.
    std::vector<unsigned char> buffer(head.size() + AVPROBE_PADDING_SIZE, 0);
    std::memcpy(buffer.data(), head.data(), head.size());
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = buffer.data();
    probe.buf_size = int(head.size());
    int score = 0;
    const AVInputFormat* format = av_probe_input_format2(&probe, 1, &score);
    if (!format || score < AVPROBE_SCORE_MAX / 2)
        return {};
    // Formats that take any bytes, or know their files only by name: a raw
    // sequence is never theirs to read.
    const std::string_view name = format->name;
    // YUV4MPEG2 is read without them, and a file without its signature is raw.
    for (const std::string_view any : {"rawvideo", "image2", "image2pipe", "data", "bin", "tty", "yuv4mpegpipe"})
        if (name == any)
            return {};
    return name;
}

namespace {

// Lorvane's format for a decoder's, or null. The JPEG-range twins lay their
// samples out as the others do.
const PixelFormat* LorvaneFormat(AVPixelFormat format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: format = AV_PIX_FMT_YUV420P; break;
    case AV_PIX_FMT_YUVJ422P: format = AV_PIX_FMT_YUV422P; break;
    case AV_PIX_FMT_YUVJ440P: format = AV_PIX_FMT_YUV440P; break;
    case AV_PIX_FMT_YUVJ444P: format = AV_PIX_FMT_YUV444P; break;
    default: break;
    }
    const char* name = av_get_pix_fmt_name(format);
    return name ? FindPixelFormat(name) : nullptr;
}

struct Closer {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

}  // namespace

struct DecodedSource::State {
    std::string path, role;
    std::unique_ptr<AVFormatContext, Closer> container;
    std::unique_ptr<AVCodecContext, Closer> decoder;
    std::unique_ptr<AVPacket, Closer> packet{av_packet_alloc()};
    std::unique_ptr<AVFrame, Closer> frame{av_frame_alloc()};
    int streamIndex = -1;
    DecodedStream stream;
    PictureLayout layout;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    bool demuxerDone = false;  // every packet sent, and the decoder told so
    bool ended = false;
    std::int64_t frames = 0;  // handed out
    std::int64_t errors = 0;
    std::int64_t firstError = -1;
    std::string stoppedBecause;

    void Error()
    {
        if (errors++ == 0)
            firstError = frames;
    }
    bool NextFrame();
    void Copy(std::uint8_t* out) const;
};

std::unique_ptr<DecodedSource> DecodedSource::Open(const std::string& path, const char* role, std::string& error)
{
    QuietLibraries();
    auto state = std::make_unique<State>();
    state->path = path;
    state->role = role;
    const std::string who = std::string(role) + " " + path;
    if (!state->packet || !state->frame) {
        error = "内存不足，无法解码" + who + "！";
        return nullptr;
    }
    AVFormatContext* container = nullptr;
    if (avformat_open_input(&container, path.c_str(), nullptr, nullptr) < 0) {
        error = who + " 无法作为视频文件打开：它的内容不完整或已损坏。";
        return nullptr;
    }
    state->container.reset(container);
    if (avformat_find_stream_info(container, nullptr) < 0) {
        error = who + " 无法作为视频文件打开：它的内容不完整或已损坏。";
        return nullptr;
    }
    const int index = av_find_best_stream(container, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    int first = -1;
    for (unsigned s = 0; s < container->nb_streams && first < 0; ++s)
        if (container->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(container->streams[s]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            first = int(s);
    if (index < 0 || first < 0) {
        error = who + " 没有视频流，无法测量。";
        return nullptr;
    }
    state->streamIndex = first;
    AVStream* stream = container->streams[first];
    for (unsigned s = 0; s < container->nb_streams; ++s)
        if (int(s) != first)
            container->streams[s]->discard = AVDISCARD_ALL;
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        error = who + " 的视频编码 " + avcodec_get_name(stream->codecpar->codec_id) + " 无法解码：没有它的解码器。";
        return nullptr;
    }
    state->decoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext* decoder = state->decoder.get();
    if (!decoder || avcodec_parameters_to_context(decoder, stream->codecpar) < 0) {
        error = "内存不足，无法解码" + who + "！";
        return nullptr;
    }
    decoder->thread_count = 0;  // as many as the decoder sees fit
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder, codec, nullptr) < 0) {
        error = who + " 的视频编码 " + codec->name + " 的解码器无法打开。";
        return nullptr;
    }
    if (decoder->width <= 0 || decoder->height <= 0 || decoder->pix_fmt == AV_PIX_FMT_NONE) {
        error = who + " 的视频流读不出图像宽高和像素格式：文件不完整或已损坏。";
        return nullptr;
    }
    state->pixelFormat = decoder->pix_fmt;
    const char* formatName = av_get_pix_fmt_name(decoder->pix_fmt);
    const PixelFormat* format = LorvaneFormat(decoder->pix_fmt);
    if (!format) {
        error = who + " 的像素格式是 " + (formatName ? formatName : "未知") +
                "，Lorvane 不能测量它（没有缩放也没有颜色转换）。";
        return nullptr;
    }
    state->stream = {decoder->width, decoder->height, format, codec->name, stream->nb_frames};
    state->layout = LayoutOf(*format, decoder->width, decoder->height);
    return std::unique_ptr<DecodedSource>(new DecodedSource(std::move(state)));
}

// The decoder's next frame in `frame`; false at the end.
bool DecodedSource::State::NextFrame()
{
    for (;;) {
        const int got = avcodec_receive_frame(decoder.get(), frame.get());
        if (got == 0) {
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                Error();
            return true;
        }
        if (got == AVERROR_EOF)
            return false;
        if (got != AVERROR(EAGAIN)) {
            Error();
            if (demuxerDone)
                return false;  // nothing more will come
        }
        if (demuxerDone)
            return false;
        // Another packet of the stream, or the end.
        int read;
        while ((read = av_read_frame(container.get(), packet.get())) >= 0 && packet->stream_index != streamIndex)
            av_packet_unref(packet.get());
        if (read < 0) {
            if (read != AVERROR_EOF)
                Error();
            demuxerDone = true;
            avcodec_send_packet(decoder.get(), nullptr);  // drain
            continue;
        }
        const int sent = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        // A packet the decoder rejects is passed over, as ffmpeg does; the frames go on.
        if (sent < 0 && sent != AVERROR(EAGAIN))
            Error();
    }
}

// Rows of each plane as a raw file holds them, one after the other.
void DecodedSource::State::Copy(std::uint8_t* out) const
{
    const PixelFormat& format = *stream.format;
    const int bytes = format.BytesPerSample();
    const auto rows = [&](int p, std::size_t rowBytes, std::int32_t count) {
        const std::uint8_t* in = frame->data[p];
        for (std::int32_t y = 0; y < count; ++y, in += frame->linesize[p], out += rowBytes)
            std::memcpy(out, in, rowBytes);
    };
    const std::int32_t w = stream.width, h = stream.height;
    const std::int32_t cw = (w + (1 << format.log2ChromaWidth) - 1) >> format.log2ChromaWidth;
    const std::int32_t ch = (h + (1 << format.log2ChromaHeight) - 1) >> format.log2ChromaHeight;
    switch (format.packing) {
    case Packing::Planar:
        rows(0, std::size_t(w) * bytes, h);
        if (!format.gray) {
            rows(1, std::size_t(cw) * bytes, ch);
            rows(2, std::size_t(cw) * bytes, ch);
        }
        break;
    case Packing::SemiPlanar:
        rows(0, std::size_t(w) * bytes, h);
        rows(1, std::size_t(cw) * 2 * bytes, ch);
        break;
    case Packing::Packed:
        rows(0, std::size_t(cw) * 4 * bytes, h);
        break;
    }
}

DecodedSource::DecodedSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
DecodedSource::~DecodedSource() = default;
const DecodedStream& DecodedSource::Stream() const { return state_->stream; }
std::int64_t DecodedSource::Errors() const { return state_->errors; }
std::int64_t DecodedSource::FirstErrorFrame() const { return state_->firstError; }
const std::string& DecodedSource::StoppedBecause() const { return state_->stoppedBecause; }

bool DecodedSource::ReadFrame(std::uint8_t* frame)
{
    State& s = *state_;
    if (s.ended || !s.NextFrame()) {
        s.ended = true;
        return false;
    }
    if (s.frame->width != s.stream.width || s.frame->height != s.stream.height ||
        s.frame->format != s.pixelFormat) {
        // No scaling: the stream ends where its pictures change.
        const char* name = av_get_pix_fmt_name(AVPixelFormat(s.frame->format));
        s.stoppedBecause = s.role + " " + s.path + " 的第" + std::to_string(s.frames) + "帧变成了 " +
                           std::to_string(s.frame->width) + "x" + std::to_string(s.frame->height) + " " +
                           (name ? name : "?") + "，与视频流开头的 " +
                           DescribePicture(s.stream.width, s.stream.height, s.stream.format) + " 不同：只比较到它之前。";
        av_frame_unref(s.frame.get());
        s.ended = true;
        return false;
    }
    s.Copy(frame);
    av_frame_unref(s.frame.get());
    ++s.frames;
    return true;
}

#else  // no FFmpeg: nothing is decoded

bool DecodingAvailable() { return false; }
std::string_view DemuxerKind(std::string_view) { return {}; }

struct DecodedSource::State {
    DecodedStream stream;
    std::string none;
};

std::unique_ptr<DecodedSource> DecodedSource::Open(const std::string& path, const char* role, std::string& error)
{
    error = std::string(role) + " " + path + " 是编码文件，这个版本的 Lorvane 不能解码它。";
    return nullptr;
}
DecodedSource::DecodedSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
DecodedSource::~DecodedSource() = default;
const DecodedStream& DecodedSource::Stream() const { return state_->stream; }
bool DecodedSource::ReadFrame(std::uint8_t*) { return false; }
std::int64_t DecodedSource::Errors() const { return 0; }
std::int64_t DecodedSource::FirstErrorFrame() const { return -1; }
const std::string& DecodedSource::StoppedBecause() const { return state_->none; }

#endif

}  // namespace lorvane
