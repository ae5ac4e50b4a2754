// lorvane-cli's rate-quality parts: `lorvane-cli bd`, and --manifest with
// --shard, which hands each reference's comparisons to the ordinary run.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/bd.h"

namespace lorvane {

// What the ordinary run is asked for by a manifest, and the rows it gives back.
struct RdRequest {
    std::vector<std::string> series;  // per target
    std::vector<double> kbps;         // per target; < 0: the measured rate
    bool summaryToStderr = false;     // the RD file takes standard output
    std::vector<RdRow> rows;          // in target order, once the run is done
};

// `arguments`: everything after "bd".
int RunBd(const std::vector<std::string>& arguments);

struct ManifestRun {
    std::string manifest;
    int shard = 0, shards = 1;
    std::string rdPath;  // empty: none
    std::vector<std::string> options;  // for every run, before its sequences
};
// Runs `runOne` on each reference of the manifest (those of the shard) with
// its targets; returns the exit status of the whole.
int RunManifest(const ManifestRun& manifest,
                const std::function<int(const std::vector<std::string>& arguments, RdRequest& request)>& runOne);

// "K/N" with 0 <= K < N.
bool ParseShard(const std::string& text, int& shard, int& shards);

}  // namespace lorvane
