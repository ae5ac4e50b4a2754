#include "psnrdialog.h"

#include <QApplication>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QTranslator>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <functional>
#include <new>

#include "autofill.h"
#include "core/lorvane.h"
#include "prompts.h"
#include "resultswindow.h"

#ifdef Q_OS_WIN
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace lorvane {

const char* const kAboutMenuText = "关于 Lorvane(&A)...";

namespace {

// Resources: icon 128 (window), icon 131 (About box), bitmap 129 (form
// picture), cursor 133 (form cursor, hot spot at its top-left pixel).
const char* const kMainIcon = ":/res/lorvane.png";
const char* const kAboutIcon = ":/res/about.png";
const char* const kFormPicture = ":/res/picture.png";
const char* const kFormCursor = ":/res/cursor.png";

const std::int32_t kMaxValue = 1000000000;
const char* const kValidationTitle = "Lorvane";

const char* const kAuthorText =
    "作者：Lorvane 开发者\n"
    "联系方式：请在项目的问题跟踪中留言\n"
    "单位：Lorvane 项目\n"
    "\n"
    "感谢每一位使用和测试本工具的朋友。\n"
    "感谢开源社区提供的工具与资料。";

const QColor kProgressColour(141, 4, 242);

QString U8(const char* utf8) { return QString::fromUtf8(utf8); }

// A signed decimal integer with optional blanks around it. Values beyond
// 32 bits saturate, so that the range check that follows refuses them.
bool ParseInteger(const QString& text, std::int32_t& value)
{
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && blank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    const qsizetype digits = i;
    qint64 magnitude = 0;
    while (i < n && text[i] >= u'0' && text[i] <= u'9')
        magnitude = std::min<qint64>(magnitude * 10 + (text[i++].unicode() - u'0'), qint64(1) << 40);
    if (i == digits)
        return false;
    while (i < n && blank(text[i]))
        ++i;
    if (i != n)
        return false;
    value = std::int32_t(std::clamp<qint64>(negative ? -magnitude : magnitude, INT32_MIN, INT32_MAX));
    return true;
}

QString LocalFile(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty() || !mime->urls().first().isLocalFile())
        return QString();
    return QDir::toNativeSeparators(mime->urls().first().toLocalFile());
}

// A path field: a file dropped on it replaces its text with the file's path.
class PathEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    std::function<void()> dropped;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override
    {
        if (LocalFile(event->mimeData()).isEmpty())
            QLineEdit::dragEnterEvent(event);
        else
            event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* event) override
    {
        if (LocalFile(event->mimeData()).isEmpty())
            QLineEdit::dragMoveEvent(event);
        else
            event->acceptProposedAction();
    }
    void dropEvent(QDropEvent* event) override
    {
        const QString path = LocalFile(event->mimeData());
        if (path.isEmpty()) {
            QLineEdit::dropEvent(event);
            return;
        }
        setText(path);
        setFocus(Qt::OtherFocusReason);
        event->acceptProposedAction();
        if (dropped)
            dropped();
    }
};

// The core takes UTF-8 paths on every platform (and opens them with the wide
// calls on Windows), so that any file name the user can pick can be opened.
std::string CorePath(const QString& path)
{
    return path.toStdString();
}

QMessageBox::Icon BoxIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

int MulDiv(int value, int numerator, int denominator)
{
    return int((qint64(value) * numerator + denominator / 2) / denominator);
}

const Qt::WindowFlags kFixedWindow = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                     Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

}  // namespace

QString ControlName(int id)
{
    switch (id) {
    case IDC_SOURCE_PATH: return QStringLiteral("IDC_SOURCE_PATH");
    case IDC_TARGET_PATH: return QStringLiteral("IDC_TARGET_PATH");
    case IDC_WIDTH: return QStringLiteral("IDC_WIDTH");
    case IDC_HEIGHT: return QStringLiteral("IDC_HEIGHT");
    case IDC_FRAMES: return QStringLiteral("IDC_FRAMES");
    case IDC_RESULT_PATH: return QStringLiteral("IDC_RESULT_PATH");
    case IDC_COMPUTE: return QStringLiteral("IDC_COMPUTE");
    case IDC_BROWSE_SOURCE: return QStringLiteral("IDC_BROWSE_SOURCE");
    case IDC_BROWSE_TARGET: return QStringLiteral("IDC_BROWSE_TARGET");
    case IDC_BROWSE_RESULT: return QStringLiteral("IDC_BROWSE_RESULT");
    case IDC_AUTHOR_INFO: return QStringLiteral("IDC_AUTHOR_INFO");
    case IDC_PROGRESS: return QStringLiteral("IDC_PROGRESS");
    case IDC_FORMAT: return QStringLiteral("IDC_FORMAT");
    case IDC_PEAK: return QStringLiteral("IDC_PEAK");
    case IDC_VIEW_CHART: return QStringLiteral("IDC_VIEW_CHART");
    case IDC_OFFSET: return QStringLiteral("IDC_OFFSET");
    case IDC_SSIM: return QStringLiteral("IDC_SSIM");
    }
    return QString();
}

QFont DialogFont()
{
    QFont font;
    font.setFamilies({U8("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("WenQuanYi Zen Hei")});
    font.setPointSize(9);
    return font;
}

// ---- dialog units

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (letters / 26 + 1) / 2;
    baseY_ = metrics.height();
}

int DialogUnits::x(int units) const { return MulDiv(units, baseX_, 4); }
int DialogUnits::y(int units) const { return MulDiv(units, baseY_, 8); }

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    return QRect(x(left), y(top), x(width), y(height));
}

// ---- data exchange

DataExchange::DataExchange(QWidget& dialog, bool save, Prompts& prompts)
    : dialog_(dialog), save_(save), prompts_(prompts)
{
}

QLineEdit* DataExchange::Edit(int id)
{
    lastControl_ = id;
    QLineEdit* edit = dialog_.findChild<QLineEdit*>(ControlName(id));
    Q_ASSERT(edit);
    return edit;
}

void DataExchange::Control(int id, QProgressBar*& member)
{
    member = dialog_.findChild<QProgressBar*>(ControlName(id));
    Q_ASSERT(member);
}

bool DataExchange::Text(int id, QString& member)
{
    QLineEdit* edit = Edit(id);
    if (save_)
        member = edit->text();
    else
        edit->setText(member);
    return true;
}

bool DataExchange::Text(int id, std::int32_t& member)
{
    QLineEdit* edit = Edit(id);
    if (!save_) {
        edit->setText(QString::number(member));
        return true;
    }
    if (!ParseInteger(edit->text(), member))
        return Fail(U8("请输入一个整数。"));
    return true;
}

bool DataExchange::MinMaxInt(std::int32_t value, std::int32_t minimum, std::int32_t maximum)
{
    if (!save_ || (value >= minimum && value <= maximum))
        return true;
    return Fail(U8("请输入一个介于 %1 和 %2 之间的整数。").arg(minimum).arg(maximum));
}

bool DataExchange::Choice(int id, QString& member)
{
    auto* list = dialog_.findChild<QComboBox*>(ControlName(id));
    Q_ASSERT(list);
    if (save_)
        member = list->currentData().toString();
    else
        list->setCurrentIndex(std::max(list->findData(member), 0));
    return true;
}

bool DataExchange::Check(int id, bool& member)
{
    auto* box = dialog_.findChild<QCheckBox*>(ControlName(id));
    Q_ASSERT(box);
    if (save_)
        member = box->isChecked();
    else
        box->setChecked(member);
    return true;
}

bool DataExchange::Fail(const QString& message)
{
    prompts_.showMessage(&dialog_, message, U8(kValidationTitle), QMessageBox::Warning);
    QLineEdit* edit = Edit(lastControl_);
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    return false;
}

// ---- the form

// Runs on the worker thread and hands every call to the form on the GUI
// thread. Messages wait for the user; progress steps are only posted, at most
// one at a time and a few dozen a second, because the run calls ProgressStep
// for every frame and frames can go by at tens of thousands a second.
class WorkerFeedback : public RunFeedback {
public:
    explicit WorkerFeedback(CPsnrDialog& form) : form_(form) {}

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        CPsnrDialog* form = &form_;
        QMetaObject::invokeMethod(form, [form, &text, &title, icon] {
            // The bar shows the last frame the run reached while the message is up.
            form->ApplyLatestStep();
            if (!form->m_closing)
                form->ShowMessage(text, title, icon);
        }, Qt::BlockingQueuedConnection);
    }

    void ProgressBegin(std::int32_t frames) override
    {
        CPsnrDialog* form = &form_;
        QMetaObject::invokeMethod(form, [form, frames] { form->ProgressBegin(frames); },
                                  Qt::BlockingQueuedConnection);
    }

    void ProgressStep(std::int32_t frame) override
    {
        form_.m_latestStep.store(frame, std::memory_order_relaxed);
        if (form_.m_stepQueued.load(std::memory_order_relaxed))
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPosted_ < kStepInterval)
            return;
        lastPosted_ = now;
        form_.m_stepQueued.store(true, std::memory_order_relaxed);
        CPsnrDialog* form = &form_;
        QMetaObject::invokeMethod(form, [form] { form->ApplyLatestStep(); }, Qt::QueuedConnection);
    }

    void ProgressEnd() override
    {
        CPsnrDialog* form = &form_;
        QMetaObject::invokeMethod(form, [form] { form->ProgressEnd(); }, Qt::BlockingQueuedConnection);
    }

    // The form reads these only after the worker has finished.
    void FrameMeasured(const FrameResult& frame) override { form_.FrameMeasured(frame); }
    void RunEnded(const RunOutcome& outcome) override { form_.RunEnded(outcome); }

private:
    static constexpr std::chrono::milliseconds kStepInterval{30};
    CPsnrDialog& form_;
    std::chrono::steady_clock::time_point lastPosted_{};
};

CPsnrDialog::CPsnrDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | kFixedWindow), m_hIcon(U8(kMainIcon)),
      m_prompts(&QtPrompts::instance())
{
    setWindowTitle(U8("计算PSNR"));
    setFont(DialogFont());
    setCursor(QCursor(QPixmap(U8(kFormCursor)), 0, 0));
    CreateControls();
    OnInitDialog();
}

CPsnrDialog::~CPsnrDialog()
{
    // The fields outlive this part of the form: the one with the focus
    // finishes its editing as it is destroyed, which must not reach AutoFill.
    for (QLineEdit* field : findChildren<QLineEdit*>())
        field->disconnect(this);
    delete m_results;
    if (!m_worker)
        return;
    // Only a forced shutdown gets here during a run. The run cannot be
    // stopped, so wait for it, answering its calls without showing anything.
    m_closing = true;
    while (!m_worker->wait(QDeadlineTimer(20)))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete m_worker;
    qApp->removeEventFilter(this);
}

void CPsnrDialog::CreateControls()
{
    const DialogUnits du(font());
    // One row taller than the original form, for 偏移 below the rest.
    setFixedSize(du.x(307), du.y(164));

    // Created in tab order: the focus chain follows creation.
    const auto label = [&](const char* text, int x, int y, int width, int height) {
        auto* item = new QLabel(U8(text), this);
        item->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        item->setGeometry(du.rect(x, y, width, height));
    };
    const auto edit = [&](QLineEdit* item, int id, int x, int y, int width, int height) {
        item->setObjectName(ControlName(id));
        item->setGeometry(du.rect(x, y, width, height));
    };
    const auto button = [&](int id, const char* text, int x, int y, int width, int height) {
        auto* item = new QPushButton(U8(text), this);
        item->setObjectName(ControlName(id));
        item->setAutoDefault(true);
        item->setGeometry(du.rect(x, y, width, height));
        return item;
    };

    label("源参考序列：", 14, 7, 49, 8);
    label("目标序列：", 14, 31, 41, 8);
    edit(new PathEdit(this), IDC_SOURCE_PATH, 73, 7, 108, 14);
    edit(new PathEdit(this), IDC_TARGET_PATH, 74, 32, 107, 14);
    label("宽度：", 15, 57, 25, 8);
    label("高度：", 103, 57, 25, 8);
    edit(new QLineEdit(this), IDC_WIDTH, 50, 57, 40, 14);
    edit(new QLineEdit(this), IDC_HEIGHT, 141, 57, 40, 14);
    label("帧数：", 15, 89, 25, 8);
    edit(new QLineEdit(this), IDC_FRAMES, 50, 87, 40, 14);

    // A picture control shows its bitmap at the bitmap's own size.
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("IDB_FORM_PICTURE"));
    const QPixmap bitmap(U8(kFormPicture));
    picture->setPixmap(bitmap);
    picture->setGeometry(QRect(du.rect(244, 19, 43, 43).topLeft(), bitmap.size()));

    label("结果保存文件：", 14, 119, 57, 8);
    edit(new PathEdit(this), IDC_RESULT_PATH, 80, 117, 102, 14);

    QPushButton* compute = button(IDC_COMPUTE, "计算PSNR", 236, 113, 64, 28);
    compute->setDefault(true);
    QPushButton* browseSource = button(IDC_BROWSE_SOURCE, "浏览...", 181, 7, 34, 14);
    QPushButton* browseTarget = button(IDC_BROWSE_TARGET, "浏览...", 181, 31, 34, 14);
    QPushButton* browseResult = button(IDC_BROWSE_RESULT, "浏览...", 181, 117, 34, 14);
    QPushButton* author = button(IDC_AUTHOR_INFO, "关于作者", 241, 86, 50, 14);

    auto* progress = new QProgressBar(this);
    progress->setObjectName(ControlName(IDC_PROGRESS));
    progress->setTextVisible(false);
    progress->setGeometry(du.rect(103, 87, 112, 14));
    progress->hide();

    connect(compute, &QPushButton::clicked, this, &CPsnrDialog::OnCompute);
    connect(browseSource, &QPushButton::clicked, this, &CPsnrDialog::OnBrowseSource);
    connect(browseTarget, &QPushButton::clicked, this, &CPsnrDialog::OnBrowseTarget);
    connect(browseResult, &QPushButton::clicked, this, &CPsnrDialog::OnBrowseResult);
    connect(author, &QPushButton::clicked, this, &CPsnrDialog::OnAuthorInfo);

    // The controls added since, after all of the above in tab order.
    label("格式：", 103, 89, 25, 8);
    auto* format = new QComboBox(this);
    format->setObjectName(ControlName(IDC_FORMAT));
    format->setGeometry(du.rect(128, 87, 87, 14));
    format->addItem(QString::fromUtf8(ClassicFormat().description.data(), qsizetype(ClassicFormat().description.size())),
                    QString());
    for (const PixelFormat& named : NamedPixelFormats()) {
        const QString name = QString::fromUtf8(named.name.data(), qsizetype(named.name.size()));
        format->addItem(name + U8(" — ") + QString::fromUtf8(named.description.data(), qsizetype(named.description.size())),
                        name);
    }
    format->view()->setMinimumWidth(format->view()->sizeHintForColumn(0) + 24);
    auto* peak = new QCheckBox(U8("缩放峰值"), this);
    peak->setObjectName(ControlName(IDC_PEAK));
    peak->setToolTip(U8("高位深时峰值取 255×2^(位深−8)（如10位为 1020，MPEG/JVET 参考软件的做法）；\n"
                        "不选时取 2^位深−1（如 1023，与 ffmpeg、libvmaf 相同）。8位两者都是 255。"));
    peak->setGeometry(du.rect(128, 103, 87, 10));
    QPushButton* view = button(IDC_VIEW_CHART, "查看曲线(&V)…", 241, 67, 50, 14);
    view->setEnabled(false);
    label("偏移：", 15, 145, 25, 8);
    edit(new QLineEdit(this), IDC_OFFSET, 50, 143, 40, 14);
    GetDlgItem(IDC_OFFSET)->setToolTip(U8("目标序列的第 i 帧与源参考序列的第 i+偏移 帧比较；\n"
                                          "负数跳过目标序列开头的帧。"));
    auto* ssim = new QCheckBox(QStringLiteral("SSIM"), this);
    ssim->setObjectName(ControlName(IDC_SSIM));
    ssim->setToolTip(U8("同时计算 SSIM（8×8 窗口，步长 4，与 x264、ffmpeg 相同），在曲线窗口中查看；\n"
                        "结果保存文件仍只有 PSNR。"));
    ssim->setGeometry(du.rect(103, 145, 60, 10));
    // While a run goes on its bar covers the format row, as it always stood there.
    progress->raise();

    connect(view, &QPushButton::clicked, this, &CPsnrDialog::OnViewChart);
    connect(format, &QComboBox::activated, this, [this] { m_formatChosen = true; });
    for (int id : {IDC_WIDTH, IDC_HEIGHT, IDC_FRAMES})
        connect(findChild<QLineEdit*>(ControlName(id)), &QLineEdit::textEdited, this, [this, id] { m_typed.insert(id); });
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH}) {
        auto* path = static_cast<PathEdit*>(findChild<QLineEdit*>(ControlName(id)));
        connect(path, &QLineEdit::editingFinished, this, [this] { AutoFill(true); });
        path->dropped = [this] { AutoFill(true); };
    }
}

void CPsnrDialog::OnInitDialog()
{
    UpdateData(false);
#ifdef Q_OS_WIN
    if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        const std::wstring text = U8(kAboutMenuText).toStdWString();
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text.c_str());
    }
#endif
    setWindowIcon(m_hIcon);
    GetDlgItem(IDC_SOURCE_PATH)->setFocus(Qt::OtherFocusReason);
}

bool CPsnrDialog::DoDataExchange(DataExchange& dx)
{
    dx.Control(IDC_PROGRESS, m_progress);
    return dx.Text(IDC_SOURCE_PATH, m_sourcePath) &&
           dx.Text(IDC_RESULT_PATH, m_resultPath) &&
           dx.Text(IDC_WIDTH, m_width) && dx.MinMaxInt(m_width, 0, kMaxValue) &&
           dx.Text(IDC_HEIGHT, m_height) && dx.MinMaxInt(m_height, 0, kMaxValue) &&
           dx.Text(IDC_FRAMES, m_frameCount) && dx.MinMaxInt(m_frameCount, 0, kMaxValue) &&
           dx.Text(IDC_TARGET_PATH, m_targetPath) &&
           dx.Choice(IDC_FORMAT, m_pixelFormat) && dx.Check(IDC_PEAK, m_scaledPeak) &&
           dx.Text(IDC_OFFSET, m_offset) && dx.MinMaxInt(m_offset, -kMaxValue, kMaxValue) &&
           dx.Check(IDC_SSIM, m_ssim);
}

bool CPsnrDialog::UpdateData(bool save)
{
    DataExchange dx(*this, save, *m_prompts);
    return DoDataExchange(dx);
}

QWidget* CPsnrDialog::GetDlgItem(int id) const
{
    return findChild<QWidget*>(ControlName(id));
}

PsnrSettings CPsnrDialog::Settings() const
{
    PsnrSettings settings;
    settings.sourcePath = CorePath(m_sourcePath);
    settings.resultPath = CorePath(m_resultPath);
    settings.width = m_width;
    settings.height = m_height;
    settings.frameCount = m_frameCount;
    settings.targetPath = CorePath(m_targetPath);
    settings.pixelFormat = m_pixelFormat.toStdString();
    settings.peak = m_scaledPeak ? PeakKind::Scaled : PeakKind::Full;
    settings.offset = m_offset;
    if (m_ssim)
        settings.metrics.push_back("ssim");
    return settings;
}

bool CPsnrDialog::OnSysCommand(int id)
{
    if ((id & 0xFFF0) != IDM_ABOUTBOX)
        return false;
    CAboutDialog about(this);
    about.exec();
    return true;
}

void CPsnrDialog::OnCompute()
{
    if (IsRunning())
        return;
    // Two well-named paths and Enter are enough: the rest is filled first.
    AutoFill(true);
    // A refused entry is not run on the values stored before it.
    if (!UpdateData(true))
        return;
    const PsnrSettings settings = Settings();
    if (!SamplesFitFormat(settings))
        return;
    StartRun(settings);
}

// A format of 9 to 15 bits that auto-fill took from a name is checked against
// the first frames before a run: an 8-bit file beside a 10-bit name would be
// measured far below any real result. One chosen in the list is only questioned.
bool CPsnrDialog::SamplesFitFormat(const PsnrSettings& settings)
{
    const PixelFormat* format = FindPixelFormat(settings.pixelFormat);
    if (!format)
        return true;
    const std::pair<const char*, const std::string*> inputs[] = {{"源参考序列", &settings.sourcePath},
                                                                {"目标序列", &settings.targetPath}};
    for (const auto& [role, path] : inputs) {
        const SequenceInfo info = ProbeSequence(*path, Probe::Header);
        if (info.y4m || !info.encoded.empty())
            continue;  // its header's or its decoder's format is the one the run measures
        const std::string finding = SamplesBeyondFormat(role, *path, info, *format, settings.width, settings.height);
        if (finding.empty())
            continue;
        if (!m_formatChosen) {
            m_prompts->showMessage(this,
                                   QString::fromStdString(finding + "这个格式是从文件名推断的：请在格式中选择文件真正的格式。"),
                                   U8("错误!"), QMessageBox::Critical);
            return false;
        }
        m_prompts->showMessage(this, QString::fromStdString("看来" + finding + "样本按原值计算。"), U8("警告!"),
                               QMessageBox::Warning);
    }
    return true;
}

void CPsnrDialog::Browse(QString& member, const FileRequest& request)
{
    const QString path = m_prompts->chooseFile(this, request);
    if (path.isEmpty())
        return;
    member = QDir::toNativeSeparators(path);
    UpdateData(false);
    if (&member != &m_resultPath)
        AutoFill(true);
}

void CPsnrDialog::OnBrowseSource()
{
    Browse(m_sourcePath, {FileRequest::Kind::Open, QStringLiteral("yuv"), QStringLiteral("*.yuv"),
                          U8("YUV文件(*.yuv);;") + U8(kVideoFilter) + U8(";;所有文件 (*.*)")});
}

void CPsnrDialog::OnBrowseTarget()
{
    Browse(m_targetPath, {FileRequest::Kind::Open, QStringLiteral("yuv"), QStringLiteral("*.yuv"),
                          U8("YUV文件(*.yuv);;") + U8(kVideoFilter) + U8(";;所有文件 (*.*)")});
}

void CPsnrDialog::OnBrowseResult()
{
    Browse(m_resultPath, {FileRequest::Kind::Save, QStringLiteral("txt"), QStringLiteral("*.txt"),
                          U8("txt文件(*.txt);;所有文件 (*.*)")});
}

void CPsnrDialog::OnAuthorInfo()
{
    m_prompts->showMessage(this, U8(kAuthorText), U8("个人信息"), QMessageBox::Information);
}

bool CPsnrDialog::Fillable(int id) const
{
    if (!m_typed.count(id))
        return true;
    // A typed 0 or nothing asks for nothing in particular.
    std::int32_t value = 0;
    const QString text = static_cast<QLineEdit*>(GetDlgItem(id))->text();
    return text.trimmed().isEmpty() || (ParseInteger(text, value) && value == 0);
}

void CPsnrDialog::AutoFill(bool warn)
{
    const QString paths[2] = {static_cast<QLineEdit*>(GetDlgItem(IDC_SOURCE_PATH))->text(),
                              static_cast<QLineEdit*>(GetDlgItem(IDC_TARGET_PATH))->text()};
    SequenceInfo infos[2];
    Container containers[2];
    for (int i = 0; i < 2; ++i)
        if (!paths[i].isEmpty()) {
            infos[i] = ProbeSequence(CorePath(paths[i]));
            containers[i] = OpenContainer(paths[i], infos[i]);
        }
    const FormFill told = WhatTheFilesTell(paths[0].isEmpty() ? nullptr : &infos[0],
                                           paths[1].isEmpty() ? nullptr : &infos[1], containers[0], containers[1]);
    if (told.conflict) {
        // Once for a pair of paths, not at every step that looks again.
        const QString pair = paths[0] + u'\n' + paths[1];
        if (warn && pair != m_warnedPair)
            m_prompts->showMessage(this, told.message, U8(kValidationTitle), QMessageBox::Warning);
        m_warnedPair = pair;
        return;
    }
    auto* width = static_cast<QLineEdit*>(GetDlgItem(IDC_WIDTH));
    auto* height = static_cast<QLineEdit*>(GetDlgItem(IDC_HEIGHT));
    auto* frames = static_cast<QLineEdit*>(GetDlgItem(IDC_FRAMES));
    auto* format = static_cast<QComboBox*>(GetDlgItem(IDC_FORMAT));
    if (told.width > 0 && Fillable(IDC_WIDTH) && Fillable(IDC_HEIGHT)) {
        width->setText(QString::number(told.width));
        height->setText(QString::number(told.height));
        m_typed.erase(IDC_WIDTH);
        m_typed.erase(IDC_HEIGHT);
    }
    if (told.format && !m_formatChosen)
        format->setCurrentIndex(std::max(
            format->findData(QString::fromUtf8(told.format->name.data(), qsizetype(told.format->name.size()))), 0));
    if (paths[0].isEmpty() || paths[1].isEmpty() || !Fillable(IDC_FRAMES))
        return;
    std::int32_t w = 0, h = 0, current = 0;
    if (!ParseInteger(width->text(), w) || !ParseInteger(height->text(), h))
        return;
    // Refilled only where it was 0 or filled before: a count the files gave
    // may change with the files, one the user gave may not.
    if (m_typed.count(IDC_FRAMES) && (!ParseInteger(frames->text(), current) || current != 0))
        return;
    const std::int32_t count =
        FramesOfShorter(infos[0], infos[1], w, h, format->currentData().toString(), containers[0], containers[1]);
    if (count > 0) {
        frames->setText(QString::number(count));
        m_typed.erase(IDC_FRAMES);
    }
}

void CPsnrDialog::OnViewChart()
{
    if (!m_lastRun)
        return;
    // Without a parent: a window owned by the form would be kept above it (on
    // Windows always), and a click on the form must bring the form forward.
    // The form deletes it.
    if (!m_results)
        m_results = new ResultsWindow(*m_prompts, nullptr);
    if (m_resultsRun != m_lastRun) {
        m_results->SetRun(m_lastRun);
        m_resultsRun = m_lastRun;
    }
    m_results->show();
    m_results->raise();
    m_results->activateWindow();
    m_results->Table()->setFocus(Qt::OtherFocusReason);
}

// ---- RunFeedback on the GUI thread

void CPsnrDialog::ShowMessage(const std::string& text, const std::string& title, MessageIcon icon)
{
    m_prompts->showMessage(this, QString::fromStdString(text), QString::fromStdString(title),
                           BoxIcon(icon));
}

void CPsnrDialog::ProgressBegin(std::int32_t frames)
{
    m_latestStep = -1;
    // The full range, not frames mod 65536: a Qt bar ignores positions above
    // its maximum. A range of 0..0 would make Qt draw a busy indicator, so an
    // empty run gets 0..1 and stays empty.
    m_progress->setRange(0, std::max(frames, 1));
    m_progress->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid #7a7a7a; background: #ffffff; }"
                       "QProgressBar::chunk { background-color: %1; }")
            .arg(kProgressColour.name()));
    m_progress->show();
}

void CPsnrDialog::ProgressStep(std::int32_t frame)
{
    m_progress->setValue(frame);
}

void CPsnrDialog::ProgressEnd()
{
    m_latestStep = -1;
    m_progress->setValue(0);
    m_progress->hide();
}

void CPsnrDialog::FrameMeasured(const FrameResult& frame)
{
    m_runFrames.push_back(frame);
}

void CPsnrDialog::RunEnded(const RunOutcome& outcome)
{
    m_runOutcome = outcome;
    m_runReachedEnd = true;
}

void CPsnrDialog::ApplyLatestStep()
{
    m_stepQueued.store(false, std::memory_order_relaxed);
    const std::int32_t frame = m_latestStep.load(std::memory_order_relaxed);
    if (frame >= 0)
        ProgressStep(frame);
}

// ---- the run on a worker thread

void CPsnrDialog::StartRun(const PsnrSettings& settings)
{
    m_latestStep = -1;
    m_stepQueued = false;
    m_runSettings = settings;
    // The records grow as frames are measured: a frame count far beyond the
    // files' length must not take memory up front.
    m_runFrames.clear();
    m_runReachedEnd = false;
    m_runOutOfMemory = false;
    m_worker = QThread::create([this, settings] {
        WorkerFeedback feedback(*this);
        try {
            RunComparison(settings, feedback);
        } catch (const std::bad_alloc&) {
            // An exception must not leave the thread. The records go at once,
            // so that the form has memory to say what happened.
            m_runFrames = {};
            m_runOutOfMemory = true;
        }
    });
    connect(m_worker, &QThread::finished, this, &CPsnrDialog::OnRunEnded);
    // The form keeps painting and its bar moves, but takes no input until the
    // run ends; its message boxes are other windows and stay usable.
    qApp->installEventFilter(this);
    m_worker->start();
}

void CPsnrDialog::OnRunEnded()
{
    if (!m_worker)
        return;
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    qApp->removeEventFilter(this);
    // The results window follows the latest run that compared a frame; an
    // open window shows it at once.
    bool outOfMemory = m_runOutOfMemory;
    m_lastRun.reset();
    if (!outOfMemory && m_runReachedEnd && m_runOutcome.framesCompared > 0) {
        try {
            auto run = std::make_shared<MeasuredSequence>();
            run->settings = m_runSettings;
            run->record.outcome = m_runOutcome;
            run->record.frames = std::move(m_runFrames);
            run->record.statistics = ComputeStatistics(run->record.frames, m_runOutcome.description, kWorstFrames);
            m_lastRun = std::move(run);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
        if (m_lastRun && m_results) {
            m_results->SetRun(m_lastRun);
            m_resultsRun = m_lastRun;
        }
    }
    m_runFrames = {};
    GetDlgItem(IDC_VIEW_CHART)->setEnabled(m_lastRun != nullptr);
    if (outOfMemory) {
        // A run that unwound never hid its bar.
        ProgressEnd();
        ShowOutOfMemory(*m_prompts, this);
    }
    emit runFinished();
}

bool CPsnrDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (m_worker && IsUserInput(event->type()) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
        return true;
    return QDialog::eventFilter(watched, event);
}

void CPsnrDialog::reject()
{
    if (IsRunning())
        return;
    QDialog::reject();
}

#ifndef Q_OS_WIN
// No system menu can be reached here, so the About entry lives in a context
// menu on the form.
void CPsnrDialog::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addAction(U8(kAboutMenuText));
    if (menu.exec(event->globalPos()))
        OnSysCommand(IDM_ABOUTBOX);
}
#else
bool CPsnrDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    const MSG* msg = static_cast<const MSG*>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SYSCOMMAND &&
        (msg->wParam & 0xFFF0) == WPARAM(IDM_ABOUTBOX)) {
        if (!IsRunning())
            OnSysCommand(int(msg->wParam));
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#endif

// ---- About box

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent, Qt::Dialog | kFixedWindow)
{
    setWindowTitle(U8("关于 Lorvane"));
    setFont(DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.x(235), du.y(55));

    // An icon control shows the icon at the standard icon size.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("IDI_ABOUT"));
    icon->setPixmap(QIcon(U8(kAboutIcon)).pixmap(32, 32));
    icon->setGeometry(QRect(du.rect(11, 17, 20, 20).topLeft(), QSize(32, 32)));

    auto* version = new QLabel(U8("Lorvane 1.0 版"), this);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du.rect(40, 10, 119, 8));
    auto* line = new QLabel(U8("自由软件，GPL-3.0-or-later"), this);
    line->setTextFormat(Qt::PlainText);
    line->setGeometry(du.rect(40, 25, 119, 8));

    auto* ok = new QPushButton(U8("确定"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(du.rect(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

// ---- application

void PrepareApplication(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("Lorvane"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("lorvane"));
    QApplication::setWindowIcon(QIcon(U8(kMainIcon)));
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
}

void ShowMainForm(QApplication& app, CPsnrDialog& form)
{
    QObject::connect(&form, &QDialog::finished, &app, &QCoreApplication::quit);
    form.show();
}

}  // namespace lorvane
