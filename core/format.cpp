#include "format.h"

#include <array>
#include <cstring>

#include "psnr.h"

namespace lorvane {
namespace {

constexpr PixelFormat kClassic{"", "经典 YUV 4:2:0 8位", 1, 1, 8, false};

constexpr PixelFormat Gray(std::string_view name, std::string_view description, int bits)
{
    return {name, description, 0, 0, bits, true};
}

constexpr std::array kFormats{
    Gray("gray", "灰度 8位", 8),
    PixelFormat{"yuv420p", "YUV 4:2:0 8位", 1, 1, 8},
    PixelFormat{"yuv422p", "YUV 4:2:2 8位", 1, 0, 8},
    PixelFormat{"yuv440p", "YUV 4:4:0 8位", 0, 1, 8},
    PixelFormat{"yuv444p", "YUV 4:4:4 8位", 0, 0, 8},
    Gray("gray9le", "灰度 9位", 9),
    Gray("gray10le", "灰度 10位", 10),
    Gray("gray12le", "灰度 12位", 12),
    Gray("gray14le", "灰度 14位", 14),
    Gray("gray16le", "灰度 16位", 16),
    PixelFormat{"yuv420p9le", "YUV 4:2:0 9位", 1, 1, 9},
    PixelFormat{"yuv420p10le", "YUV 4:2:0 10位", 1, 1, 10},
    PixelFormat{"yuv420p12le", "YUV 4:2:0 12位", 1, 1, 12},
    PixelFormat{"yuv420p14le", "YUV 4:2:0 14位", 1, 1, 14},
    PixelFormat{"yuv420p16le", "YUV 4:2:0 16位", 1, 1, 16},
    PixelFormat{"yuv422p9le", "YUV 4:2:2 9位", 1, 0, 9},
    PixelFormat{"yuv422p10le", "YUV 4:2:2 10位", 1, 0, 10},
    PixelFormat{"yuv422p12le", "YUV 4:2:2 12位", 1, 0, 12},
    PixelFormat{"yuv422p14le", "YUV 4:2:2 14位", 1, 0, 14},
    PixelFormat{"yuv422p16le", "YUV 4:2:2 16位", 1, 0, 16},
    PixelFormat{"yuv440p10le", "YUV 4:4:0 10位", 0, 1, 10},
    PixelFormat{"yuv440p12le", "YUV 4:4:0 12位", 0, 1, 12},
    PixelFormat{"yuv444p9le", "YUV 4:4:4 9位", 0, 0, 9},
    PixelFormat{"yuv444p10le", "YUV 4:4:4 10位", 0, 0, 10},
    PixelFormat{"yuv444p12le", "YUV 4:4:4 12位", 0, 0, 12},
    PixelFormat{"yuv444p14le", "YUV 4:4:4 14位", 0, 0, 14},
    PixelFormat{"yuv444p16le", "YUV 4:4:4 16位", 0, 0, 16},
    // What hardware decoders and capture cards write.
    PixelFormat{"nv12", "YUV 4:2:0 8位，UV 交错", 1, 1, 8, false, Packing::SemiPlanar, "UV"},
    PixelFormat{"nv21", "YUV 4:2:0 8位，VU 交错", 1, 1, 8, false, Packing::SemiPlanar, "VU"},
    PixelFormat{"p010le", "YUV 4:2:0 10位，UV 交错，取16位字的高10位", 1, 1, 10, false, Packing::SemiPlanar, "UV", 6},
    PixelFormat{"p016le", "YUV 4:2:0 16位，UV 交错", 1, 1, 16, false, Packing::SemiPlanar, "UV"},
    PixelFormat{"yuyv422", "YUV 4:2:2 8位，打包 YUYV", 1, 0, 8, false, Packing::Packed, "YUYV"},
    PixelFormat{"uyvy422", "YUV 4:2:2 8位，打包 UYVY", 1, 0, 8, false, Packing::Packed, "UYVY"},
};

std::int32_t CeilShift(std::int32_t value, int shift)
{
    return std::int32_t((std::int64_t(value) + (std::int64_t(1) << shift) - 1) >> shift);
}

std::uint16_t Word(const std::uint8_t* at)
{
    std::uint16_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

void PutWord(std::uint8_t* at, std::uint16_t word) { std::memcpy(at, &word, sizeof word); }

// The loops below keep to constant strides, which the compiler vectorises.

// Every fourth byte from `from` on, `count` of them, into a plane.
void EveryFourth(const std::uint8_t* from, std::uint64_t count, std::uint8_t* to)
{
    for (std::uint64_t i = 0; i < count; ++i)
        to[i] = from[4 * i];
}

// `count` pairs into two planes, in one pass over the pairs.
void SplitPairs8(const std::uint8_t* pairs, std::uint64_t count, std::uint8_t* first, std::uint8_t* second)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        first[i] = pairs[2 * i];
        second[i] = pairs[2 * i + 1];
    }
}

// Every `stride`-th 16-bit word from `from` on, `count` of them, shifted, into a plane.
void Gather16(const std::uint8_t* from, std::size_t stride, std::uint64_t count, int shift, std::uint8_t* to)
{
    for (std::uint64_t i = 0; i < count; ++i)
        PutWord(to + 2 * i, std::uint16_t(Word(from + 2 * stride * i) >> shift));
}

}  // namespace

const PixelFormat& ClassicFormat() { return kClassic; }

std::span<const PixelFormat> NamedPixelFormats() { return kFormats; }

const PixelFormat* FindPixelFormat(std::string_view name)
{
    for (const PixelFormat& format : kFormats)
        if (format.name == name)
            return &format;
    return nullptr;
}

std::string PixelFormatNames()
{
    std::string names;
    for (const PixelFormat& format : kFormats) {
        if (!names.empty())
            names += ", ";
        names += format.name;
    }
    return names;
}

double PeakValue(int bits, PeakKind kind)
{
    if (kind == PeakKind::Scaled)
        return double(255 << (bits - 8));
    return double((1 << bits) - 1);
}

const char* PeakKindName(PeakKind kind) { return kind == PeakKind::Scaled ? "scaled" : "full"; }

PictureLayout LayoutOf(const PixelFormat& format, std::int32_t width, std::int32_t height)
{
    PictureLayout layout;
    layout.bytesPerSample = format.BytesPerSample();
    if (&format == &kClassic) {
        // The historical 32-bit layout; the caller has checked its limits.
        const FrameLayout classic = ComputeFrameLayout(width, height);
        layout.frameBytes = std::uint64_t(classic.frameSize);
        layout.planes[0] = {0, width, height};
        layout.planes[1] = {std::uint64_t(classic.uOffset), classic.chromaWidth, classic.chromaHeight};
        layout.planes[2] = {std::uint64_t(classic.vOffset), classic.chromaWidth, classic.chromaHeight};
        return layout;
    }
    if (format.packing != Packing::Planar) {
        const std::int32_t chromaWidth = CeilShift(width, format.log2ChromaWidth);
        const std::int32_t chromaHeight = CeilShift(height, format.log2ChromaHeight);
        const std::uint64_t bytes = std::uint64_t(layout.bytesPerSample);
        const std::uint64_t luma = std::uint64_t(width) * std::uint64_t(height) * bytes;
        const std::uint64_t chroma = std::uint64_t(chromaWidth) * std::uint64_t(chromaHeight) * bytes;
        // Y is measured in place unless its samples are interleaved or shifted.
        const bool lumaInPlace = format.packing == Packing::SemiPlanar && format.shift == 0;
        const std::uint64_t chromaAt = lumaInPlace ? 0 : luma;
        layout.planes[0] = {0, width, height, !lumaInPlace};
        layout.planes[1] = {chromaAt, chromaWidth, chromaHeight, true};
        layout.planes[2] = {chromaAt + chroma, chromaWidth, chromaHeight, true};
        layout.unpackedBytes = chromaAt + 2 * chroma;
        // A packed row holds whole pixel pairs: an odd width ends on a pair
        // whose second Y belongs to no pixel, as ffmpeg writes it.
        layout.frameBytes = format.packing == Packing::SemiPlanar
                                ? luma + 2 * chroma
                                : 4 * std::uint64_t(chromaWidth) * std::uint64_t(height);
        return layout;
    }
    std::uint64_t offset = 0;
    for (int p = 0; p < 3; ++p) {
        PictureLayout::Plane& plane = layout.planes[p];
        plane.offset = offset;
        if (p == 0) {
            plane.width = width;
            plane.height = height;
        } else if (!format.gray) {
            plane.width = CeilShift(width, format.log2ChromaWidth);
            plane.height = CeilShift(height, format.log2ChromaHeight);
        }
        offset += plane.Samples() * std::uint64_t(layout.bytesPerSample);
    }
    layout.frameBytes = offset;
    return layout;
}

void UnpackFrame(const PixelFormat& format, const PictureLayout& layout, const std::uint8_t* frame,
                 std::uint8_t* unpacked)
{
    const PictureLayout::Plane &y = layout.planes[0], &u = layout.planes[1], &v = layout.planes[2];
    const std::size_t u0 = format.order.find('U'), v0 = format.order.find('V');
    if (format.packing == Packing::SemiPlanar) {
        const int bytes = layout.bytesPerSample;
        const std::uint8_t* pairs = frame + y.Samples() * std::uint64_t(bytes);
        if (bytes == 1) {
            std::uint8_t *uPlane = unpacked + u.offset, *vPlane = unpacked + v.offset;
            SplitPairs8(pairs, u.Samples(), u0 == 0 ? uPlane : vPlane, u0 == 0 ? vPlane : uPlane);
            return;
        }
        if (y.unpacked)
            Gather16(frame, 1, y.Samples(), format.shift, unpacked + y.offset);
        Gather16(pairs + 2 * u0, 2, u.Samples(), format.shift, unpacked + u.offset);
        Gather16(pairs + 2 * v0, 2, v.Samples(), format.shift, unpacked + v.offset);
        return;
    }
    if (format.packing == Packing::Packed) {
        // Row by row: a row is whole pixel pairs, so with an odd width the
        // last pair gives one Y only.
        const std::size_t y0 = format.order.find('Y'), y1 = format.order.rfind('Y');
        const std::size_t width = std::size_t(y.width), pairs = std::size_t(u.width), rowBytes = 4 * pairs;
        for (std::int32_t row = 0; row < y.height; ++row) {
            const std::uint8_t* in = frame + std::uint64_t(row) * rowBytes;
            std::uint8_t* luma = unpacked + y.offset + std::uint64_t(row) * width;
            for (std::size_t k = 0; k < width / 2; ++k) {
                luma[2 * k] = in[4 * k + y0];
                luma[2 * k + 1] = in[4 * k + y1];
            }
            if (width % 2)
                luma[width - 1] = in[4 * (pairs - 1) + y0];
            EveryFourth(in + u0, pairs, unpacked + u.offset + std::uint64_t(row) * pairs);
            EveryFourth(in + v0, pairs, unpacked + v.offset + std::uint64_t(row) * pairs);
        }
    }
}

}  // namespace lorvane
