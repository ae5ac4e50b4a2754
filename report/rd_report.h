// Rate and quality in the reports: an RD row of a run, and the RD curves with
// the delta table, as a section of a several-target report or as the page
// lorvane-cli bd writes.
#pragma once

#include <string>
#include <vector>

#include "core/bd.h"
#include "report/outputs.h"

namespace lorvane {

// The row --rd writes for one target: the means the summary prints, and
// `kbps` (the measured rate of a decoded target, or the one given).
RdRow RdRowOf(const RunRecord& run, const std::string& sequence, const std::string& series,
              const std::string& encode, double kbps);

// The file name without its folder and its last extension: what Sequence and
// Encode are called.
std::string RdName(const std::string& path);

// For the report of a several-target run: the curves of the rows with a rate
// (one per series) and, with two series or more, the deltas of each against
// the first. `unrated`: targets left out for want of a rate.
std::string RdReportSection(const std::vector<RdRow>& rows, int unrated);

// The page of lorvane-cli bd --report: a chart per sequence and the table.
std::string BdReportPage(const BdTable& table);

}  // namespace lorvane
