// The form driven the way a user drives it, headless: typing, clicks, keys and real runs.
#include <QtTest>
#include <QtWidgets>

#include <cstdint>
#include <functional>
#include <new>

#include "prompts.h"
#include "psnrdialog.h"

using namespace lorvane;

namespace {

// A message box as one string, for one exact comparison.
QString Box(const QString& title, int icon, const QString& text) { return title + " [" + QString::number(icon) + "] " + text; }

const QString kZeroSize = Box("错误!", QMessageBox::Critical, "请正确输入图像宽高！");

// The form, with scripted answers in place of its message boxes and file dialogs.
template <typename Dialog = CPsnrDialog>
struct FormOf : Prompts {
    QStringList messages;
    QList<QPoint> bars;  // the bar's value and maximum while each message was up; none if hidden
    QList<FileRequest> requests;
    QStringList answers;               // what chooseFile returns, in turn; none left cancels
    std::function<void()> whileShown;  // runs while a message is "on screen"
    Dialog dialog;
    // The fields in this order: source, target, width, height, frames, result.
    static constexpr int ids[] = {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_WIDTH, IDC_HEIGHT, IDC_FRAMES, IDC_RESULT_PATH};

    FormOf() { dialog.SetPrompts(*this); dialog.show(); }
    void showMessage(QWidget*, const QString& text, const QString& title, QMessageBox::Icon icon) override
    {
        const QProgressBar* bar = dialog.m_progress;
        bars << (bar->isVisible() ? QPoint(bar->value(), bar->maximum()) : QPoint());
        messages << Box(title, icon, text) + (QThread::currentThread() == qApp->thread() ? "" : " (off the GUI thread)");
        if (whileShown)
            whileShown();
    }
    QString chooseFile(QWidget*, const FileRequest& request) override
    {
        requests << request;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    // The one message shown; anything else reads as a count of messages.
    QString only() const { return messages.size() == 1 ? messages[0] : QString("%1 messages").arg(messages.size()); }
    QLineEdit* edit(int id) { return qobject_cast<QLineEdit*>(dialog.GetDlgItem(id)); }
    void click(int id) { QTest::mouseClick(dialog.GetDlgItem(id), Qt::LeftButton); }
    QList<int> numbers() const { return {dialog.m_width, dialog.m_height, dialog.m_frameCount}; }
    QStringList paths() const { return {dialog.m_sourcePath, dialog.m_targetPath, dialog.m_resultPath}; }
    QStringList fields() { QStringList texts; for (int id : ids) texts << edit(id)->text(); return texts; }
    void enter(const QStringList& texts)
    {
        for (int i = 0; i < 6; ++i)
            edit(ids[i])->clear(), QTest::keyClicks(edit(ids[i]), texts[i]);
    }
    // Does what `trigger` does and, if that started a run, waits for its end.
    bool runs(const std::function<void()>& trigger)
    {
        QSignalSpy finished(&dialog, &CPsnrDialog::runFinished);
        trigger();
        return dialog.IsRunning() && finished.wait(60000);
    }
    bool compute() { return runs([this] { click(IDC_COMPUTE); }); }
};
using Form = FormOf<>;

// A form whose records of the frames cannot grow past `frames` frames.
struct StarvedDialog : CPsnrDialog {
    std::int32_t frames = 0;
    void FrameMeasured(const FrameResult& frame) override
    {
        if (frame.frame >= frames)
            throw std::bad_alloc();
        CPsnrDialog::FrameMeasured(frame);
    }
};

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

}  // namespace

class TestPsnrDialog : public QObject {
    Q_OBJECT

private slots:
    void firstDisplay()
    {
        Form form;
        QVERIFY(QTest::qWaitForWindowExposed(&form.dialog));
        QCOMPARE(form.dialog.windowTitle(), QStringLiteral("计算PSNR"));
        QCOMPARE(form.paths(), QStringList(3, ""));
        QCOMPARE(form.numbers(), (QList<int>{0, 0, 0}));
        QCOMPARE(form.fields(), (QStringList{"", "", "0", "0", "0", ""}));
        QCOMPARE(form.dialog.focusWidget(), form.edit(IDC_SOURCE_PATH));
        QVERIFY(!form.dialog.m_progress->isVisible());
        QCOMPARE(form.edit(IDC_OFFSET)->text(), QStringLiteral("0"));
        QVERIFY(!qobject_cast<QCheckBox*>(form.dialog.GetDlgItem(IDC_SSIM))->isChecked());
        // Tab order: the original controls as they always were, every one added since after them.
        QStringList chain;
        for (QWidget* w = form.dialog.nextInFocusChain(); w != &form.dialog; w = w->nextInFocusChain())
            if ((w->focusPolicy() & Qt::TabFocus) && w->objectName().startsWith("IDC_"))
                chain << w->objectName().mid(4);
        QCOMPARE(chain.join(' '), QStringLiteral("SOURCE_PATH TARGET_PATH WIDTH HEIGHT FRAMES RESULT_PATH COMPUTE "
                                                 "BROWSE_SOURCE BROWSE_TARGET BROWSE_RESULT AUTHOR_INFO FORMAT PEAK "
                                                 "VIEW_CHART OFFSET SSIM"));
    }

    // Compute stores the fields in order and stops at the first refusal, which starts no run.
    void storeBeforeARun()
    {
        const QString notInteger = Box("Lorvane", QMessageBox::Warning, "请输入一个整数。");
        const QString range = Box("Lorvane", QMessageBox::Warning, "请输入一个介于 0 和 1000000000 之间的整数。");
        const struct { QString width, height, message; int focus; QList<int> numbers; } rows[] = {
            {" +0 ", "1000000000", kZeroSize, 0, {0, 1000000000, 300}},  // stored; the run refuses width 0
            {"abc", "144", notInteger, IDC_WIDTH, {7, 8, 9}},
            // A number refused only by the range check is already in its member.
            {"176", "1000000001", range, IDC_HEIGHT, {176, 1000000001, 9}},
            {"99999999999", "144", range, IDC_WIDTH, {2147483647, 8, 9}},
        };
        for (const auto& row : rows) {
            Form form;
            form.enter({"", "old.yuv", "7", "8", "9", ""});
            QVERIFY(form.dialog.UpdateData(true));
            form.enter({"src.yuv", "new.yuv", row.width, row.height, "300", "out.txt"});
            QCOMPARE(form.compute(), row.focus == 0);
            QCOMPARE(form.only(), row.message);
            // Source and result come before the numbers, so they are always stored.
            QCOMPARE(form.paths(), (QStringList{"src.yuv", row.focus ? "old.yuv" : "new.yuv", "out.txt"}));
            QCOMPARE(form.numbers(), row.numbers);
            QCOMPARE(form.edit(IDC_WIDTH)->text(), row.width);  // a store changes no control
            if (QLineEdit* refused = row.focus ? form.edit(row.focus) : nullptr)  // has the focus, all text selected
                QVERIFY(form.dialog.focusWidget() == refused && refused->selectedText() == refused->text());
        }
    }

    // Real runs through the form; more frames than a 16-bit range holds still end the bar at N - 1 of N.
    void runsThroughTheForm()
    {
        QTemporaryDir dir;
        const QString ref = dir.filePath("ref"), out = dir.filePath("out"), missing = dir.filePath("missing");
        const QString a = dir.filePath("a"), b = dir.filePath("b");
        // Three 16 x 8 frames: identical; Y one higher; Y two higher and V one higher.
        QByteArray reference, target;
        for (char f : {40, 41, 42}) {  // Y, then U and V, each 2 x 2 subsampled
            reference += QByteArray(192, f);
            target += QByteArray(128, char(2 * f - 40)) + QByteArray(32, f) + QByteArray(32, char(f + (f == 42)));
        }
        Write(ref, reference);
        Write(out, target);
        Write(a, QByteArray(70000 * 6, 'a'));  // 70000 frames of 2 x 2
        Write(b, QByteArray(70000 * 6, 'b'));
        const QString done = "计算成功！", open = "打开文件错误!";
        const struct { QStringList fields; QString message; QPoint bar; QString offset = "0"; bool ssim = false; } rows[] = {
            // SSIM adds its means to the summary and nothing to the result file. Y's flat windows give
            // (2·64a·64b + 416) / ((64a)² + (64b)² + 416): 1, 0.99970974 (41 against 42), 0.99891894 (42, 44);
            // 8 x 4 chroma planes hold no 8 x 8 window.
            {{ref, out, "16", "8", "3", dir.filePath("r.txt")}, Box(done, QMessageBox::NoIcon,
                "共计3帧，平均PSNR如下：\nPSNR_Y: 63.413669\nPSNR_U: 100.000000\nPSNR_V: 82.710268\n"
                "SSIM_Y: 0.999543\nSSIM_U: nan\nSSIM_V: nan\nSSIM: 0.999543\n"), {2, 3}, "0", true},
            // Target frame i against reference frame i + offset: 0-1 and 1-2, then 1-0 and 2-1.
            {{ref, out, "16", "8", "2", ""}, Box(done, QMessageBox::NoIcon,
                "共计2帧，平均PSNR如下：\nPSNR_Y: 74.065402\nPSNR_U: 48.130804\nPSNR_V: 48.130804\n"), {1, 2}, "1"},
            {{ref, out, "16", "8", "2", ""}, Box(done, QMessageBox::NoIcon,
                "共计2帧，平均PSNR如下：\nPSNR_Y: 40.349291\nPSNR_U: 48.130804\nPSNR_V: 45.120504\n"), {1, 2}, " -1"},
            {{a, b, "2", "2", "70000", ""}, Box(done, QMessageBox::NoIcon,
                "共计70000帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 48.130804\nPSNR_V: 48.130804\n"), {69999, 70000}},
            {{"", "", "0", "2", "1", ""}, kZeroSize, {}},
            {{"", a, "2", "2", "1", ""}, Box(open, QMessageBox::Critical, "请输入源参考序列文件名！"), {}},
            {{a, missing, "2", "2", "1", ""},
             Box(open, QMessageBox::Critical, "不能打开 " + missing + "!请确认路径是否正确！"), {}},
        };
        for (const auto& row : rows) {
            Form form;
            CPsnrDialog& dialog = form.dialog;
            form.enter(row.fields);
            form.edit(IDC_OFFSET)->clear();
            QTest::keyClicks(form.edit(IDC_OFFSET), row.offset);
            if (row.ssim)
                form.click(IDC_SSIM);
            // While a message is up the run goes on: no keys, clicks or closing.
            bool refusedInput = false;
            form.whileShown = [&] {
                QTest::keyClick(&dialog, Qt::Key_Escape);
                QTest::keyClicks(form.edit(IDC_WIDTH), QStringLiteral("9"));
                form.click(IDC_BROWSE_SOURCE);
                dialog.close();
                refusedInput = dialog.isVisible() && form.fields() == row.fields && form.requests.isEmpty();
            };
            QVERIFY(form.compute());
            QCOMPARE(form.only(), row.message);
            QCOMPARE(form.bars, QList<QPoint>{row.bar});
            QVERIFY(refusedInput);
            QCOMPARE(dialog.Settings().offset, row.offset.trimmed().toInt());
            const std::vector<std::string> metrics = row.ssim ? std::vector<std::string>{"psnr", "ssim"}
                                                              : std::vector<std::string>{"psnr"};
            QCOMPARE(dialog.Settings().metrics, metrics);
            // Afterwards the bar is empty and hidden, and the form takes input again.
            QVERIFY(!dialog.m_progress->isVisible() && dialog.m_progress->value() < 1);
            QTest::keyClicks(form.edit(IDC_FRAMES), QStringLiteral("0"));
            QCOMPARE(form.edit(IDC_FRAMES)->text(), row.fields[4] + "0");
        }
        QFile file(dir.filePath("r.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
                                            " 0,100.000000,100.000000,100.000000\r\n"
                                            " 1,48.130804,100.000000,100.000000\r\n"
                                            " 2,42.110204,100.000000,48.130804\r\n"
                                            "Average,63.413669,100.000000,82.710268\r\n"));
    }

    // Memory that runs out while a run keeps its frames ends the run with one
    // error box and leaves the form as before the run.
    void outOfMemory()
    {
        QTemporaryDir dir;
        const QString ref = dir.filePath("ref"), out = dir.filePath("out");
        Write(ref, QByteArray(192 * 3, 40));  // three 16 x 8 frames
        Write(out, QByteArray(192 * 3, 41));
        FormOf<StarvedDialog> form;
        StarvedDialog& dialog = form.dialog;
        dialog.frames = 1;
        form.enter({ref, out, "16", "8", "3", ""});
        QVERIFY(form.compute());
        QCOMPARE(form.only(), Box("错误!", QMessageBox::Critical, "内存不足，无法完成计算！"));
        QCOMPARE(form.bars, QList<QPoint>{QPoint()});
        QVERIFY(!dialog.IsRunning() && !dialog.m_progress->isVisible() && dialog.m_progress->value() < 1);
        QVERIFY(!dialog.LastRun() && !dialog.GetDlgItem(IDC_VIEW_CHART)->isEnabled());
        QTest::keyClicks(form.edit(IDC_FRAMES), QStringLiteral("0"));
        QCOMPARE(form.edit(IDC_FRAMES)->text(), QStringLiteral("30"));

        // The next run goes through; a frame count far beyond the files takes
        // no memory up front, the records grow with the frames measured.
        dialog.frames = INT32_MAX;
        form.messages.clear();
        form.enter({ref, out, "16", "8", "1000000000", ""});
        QVERIFY(form.compute());
        QVERIFY2(form.only().contains("共计3帧"), qPrintable(form.only()));
        QVERIFY(dialog.LastRun() && dialog.LastRun()->record.frames.size() == 3);
        QVERIFY(dialog.LastRun()->record.frames.capacity() < 1000);
        QVERIFY(dialog.GetDlgItem(IDC_VIEW_CHART)->isEnabled());
    }

    void enterAndEsc()
    {
        Form form;
        CPsnrDialog& dialog = form.dialog;
        // Enter in any field is a click on compute (a run, refusing width 0) and never closes the form.
        QList<int> fields(std::begin(Form::ids), std::end(Form::ids));
        fields << IDC_OFFSET << IDC_SSIM;
        for (int id : fields) {
            form.messages.clear();
            QWidget* widget = dialog.GetDlgItem(id);
            widget->setFocus();
            QVERIFY2(form.runs([&] { QTest::keyClick(widget, Qt::Key_Return); }), qPrintable(widget->objectName()));
            QCOMPARE(form.only(), kZeroSize);
            QVERIFY(dialog.isVisible());
        }
        // On another button Enter clicks that button: the author box.
        form.messages.clear();
        QVERIFY(!form.runs([&] { QTest::keyClick(dialog.GetDlgItem(IDC_AUTHOR_INFO), Qt::Key_Enter); }));
        QVERIFY2(form.only().startsWith(Box("个人信息", QMessageBox::Information, "")), qPrintable(form.only()));
        QTest::keyClick(form.edit(IDC_WIDTH), Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void browse()
    {
        for (int field = 0; field < 3; ++field) {  // source, target, result
            Form form;
            const QString suffix = field == 2 ? "txt" : "yuv";
            const QStringList typed{"typed", "typed", "abc", "0", "0", "typed"};
            form.enter(typed);
            // Cancel: no member and no control changes, unsaved typing included.
            form.click(IDC_BROWSE_SOURCE + field);
            const FileRequest request = form.requests.value(0);
            QCOMPARE(request.kind, field == 2 ? FileRequest::Kind::Save : FileRequest::Kind::Open);
            QCOMPARE(request.defaultSuffix + " " + request.initialName, suffix + " *." + suffix);
            // The sequences' dialogs list encoded video too, after the filter they start with.
            const QStringList filters = request.filter.split(";;");
            QCOMPARE(filters.first(), QStringLiteral("%1文件(*.%2)").arg(field == 2 ? "txt" : "YUV", suffix));
            QCOMPARE(filters.last(), QStringLiteral("所有文件 (*.*)"));
            QCOMPARE(filters.size(), field == 2 ? 2 : 3);
            if (field < 2)
                QVERIFY2(filters[1].startsWith("视频文件(*.mp4 *.mkv ") && filters[1].contains(" *.265 "), qPrintable(filters[1]));
            QCOMPARE(form.fields() + form.paths(), typed + QStringList(3, ""));

            // OK: the member takes the path and every field shows its member again.
            QStringList chosen(3, "");
            form.answers << (chosen[field] = QDir::toNativeSeparators(QDir::tempPath() + "/chosen." + suffix));
            form.click(IDC_BROWSE_SOURCE + field);
            QCOMPARE(form.fields() + form.paths(), QStringList({chosen[0], chosen[1], "0", "0", "0", chosen[2]}) + chosen);
        }
    }

    void aboutBox()
    {
        Form form;
        // Answers each About box (noting its title) and the context menu (noting its entry, then taking it).
        QStringList shown;
        QTimer answer;
        answer.callOnTimeout([&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()); menu && !menu->actions().isEmpty()) {
                shown << menu->actions()[0]->text();
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions()[0]).center());
            } else if (auto* box = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget())) {
                shown << box->windowTitle();
                box->findChild<QPushButton*>(QStringLiteral("IDOK"))->click();
            }
        });
        answer.start(10);
        QVERIFY(form.dialog.OnSysCommand(16) && form.dialog.OnSysCommand(31));
        QVERIFY(!form.dialog.OnSysCommand(15) && !form.dialog.OnSysCommand(32));
        const QPoint at(form.dialog.width() - 5, form.dialog.height() - 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, form.dialog.mapToGlobal(at));
        QApplication::sendEvent(&form.dialog, &event);
        QCOMPARE(shown.join('|'), QStringLiteral("关于 Lorvane|关于 Lorvane|关于 Lorvane(&A)...|关于 Lorvane"));
    }
};

QTEST_MAIN(TestPsnrDialog)
#include "test_psnrdialog.moc"
