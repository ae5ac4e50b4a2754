// Pixel formats and where the planes of one frame lie.
//
// One table describes every planar format the tool reads, named as ffmpeg's
// -pix_fmt names them; parsing a name, the plane sizes and the descriptions
// shown to the user all come from it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lorvane {

struct PixelFormat {
    std::string_view name;         // "yuv420p10le"; empty for the classic layout
    std::string_view description;  // "YUV 4:2:0 10位"
    int log2ChromaWidth = 1;       // chroma width = ceil(width / 2^this)
    int log2ChromaHeight = 1;
    int bits = 8;                  // 8: one byte a sample; 9..16: two, little-endian
    bool gray = false;             // Y only: U and V have no samples

    int BytesPerSample() const { return bits > 8 ? 2 : 1; }
};

// The classic layout: 8-bit 4:2:0 with chroma width / 2 x height / 2 rounded
// down, as the tool has always read raw files when no format is named.
const PixelFormat& ClassicFormat();
// Every named format, in the order lists show them.
std::span<const PixelFormat> NamedPixelFormats();
// The named format, or null. The empty name is not a format name.
const PixelFormat* FindPixelFormat(std::string_view name);
// "gray, yuv420p, ...": for messages that list what is accepted.
std::string PixelFormatNames();

// The peak a PSNR is measured against. Full: (1 << bits) - 1 (1023 for
// 10-bit), as ffmpeg and libvmaf use; Scaled: 255 << (bits - 8) (1020), as
// the MPEG/JVET reference encoders use. 8-bit is 255 either way.
enum class PeakKind { Full, Scaled };
double PeakValue(int bits, PeakKind kind);
const char* PeakKindName(PeakKind kind);  // "full", "scaled"

// Where the planes of one frame lie, in bytes, computed in 64-bit arithmetic.
struct PictureLayout {
    struct Plane {
        std::uint64_t offset = 0;  // bytes from the frame's start
        std::int32_t width = 0;    // samples
        std::int32_t height = 0;
        std::uint64_t Samples() const { return std::uint64_t(width) * std::uint64_t(height); }
    };
    std::uint64_t frameBytes = 0;
    int bytesPerSample = 1;
    Plane planes[3];  // Y, U, V; U and V are empty for gray
};

// Precondition: 0 <= width, height. The classic format gives exactly the
// historical layout (ComputeFrameLayout); the others round chroma sizes up, as
// ffmpeg writes them.
PictureLayout LayoutOf(const PixelFormat& format, std::int32_t width, std::int32_t height);

}  // namespace lorvane
