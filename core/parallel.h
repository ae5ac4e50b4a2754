// Work split into parts that run on several threads at once. Metrics that are
// CPU-bound (SSIM, MS-SSIM) split the rows of a frame into bands, one part
// each, and add the bands' partial sums afterwards in band order, so that a
// result never depends on how many threads computed it.
#pragma once

#include <functional>

namespace lorvane {

// The number of threads a run uses for `requested`: itself when positive,
// otherwise one per core the machine offers (at least 1).
int ThreadCount(int requested);

// Calls work(0) … work(parts - 1), each exactly once, on up to `threads`
// threads (the calling thread among them), and returns when all are done. An
// exception thrown by a part is rethrown here once every part has ended.
void RunParts(int parts, int threads, const std::function<void(int part)>& work);

}  // namespace lorvane
