// What a run leaves for scripts and people besides the result file: JSON in
// libvmaf's layout, CSV, a one-file HTML report and a statistics table. Shared
// by lorvane-cli and the window; kept out of the core and its frame loop.
#pragma once

#include <string>
#include <vector>

#include "core/statistics.h"

namespace lorvane {

// Everything the writers need from one run that reached its frame loop.
struct RunRecord {
    RunOutcome outcome;
    std::vector<FrameResult> frames;  // the frames compared, in order
    SequenceStatistics statistics;    // ComputeStatistics(frames, outcome.description, worst count)
};

std::string JsonText(const RunRecord& run);
std::string CsvText(const RunRecord& run);
std::string HtmlReport(const RunRecord& run);
// For lorvane-cli --stats: Chinese, LF line ends.
std::string StatisticsTable(const RunRecord& run);

// Writes `text` to `path` in binary mode, "-" meaning standard output. False
// when it could not be written completely.
bool WriteOutput(const std::string& path, const std::string& text);

}  // namespace lorvane
