#include "decoded.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <mutex>
#include <set>

#include "decoder_module.h"
#include "probe.h"

#if defined(LORVANE_DECODER_MODULE) && !defined(_WIN32)
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace lorvane {
namespace {

using decoding::Entry;

#if defined(LORVANE_DECODER_MODULE) && !defined(_WIN32)

std::string ExecutableFolder()
{
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || std::size_t(length) >= path.size())
        return {};
    path.resize(std::size_t(length));
    return path.substr(0, path.rfind('/'));
}

// Beside the program, where the package installs it, or, for a program run
// from the build tree (the tests), where the build put it.
const Entry* LoadModule()
{
    const std::string folder = ExecutableFolder();
    std::vector<std::string> candidates;
    if (!folder.empty()) {
        candidates.push_back(folder + "/" LORVANE_DECODER_MODULE);
        candidates.push_back(folder + "/" LORVANE_DECODER_INSTALLED);
    }
    const std::string build = LORVANE_DECODER_BUILD_TREE;
    if (!folder.empty() && (folder + "/").compare(0, build.size(), build) == 0)
        candidates.push_back(LORVANE_DECODER_BUILT);
    for (const std::string& candidate : candidates) {
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module)
            continue;
        const auto entry = reinterpret_cast<const Entry* (*)()>(dlsym(module, "lorvane_decoder_entry"));
        if (entry && entry() && entry()->abi == decoding::kDecoderAbi)
            return entry();  // loaded for good: its decoders live as long as the process
        dlclose(module);
    }
    return nullptr;
}

#else
const Entry* LoadModule() { return nullptr; }
#endif

const Entry* Module()
{
    static const Entry* const entry = LoadModule();
    return entry;
}

// Bytes a media file may start with and that libavformat may then name: the
// containers and streams that EncodedKind knows, and others it does not know
// as surely. Anything else is raw without asking, which keeps the decoders
// unloaded for raw sequences.
bool MayBeMedia(std::string_view head)
{
    if (!EncodedKind(head).empty())
        return true;
    const auto starts = [&](std::string_view bytes, std::size_t at = 0) {
        return head.size() >= at + bytes.size() && head.substr(at, bytes.size()) == bytes;
    };
    using namespace std::string_view_literals;
    for (const std::string_view magic : {"FLV\x01"sv, "OggS"sv, "RIFF"sv, "ID3"sv, "fLaC"sv, "GIF8"sv, ".RMF"sv,
                                         "nut/multimedia"sv, "\x06\x0E\x2B\x34\x02\x05\x01\x01"sv,
                                         "\x30\x26\xB2\x75\x8E\x66\xCF\x11"sv, "\0\0\1"sv, "\0\0\0\1"sv,
                                         "\x12\x00"sv, "DKIF"sv})
        if (starts(magic))
            return true;
    if (head.size() >= 8 && head.substr(4, 4) == "ftyp")
        return true;
    // MPEG audio or ADTS frame sync; M2TS: TS packets behind a 4-byte time code.
    const auto byte = [&](std::size_t at) { return at < head.size() ? static_cast<unsigned char>(head[at]) : 0u; };
    return (byte(0) == 0xFF && (byte(1) & 0xE0) == 0xE0) || (byte(4) == 0x47 && byte(196) == 0x47);
}

// Names handed out as string_views live here, for good.
std::string_view Interned(std::string name)
{
    static std::mutex lock;
    static std::set<std::string> names;
    const std::lock_guard<std::mutex> guard(lock);
    return *names.insert(std::move(name)).first;
}

}  // namespace

bool DecodingAvailable() { return Module() != nullptr; }

std::string_view DemuxerKind(std::string_view head)
{
    if (head.empty() || !MayBeMedia(head) || !Module())
        return {};
    std::string name = Module()->probe(head);
    return name.empty() ? std::string_view() : Interned(std::move(name));
}

std::unique_ptr<DecodedSource> DecodedSource::Open(const std::string& path, const char* role, int stream,
                                                   std::string& error)
{
    const std::string who = std::string(role) + " " + path;
    if (!Module()) {
        error = who + " 是编码文件，这个版本的 Lorvane 不能解码它。";
        return nullptr;
    }
    decoding::StreamFacts facts;
    decoding::OpenFailure failure = decoding::OpenFailure::None;
    std::unique_ptr<decoding::Decoder> decoder(Module()->open(path.c_str(), stream, facts, failure));
    using decoding::OpenFailure;
    const std::string number = std::to_string(stream);
    switch (failure) {
    case OpenFailure::None: break;
    case OpenFailure::NotOpened: error = who + " 无法作为视频文件打开：它的内容不完整或已损坏。"; break;
    case OpenFailure::NoVideo: error = who + " 没有视频流，无法测量。"; break;
    case OpenFailure::NoSuchStream:
        error = who + " 没有第" + number + "号流：它只有" + std::to_string(facts.streamCount) + "个流（从 0 起编号）。";
        break;
    case OpenFailure::NotVideoStream: error = who + " 的第" + number + "号流不是视频流，无法测量。"; break;
    case OpenFailure::NoDecoder: error = who + " 的视频编码 " + facts.codec + " 无法解码：没有它的解码器。"; break;
    case OpenFailure::DecoderNotOpened: error = who + " 的视频编码 " + facts.codec + " 的解码器无法打开。"; break;
    case OpenFailure::NoPicture: error = who + " 的视频流读不出图像宽高和像素格式：文件不完整或已损坏。"; break;
    case OpenFailure::OutOfMemory: throw std::bad_alloc();
    }
    if (failure != OpenFailure::None || !decoder)
        return nullptr;
    const PixelFormat* format = FindPixelFormat(facts.pixelFormat);
    if (!format) {
        error = who + " 的像素格式是 " + facts.pixelFormat + "，Lorvane 不能测量它（没有缩放也没有颜色转换）。";
        return nullptr;
    }
    std::unique_ptr<DecodedSource> source(new DecodedSource);
    source->decoder_ = std::move(decoder);
    source->path_ = path;
    source->role_ = role;
    source->stream_ = {facts.width, facts.height, format, facts.codec, facts.container, facts.index,
                       facts.frameEstimate, facts.rateNum, facts.rateDen, facts.variableRate};
    return source;
}

DecodedSource::~DecodedSource() = default;
std::int64_t DecodedSource::Errors() const { return decoder_->Errors(); }
std::int64_t DecodedSource::FirstErrorFrame() const { return decoder_->FirstErrorAt(); }
std::int64_t DecodedSource::MissingFrames() const { return decoder_->MissingFrames(); }
std::int64_t DecodedSource::FirstGapFrame() const { return decoder_->FirstGapAt(); }

bool DecodedSource::SeekToFrame(std::int64_t index)
{
    if (ended_ || !decoder_->SeekToFrame(index))
        return false;
    // The costs of the frames read are no longer in order.
    packetBytes_.clear();
    return true;
}

std::uint64_t DecodedSource::PacketBytes(std::int64_t first, std::int64_t count) const
{
    std::uint64_t bytes = 0;
    for (std::int64_t k = std::max<std::int64_t>(first, 0); k < first + count && k < FramesRead(); ++k)
        bytes += packetBytes_[std::size_t(k)];
    return bytes;
}

// The next picture, if it is the stream's size and format.
bool DecodedSource::Next(decoding::Picture& picture)
{
    if (ended_ || !decoder_->Next(picture)) {
        ended_ = true;
        return false;
    }
    if (picture.width != stream_.width || picture.height != stream_.height ||
        picture.pixelFormat != stream_.format->name) {
        // No scaling: the stream ends where its pictures change.
        stoppedBecause_ = role_ + " " + path_ + " 的第" + std::to_string(FramesRead()) + "帧变成了 " +
                          std::to_string(picture.width) + "x" + std::to_string(picture.height) + " " +
                          std::string(picture.pixelFormat) + "，与视频流开头的 " +
                          DescribePicture(stream_.width, stream_.height, stream_.format) + " 不同：只比较到它之前。";
        ended_ = true;
        return false;
    }
    packetBytes_.push_back(std::uint64_t(picture.packetBytes));
    return true;
}

bool DecodedSource::ReadPicture(PictureView& view)
{
    decoding::Picture picture;
    if (!Next(picture))
        return false;
    for (int p = 0; p < 3; ++p) {
        view.planes[p] = stream_.format->gray && p > 0 ? nullptr : picture.planes[p];
        view.strides[p] = picture.strides[p];
    }
    return true;
}

bool DecodedSource::ReadFrame(std::uint8_t* out)
{
    decoding::Picture picture;
    if (!Next(picture))
        return false;
    const PixelFormat& format = *stream_.format;
    // Rows of each plane as a raw file holds them, one after the other.
    const int bytes = format.BytesPerSample();
    const auto rows = [&](int p, std::size_t rowBytes, std::int32_t count) {
        const std::uint8_t* in = picture.planes[p];
        for (std::int32_t y = 0; y < count; ++y, in += picture.strides[p], out += rowBytes)
            std::memcpy(out, in, rowBytes);
    };
    const std::int32_t w = stream_.width, h = stream_.height;
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
    return true;
}

double KilobitsPerSecond(std::uint64_t bytes, std::int64_t frames, const DecodedStream& stream)
{
    if (frames <= 0 || stream.rateNum <= 0 || stream.rateDen <= 0)
        return -1;
    const double seconds = double(frames) * stream.rateDen / stream.rateNum;
    return double(bytes) * 8 / seconds / 1000;
}

}  // namespace lorvane
