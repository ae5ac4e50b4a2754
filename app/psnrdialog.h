// The Lorvane window: one fixed-size form holding the six values of a
// comparison run, the About box, and what the application sets up around them.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>

#include <atomic>
#include <cstdint>
#include <set>
#include <vector>

#include "core/lorvane.h"
#include "measured.h"

class QApplication;
class QComboBox;
class QFont;
class QLineEdit;
class QProgressBar;
class QThread;

namespace lorvane {

class Prompts;
class ResultsWindow;
struct FileRequest;

// Control identifiers. Each control's objectName is the identifier's name
// ("IDC_SOURCE_PATH"), which is how tests and DataExchange find them.
enum ControlId : int {
    IDC_SOURCE_PATH = 1000,
    IDC_TARGET_PATH = 1001,
    IDC_WIDTH = 1002,
    IDC_HEIGHT = 1003,
    IDC_FRAMES = 1004,
    IDC_RESULT_PATH = 1005,
    IDC_COMPUTE = 1006,
    IDC_BROWSE_SOURCE = 1009,
    IDC_BROWSE_TARGET = 1010,
    IDC_BROWSE_RESULT = 1011,
    IDC_AUTHOR_INFO = 1012,
    IDC_PROGRESS = 1014,
    // Added after the original nineteen, and after them in tab order.
    IDC_FORMAT = 1015,
    IDC_PEAK = 1016,
    IDC_VIEW_CHART = 1017,
    IDC_OFFSET = 1018,
    IDC_SSIM = 1019,
};
QString ControlName(int id);

// System-menu command of the About entry; ids 16 to 31 all open the box.
inline constexpr int IDM_ABOUTBOX = 16;

// "宋体" 9 pt, falling back to the CJK fonts found on other systems.
QFont DialogFont();

// Dialog units to pixels for a font, the way Windows lays out dialog
// templates: the horizontal base unit is the average width of the Latin
// letters, the vertical one the character height.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;

private:
    int baseX_ = 0;
    int baseY_ = 0;
};

// One pass of the form's data exchange, in either direction. A failed store
// has shown its message and moved the focus; the exchange stops there.
class DataExchange {
public:
    DataExchange(QWidget& dialog, bool save, Prompts& prompts);
    bool saving() const { return save_; }

    void Control(int id, QProgressBar*& member);
    bool Text(int id, QString& member);
    bool Text(int id, std::int32_t& member);
    // Checks a value already stored by the Text call just before it.
    bool MinMaxInt(std::int32_t value, std::int32_t minimum, std::int32_t maximum);
    // A drop-down list's item data (a format name), and a check box.
    bool Choice(int id, QString& member);
    bool Check(int id, bool& member);

private:
    QLineEdit* Edit(int id);
    bool Fail(const QString& message);

    QWidget& dialog_;
    bool save_;
    Prompts& prompts_;
    int lastControl_ = 0;
};

class CPsnrDialog : public QDialog, public RunFeedback {
    Q_OBJECT

public:
    explicit CPsnrDialog(QWidget* parent = nullptr);
    ~CPsnrDialog() override;

    // The form's values; m_sourcePath to m_offset are a run's settings.
    QProgressBar* m_progress = nullptr;
    QString m_sourcePath;
    QString m_resultPath;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_frameCount = 0;
    QString m_targetPath;
    QString m_pixelFormat;  // an ffmpeg name; empty: the classic layout
    bool m_scaledPeak = false;
    std::int32_t m_offset = 0;  // target frame i against reference frame i + m_offset
    bool m_ssim = false;        // SSIM beside PSNR; off, a run costs what PSNR alone costs
    QIcon m_hIcon;

    // true: controls -> members with validation; false: members -> controls.
    bool UpdateData(bool save = true);
    QWidget* GetDlgItem(int id) const;
    PsnrSettings Settings() const;

    // Not owned; defaults to the real message boxes and file dialogs.
    void SetPrompts(Prompts& prompts) { m_prompts = &prompts; }
    bool IsRunning() const { return m_worker != nullptr; }

    // Opens the About box for ids 16 to 31; false for any other command.
    bool OnSysCommand(int id);
    void OnCompute();
    void OnBrowseSource();
    void OnBrowseTarget();
    void OnBrowseResult();
    void OnAuthorInfo();
    // Fills size, format and frame count from what the sequences tell, where
    // the user has not typed a value; `warn`: say so when the files disagree.
    void AutoFill(bool warn);
    // Opens the results window on the last run that compared a frame.
    void OnViewChart();
    ResultsWindow* Results() const { return m_results; }
    const Measured& LastRun() const { return m_lastRun; }

    // RunFeedback, carried out here on the GUI thread. A run on the worker
    // thread reaches these through a forwarder that hands each call over.
    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override;
    void ProgressBegin(std::int32_t frames) override;
    void ProgressStep(std::int32_t frame) override;
    void ProgressEnd() override;
    void FrameMeasured(const FrameResult& frame) override;
    void RunEnded(const RunOutcome& outcome) override;

    void reject() override;

signals:
    // Emitted on the GUI thread once a run has ended and the form takes input again.
    void runFinished();

protected:
    virtual bool DoDataExchange(DataExchange& dx);
    bool eventFilter(QObject* watched, QEvent* event) override;
#ifndef Q_OS_WIN
    void contextMenuEvent(QContextMenuEvent* event) override;
#else
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    friend class WorkerFeedback;

    void CreateControls();
    void OnInitDialog();
    void Browse(QString& member, const FileRequest& request);
    void StartRun(const PsnrSettings& settings);
    bool SamplesFitFormat(const PsnrSettings& settings);
    void OnRunEnded();
    void ApplyLatestStep();

    bool Fillable(int id) const;

    Prompts* m_prompts;
    QThread* m_worker = nullptr;
    // What the run on the worker thread hands back, read once it has ended.
    PsnrSettings m_runSettings;
    std::vector<FrameResult> m_runFrames;
    RunOutcome m_runOutcome;
    bool m_runReachedEnd = false;
    bool m_runOutOfMemory = false;
    Measured m_lastRun;
    Measured m_resultsRun;  // what the results window shows
    ResultsWindow* m_results = nullptr;
    // Auto-fill: number fields the user typed into, whether the format was
    // chosen by hand, and the pair of paths last warned about.
    std::set<int> m_typed;
    bool m_formatChosen = false;
    QString m_warnedPair;
    // Progress handed over from the worker: the newest frame, and whether an
    // update is already queued, so that at most one is in flight.
    std::atomic<std::int32_t> m_latestStep{-1};
    std::atomic<bool> m_stepQueued{false};
    std::atomic<bool> m_closing{false};
};

class CAboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDialog(QWidget* parent = nullptr);
};

// Application-wide setup done once before the form is shown: name, icon and
// the Chinese texts of Qt's own dialogs.
void PrepareApplication(QApplication& app);

// Shows the form as the application's main window. Not modal: a modal form
// would block the results window and the frame viewer, and window managers
// keep a modal window above the others of its application. Closing the form
// ends the application, whatever else is open.
void ShowMainForm(QApplication& app, CPsnrDialog& form);

// "关于 Lorvane(&A)...", the system-menu (or context-menu) entry.
extern const char* const kAboutMenuText;

}  // namespace lorvane
