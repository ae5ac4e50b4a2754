// The time a run takes in the window, from the Enter key to the summary box
// on screen, for bench/window_bench.py to hold against lorvane-cli. The form
// and its message boxes are the real ones; only the person is replaced: the
// Enter key is sent to the focused path field, and the summary box is closed
// as soon as it has painted.
//   window_bench REFERENCE PROCESSED WIDTH HEIGHT FRAMES RESULT RUNS
// Prints one line per run: its number and the milliseconds.
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "psnrdialog.h"

using namespace lorvane;

namespace {

// Notes the first paint of a message box and closes it once it is up.
class SummaryWatch : public QObject {
public:
    QElapsedTimer clock;
    qint64 shownAt = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && shownAt < 0) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                shownAt = clock.nsecsElapsed();
                QTimer::singleShot(0, box, [box] { box->accept(); });
            }
        }
        return false;
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    PrepareApplication(app);
    if (argc != 8) {
        std::fprintf(stderr, "usage: window_bench REFERENCE PROCESSED WIDTH HEIGHT FRAMES RESULT RUNS\n");
        return 2;
    }
    CPsnrDialog form;
    const std::pair<int, const char*> fields[] = {{IDC_SOURCE_PATH, argv[1]}, {IDC_TARGET_PATH, argv[2]},
                                                  {IDC_WIDTH, argv[3]},       {IDC_HEIGHT, argv[4]},
                                                  {IDC_FRAMES, argv[5]},      {IDC_RESULT_PATH, argv[6]}};
    for (const auto& [id, text] : fields)
        static_cast<QLineEdit*>(form.GetDlgItem(id))->setText(QString::fromLocal8Bit(text));
    const int runs = std::atoi(argv[7]);

    SummaryWatch watch;
    app.installEventFilter(&watch);
    int run = 0;
    const auto press = [&] {
        QWidget* field = form.GetDlgItem(IDC_SOURCE_PATH);
        field->setFocus(Qt::OtherFocusReason);
        watch.shownAt = -1;
        watch.clock.start();
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QKeyEvent up(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(field, &down);
        QApplication::sendEvent(field, &up);
    };
    QObject::connect(&form, &CPsnrDialog::runFinished, [&] {
        if (watch.shownAt < 0) {
            std::fprintf(stderr, "window_bench: the run showed no message box\n");
            app.exit(1);
            return;
        }
        std::printf("%d %.3f\n", ++run, double(watch.shownAt) / 1e6);
        std::fflush(stdout);
        if (run == runs)
            app.quit();
        else
            QTimer::singleShot(200, press);
    });
    form.show();
    // Starts once the form is on screen and the window manager has settled.
    QTimer::singleShot(500, press);
    return app.exec();
}
