// Pixel formats and where the planes of one frame lie.
//
// One table describes every format the tool reads, named as ffmpeg's -pix_fmt
// names them; parsing a name, the plane sizes and the descriptions shown to
// the user all come from it. Formats that interleave their samples (NV12,
// P010, YUYV) are measured on the planes of their planar twin: a frame's
// interleaved samples are unpacked into planes once, then measured as any
// planar frame is.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lorvane {

// How the samples of a frame lie in the file.
enum class Packing {
    Planar,      // Y, then U, then V, each plane whole
    SemiPlanar,  // Y, then one plane of chroma pairs at chroma size (NV12: U V U V ...)
    Packed,      // one plane, each pair of pixels in four samples (YUYV: Y0 U Y1 V)
};

struct PixelFormat {
    std::string_view name;         // "yuv420p10le"; empty for the classic layout
    std::string_view description;  // "YUV 4:2:0 10位"
    int log2ChromaWidth = 1;       // chroma width = ceil(width / 2^this)
    int log2ChromaHeight = 1;
    int bits = 8;                  // of the samples measured; 8: one byte a sample; 9..16: two, little-endian
    bool gray = false;             // Y only: U and V have no samples
    Packing packing = Packing::Planar;
    // Which sample is which in a group of the interleaved plane: a chroma pair
    // ("UV", "VU") or a pixel pair ("YUYV", "UYVY").
    std::string_view order = {};
    // The sample is the word shifted right by this (P010 keeps its 10 bits at the top of each word).
    int shift = 0;

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
// A plane whose samples are interleaved with others in the file, or must be
// shifted, is `unpacked`: UnpackFrame puts it, whole, at its offset in a
// buffer of `unpackedBytes`. Every other plane is measured where it lies.
struct PictureLayout {
    struct Plane {
        std::uint64_t offset = 0;  // bytes from the frame's start, or from the unpacked buffer's
        std::int32_t width = 0;    // samples
        std::int32_t height = 0;
        bool unpacked = false;
        std::uint64_t Samples() const { return std::uint64_t(width) * std::uint64_t(height); }
    };
    std::uint64_t frameBytes = 0;     // one frame as the file holds it
    std::uint64_t unpackedBytes = 0;  // 0 for planar formats
    int bytesPerSample = 1;           // of the planes as measured
    Plane planes[3];                  // Y, U, V; U and V are empty for gray
};

// Precondition: 0 <= width, height. The classic format gives exactly the
// historical layout (ComputeFrameLayout); the others round chroma sizes up, as
// ffmpeg writes them.
PictureLayout LayoutOf(const PixelFormat& format, std::int32_t width, std::int32_t height);

// Puts the unpacked planes of one frame (`layout.frameBytes` at `frame`) into
// `unpacked` (`layout.unpackedBytes`, aligned for 16-bit samples), as the
// format's planar twin holds them. Nothing to do for planar formats.
void UnpackFrame(const PixelFormat& format, const PictureLayout& layout, const std::uint8_t* frame,
                 std::uint8_t* unpacked);

// Where plane `p` of a frame is measured: in the frame, or in its unpacked buffer.
inline const std::uint8_t* PlaneData(const PictureLayout& layout, int p, const std::uint8_t* frame,
                                     const std::uint8_t* unpacked)
{
    const PictureLayout::Plane& plane = layout.planes[p];
    return (plane.unpacked ? unpacked : frame) + plane.offset;
}

}  // namespace lorvane
