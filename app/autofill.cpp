#include "autofill.h"

#include <algorithm>
#include <utility>

#include "core/lorvane.h"

namespace lorvane {

Container OpenContainer(const QString& path, const SequenceInfo& info)
{
    Container container;
    if (info.y4m || info.encoded.empty() || !DecodingAvailable())
        return container;
    std::string error;  // the run opens it again and says what is wrong
    if (const auto decoded = DecodedSource::Open(path.toStdString(), "", -1, error)) {
        container.stream = decoded->Stream();
        container.opened = container.stream.width > 0 && container.stream.height > 0;
    }
    return container;
}

FormFill WhatTheFilesTell(const SequenceInfo* source, const SequenceInfo* target, const Container& sourceContainer,
                          const Container& targetContainer)
{
    FormFill fill;
    // A container outranks the names as a header does, and two that disagree
    // fill nothing as two headers do.
    SequenceInfo asHeaders[2];
    const SequenceInfo* infos[2] = {source, target};
    const Container* containers[2] = {&sourceContainer, &targetContainer};
    for (int i = 0; i < 2; ++i)
        if (infos[i] && containers[i]->opened) {
            asHeaders[i] = *infos[i];
            asHeaders[i].y4m = true;
            asHeaders[i].header.width = containers[i]->stream.width;
            asHeaders[i].header.height = containers[i]->stream.height;
            asHeaders[i].header.format = containers[i]->stream.format;
            infos[i] = &asHeaders[i];
        }
    const FilesTell told = WhatFilesTell(infos[0], infos[1]);
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
                             std::int32_t height, const QString& formatName, const Container& sourceContainer,
                             const Container& targetContainer)
{
    const PixelFormat* format = formatName.isEmpty() ? nullptr : FindPixelFormat(formatName.toStdString());
    if (!sourceContainer.opened && !targetContainer.opened)
        return lorvane::FramesOfShorter(source, target, width, height, format);
    // The bytes of an encoded file say nothing of its frames; its container
    // may, and a container that does not leaves the count to the user.
    std::int64_t frames = kMaxDimension;
    for (const auto& [info, container] : {std::pair(&source, &sourceContainer), std::pair(&target, &targetContainer)})
        frames = std::min<std::int64_t>(frames, container->opened ? container->stream.frameEstimate
                                                                  : lorvane::FramesOfShorter(*info, *info, width, height, format));
    return std::int32_t(std::max<std::int64_t>(frames, 0));
}

}  // namespace lorvane
