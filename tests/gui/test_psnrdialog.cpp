// The form driven the way a user drives it, headless: typing, clicks, keys,
// drops and real runs, with a scripted stand-in answering its message boxes
// and file dialogs.
#include <QtTest>

#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>

#include "prompts.h"
#include "psnrdialog.h"

using namespace lorvane;

namespace {

struct Shown {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool onGuiThread = false;
    bool barVisible = false;
    int barValue = -1;
    int barMaximum = -1;
};

class ScriptedPrompts : public Prompts {
public:
    QList<Shown> messages;
    QList<FileRequest> requests;
    QStringList answers;               // what chooseFile returns, in turn; "" cancels
    std::function<void()> whileShown;  // runs while a message is "on screen"
    QProgressBar* bar = nullptr;

    void showMessage(QWidget*, const QString& text, const QString& title,
                     QMessageBox::Icon icon) override
    {
        Shown shown{text, title, icon};
        shown.onGuiThread = QThread::currentThread() == qApp->thread();
        if (bar) {
            shown.barVisible = bar->isVisible();
            shown.barValue = bar->value();
            shown.barMaximum = bar->maximum();
        }
        messages << shown;
        if (whileShown)
            whileShown();
    }

    QString chooseFile(QWidget*, const FileRequest& request) override
    {
        requests << request;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
};

struct Form {
    ScriptedPrompts prompts;
    CPsnrDialog dialog;

    Form()
    {
        dialog.SetPrompts(prompts);
        prompts.bar = dialog.m_progress;
        dialog.show();
    }

    QLineEdit* edit(int id) { return qobject_cast<QLineEdit*>(dialog.GetDlgItem(id)); }
    QPushButton* button(int id) { return qobject_cast<QPushButton*>(dialog.GetDlgItem(id)); }

    void enter(int width, int height, int frames, const QString& source, const QString& target,
               const QString& result)
    {
        const std::pair<int, QString> entries[] = {
            {IDC_SOURCE_PATH, source}, {IDC_TARGET_PATH, target}, {IDC_WIDTH, QString::number(width)},
            {IDC_HEIGHT, QString::number(height)}, {IDC_FRAMES, QString::number(frames)},
            {IDC_RESULT_PATH, result}};
        for (const auto& [id, text] : entries) {
            edit(id)->clear();
            QTest::keyClicks(edit(id), text);
        }
    }

    // Does what `trigger` does and, if that started a run, waits for its end.
    bool runs(const std::function<void()>& trigger)
    {
        QSignalSpy finished(&dialog, &CPsnrDialog::runFinished);
        trigger();
        if (!dialog.IsRunning())
            return false;
        return finished.wait(60000);
    }
};

const QString kSequenceFilter = QStringLiteral("YUV文件(*.yuv);;所有文件 (*.*)");
const QString kResultFilter = QStringLiteral("txt文件(*.txt);;所有文件 (*.*)");

// Hands the About box to `inspect` from inside its modal loop; `inspect` closes it.
template <typename Inspect>
void WhenModalShows(Inspect inspect)
{
    QTimer::singleShot(0, [inspect] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<CAboutDialog*>(widget); box && box->isVisible()) {
                inspect(*box);
                return;
            }
        }
    });
}

QByteArray Frame(int width, int height, int seed)
{
    QByteArray frame(width * height * 3 / 2, Qt::Uninitialized);
    for (int i = 0; i < frame.size(); ++i)
        frame[i] = char((i * 7 + seed * 13) % 200);
    return frame;
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

}  // namespace

class TestPsnrDialog : public QObject {
    Q_OBJECT

private slots:
    void firstDisplay();
    void storeStopsAtTheFirstRefusal_data();
    void storeStopsAtTheFirstRefusal();
    void refusedStoreStartsNoRun();
    void browse_data();
    void browse();
    void realFileDialogs();
    void dropOnPathFields();
    void runThroughTheForm();
    void longRunKeepsTheWholeRange();
    void formDestroyedDuringARun();
    void runErrors_data();
    void runErrors();
    void enterAndEsc();
    void progressBarOnTheForm();
    void aboutBox();
    void aboutFromContextMenu();
    void authorBox();
    void realMessageBox();
};

void TestPsnrDialog::firstDisplay()
{
    Form form;
    CPsnrDialog& dialog = form.dialog;
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QCOMPARE(dialog.windowTitle(), QStringLiteral("计算PSNR"));
    QVERIFY(dialog.m_sourcePath.isEmpty() && dialog.m_targetPath.isEmpty() && dialog.m_resultPath.isEmpty());
    QCOMPARE(dialog.m_width, 0);
    QCOMPARE(dialog.m_height, 0);
    QCOMPARE(dialog.m_frameCount, 0);
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_RESULT_PATH})
        QCOMPARE(form.edit(id)->text(), QString());
    for (int id : {IDC_WIDTH, IDC_HEIGHT, IDC_FRAMES})
        QCOMPARE(form.edit(id)->text(), QStringLiteral("0"));
    QCOMPARE(dialog.focusWidget(), form.edit(IDC_SOURCE_PATH));

    // The first refresh bound the progress member to the hidden bar.
    QCOMPARE(dialog.m_progress, dialog.findChild<QProgressBar*>(QStringLiteral("IDC_PROGRESS")));
    QVERIFY(!dialog.m_progress->isVisible());

    // The nineteen controls: labels and picture, then the tab chain.
    QStringList labels;
    int pictures = 0;
    for (QLabel* label : dialog.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (!label->pixmap().isNull()) {
            ++pictures;
            QCOMPARE(label->pixmap().size(), QSize(64, 64));
        } else {
            labels << label->text();
        }
    }
    QCOMPARE(labels, (QStringList{"源参考序列：", "目标序列：", "宽度：", "高度：", "帧数：", "结果保存文件："}));
    QCOMPARE(pictures, 1);

    QStringList chain;
    QWidget* widget = form.edit(IDC_SOURCE_PATH);
    do {
        chain << widget->objectName();
        do
            widget = widget->nextInFocusChain();
        while (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isVisible());
    } while (widget != form.edit(IDC_SOURCE_PATH) && chain.size() < 20);
    QCOMPARE(chain, (QStringList{"IDC_SOURCE_PATH", "IDC_TARGET_PATH", "IDC_WIDTH", "IDC_HEIGHT",
                                 "IDC_FRAMES", "IDC_RESULT_PATH", "IDC_COMPUTE", "IDC_BROWSE_SOURCE",
                                 "IDC_BROWSE_TARGET", "IDC_BROWSE_RESULT", "IDC_AUTHOR_INFO"}));
    QCOMPARE(form.button(IDC_COMPUTE)->text(), QStringLiteral("计算PSNR"));
    QVERIFY(form.button(IDC_COMPUTE)->isDefault());
    for (int id : {IDC_BROWSE_SOURCE, IDC_BROWSE_TARGET, IDC_BROWSE_RESULT})
        QCOMPARE(form.button(id)->text(), QStringLiteral("浏览..."));
    QCOMPARE(form.button(IDC_AUTHOR_INFO)->text(), QStringLiteral("关于作者"));

    // Layout in dialog units of the form's own font; fixed size, no min/max.
    const QStringList families{"宋体", "SimSun", "Noto Sans CJK SC", "WenQuanYi Zen Hei"};
    QVERIFY2(families.contains(QFontInfo(dialog.font()).family()), qPrintable(QFontInfo(dialog.font()).family()));
    QCOMPARE(dialog.font().pointSize(), 9);
    const DialogUnits du(dialog.font());
    QVERIFY(du.baseX() > 0 && du.baseY() > 0);
    QCOMPARE(dialog.size(), QSize(du.x(307), du.y(148)));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QCOMPARE(form.edit(IDC_SOURCE_PATH)->geometry(), du.rect(73, 7, 108, 14));
    QCOMPARE(form.edit(IDC_FRAMES)->geometry(), du.rect(50, 87, 40, 14));
    QCOMPARE(form.button(IDC_COMPUTE)->geometry(), du.rect(236, 113, 64, 28));
    QCOMPARE(dialog.m_progress->geometry(), du.rect(103, 87, 112, 14));
    QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);

    // Icon 128 on the window; cursor 133 on the form and its buttons, text
    // cursor in the fields.
    QVERIFY(!dialog.windowIcon().isNull());
    QCOMPARE(dialog.windowIcon().availableSizes().value(0), QSize(64, 64));
    QCOMPARE(dialog.cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(dialog.cursor().hotSpot(), QPoint(0, 0));
    QCOMPARE(dialog.cursor().pixmap().size(), QSize(32, 32));
    QCOMPARE(form.button(IDC_COMPUTE)->cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(form.edit(IDC_WIDTH)->cursor().shape(), Qt::IBeamCursor);
}

void TestPsnrDialog::storeStopsAtTheFirstRefusal_data()
{
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");
    QTest::addColumn<QString>("frames");
    QTest::addColumn<QString>("message");  // empty: the store succeeds
    QTest::addColumn<int>("focus");
    QTest::addColumn<QList<int>>("members");  // width, height, frames afterwards
    QTest::addColumn<QString>("target");

    const QString notInteger = QStringLiteral("请输入一个整数。");
    const QString outOfRange = QStringLiteral("请输入一个介于 0 和 1000000000 之间的整数。");
    // Before each store the members hold 7, 8, 9 and "old.yuv".
    QTest::newRow("all valid") << "176" << "144" << "300" << "" << 0 << QList<int>{176, 144, 300} << "new.yuv";
    QTest::newRow("both bounds, blanks, sign") << "0" << "1000000000" << " +5\t" << "" << 0
                                               << QList<int>{0, 1000000000, 5} << "new.yuv";
    QTest::newRow("letters in width") << "abc" << "144" << "300" << notInteger << int(IDC_WIDTH)
                                      << QList<int>{7, 8, 9} << "old.yuv";
    QTest::newRow("empty height") << "176" << "" << "300" << notInteger << int(IDC_HEIGHT)
                                  << QList<int>{176, 8, 9} << "old.yuv";
    QTest::newRow("decimal frames") << "176" << "144" << "1.5" << notInteger << int(IDC_FRAMES)
                                    << QList<int>{176, 144, 9} << "old.yuv";
    // A number refused only by the range check is already in its member.
    QTest::newRow("height above range") << "176" << "1000000001" << "300" << outOfRange << int(IDC_HEIGHT)
                                        << QList<int>{176, 1000000001, 9} << "old.yuv";
    QTest::newRow("negative frames") << "176" << "144" << "-1" << outOfRange << int(IDC_FRAMES)
                                     << QList<int>{176, 144, -1} << "old.yuv";
    QTest::newRow("beyond 32 bits") << "99999999999" << "144" << "300" << outOfRange << int(IDC_WIDTH)
                                    << QList<int>{2147483647, 8, 9} << "old.yuv";
}

void TestPsnrDialog::storeStopsAtTheFirstRefusal()
{
    QFETCH(QString, width);
    QFETCH(QString, height);
    QFETCH(QString, frames);
    QFETCH(QString, message);
    QFETCH(int, focus);
    QFETCH(QList<int>, members);
    QFETCH(QString, target);

    Form form;
    CPsnrDialog& dialog = form.dialog;
    dialog.m_width = 7;
    dialog.m_height = 8;
    dialog.m_frameCount = 9;
    dialog.m_targetPath = QStringLiteral("old.yuv");
    dialog.UpdateData(false);

    form.edit(IDC_SOURCE_PATH)->setText(QStringLiteral("src.yuv"));
    form.edit(IDC_RESULT_PATH)->setText(QStringLiteral("out.txt"));
    form.edit(IDC_WIDTH)->setText(width);
    form.edit(IDC_HEIGHT)->setText(height);
    form.edit(IDC_FRAMES)->setText(frames);
    form.edit(IDC_TARGET_PATH)->setText(QStringLiteral("new.yuv"));
    form.edit(IDC_SOURCE_PATH)->setFocus();

    QCOMPARE(dialog.UpdateData(true), message.isEmpty());

    // Source and result come before the numbers, so they are always stored.
    QCOMPARE(dialog.m_sourcePath, QStringLiteral("src.yuv"));
    QCOMPARE(dialog.m_resultPath, QStringLiteral("out.txt"));
    QCOMPARE((QList<int>{dialog.m_width, dialog.m_height, dialog.m_frameCount}), members);
    QCOMPARE(dialog.m_targetPath, target);
    if (message.isEmpty()) {
        QVERIFY(form.prompts.messages.isEmpty());
        return;
    }
    QCOMPARE(form.prompts.messages.size(), 1);
    QCOMPARE(form.prompts.messages[0].text, message);
    QCOMPARE(form.prompts.messages[0].icon, QMessageBox::Warning);
    QLineEdit* refused = form.edit(focus);
    QCOMPARE(dialog.focusWidget(), refused);
    QCOMPARE(refused->selectedText(), refused->text());
    // A store changes no control.
    QCOMPARE(form.edit(IDC_WIDTH)->text(), width);
    QCOMPARE(form.edit(IDC_TARGET_PATH)->text(), QStringLiteral("new.yuv"));
}

void TestPsnrDialog::refusedStoreStartsNoRun()
{
    QTemporaryDir dir;
    const QString source = dir.filePath("a.yuv");
    const QString result = dir.filePath("result.txt");
    Write(source, Frame(16, 8, 0));

    // The width was accepted before; the new entry is refused, and nothing
    // runs on the old value.
    Form form;
    form.enter(16, 8, 1, source, source, result);
    form.edit(IDC_WIDTH)->setText(QStringLiteral("16x"));
    QVERIFY(!form.runs([&] { QTest::mouseClick(form.button(IDC_COMPUTE), Qt::LeftButton); }));
    QCOMPARE(form.prompts.messages.size(), 1);
    QCOMPARE(form.prompts.messages[0].text, QStringLiteral("请输入一个整数。"));
    QVERIFY(!QFile::exists(result));
}

void TestPsnrDialog::browse_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("filter");

    QTest::newRow("source") << int(IDC_BROWSE_SOURCE) << int(IDC_SOURCE_PATH) << false << "yuv" << kSequenceFilter;
    QTest::newRow("target") << int(IDC_BROWSE_TARGET) << int(IDC_TARGET_PATH) << false << "yuv" << kSequenceFilter;
    QTest::newRow("result") << int(IDC_BROWSE_RESULT) << int(IDC_RESULT_PATH) << true << "txt" << kResultFilter;
}

void TestPsnrDialog::browse()
{
    QFETCH(int, button);
    QFETCH(int, field);
    QFETCH(bool, save);
    QFETCH(QString, suffix);
    QFETCH(QString, filter);

    Form form;
    CPsnrDialog& dialog = form.dialog;
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_RESULT_PATH})
        form.edit(id)->setText(QStringLiteral("typed"));
    form.edit(IDC_WIDTH)->setText(QStringLiteral("abc"));

    // Cancel: no member and no control changes, unsaved typing included.
    QTest::mouseClick(form.button(button), Qt::LeftButton);
    QCOMPARE(form.prompts.requests.size(), 1);
    const FileRequest& request = form.prompts.requests[0];
    QCOMPARE(request.kind, save ? FileRequest::Kind::Save : FileRequest::Kind::Open);
    QCOMPARE(request.defaultSuffix, suffix);
    QCOMPARE(request.initialName, "*." + suffix);
    QCOMPARE(request.filter, filter);
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_RESULT_PATH})
        QCOMPARE(form.edit(id)->text(), QStringLiteral("typed"));
    QCOMPARE(form.edit(IDC_WIDTH)->text(), QStringLiteral("abc"));
    QVERIFY(dialog.m_sourcePath.isEmpty() && dialog.m_targetPath.isEmpty() && dialog.m_resultPath.isEmpty());

    // OK: the member takes the path and every field shows its member again.
    const QString chosen = QDir::toNativeSeparators(QDir::tempPath() + "/chosen." + suffix);
    form.prompts.answers << chosen;
    QTest::mouseClick(form.button(button), Qt::LeftButton);
    QCOMPARE(form.edit(field)->text(), chosen);
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_RESULT_PATH})
        QCOMPARE(form.edit(id)->text(), id == field ? chosen : QString());
    QCOMPARE(form.edit(IDC_WIDTH)->text(), QStringLiteral("0"));
    const QString member = field == IDC_SOURCE_PATH   ? dialog.m_sourcePath
                           : field == IDC_TARGET_PATH ? dialog.m_targetPath
                                                      : dialog.m_resultPath;
    QCOMPARE(member, chosen);
    QVERIFY(form.prompts.messages.isEmpty());
}

void TestPsnrDialog::realFileDialogs()
{
    QTemporaryDir dir;
    const auto request = [](FileRequest::Kind kind, const char* suffix, const QString& filter) {
        return FileRequest{kind, QString::fromLatin1(suffix), QStringLiteral("*.") + suffix, filter};
    };

    // Open: the filters in order, and a name that does not exist is taken.
    QFileDialog open;
    QtPrompts::configure(open, request(FileRequest::Kind::Open, "yuv", kSequenceFilter));
    QCOMPARE(open.acceptMode(), QFileDialog::AcceptOpen);
    QCOMPARE(open.nameFilters(), (QStringList{"YUV文件(*.yuv)", "所有文件 (*.*)"}));
    QCOMPARE(open.defaultSuffix(), QStringLiteral("yuv"));
    open.setDirectory(dir.path());
    open.selectFile(QStringLiteral("missing.yuv"));
    open.show();
    static_cast<QDialog&>(open).accept();
    QCOMPARE(open.result(), int(QDialog::Accepted));
    QCOMPARE(open.selectedFiles(), QStringList{dir.filePath("missing.yuv")});

    // Save: the default suffix is added to a bare name ...
    QFileDialog save;
    QtPrompts::configure(save, request(FileRequest::Kind::Save, "txt", kResultFilter));
    QCOMPARE(save.acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(save.nameFilters(), (QStringList{"txt文件(*.txt)", "所有文件 (*.*)"}));
    save.setDirectory(dir.path());
    save.selectFile(QStringLiteral("result"));
    save.show();
    static_cast<QDialog&>(save).accept();
    QCOMPARE(save.result(), int(QDialog::Accepted));
    QCOMPARE(save.selectedFiles(), QStringList{dir.filePath("result.txt")});

    // ... and an existing file is not taken before the user agrees.
    Write(dir.filePath("old.txt"), "keep");
    QFileDialog overwrite;
    QtPrompts::configure(overwrite, request(FileRequest::Kind::Save, "txt", kResultFilter));
    overwrite.setDirectory(dir.path());
    overwrite.selectFile(QStringLiteral("old.txt"));
    overwrite.show();
    bool asked = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                asked = true;
                box->button(QMessageBox::No)->click();
            }
    });
    static_cast<QDialog&>(overwrite).accept();
    QVERIFY(asked);
    QVERIFY(overwrite.isVisible());
    QCOMPARE(overwrite.result(), 0);
    overwrite.hide();

    // The initial "*.yuv" is a pattern: accepting it narrows the listing and
    // keeps the dialog open; a typed name then ends it.
    struct Script {
        int rounds = 0;
        QString firstName;
        QStringList filtersShown;
    };
    const auto script = std::make_shared<Script>();
    const auto answer = std::make_shared<std::function<void()>>();
    // Pending timers hold only a weak reference, so none outlives this test.
    const auto later = [weak = std::weak_ptr(answer)] {
        QTimer::singleShot(10, [weak] {
            if (const auto call = weak.lock())
                (*call)();
        });
    };
    *answer = [script, later] {
        QFileDialog* shown = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible())
                shown = found;
        if (!shown)
            return later();
        if (++script->rounds == 1) {
            script->firstName = QFileInfo(shown->selectedFiles().value(0)).fileName();
            static_cast<QDialog*>(shown)->accept();
            return later();
        }
        script->filtersShown = shown->nameFilters();
        auto* name = shown->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        name->selectAll();
        QTest::keyClicks(name, QStringLiteral("chosen.yuv"));
        static_cast<QDialog*>(shown)->accept();
        if (shown->isVisible())  // not taken: end here rather than hang
            shown->reject();
    };
    later();
    QtPrompts prompts;
    QCOMPARE(prompts.chooseFile(nullptr, request(FileRequest::Kind::Open, "yuv", kSequenceFilter)),
             dir.filePath("chosen.yuv"));
    QCOMPARE(script->rounds, 2);
    QCOMPARE(script->firstName, QStringLiteral("*.yuv"));
    QCOMPARE(script->filtersShown, (QStringList{"*.yuv", "YUV文件(*.yuv)", "所有文件 (*.*)"}));
}

void TestPsnrDialog::dropOnPathFields()
{
    Form form;
    const QString path = QDir::tempPath() + "/some dir/seq.yuv";
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_RESULT_PATH}) {
        QLineEdit* field = form.edit(id);
        field->setText(QStringLiteral("typed"));
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(4, 4), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(field->text(), QDir::toNativeSeparators(path));
    }
    // Like typing: stored by the next store, not before.
    QVERIFY(form.dialog.m_sourcePath.isEmpty());
}

void TestPsnrDialog::runThroughTheForm()
{
    // Three 16 x 8 frames: identical; every Y sample one higher; every Y
    // sample two higher and every V sample one higher.
    const int width = 16, height = 8, luma = width * height;
    QByteArray reference, target;
    for (int f = 0; f < 3; ++f) {
        const QByteArray frame = Frame(width, height, f);
        QByteArray changed = frame;
        for (int i = 0; i < luma; ++i)
            changed[i] = char(frame[i] + f);
        if (f == 2)
            for (int i = luma * 5 / 4; i < frame.size(); ++i)
                changed[i] = char(frame[i] + 1);
        reference += frame;
        target += changed;
    }
    QTemporaryDir dir;
    Write(dir.filePath("ref.yuv"), reference);
    Write(dir.filePath("out.yuv"), target);
    const QString result = dir.filePath("result.txt");

    Form form;
    CPsnrDialog& dialog = form.dialog;
    form.enter(width, height, 3, dir.filePath("ref.yuv"), dir.filePath("out.yuv"), result);

    // While the summary is up the run has not ended: the form refuses keys,
    // clicks and closing.
    bool refusedInput = false;
    form.prompts.whileShown = [&] {
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClicks(form.edit(IDC_WIDTH), QStringLiteral("9"));
        QTest::mouseClick(form.button(IDC_BROWSE_SOURCE), Qt::LeftButton);
        dialog.close();
        refusedInput = dialog.isVisible() && form.edit(IDC_WIDTH)->text() == QStringLiteral("16") &&
                       form.prompts.requests.isEmpty();
    };
    QVERIFY(form.runs([&] { QTest::mouseClick(form.button(IDC_COMPUTE), Qt::LeftButton); }));

    QCOMPARE(form.prompts.messages.size(), 1);
    const Shown& summary = form.prompts.messages[0];
    QCOMPARE(summary.text, QStringLiteral("共计3帧，平均PSNR如下：\nPSNR_Y: 63.413669\nPSNR_U: 100.000000\n"
                                          "PSNR_V: 82.710268\n"));
    QCOMPARE(summary.title, QStringLiteral("计算成功！"));
    QCOMPARE(summary.icon, QMessageBox::NoIcon);
    QVERIFY(summary.onGuiThread);
    QVERIFY(summary.barVisible);
    QCOMPARE(summary.barMaximum, 3);
    QCOMPARE(summary.barValue, 2);
    QVERIFY(refusedInput);

    // Afterwards the bar is reset and hidden, and the form takes input again.
    QVERIFY(!dialog.m_progress->isVisible());
    QCOMPARE(dialog.m_progress->value(), 0);
    QTest::keyClicks(form.edit(IDC_FRAMES), QStringLiteral("0"));
    QCOMPARE(form.edit(IDC_FRAMES)->text(), QStringLiteral("30"));

    QFile file(result);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 6);  // header, three frames, average, and nothing after the last CR LF
    for (int i = 0; i < 5; ++i)
        QVERIFY2(lines[i].endsWith('\r'), lines[i].constData());
    QVERIFY(lines[1].contains("100.000000"));
    QVERIFY(lines[2].contains("48.130804"));
    QVERIFY(lines[3].contains("42.110204"));
    QVERIFY(lines[4].contains("63.413669") && lines[4].contains("82.710268"));
    QVERIFY(lines[5].isEmpty());
}

void TestPsnrDialog::longRunKeepsTheWholeRange()
{
    // More frames than a 16-bit range holds: the bar still ends at N - 1 of N.
    const int frames = 70000;
    QTemporaryDir dir;
    Write(dir.filePath("a.yuv"), QByteArray(frames * 6, 'a'));
    Write(dir.filePath("b.yuv"), QByteArray(frames * 6, 'b'));

    Form form;
    form.enter(2, 2, frames, dir.filePath("a.yuv"), dir.filePath("b.yuv"), QString());
    QVERIFY(form.runs([&] { QTest::mouseClick(form.button(IDC_COMPUTE), Qt::LeftButton); }));
    QCOMPARE(form.prompts.messages.size(), 1);
    QVERIFY(form.prompts.messages[0].text.startsWith(QStringLiteral("共计70000帧")));
    QCOMPARE(form.prompts.messages[0].barMaximum, frames);
    QCOMPARE(form.prompts.messages[0].barValue, frames - 1);
}

void TestPsnrDialog::formDestroyedDuringARun()
{
    // A forced shutdown mid-run waits for the run: the result file is
    // complete, and no message box comes up for a form that is going away.
    const int frames = 200000;
    QTemporaryDir dir;
    Write(dir.filePath("a.yuv"), QByteArray(frames * 6, 'a'));
    Write(dir.filePath("b.yuv"), QByteArray(frames * 6, 'b'));
    const QString result = dir.filePath("result.txt");

    ScriptedPrompts prompts;
    auto* dialog = new CPsnrDialog;
    dialog->SetPrompts(prompts);
    dialog->show();
    dialog->m_sourcePath = dir.filePath("a.yuv");
    dialog->m_targetPath = dir.filePath("b.yuv");
    dialog->m_resultPath = result;
    dialog->m_width = 2;
    dialog->m_height = 2;
    dialog->m_frameCount = frames;
    dialog->UpdateData(false);
    dialog->OnCompute();
    QVERIFY(dialog->IsRunning());
    delete dialog;

    QVERIFY(prompts.messages.isEmpty());
    QFile file(result);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), frames + 3);
    QVERIFY(lines[frames + 1].contains("48.130804"));
}

void TestPsnrDialog::runErrors_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");

    // "exists" is a real one-frame sequence; "missing" names nothing.
    const QString open = QStringLiteral("打开文件错误!");
    QTest::newRow("zero width") << 0 << "" << "" << "" << "请正确输入图像宽高！" << "错误!";
    QTest::newRow("no source") << 4 << "" << "exists" << "" << "请输入源参考序列文件名！" << open;
    QTest::newRow("source missing") << 4 << "missing" << "" << ""
                                    << "不能打开 %1!\n请确认路径是否正确！" << open;
    QTest::newRow("no target") << 4 << "exists" << "" << "" << "请输入目标序列文件名！" << open;
    QTest::newRow("target missing") << 4 << "exists" << "missing" << ""
                                    << "不能打开 %1!请确认路径是否正确！" << open;
    QTest::newRow("result in missing folder") << 4 << "exists" << "exists" << "missing/result.txt"
                                              << "不能打开 %1!请确认路径是否正确！" << open;
}

void TestPsnrDialog::runErrors()
{
    QFETCH(int, width);
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QString, result);
    QFETCH(QString, text);
    QFETCH(QString, title);

    QTemporaryDir dir;
    Write(dir.filePath("exists"), QByteArray(24, 'x'));
    const auto path = [&](const QString& name) { return name.isEmpty() ? name : dir.filePath(name); };
    const QString named = !result.isEmpty() ? path(result) : source == "missing" ? path(source) : path(target);

    Form form;
    form.enter(width, 4, 1, path(source), path(target), path(result));
    QVERIFY(form.runs([&] { QTest::mouseClick(form.button(IDC_COMPUTE), Qt::LeftButton); }));
    QCOMPARE(form.prompts.messages.size(), 1);
    QCOMPARE(form.prompts.messages[0].text, text.contains("%1") ? text.arg(named) : text);
    QCOMPARE(form.prompts.messages[0].title, title);
    QCOMPARE(form.prompts.messages[0].icon, QMessageBox::Critical);
    QVERIFY(!form.prompts.messages[0].barVisible);
    QVERIFY(!form.dialog.m_progress->isVisible());
}

void TestPsnrDialog::enterAndEsc()
{
    Form form;
    CPsnrDialog& dialog = form.dialog;
    const QString widthMessage = QStringLiteral("请正确输入图像宽高！");

    // Enter in any field, or on the compute button, is a click on compute:
    // with the initial zero width every run ends with the width message.
    for (int id : {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_WIDTH, IDC_HEIGHT, IDC_FRAMES, IDC_RESULT_PATH,
                   IDC_COMPUTE}) {
        form.prompts.messages.clear();
        QWidget* widget = dialog.GetDlgItem(id);
        widget->setFocus();
        QVERIFY2(form.runs([&] { QTest::keyClick(widget, Qt::Key_Return); }), qPrintable(widget->objectName()));
        QCOMPARE(form.prompts.messages.size(), 1);
        QCOMPARE(form.prompts.messages[0].text, widthMessage);
        QVERIFY(dialog.isVisible());
    }

    // On another button Enter clicks that button.
    form.prompts.messages.clear();
    form.button(IDC_BROWSE_RESULT)->setFocus();
    QVERIFY(!form.runs([&] { QTest::keyClick(form.button(IDC_BROWSE_RESULT), Qt::Key_Enter); }));
    QCOMPARE(form.prompts.requests.size(), 1);
    QCOMPARE(form.prompts.requests[0].kind, FileRequest::Kind::Save);
    form.button(IDC_AUTHOR_INFO)->setFocus();
    QVERIFY(!form.runs([&] { QTest::keyClick(form.button(IDC_AUTHOR_INFO), Qt::Key_Return); }));
    QCOMPARE(form.prompts.messages.size(), 1);
    QCOMPARE(form.prompts.messages[0].title, QStringLiteral("个人信息"));
    QVERIFY(dialog.isVisible());

    // Esc closes the form.
    form.edit(IDC_WIDTH)->setFocus();
    QTest::keyClick(form.edit(IDC_WIDTH), Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void TestPsnrDialog::progressBarOnTheForm()
{
    Form form;
    CPsnrDialog& dialog = form.dialog;
    QProgressBar* bar = dialog.m_progress;

    dialog.ProgressBegin(100000);
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100000);
    dialog.ProgressStep(99999);
    QCOMPARE(bar->value(), 99999);

    // Violet up to the position, not beyond it.
    dialog.ProgressBegin(10);
    dialog.ProgressStep(5);
    const QImage image = bar->grab().toImage();
    const int middle = image.height() / 2;
    QCOMPARE(QColor(image.pixel(image.width() / 4, middle)), QColor(141, 4, 242));
    QVERIFY(QColor(image.pixel(image.width() * 3 / 4, middle)) != QColor(141, 4, 242));

    dialog.ProgressEnd();
    QVERIFY(!bar->isVisible());
    QCOMPARE(bar->value(), 0);

    // An empty run shows an empty bar, not a busy indicator.
    dialog.ProgressBegin(0);
    QVERIFY(bar->maximum() > bar->minimum());
    QCOMPARE(bar->value(), 0);
    dialog.ProgressEnd();
}

void TestPsnrDialog::aboutBox()
{
    Form form;
    for (int id : {16, 17, 31}) {
        QString title, version, second, ok;
        bool icon = false;
        WhenModalShows([&](CAboutDialog& box) {
            title = box.windowTitle();
            const QList<QLabel*> labels = box.findChildren<QLabel*>();
            for (QLabel* label : labels) {
                if (!label->pixmap().isNull())
                    icon = true;
                else if (version.isEmpty())
                    version = label->text();
                else
                    second = label->text();
            }
            ok = box.findChild<QPushButton*>(QStringLiteral("IDOK"))->text();
            if (id == 17)
                QTest::keyClick(&box, Qt::Key_Escape);
            else
                box.findChild<QPushButton*>(QStringLiteral("IDOK"))->click();
        });
        QVERIFY(form.dialog.OnSysCommand(id));
        QCOMPARE(title, QStringLiteral("关于 Lorvane"));
        QVERIFY(icon);
        QCOMPARE(version, QStringLiteral("Lorvane 1.0 版"));
        QVERIFY(!second.isEmpty());
        QCOMPARE(ok, QStringLiteral("确定"));
    }
    // Other system commands are not the About entry.
    for (int id : {0, 15, 32, 0xF060})
        QVERIFY(!form.dialog.OnSysCommand(id));
    QVERIFY(form.dialog.isVisible());
}

void TestPsnrDialog::aboutFromContextMenu()
{
    Form form;
    QString entry;
    bool opened = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || menu->actions().isEmpty())
            return;
        QAction* action = menu->actions().first();
        entry = action->text();
        WhenModalShows([&](CAboutDialog& box) {
            opened = true;
            box.accept();
        });
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    });
    const QPoint at(form.dialog.width() - 5, form.dialog.height() - 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, form.dialog.mapToGlobal(at));
    QApplication::sendEvent(&form.dialog, &event);
    QCOMPARE(entry, QStringLiteral("关于 Lorvane(&A)..."));
    QVERIFY(opened);
}

void TestPsnrDialog::authorBox()
{
    Form form;
    form.edit(IDC_WIDTH)->setText(QStringLiteral("typed"));
    QTest::mouseClick(form.button(IDC_AUTHOR_INFO), Qt::LeftButton);
    QCOMPARE(form.prompts.messages.size(), 1);
    const Shown& box = form.prompts.messages[0];
    QCOMPARE(box.title, QStringLiteral("个人信息"));
    QCOMPARE(box.icon, QMessageBox::Information);

    // Three "label：value" lines, an empty line, a sentence with a line
    // break and one without.
    const QStringList lines = box.text.split('\n');
    QCOMPARE(lines.size(), 6);
    for (int i = 0; i < 3; ++i) {
        const qsizetype colon = lines[i].indexOf(QStringLiteral("："));
        QVERIFY2(colon > 0 && colon < lines[i].size() - 1, qPrintable(lines[i]));
    }
    QVERIFY(lines[0].contains(QStringLiteral("Lorvane")));
    QVERIFY(lines[3].isEmpty());
    QVERIFY(lines[4].endsWith(QStringLiteral("。")));
    QVERIFY(lines[5].endsWith(QStringLiteral("。")));

    QCOMPARE(form.edit(IDC_WIDTH)->text(), QStringLiteral("typed"));
    QCOMPARE(form.dialog.m_width, 0);
}

void TestPsnrDialog::realMessageBox()
{
    // Text, title and icon as asked, one "确定" button, and Esc dismisses it.
    CPsnrDialog form;
    for (QMessageBox::Icon icon : {QMessageBox::NoIcon, QMessageBox::Critical, QMessageBox::Warning}) {
        QString text, title, buttons;
        QMessageBox::Icon shownIcon = QMessageBox::Information;
        bool modalToForm = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            text = box->text();
            title = box->windowTitle();
            shownIcon = box->icon();
            modalToForm = box->parentWidget() == &form;
            for (QAbstractButton* button : box->buttons())
                buttons += button->text();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        QtPrompts::instance().showMessage(&form, QStringLiteral("行一\n行二"), QStringLiteral("标题"), icon);
        QCOMPARE(text, QStringLiteral("行一\n行二"));
        QCOMPARE(title, QStringLiteral("标题"));
        QCOMPARE(shownIcon, icon);
        QCOMPARE(buttons, QStringLiteral("确定"));
        QVERIFY(modalToForm);
    }
}

QTEST_MAIN(TestPsnrDialog)
#include "test_psnrdialog.moc"
