// The decoding module: one video stream of an encoded file, demuxed by
// libavformat and decoded by libavcodec with the decoder's own threads,
// handed out picture by picture in presentation order without a copy.
#include "decoder_module.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace lorvane::decoding {
namespace {

class FfmpegDecoder;
void CountLoggedError(void* avcl, int level);

// What goes wrong is said in the tool's own messages; FFmpeg's log lines
// would only interleave with them. Its errors are counted, though: a
// demuxer that drops a damaged packet or a decoder that conceals a slice
// says so only there, and the frames lost would go unnoticed.
void QuietLibraries()
{
    static const bool quiet = (av_log_set_callback([](void* avcl, int level, const char*, va_list) {
                                   CountLoggedError(avcl, level);
                               }),
                               true);
    (void)quiet;
}

std::string Probe(std::string_view head)
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
    // sequence is never theirs to read. YUV4MPEG2 is read without them.
    const std::string_view name = format->name;
    for (const std::string_view any : {"rawvideo", "image2", "image2pipe", "data", "bin", "tty", "yuv4mpegpipe"})
        if (name == any)
            return {};
    return std::string(name);
}

// The JPEG-range twins lay their samples out as the others do.
AVPixelFormat MeasuredTwin(AVPixelFormat format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    default: return format;
    }
}

std::string_view FormatName(int format)
{
    const char* name = av_get_pix_fmt_name(MeasuredTwin(AVPixelFormat(format)));
    return name ? name : "?";
}

struct Closer {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

class FfmpegDecoder final : public Decoder {
public:
    ~FfmpegDecoder() override
    {
        // Nothing logged from here on is this decoder's.
        if (decoder)
            decoder->opaque = nullptr;
        if (container)
            container->opaque = nullptr;
    }
    bool Next(Picture& picture) override;
    std::int64_t Errors() const override { return errors_; }
    std::int64_t FirstErrorAt() const override { return firstError_; }
    std::int64_t MissingFrames() const override { return missing_; }
    std::int64_t FirstGapAt() const override { return firstGap_; }
    bool SeekToFrame(std::int64_t index) override;
    // From any thread: the decoder's own threads log too.
    void Error()
    {
        std::int64_t none = -1;
        firstError_.compare_exchange_strong(none, handedOut_.load());
        ++errors_;
    }

    std::unique_ptr<AVFormatContext, Closer> container;
    std::unique_ptr<AVCodecContext, Closer> decoder;
    std::unique_ptr<AVPacket, Closer> packet{av_packet_alloc()};
    std::unique_ptr<AVFrame, Closer> frame{av_frame_alloc()};
    int streamIndex = -1;
    std::int64_t frameTicks = 0;  // one frame in the stream's time base; 0: not constant or unknown

private:
    void CheckTimestamp(std::int64_t ts)
    {
        if (frameTicks > 0 && ts != AV_NOPTS_VALUE && lastTimestamp_ != AV_NOPTS_VALUE &&
            ts - lastTimestamp_ > frameTicks + frameTicks / 2) {
            if (missing_ == 0)
                firstGap_ = handedOut_;
            missing_ += (ts - lastTimestamp_ + frameTicks / 2) / frameTicks - 1;
        }
        if (ts != AV_NOPTS_VALUE)
            lastTimestamp_ = ts;
    }
    std::int64_t lastTimestamp_ = AV_NOPTS_VALUE;
    std::int64_t firstTimestamp_ = AV_NOPTS_VALUE;
    bool pending_ = false;  // `frame` is the next to hand out (after a seek)
    std::int64_t missing_ = 0;
    std::int64_t firstGap_ = -1;
    bool demuxerDone_ = false;  // every packet sent, and the decoder told so
    bool ended_ = false;
    std::atomic<std::int64_t> handedOut_{0};
    std::atomic<std::int64_t> errors_{0};
    std::atomic<std::int64_t> firstError_{-1};
};

// The decoder's frame threads copy the context's opaque pointer: a line
// from any of them finds its source there.
void CountLoggedError(void* avcl, int level)
{
    if (!avcl || level > AV_LOG_ERROR)
        return;
    const AVClass* cls = *static_cast<const AVClass**>(avcl);
    void* owner = nullptr;
    if (cls == avcodec_get_class())
        owner = static_cast<AVCodecContext*>(avcl)->opaque;
    else if (cls == avformat_get_class())
        owner = static_cast<AVFormatContext*>(avcl)->opaque;
    if (owner)
        static_cast<FfmpegDecoder*>(owner)->Error();
}

bool FfmpegDecoder::Next(Picture& picture)
{
    if (!pending_)
        av_frame_unref(frame.get());
    while (!ended_) {
        const int got = pending_ ? 0 : avcodec_receive_frame(decoder.get(), frame.get());
        pending_ = false;
        if (got == 0) {
            if (firstTimestamp_ == AV_NOPTS_VALUE)
                firstTimestamp_ = frame->best_effort_timestamp;
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                Error();
            for (int p = 0; p < 4; ++p) {
                picture.planes[p] = frame->data[p];
                picture.strides[p] = frame->linesize[p];
            }
            picture.width = frame->width;
            picture.height = frame->height;
            picture.pixelFormat = FormatName(frame->format);
            picture.packetBytes = frame->pkt_size > 0 ? frame->pkt_size : 0;
            CheckTimestamp(frame->best_effort_timestamp);
            ++handedOut_;
            return true;
        }
        if (got == AVERROR_EOF)
            break;
        if (got != AVERROR(EAGAIN))
            Error();
        if (demuxerDone_)
            break;  // nothing more will come
        // Another packet of the stream, or the end.
        int read;
        while ((read = av_read_frame(container.get(), packet.get())) >= 0 && packet->stream_index != streamIndex)
            av_packet_unref(packet.get());
        if (read < 0) {
            if (read != AVERROR_EOF)
                Error();
            demuxerDone_ = true;
            avcodec_send_packet(decoder.get(), nullptr);  // drain
            continue;
        }
        const int sent = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        // A packet the decoder rejects is passed over, as ffmpeg does; the frames go on.
        if (sent < 0 && sent != AVERROR(EAGAIN))
            Error();
    }
    ended_ = true;
    return false;
}

bool FfmpegDecoder::SeekToFrame(std::int64_t index)
{
    Picture picture;
    if (frameTicks <= 0 || (handedOut_ == 0 && !Next(picture)) || firstTimestamp_ == AV_NOPTS_VALUE)
        return false;
    const std::int64_t wanted = firstTimestamp_ + index * frameTicks;
    // Some demuxers (MPEG-TS) land after the place asked for, and the frames
    // an open GOP shows before its keyframe cannot be decoded from it: the
    // frame counts only when a keyframe at or before it was decoded first.
    // Otherwise try again from further back.
    for (std::int64_t back = 0;; back = std::max(2 * back, 16 * frameTicks)) {
        const std::int64_t target = wanted - back;
        if (target < firstTimestamp_ && back > 0)
            return false;
        if (av_seek_frame(container.get(), streamIndex, target, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(decoder.get());
        demuxerDone_ = ended_ = false;
        lastTimestamp_ = AV_NOPTS_VALUE;
        std::int64_t keyframeAt = AV_NOPTS_VALUE;
        while (Next(picture)) {
            const std::int64_t at = frame->best_effort_timestamp;
            if (at == AV_NOPTS_VALUE)
                return false;
            if (frame->key_frame && keyframeAt == AV_NOPTS_VALUE)
                keyframeAt = at;
            if (at >= wanted)
                break;
        }
        if (ended_)
            return false;
        const std::int64_t at = frame->best_effort_timestamp;
        if (at == wanted && keyframeAt != AV_NOPTS_VALUE && keyframeAt <= wanted) {
            pending_ = true;
            --handedOut_;
            return true;
        }
    }
}

Decoder* Open(const char* path, int wanted, StreamFacts& facts, OpenFailure& failure)
{
    QuietLibraries();
    auto source = std::make_unique<FfmpegDecoder>();
    failure = OpenFailure::OutOfMemory;
    if (!source->packet || !source->frame)
        return nullptr;
    failure = OpenFailure::NotOpened;
    AVFormatContext* container = nullptr;
    if (avformat_open_input(&container, path, nullptr, nullptr) < 0)
        return nullptr;
    source->container.reset(container);
    container->opaque = source.get();
    if (avformat_find_stream_info(container, nullptr) < 0)
        return nullptr;
    facts.container = container->iformat->name;
    facts.streamCount = int(container->nb_streams);
    const auto isVideo = [&](unsigned s) {
        return container->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
               !(container->streams[s]->disposition & AV_DISPOSITION_ATTACHED_PIC);
    };
    int index = -1;
    if (wanted >= 0) {
        failure = OpenFailure::NoSuchStream;
        if (unsigned(wanted) >= container->nb_streams)
            return nullptr;
        failure = OpenFailure::NotVideoStream;
        if (!isVideo(unsigned(wanted)))
            return nullptr;
        index = wanted;
    } else {
        for (unsigned s = 0; s < container->nb_streams && index < 0; ++s)
            if (isVideo(s))
                index = int(s);
        failure = OpenFailure::NoVideo;
        if (index < 0)
            return nullptr;
    }
    source->streamIndex = index;
    facts.index = index;
    AVStream* stream = container->streams[index];
    for (unsigned s = 0; s < container->nb_streams; ++s)
        if (int(s) != index)
            container->streams[s]->discard = AVDISCARD_ALL;
    facts.codec = avcodec_get_name(stream->codecpar->codec_id);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    failure = OpenFailure::NoDecoder;
    if (!codec)
        return nullptr;
    source->decoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext* decoder = source->decoder.get();
    failure = OpenFailure::OutOfMemory;
    if (!decoder || avcodec_parameters_to_context(decoder, stream->codecpar) < 0)
        return nullptr;
    decoder->thread_count = 0;  // as many as the decoder sees fit
    decoder->opaque = source.get();
    decoder->pkt_timebase = stream->time_base;
    failure = OpenFailure::DecoderNotOpened;
    if (avcodec_open2(decoder, codec, nullptr) < 0)
        return nullptr;
    failure = OpenFailure::NoPicture;
    if (decoder->width <= 0 || decoder->height <= 0 || decoder->pix_fmt == AV_PIX_FMT_NONE)
        return nullptr;
    facts.width = decoder->width;
    facts.height = decoder->height;
    facts.pixelFormat = FormatName(decoder->pix_fmt);
    facts.frameEstimate = stream->nb_frames > 0 ? stream->nb_frames : 0;
    const AVRational average = stream->avg_frame_rate, base = stream->r_frame_rate;
    if (average.num > 0 && average.den > 0) {
        facts.rateNum = average.num;
        facts.rateDen = average.den;
    } else if (base.num > 0 && base.den > 0) {
        facts.rateNum = base.num;
        facts.rateDen = base.den;
    }
    // Rates of a constant-rate stream agree to a thousandth; a variable
    // one's average lies below the base rate its timestamps are counted in.
    if (average.num > 0 && average.den > 0 && base.num > 0 && base.den > 0) {
        const double a = av_q2d(average), b = av_q2d(base);
        facts.variableRate = std::abs(a - b) > 0.001 * b;
    }
    // Timestamps a whole number of ticks apart frame after frame: the gaps
    // among them are frames lost.
    if (!facts.variableRate && facts.rateNum > 0) {
        const AVRational tick = av_div_q(av_inv_q(AVRational{facts.rateNum, facts.rateDen}), stream->time_base);
        if (tick.den == 1 && tick.num > 0)
            source->frameTicks = tick.num;
    }
    if (facts.frameEstimate == 0 && container->duration > 0 && facts.rateNum > 0)
        facts.frameEstimate =
            std::int64_t(double(container->duration) / AV_TIME_BASE * facts.rateNum / facts.rateDen + 0.5);
    failure = OpenFailure::None;
    return source.release();
}

const Entry kEntry{kDecoderAbi, Probe, Open};

}  // namespace
}  // namespace lorvane::decoding

extern "C" __attribute__((visibility("default"))) const lorvane::decoding::Entry* lorvane_decoder_entry()
{
    return &lorvane::decoding::kEntry;
}
