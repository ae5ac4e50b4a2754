// Reading ahead must not read more than reading frame by frame would: on a
// pipe every byte read is gone for whoever reads after the run, so the bytes
// left in the pipe show exactly how far the run read. Frames of 256 x 256 are
// read in batches of two, 384 x 384 one at a time; either way the reference is
// read on its own thread, in step with the target (a pipe's length is not
// known in advance).
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/psnr.h"

namespace lorvane {
namespace {

constexpr std::size_t kExtra = 100;  // a partial frame after the whole ones

struct Recorder : RunFeedback {
    std::vector<std::string> texts;
    int steps = 0;
    void ShowMessage(const std::string& text, const std::string&, MessageIcon) override
    {
        texts.push_back(text);
    }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override { ++steps; }
    void ProgressEnd() override {}
};

std::vector<std::uint8_t> Frames(std::size_t frame, int frames, std::uint8_t value)
{
    std::vector<std::uint8_t> bytes(frame * std::size_t(frames) + kExtra);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(value + i / frame);  // each frame its own value
    return bytes;
}

// A pipe already holding `bytes`, its writing end closed: the run sees the end
// of the data as the end of the file.
class FilledPipe {
public:
    explicit FilledPipe(const std::vector<std::uint8_t>& bytes)
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        read_ = ends[0];
        if (fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) >= int(bytes.size()))
            ok_ = write(ends[1], bytes.data(), bytes.size()) == ssize_t(bytes.size());
        close(ends[1]);
    }
    ~FilledPipe()
    {
        if (read_ >= 0)
            close(read_);
    }
    bool ok() const { return ok_; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(read_); }
    int unread() const
    {
        int bytes = -1;
        ioctl(read_, FIONREAD, &bytes);
        return bytes;
    }

private:
    int read_ = -1;
    bool ok_ = false;
};

class ReadingTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("lorvane-reading-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string File(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     std::streamsize(bytes.size()));
        return path;
    }

    // Runs N frames of side x side; returns the summary text.
    std::string Run(const std::string& reference, const std::string& target, int side, int frames)
    {
        PsnrSettings settings;
        settings.sourcePath = reference;
        settings.targetPath = target;
        settings.resultPath = (dir_ / "out.txt").string();
        settings.width = settings.height = side;
        settings.frameCount = frames;
        Recorder recorder;
        // The run's "Average,..." line is not what is tested here.
        std::fflush(stderr);
        const int saved = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        RunComparison(settings, recorder);
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        close(null);
        std::ifstream result(settings.resultPath);
        lines_ = 0;
        for (std::string line; std::getline(result, line);)
            ++lines_;
        return recorder.texts.empty() ? std::string() : recorder.texts.back();
    }

    std::filesystem::path dir_;
    int lines_ = 0;
};

TEST_F(ReadingTest, PipesAreReadNoFurtherThanFrameByFrame)
{
    for (int side : {256, 384}) {
        SCOPED_TRACE(side);
        const std::size_t frame = std::size_t(side) * side * 3 / 2;
        // Both pipes longer than asked: exactly N frames of each are read.
        {
            FilledPipe reference(Frames(frame, 4, 0)), target(Frames(frame, 4, 1));
            ASSERT_TRUE(reference.ok() && target.ok());
            const std::string summary = Run(reference.path(), target.path(), side, 3);
            EXPECT_NE(summary.find("共计3帧"), std::string::npos) << summary;
            EXPECT_EQ(lines_, 1 + 3 + 1);
            EXPECT_EQ(reference.unread(), int(frame + kExtra));
            EXPECT_EQ(target.unread(), int(frame + kExtra));
        }
        // The target (a file) ends inside frame 1: frame 1 of the reference
        // pipe is read, as a frame-by-frame reader would, and nothing after it,
        // although a slot for frame 2 may be free from the start.
        {
            std::vector<std::uint8_t> short_target = Frames(frame, 1, 1);
            short_target.resize(frame + frame / 2);
            const std::string target = File("target.yuv", short_target);
            FilledPipe reference(Frames(frame, 4, 0));
            ASSERT_TRUE(reference.ok());
            const std::string summary = Run(reference.path(), target, side, 3);
            EXPECT_NE(summary.find("只比较了1帧"), std::string::npos) << summary;
            EXPECT_EQ(reference.unread(), int(2 * frame + kExtra));
        }
        // The reference pipe ends at frame 2, the first of a batch: frame 2 of
        // the target pipe is still read (both ends are reported), frame 3 is not.
        {
            FilledPipe reference(Frames(frame, 2, 0)), target(Frames(frame, 4, 1));
            ASSERT_TRUE(reference.ok() && target.ok());
            const std::string summary = Run(reference.path(), target.path(), side, 4);
            EXPECT_NE(summary.find("源参考序列 " + reference.path() + " 提前结束：只比较了2帧"),
                      std::string::npos)
                << summary;
            EXPECT_EQ(target.unread(), int(frame + kExtra));
        }
        // The target pipe ends first, the reference a file.
        {
            const std::string reference = File("reference.yuv", Frames(frame, 4, 0));
            FilledPipe target(Frames(frame, 1, 1));
            ASSERT_TRUE(target.ok());
            const std::string summary = Run(reference, target.path(), side, 4);
            EXPECT_NE(summary.find("目标序列 " + target.path() + " 提前结束：只比较了1帧"),
                      std::string::npos)
                << summary;
            EXPECT_EQ(lines_, 1 + 1 + 1);
        }
    }
}

}  // namespace
}  // namespace lorvane
#endif
