// The form's modal conversations with the user: message boxes and file
// dialogs. The form asks through this interface so that tests can answer in
// place of a person.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QFileDialog;
class QWidget;

namespace lorvane {

// The file dialogs' filter for encoded video, which the run decodes.
inline constexpr const char* kVideoFilter =
    "视频文件(*.mp4 *.mkv *.webm *.ivf *.ts *.m2ts *.mov *.avi *.264 *.h264 *.265 *.hevc *.obu *.mpg *.m2v)";

struct FileRequest {
    enum class Kind { Open, Save };
    Kind kind = Kind::Open;
    QString defaultSuffix;  // added when the chosen name has none
    QString initialName;
    QString filter;         // Qt's form: "Text (*.txt);;All (*.*)"
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // Modal; returns once the user has dismissed it.
    virtual void showMessage(QWidget* parent, const QString& text, const QString& title,
                             QMessageBox::Icon icon) = 0;
    // Modal; the full path of the chosen file, or an empty string on cancel.
    virtual QString chooseFile(QWidget* parent, const FileRequest& request) = 0;
    // Modal; the existing files chosen, in the order chosen, or none on
    // cancel. Asks for one file where only chooseFile is answered.
    virtual QStringList chooseFiles(QWidget* parent, const FileRequest& request)
    {
        const QString path = chooseFile(parent, request);
        return path.isEmpty() ? QStringList() : QStringList{path};
    }
};

// The real thing: QMessageBox with a "确定" button, and QFileDialog.
class QtPrompts : public Prompts {
public:
    void showMessage(QWidget* parent, const QString& text, const QString& title,
                     QMessageBox::Icon icon) override;
    QString chooseFile(QWidget* parent, const FileRequest& request) override;
    QStringList chooseFiles(QWidget* parent, const FileRequest& request) override;

    // Separate from chooseFile so that the settings can be checked without
    // showing a dialog.
    static void configure(QFileDialog& dialog, const FileRequest& request);
    static QtPrompts& instance();
};

// A run, or what the window makes of its results, that could not get the
// memory it needed: the same error box wherever it happened.
void ShowOutOfMemory(Prompts& prompts, QWidget* parent);

}  // namespace lorvane
