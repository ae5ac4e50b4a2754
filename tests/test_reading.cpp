// Reading ahead must not read more than reading frame by frame would: on a pipe every byte
// read is gone for whoever reads after the run, so the bytes left in it show exactly how far
// the run read. Frames of 256 x 256 are read in batches of two, 384 x 384 one at a time.
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

// The reading end of a pipe holding `bytes` bytes, its writing end closed: the
// run sees the end of the data as the end of the file.
int FilledPipe(std::size_t bytes)
{
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_GE(fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), int(bytes));
    EXPECT_EQ(write(ends[1], std::vector<char>(bytes, 7).data(), bytes), ssize_t(bytes));
    close(ends[1]);
    return ends[0];
}

int Unread(int end) { int bytes = -1; ioctl(end, FIONREAD, &bytes); return bytes; }

TEST(ReadingTest, PipesAreReadNoFurtherThanFrameByFrame)
{
    // In half frames: what each pipe holds, and what the run must leave in it.
    struct Case { int frames, referenceHalves, targetHalves, referenceLeft, targetLeft; };
    const Case cases[] = {
        {3, 9, 9, 3, 3},  // both longer than asked: exactly N frames of each are read
        {3, 9, 3, 5, 0},  // the target ends inside frame 1: frame 1 of the reference, nothing after
        {4, 5, 9, 0, 3},  // the reference ends inside frame 2, the first of a batch: target frame 2, not 3
    };
    for (int side : {256, 384})
        for (const Case& c : cases) {
            const int half = side * side * 3 / 4;
            const int reference = FilledPipe(half * c.referenceHalves), target = FilledPipe(half * c.targetHalves);
            const auto path = [](int end) { return "/proc/self/fd/" + std::to_string(end); };
            Quiet quiet;
            RunComparison({path(reference), "", side, side, c.frames, path(target)}, quiet);
            EXPECT_EQ(std::pair(Unread(reference), Unread(target)), std::pair(half * c.referenceLeft, half * c.targetLeft))
                << side << " x " << side << ", case " << &c - cases << " (reference, target bytes left)";
            close(reference), close(target);
        }
}

}  // namespace
}  // namespace lorvane
#else
TEST(ReadingTest, PipesAreReadNoFurtherThanFrameByFrame)
{
    GTEST_SKIP() << "reads pipes through /proc/self/fd, which only Linux has";
}
#endif
