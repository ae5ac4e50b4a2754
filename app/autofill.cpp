#include "autofill.h"

#include <algorithm>

#include "core/psnr.h"

namespace lorvane {
namespace {

QString Describe(std::int32_t width, std::int32_t height, const PixelFormat* format)
{
    QString text = width > 0 && height > 0 ? QStringLiteral("%1x%2").arg(width).arg(height) : QString();
    if (format && !format->name.empty())
        text += (text.isEmpty() ? "" : " ") + QString::fromUtf8(format->name.data(), qsizetype(format->name.size()));
    return text;
}

}  // namespace

FilesTell WhatTheFilesTell(const SequenceInfo* source, const SequenceInfo* target)
{
    FilesTell fill;
    const SequenceInfo* both[] = {source, target};
    // A broken header is the run's to report; guessing around it would only
    // hide it.
    for (const SequenceInfo* info : both)
        if (info && !info->error.empty())
            return fill;

    // A header is the file's own word and outranks any name, as in lorvane-cli.
    const SequenceInfo* y4m[2] = {};
    int headers = 0;
    for (const SequenceInfo* info : both)
        if (info && info->y4m)
            y4m[headers++] = info;
    if (headers > 0) {
        const Y4mHeader& a = y4m[0]->header;
        if (headers == 2) {
            const Y4mHeader& b = y4m[1]->header;
            if (a.width != b.width || a.height != b.height || a.format != b.format) {
                fill.conflict = true;
                fill.message = QStringLiteral("两个序列的文件头不一致：源参考序列是 %1，目标序列是 %2。\n"
                                              "未自动填写，请自行输入宽度、高度和格式。")
                                   .arg(Describe(a.width, a.height, a.format), Describe(b.width, b.height, b.format));
                return fill;
            }
        }
        fill.width = a.width;
        fill.height = a.height;
        fill.format = a.format;
        return fill;
    }

    const NameGuess none;
    const NameGuess& a = source ? source->name : none;
    const NameGuess& b = target ? target->name : none;
    if ((a.SizeKnown() && b.SizeKnown() && (a.width != b.width || a.height != b.height)) ||
        (a.format && b.format && a.format != b.format)) {
        fill.conflict = true;
        fill.message = QStringLiteral("两个文件名给出的图像不一致：源参考序列是 %1，目标序列是 %2。\n"
                                      "未自动填写，请自行输入宽度、高度和格式。")
                           .arg(Describe(a.width, a.height, a.format), Describe(b.width, b.height, b.format));
        return fill;
    }
    for (const NameGuess* guess : {&a, &b}) {
        if (guess->SizeKnown())
            fill.width = guess->width, fill.height = guess->height;
        if (guess->format)
            fill.format = guess->format;
    }
    return fill;
}

std::int32_t FramesOfShorter(const SequenceInfo& source, const SequenceInfo& target, std::int32_t width,
                             std::int32_t height, const QString& formatName)
{
    const PixelFormat* format = formatName.isEmpty() ? nullptr : FindPixelFormat(formatName.toStdString());
    for (const SequenceInfo* info : {&source, &target}) {
        if (!info->regular || !info->error.empty())
            return 0;
        if (info->y4m && width == 0 && height == 0)
            width = info->header.width, height = info->header.height;
        if (info->y4m && !format)
            format = info->header.format;
    }
    if (!format)
        format = &ClassicFormat();
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension ||
        std::int64_t(width) * height > kMaxLumaSamples)
        return 0;
    const std::uint64_t frameBytes = LayoutOf(*format, width, height).frameBytes;
    return std::int32_t(std::min<std::uint64_t>(
        {CompleteFrames(source, frameBytes), CompleteFrames(target, frameBytes), std::uint64_t(kMaxDimension)}));
}

}  // namespace lorvane
