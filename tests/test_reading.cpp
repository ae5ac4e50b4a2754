// Reading ahead must not read more than reading frame by frame would: on a
// pipe every byte read is gone for whoever reads after the run, so the bytes
// left in the pipe show exactly how far the run read. Frames of 256 x 256 are
// read in batches of two, 384 x 384 one at a time.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/psnr.h"

namespace lorvane {
namespace {

struct Quiet : RunFeedback {
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
};

// A pipe holding `halves` half frames, its writing end closed: the run sees
// the end of the data as the end of the file.
struct FilledPipe {
    FilledPipe(std::size_t halfFrame, int halves)
    {
        const std::vector<char> bytes(halfFrame * std::size_t(halves), 7);
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        end = ends[0];
        EXPECT_GE(fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), int(bytes.size()));
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
        close(ends[1]);
    }
    ~FilledPipe() { close(end); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(end); }
    int unread() const
    {
        int bytes = -1;
        ioctl(end, FIONREAD, &bytes);
        return bytes;
    }
    int end = -1;
};

TEST(ReadingTest, PipesAreReadNoFurtherThanFrameByFrame)
{
    // In half frames: what each pipe holds, and what the run must leave in it.
    struct Case {
        int frames, referenceHalves, targetHalves, referenceLeft, targetLeft;
    };
    const Case cases[] = {
        {3, 9, 9, 3, 3},  // both longer than asked: exactly N frames of each are read
        {3, 9, 3, 5, 0},  // the target ends inside frame 1: frame 1 of the reference, nothing after
        // The reference ends inside frame 2, the first of a batch: target frame 2 is read, 3 not.
        {4, 5, 9, 0, 3},
    };
    for (int side : {256, 384})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << side << " x " << side << ", " << c.frames << " frames, "
                                            << c.referenceHalves << "/" << c.targetHalves << " half frames");
            const std::size_t halfFrame = std::size_t(side) * side * 3 / 4;
            FilledPipe reference(halfFrame, c.referenceHalves), target(halfFrame, c.targetHalves);
            PsnrSettings settings;
            settings.sourcePath = reference.path();
            settings.targetPath = target.path();
            settings.width = settings.height = side;
            settings.frameCount = c.frames;
            Quiet quiet;
            testing::internal::CaptureStderr();  // the run's "Average,..." line
            RunComparison(settings, quiet);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(reference.unread(), int(halfFrame) * c.referenceLeft);
            EXPECT_EQ(target.unread(), int(halfFrame) * c.targetLeft);
        }
}

}  // namespace
}  // namespace lorvane
#endif
