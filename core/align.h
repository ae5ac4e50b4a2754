// Frames in step: which frames of the two sequences are paired, and finding
// the shift between them from their content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format.h"
#include "probe.h"

namespace lorvane {

// Frames each sequence skips before its first compared frame, for an offset
// and a start as in PsnrSettings.
struct FrameSkips {
    std::uint64_t reference = 0;
    std::uint64_t target = 0;
};
FrameSkips SkipsOf(std::int32_t offset, std::int32_t start);

// "偏移 1、起始 2", "偏移 -1", "起始 2": the pairing asked for, for messages.
std::string DescribeStep(std::int32_t offset, std::int32_t start);

// One line of the error for a sequence that holds no frame after those the
// offset and start skip: its role (源参考序列), path and frames.
std::string SkipBeyondLine(const char* role, const std::string& path, std::uint64_t held, std::uint64_t skip,
                           std::int32_t offset, std::int32_t start);

// Two regular files and the picture they hold, to compare their frames at
// several shifts. An encoded file (SequenceInfo::encoded) is decoded from
// its start.
struct SequencePair {
    std::string referencePath, targetPath;
    SequenceInfo reference, target;  // probed: their framing
    PictureLayout layout;
    const PixelFormat* format = nullptr;  // for the layouts whose luma must be unpacked
    int targetStream = -1;  // an encoded target's stream (PsnrSettings::videoStream)
};

// The mean luma MSE of the first pairs (up to kShiftPairs, from pair
// `firstPair` on) at a shift, as the run would pair them with that offset.
inline constexpr std::int32_t kShiftPairs = 8;
struct ShiftMse {
    std::int32_t shift = 0;
    std::int32_t pairs = 0;
    double mse = 0;
};
// Every shift in -maxShift..maxShift with at least one pair, in order. With
// `sampleBudget` > 0 only bands of luma rows of about that many samples are
// compared, spread over the picture: an estimate, for a look that must cost
// next to nothing. False when a file cannot be opened.
bool MeasureShifts(const SequencePair& pair, std::int32_t maxShift, std::uint64_t firstPair,
                   std::uint64_t sampleBudget, std::vector<ShiftMse>& shifts);

// The offset in -maxShift..maxShift whose first pairs are most alike in luma,
// when it is clearly the best: the runner-up's MSE at least twice its own.
// `report` says what was taken and the runner-up, or why nothing was.
bool FindOffset(const SequencePair& pair, std::int32_t maxShift, std::uint64_t firstPair, std::int32_t& offset,
                std::string& report);

// For a run with no offset asked: the shift of at most 2 frames that fits the
// first pairs clearly better than none at all (MSE at most half), and a
// sentence saying so; 0 and "" when none does, which is the ordinary case.
// Costs a few frames' worth of luma rows.
std::int32_t LikelyShift(const SequencePair& pair, std::uint64_t firstPair, std::string& report);

}  // namespace lorvane
