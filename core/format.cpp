#include "format.h"

#include <array>

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
};

std::int32_t CeilShift(std::int32_t value, int shift)
{
    return std::int32_t((std::int64_t(value) + (std::int64_t(1) << shift) - 1) >> shift);
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

}  // namespace lorvane
