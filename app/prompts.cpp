#include "prompts.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QFileInfo>

namespace lorvane {

void QtPrompts::showMessage(QWidget* parent, const QString& text, const QString& title,
                            QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}

void QtPrompts::configure(QFileDialog& dialog, const FileRequest& request)
{
    const bool save = request.kind == FileRequest::Kind::Save;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // AnyFile also for opening: a name that does not exist is taken as typed,
    // and the run then says it cannot open it.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setNameFilters(request.filter.split(QStringLiteral(";;")));
    dialog.setDefaultSuffix(request.defaultSuffix);
    dialog.selectFile(request.initialName);
}

QString QtPrompts::chooseFile(QWidget* parent, const FileRequest& request)
{
    QFileDialog dialog(parent);
    configure(dialog, request);
    while (dialog.exec() == QDialog::Accepted) {
        const QString path = dialog.selectedFiles().value(0);
        const QFileInfo info(path);
        // A pattern such as the initial "*.yuv" narrows the listing, as in
        // the Windows dialogs, rather than naming a file.
        if (!info.fileName().contains(QLatin1Char('*')) && !info.fileName().contains(QLatin1Char('?')))
            return path;
        QStringList filters = dialog.nameFilters();
        filters.removeAll(info.fileName());
        filters.prepend(info.fileName());
        dialog.setDirectory(info.absolutePath());
        dialog.setNameFilters(filters);
    }
    return QString();
}

QStringList QtPrompts::chooseFiles(QWidget* parent, const FileRequest& request)
{
    // The filters' first is the one the dialog starts with.
    return QFileDialog::getOpenFileNames(parent, QString(), QString(), request.filter);
}

void ShowOutOfMemory(Prompts& prompts, QWidget* parent)
{
    prompts.showMessage(parent, QStringLiteral("内存不足，无法完成计算！"), QStringLiteral("错误!"),
                        QMessageBox::Critical);
}

QtPrompts& QtPrompts::instance()
{
    static QtPrompts prompts;
    return prompts;
}

}  // namespace lorvane
