// The core as the front ends (lorvane-cli and the window) see it: what to
// compare (PsnrSettings, RunTarget), the metrics a run can measure (metric.h),
// the feedback a run reports through, RunComparison / RunComparisons, the
// results (RunOutcome, FrameResult, statistics), and the helpers a front end
// needs before a run: pixel formats and names, probing and decoding inputs,
// finding frames in step, output files written whole, and the CPU level of
// the kernels.
#pragma once

#include "align.h"
#include "bd.h"
#include "decoded.h"
#include "files.h"
#include "format.h"
#include "metric.h"
#include "probe.h"
#include "psnr.h"
#include "reader.h"
#include "ssd.h"
#include "statistics.h"
