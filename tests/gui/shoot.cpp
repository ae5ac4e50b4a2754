// Drives the real windows to the states the README and docs/window.md show,
// for scripts/screenshot.sh: the form after a run with SSIM (filled in by
// auto-fill from the two paths), the results window, and the frame viewer on
// the worst frame with its error and SSIM maps, and, given encodes of a
// ladder, its 码率-质量 tab with each encode's series taken from its name up
// to the first underscore.
// Prints each state's name when it is on screen and goes on at the next line
// on standard input, so that the script can capture each window in turn.
//   gui_shoot REFERENCE PROCESSED [LADDER_ENCODE ...]
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QSocketNotifier>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

#include "frameviewer.h"
#include "prompts.h"
#include "psnrdialog.h"
#include "ratequality.h"
#include "resultswindow.h"

using namespace lorvane;

namespace {

// Messages go to the standard error stream: the summary box would cover the form.
struct QuietPrompts : QtPrompts {
    void showMessage(QWidget*, const QString& text, const QString& title, QMessageBox::Icon) override
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    }
};

void Say(const char* state)
{
    std::printf("%s\n", state);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    PrepareApplication(app);
    if (argc < 3)
        return 2;
    QStringList ladder;
    for (int i = 3; i < argc; ++i)
        ladder << QString::fromLocal8Bit(argv[i]);
    QuietPrompts prompts;
    CPsnrDialog form;
    form.SetPrompts(prompts);
    form.move(40, 40);
    ShowMainForm(app, form);
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH}) {
        static_cast<QLineEdit*>(form.GetDlgItem(id))->setText(QString::fromLocal8Bit(argv[id == IDC_SOURCE_PATH ? 1 : 2]));
        form.AutoFill(true);
    }
    static_cast<QCheckBox*>(form.GetDlgItem(IDC_SSIM))->setChecked(true);

    std::vector<std::function<void()>> steps;
    std::size_t next = 0;
    const auto step = [&] {
        if (next < steps.size())
            steps[next++]();
    };
    steps.push_back([&] {
        QObject::connect(&form, &CPsnrDialog::runFinished, [&] {
            QTimer::singleShot(800, [] { Say("form"); });
        });
        form.OnCompute();
    });
    steps.push_back([&] {
        form.OnViewChart();
        ResultsWindow* results = form.Results();
        results->setGeometry(60, 60, 1100, 720);
        results->Table()->selectRow(0);
        QTimer::singleShot(1500, [] { Say("results"); });
    });
    steps.push_back([&] {
        ResultsWindow* results = form.Results();
        FrameViewer* viewer = results->Viewer();
        QObject::connect(viewer, &FrameViewer::frameShown, [viewer] {
            QTimer::singleShot(1000, [] { Say("viewer"); });
        });
        viewer->setGeometry(30, 80, 1300, 500);
        results->OpenFrame(form.LastRun()->record.statistics.planes[0].minFrame);
    });
    if (!ladder.isEmpty())
        steps.push_back([&] {
            ResultsWindow* results = form.Results();
            results->Viewer()->hide();
            QObject::connect(results, &ResultsWindow::measuringEnded, [results] {
                QAbstractItemModel* list = results->RateQuality()->Encodes()->model();
                for (int r = 1; r < list->rowCount(); ++r) {
                    const QString name = list->index(r, EncodeListModel::Encode).data().toString();
                    list->setData(list->index(r, EncodeListModel::Series), name.section('_', 0, 0));
                }
                results->Pages()->setCurrentIndex(1);
                results->activateWindow();
                QTimer::singleShot(1500, [] { Say("rd"); });
            });
            results->AddSequences(ladder);
        });
    steps.push_back([&] { app.quit(); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[64];
        if (read(STDIN_FILENO, line, sizeof line) <= 0)
            app.quit();
        else
            step();
    });
    QTimer::singleShot(500, step);
    return app.exec();
}
