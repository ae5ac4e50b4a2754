// lorvane: the window. Everything but the application object lives in
// lorvane_gui, which the tests link as well.
#include <QApplication>

#include "psnrdialog.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    lorvane::PrepareApplication(app);
    lorvane::CPsnrDialog form;
    lorvane::ShowMainForm(app, form);
    return app.exec();
}
