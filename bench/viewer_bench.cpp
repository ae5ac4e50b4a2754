// How long the frame viewer takes to show a frame: from Open (or a Right key)
// until its three panes have painted, for a large high-bit-depth pair.
//   viewer_bench REFERENCE PROCESSED WIDTH HEIGHT FORMAT FRAMES
// Measures the pair with the core as the form does, then opens the viewer on
// frame 0 and steps through the frames twice with the Right key. Prints a
// line per frame shown (milliseconds from the request to the end of the paint
// of the panes), and, for the same frames, MakeFramePictures alone (the read
// and the pictures, done on the worker thread).
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "frameviewer.h"
#include "prompts.h"

using namespace lorvane;

namespace {

struct Collect : RunFeedback {
    void ShowMessage(const std::string& text, const std::string&, MessageIcon) override
    {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
    void FrameMeasured(const FrameResult& frame) override { frames.push_back(frame); }
    void RunEnded(const RunOutcome& ended) override { outcome = ended; }
    std::vector<FrameResult> frames;
    RunOutcome outcome;
};

// The panes are the viewer's largest child: its first paint after the frame
// is in marks the end.
class PaintWatch : public QObject {
public:
    QWidget* panes = nullptr;
    bool armed = false;
    std::function<void()> painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (armed && watched == panes && event->type() == QEvent::Paint) {
            armed = false;
            // After this event has been handled, that is, painted.
            QTimer::singleShot(0, painted);
        }
        return false;
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: viewer_bench REFERENCE PROCESSED WIDTH HEIGHT FORMAT FRAMES\n");
        return 2;
    }
    auto sequence = std::make_shared<MeasuredSequence>();
    PsnrSettings& settings = sequence->settings;
    settings.sourcePath = argv[1];
    settings.targetPath = argv[2];
    settings.width = std::atoi(argv[3]);
    settings.height = std::atoi(argv[4]);
    settings.pixelFormat = argv[5];
    settings.frameCount = std::atoi(argv[6]);
    Collect collect;
    RunComparison(settings, collect);
    if (collect.frames.empty())
        return 1;
    sequence->record.outcome = collect.outcome;
    sequence->record.frames = std::move(collect.frames);
    sequence->record.statistics = ComputeStatistics(sequence->record.frames, collect.outcome.description, kWorstFrames);
    const int frames = int(sequence->record.frames.size());

    for (int k = 0; k < frames; ++k) {
        QElapsedTimer clock;
        clock.start();
        const FramePictures pictures = MakeFramePictures(*sequence, k);
        std::printf("pictures %d %.1f\n", k, double(clock.nsecsElapsed()) / 1e6);
    }

    FrameViewer viewer(QtPrompts::instance(), nullptr);
    viewer.setGeometry(40, 40, 1240, 520);
    PaintWatch watch;
    app.installEventFilter(&watch);

    QElapsedTimer clock;
    int shown = 0;
    const int steps = 2 * frames;
    const auto next = [&] {
        clock.start();
        if (shown % frames == 0)
            viewer.Open(sequence, 0);
        else
            QTest::keyClick(&viewer, Qt::Key_Right);
    };
    QObject::connect(&viewer, &FrameViewer::frameShown, [&] {
        // Laid out by now.
        for (QWidget* child : viewer.findChildren<QWidget*>())
            if (!watch.panes || child->width() * child->height() > watch.panes->width() * watch.panes->height())
                watch.panes = child;
        watch.armed = true;
    });
    watch.painted = [&] {
        std::printf("shown %d %.1f\n", viewer.Frame(), double(clock.nsecsElapsed()) / 1e6);
        std::fflush(stdout);
        if (++shown == steps)
            app.quit();
        else
            QTimer::singleShot(100, next);
    };
    QTimer::singleShot(0, next);
    return app.exec();
}
