// One measured sequence as the results window and the frame viewer share it:
// the settings it was measured with and everything its run produced.
#pragma once

#include <memory>

#include "core/lorvane.h"
#include "report/outputs.h"

namespace lorvane {

struct MeasuredSequence {
    PsnrSettings settings;  // the target path is this sequence's
    RunRecord record;
};
using Measured = std::shared_ptr<const MeasuredSequence>;

// Worst frames the statistics list, in the window as in lorvane-cli's default.
inline constexpr std::size_t kWorstFrames = 5;

}  // namespace lorvane
