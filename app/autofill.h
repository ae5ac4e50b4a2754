// What the form may fill in by itself once it knows the sequences' paths: the
// picture size and format a YUV4MPEG2 header, an encoded file's container or
// the file names tell (the rules lorvane-cli follows), and the frame count of
// the shorter file.
#pragma once

#include <QString>

#include <cstdint>

#include "core/lorvane.h"

namespace lorvane {

struct FormFill {
    bool conflict = false;  // the files disagree, or a name names a format not read: nothing is filled
    QString message;        // when they do, why, for a warning box
    std::int32_t width = 0;  // 0 x 0: no size told
    std::int32_t height = 0;
    const PixelFormat* format = nullptr;  // null: none told
};

// An encoded input's first video stream, as its container describes it;
// `opened` is false for any other input, and for one that cannot be opened
// for decoding (the run says why).
struct Container {
    bool opened = false;
    DecodedStream stream;
};
// Opens the container of a probed sequence that is encoded and not Y4M.
Container OpenContainer(const QString& path, const SequenceInfo& info);

// From one or two probed sequences (a path left empty is passed as null), by
// the rules lorvane-cli follows (WhatFilesTell); any disagreement fills nothing.
// An opened container tells its picture as a YUV4MPEG2 header does, which
// is how the run takes it.
FormFill WhatTheFilesTell(const SequenceInfo* source, const SequenceInfo* target,
                          const Container& sourceContainer = {}, const Container& targetContainer = {});

// Complete frames of the shorter file at this size and format, or 0 when
// either file cannot tell (missing, not a regular file, no size yet). An
// empty `formatName` means the classic layout, or a Y4M input's own format.
// An opened container counts the frames its container says it holds.
std::int32_t FramesOfShorter(const SequenceInfo& source, const SequenceInfo& target, std::int32_t width,
                             std::int32_t height, const QString& formatName, const Container& sourceContainer = {},
                             const Container& targetContainer = {});

}  // namespace lorvane
