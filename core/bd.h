// Rate and quality: the rows of an RD file (one encode each) and the
// Bjøntegaard deltas between two sets of curves. Texts only: reading and
// writing the files, and telling the user, are the front ends' part.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvane {

// One encode of one sequence: what it cost and the means of its qualities.
struct RdRow {
    std::string sequence;  // the reference's file name without its extension
    std::string series;    // the encoder or setting it belongs to; may be empty
    std::string encode;    // the target's file name without its extension
    std::int64_t frames = 0;
    double kbps = 0;
    // By column name ("psnr_y", ...), in the file's order.
    std::vector<std::pair<std::string, double>> qualities;
    std::string origin;  // "a.csv 第3行", for messages; empty for rows of a run
    // Not-a-number when the row has no such column.
    double Quality(std::string_view name) const;
};

// The quality columns of an RD file, in their order: the PSNR ones always,
// the others when the run measured them.
const std::vector<std::string>& RdQualityNames();

// "Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y,..." and a row per
// encode, numbers fixed with six decimals whatever the locale; the quality
// columns are those of RdQualityNames that the first row has.
std::string RdCsvText(const std::vector<RdRow>& rows);

// Parses an RD file's text; `name` is how messages call the file. Rows are
// appended; on an error nothing is, and `error` says what and where.
bool ParseRdCsv(std::string_view text, const std::string& name, std::vector<RdRow>& rows, std::string& error);

// One CSV field as written: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);

// One comparison of a manifest: `reference,target,series,rate`.
struct ManifestRow {
    std::string reference, target, series;
    double kbps = -1;  // -1: not given (a decoded target's is measured)
    std::string origin;
};

// Parses a manifest's text as ParseRdCsv parses an RD file.
bool ParseManifest(std::string_view text, const std::string& name, std::vector<ManifestRow>& rows, std::string& error);

enum class BdMethod { Pchip, Cubic };

struct RdPoint {
    double kbps = 0;
    double quality = 0;
    std::string where;  // the row it came from, for messages; may be empty
};

struct BdResult {
    double rate = 0;   // BD-rate, %: negative when the test needs less rate
    double delta = 0;  // the quality delta, in the metric's units
    double qualityLow = 0, qualityHigh = 0;  // what BD-rate is taken over
    double kbpsLow = 0, kbpsHigh = 0;        // what the quality delta is taken over
};

// The deltas of `test` against `anchor` (points in any order). On failure
// returns false with `why` saying it without the sequence's name.
bool BjontegaardDelta(const std::vector<RdPoint>& anchor, const std::vector<RdPoint>& test, BdMethod method,
                      BdResult& result, std::string& why);

// Each sequence present on both sides, compared on `metric`.
struct BdSequence {
    std::string sequence;
    std::string anchorSeries, testSeries;
    std::vector<RdPoint> anchor, test;  // the points the deltas were taken from
    bool ok = false;
    BdResult result;
    std::string error;  // when not ok: the whole message, naming the sequence
};

struct BdTable {
    std::string metric;
    BdMethod method = BdMethod::Pchip;
    std::vector<BdSequence> sequences;  // in the anchor's order of first appearance
    std::vector<std::string> warnings;  // one sequence on one side only, points left out
    std::string error;  // the inputs cannot be compared at all (a duplicate row, a missing metric)
    int compared = 0;   // sequences whose deltas are known
    double meanRate = 0, meanDelta = 0;  // over those; not-a-number when none
};

// The metrics `bd` compares on, in the order --help names them.
const std::vector<std::string>& BdMetricNames();

BdTable CompareRd(const std::vector<RdRow>& anchor, const std::vector<RdRow>& test, const std::string& metric,
                  BdMethod method);

}  // namespace lorvane
