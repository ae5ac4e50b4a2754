// lorvane-report-demo REFERENCE TARGET WIDTH HEIGHT FRAMES OUT.html [FORMAT]
//
// Runs one comparison and writes its HTML report, so that the report can be
// looked at (and photographed by scripts/report-screenshot.sh) without a front end.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/psnr.h"
#include "report/outputs.h"

namespace {

struct Collector : lorvane::RunFeedback {
    lorvane::RunRecord record;
    bool ended = false;

    // The closing summary is no news here; errors and warnings are.
    void ShowMessage(const std::string& text, const std::string& title, lorvane::MessageIcon icon) override
    {
        if (icon != lorvane::MessageIcon::None)
            std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
    void FrameMeasured(const lorvane::FrameResult& frame) override { record.frames.push_back(frame); }
    void RunEnded(const lorvane::RunOutcome& outcome) override
    {
        record.outcome = outcome;
        ended = true;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: %s REFERENCE TARGET WIDTH HEIGHT FRAMES OUT.html [FORMAT]\n", argv[0]);
        return 2;
    }
    lorvane::PsnrSettings settings;
    settings.sourcePath = argv[1];
    settings.targetPath = argv[2];
    settings.width = std::atoi(argv[3]);
    settings.height = std::atoi(argv[4]);
    settings.frameCount = std::atoi(argv[5]);
    if (argc == 8)
        settings.pixelFormat = argv[7];

    Collector collector;
    lorvane::RunComparison(settings, collector);
    if (!collector.ended) {
        std::fprintf(stderr, "the comparison did not run\n");
        return 1;
    }
    lorvane::RunRecord& record = collector.record;
    record.statistics = lorvane::ComputeStatistics(record.frames, record.outcome.description, 10);
    if (!lorvane::WriteOutput(argv[6], lorvane::HtmlReport(record))) {
        std::fprintf(stderr, "cannot write %s\n", argv[6]);
        return 1;
    }
    return 0;
}
