#include "autofill.h"

#include <algorithm>

#include "core/psnr.h"

namespace lorvane {
FormFill WhatTheFilesTell(const SequenceInfo* source, const SequenceInfo* target)
{
    FormFill fill;
    const FilesTell told = WhatFilesTell(source, target);
    // The form's format would read such a file as something it is not.
    if (told.unsupportedIn >= 0) {
        fill.conflict = true;
        fill.message = QStringLiteral("%1的文件名中的 %2 是不支持的像素格式。\n未自动填写，请自行输入宽度、高度和格式。")
                           .arg(told.unsupportedIn == 0 ? QStringLiteral("源参考序列") : QStringLiteral("目标序列"),
                                QString::fromStdString(told.unsupportedFormat));
        return fill;
    }
    if (told.sizeConflict || told.formatConflict) {
        fill.conflict = true;
        fill.message = (told.fromHeader ? QStringLiteral("两个序列的文件头不一致：源参考序列是 %1，目标序列是 %2。\n"
                                                         "未自动填写，请自行输入宽度、高度和格式。")
                                        : QStringLiteral("两个文件名给出的图像不一致：源参考序列是 %1，目标序列是 %2。\n"
                                                         "未自动填写，请自行输入宽度、高度和格式。"))
                           .arg(QString::fromStdString(told.sourceSays), QString::fromStdString(told.targetSays));
        return fill;
    }
    fill.width = told.width;
    fill.height = told.height;
    fill.format = told.format;
    return fill;
}

std::int32_t FramesOfShorter(const SequenceInfo& source, const SequenceInfo& target, std::int32_t width,
                             std::int32_t height, const QString& formatName)
{
    const PixelFormat* format = formatName.isEmpty() ? nullptr : FindPixelFormat(formatName.toStdString());
    return lorvane::FramesOfShorter(source, target, width, height, format);
}

}  // namespace lorvane
