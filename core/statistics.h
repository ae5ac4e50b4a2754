// Per-frame results of a run and the statistics of a sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lorvane {

// One frame's numbers; 64 bytes, so a front end keeping every frame of a run
// stays within 64 bytes a frame. Planes: 0 Y, 1 U (Cb), 2 V (Cr).
struct FrameResult {
    std::int32_t frame = 0;
    double psnr[3] = {};
    double mse[3] = {};  // not-a-number for a plane with no samples
    double psnrYuv = 0;  // of the squared differences of all planes over all their samples
    // The scores of the run's metrics beyond PSNR, as RunDescription::scores
    // names them, in that order; empty when PSNR is all it measures.
    std::vector<double> scores;
};

// What an encoded input is and what the frames compared cost; `decoded` is
// false for raw and YUV4MPEG2 inputs, and nothing else is then set.
struct EncodeFacts {
    bool decoded = false;
    std::string codec;      // "h264"
    std::string container;  // libavformat's name, "mov,mp4,m4a,3gp,3g2,mj2"
    int stream = 0;         // among the file's streams, from 0
    int rateNum = 0, rateDen = 0;  // frames per second; 0 when unknown
    bool variableRate = false;
    std::uint64_t bytes = 0;   // the packets of the frames compared
    double kbps = -1;          // those bytes over the frames' duration; -1 when the rate is unknown
};

// What a run measured against, as resolved from the settings and the files.
struct RunDescription {
    std::string sourcePath;
    std::string targetPath;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::string format;     // ffmpeg name; "classic" for the classic layout
    int bits = 8;
    std::string peakKind;   // "full" or "scaled"
    double peak = 255;
    bool sourceIsY4m = false;
    bool targetIsY4m = false;
    std::uint64_t planeSamples[3] = {};  // per frame, Y U V
    std::int32_t offset = 0;  // as in PsnrSettings
    std::int32_t start = 0;
    EncodeFacts sourceEncode, targetEncode;
    // The names of FrameResult::scores ("ssim_y", ...): what the metrics
    // measured beyond PSNR, in the metric table's order.
    std::vector<std::string> scores;
};

// "25", "29.97": a frame rate as people write it (den > 0).
std::string FrameRateText(std::int64_t num, std::int64_t den);

// How a run that reached its frame loop ended.
struct RunOutcome {
    RunDescription description;
    std::int32_t framesRequested = 0;
    std::int32_t framesCompared = 0;
    bool referenceEnded = false;  // the reference ended before the frames asked for
    bool targetEnded = false;
    bool resultWriteFailed = false;
};

struct PlaneStatistics {
    double mean = 0;    // of the frames' PSNRs, as the averages are printed
    double pooled = 0;  // PSNR of the mean MSE
    double min = 0;  // of the frame with the largest MSE
    double max = 0;  // of the frame with the smallest MSE
    std::int32_t minFrame = -1;  // -1 when no frame has a number
    std::int32_t maxFrame = -1;
};

// One score beyond PSNR ("ssim_y") over the frames: larger is better.
struct ScoreStatistics {
    double mean = 0;  // not-a-number when a frame has no value
    double min = 0, max = 0;  // among the frames with a value
    std::int32_t minFrame = -1;  // -1 when no frame has a value
    std::int32_t maxFrame = -1;
};

struct SequenceStatistics {
    std::int32_t frames = 0;
    PlaneStatistics planes[3];   // Y, U, V
    PlaneStatistics yuv;         // of the combined YUV PSNR
    double weighted611 = 0;      // (6 * Y + U + V) / 8 of the mean PSNRs
    std::vector<ScoreStatistics> scores;  // as RunDescription::scores names them
    std::string worstBy;  // the score the worst frames are ranked by; empty: luma MSE
    std::vector<FrameResult> worst;  // the worst first, at most the count asked for
};

// Statistics of `frames` (in frame order) of a run described by `description`.
// The worst frames are those of largest luma MSE, or with `worstBy` naming one
// of the description's scores, those of its lowest values; frames without a
// value come last, earlier frames first among equals.
SequenceStatistics ComputeStatistics(const std::vector<FrameResult>& frames,
                                     const RunDescription& description, std::size_t worstCount,
                                     const std::string& worstBy = {});

// A similarity score (at most 1, as SSIM) in decibels: -10 log10(1 - s);
// 100.0 for 1, as PSNR gives identical planes, not-a-number for not-a-number.
double SimilarityDecibels(double score);

// "ssim_y" as people read it beside PSNR_Y: "SSIM_Y"; "ms_ssim_cb": "MS_SSIM_U",
// the chroma planes named U and V as PSNR's lines name them.
std::string ScoreLabel(const std::string& name);

// PSNR of a mean squared error against `peak`: 100.0 for 0, never clamped,
// not-a-number for not-a-number.
double PsnrOfMse(double mse, double peak);

}  // namespace lorvane
