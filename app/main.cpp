// lorvane: the window. Everything but the application object lives in
// lorvane_gui, which the tests link as well.
#include <QApplication>

#include "core/lorvane.h"
#include "psnrdialog.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // A result file or export being written when the window is stopped
    // leaves no temporary file behind.
    lorvane::RemoveTemporaryFilesOnSignals();
    lorvane::PrepareApplication(app);
    lorvane::CPsnrDialog form;
    lorvane::ShowMainForm(app, form);
    return app.exec();
}
