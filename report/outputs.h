// What a run leaves for scripts and people besides the result file: JSON in
// libvmaf's layout, CSV, a one-file HTML report and a statistics table. Shared
// by lorvane-cli and the window; kept out of the core and its frame loop.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/statistics.h"

namespace lorvane {

// Everything the writers need from one run that reached its frame loop.
struct RunRecord {
    RunOutcome outcome;
    std::vector<FrameResult> frames;  // the frames compared, in order
    SequenceStatistics statistics;    // ComputeStatistics(frames, outcome.description, worst count)
};

// The JSON and CSV writers hand their text on piece by piece, so that the
// output of a long run is never held whole in memory.
using TextSink = std::function<void(std::string_view)>;
void WriteJson(const RunRecord& run, const TextSink& out);
void WriteCsv(const RunRecord& run, const TextSink& out);
std::string JsonText(const RunRecord& run);
std::string CsvText(const RunRecord& run);
std::string HtmlReport(const RunRecord& run);
// Several targets measured against one reference in one run: their curves
// overlaid on one chart and a row each. One run gives HtmlReport(run) exactly.
// `more`: sections to close the page with (the rate-quality one).
std::string HtmlReport(const std::vector<RunRecord>& runs, const std::string& more = "");
// What an encoded input cost, on one line without its end:
// "h264（mov,mp4,m4a,3gp,3g2,mj2，第0号流），25 帧/秒，码率 206.513 kbps（30 帧共 30977 字节）".
std::string EncodeText(const EncodeFacts& e, std::int32_t frames);
// For lorvane-cli --stats: Chinese, LF line ends.
std::string StatisticsTable(const RunRecord& run);
// The columns a terminal gives UTF-8 text: East Asian wide and full-width
// characters take two.
int DisplayWidth(const std::string& text);

// Writes `text`, or what `write` hands its sink, to `path` in binary mode, "-"
// meaning standard output, whole or not at all (OutputFile). False when it
// could not be written completely; an existing file then stays as it was.
bool WriteOutput(const std::string& path, const std::string& text);
bool WriteOutput(const std::string& path, const std::function<void(const TextSink&)>& write);

}  // namespace lorvane
