// The form driven the way a user drives it, headless: typing, clicks, keys and real runs.
#include <QtTest>
#include <QtWidgets>

#include <functional>

#include "prompts.h"
#include "psnrdialog.h"

using namespace lorvane;

namespace {

struct Shown {
    QString text, title;
    QMessageBox::Icon icon;
    bool onGuiThread, barVisible;
    int barValue, barMaximum;
};

// The form, with scripted answers in place of its message boxes and file dialogs.
struct Form : Prompts {
    QList<Shown> messages;
    QList<FileRequest> requests;
    QStringList answers;               // what chooseFile returns, in turn; none left cancels
    std::function<void()> whileShown;  // runs while a message is "on screen"
    CPsnrDialog dialog;

    Form() { dialog.SetPrompts(*this); dialog.show(); }
    void showMessage(QWidget*, const QString& text, const QString& title, QMessageBox::Icon icon) override
    {
        const QProgressBar* bar = dialog.m_progress;
        messages << Shown{text, title, icon, QThread::currentThread() == qApp->thread(),
                          bar->isVisible(), bar->value(), bar->maximum()};
        if (whileShown)
            whileShown();
    }
    QString chooseFile(QWidget*, const FileRequest& request) override
    {
        requests << request;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    QLineEdit* edit(int id) { return qobject_cast<QLineEdit*>(dialog.GetDlgItem(id)); }
    QPushButton* button(int id) { return qobject_cast<QPushButton*>(dialog.GetDlgItem(id)); }
    QList<int> numbers() const { return {dialog.m_width, dialog.m_height, dialog.m_frameCount}; }
    QStringList paths() const { return {dialog.m_sourcePath, dialog.m_targetPath, dialog.m_resultPath}; }

    // The fields in this order: source, target, width, height, frames, result.
    static constexpr int ids[] = {IDC_SOURCE_PATH, IDC_TARGET_PATH, IDC_WIDTH, IDC_HEIGHT, IDC_FRAMES, IDC_RESULT_PATH};
    QStringList fields()
    {
        QStringList texts;
        for (int id : ids)
            texts << edit(id)->text();
        return texts;
    }
    void enter(const QStringList& texts)
    {
        for (int i = 0; i < 6; ++i) {
            edit(ids[i])->clear();
            QTest::keyClicks(edit(ids[i]), texts[i]);
        }
    }
    // Does what `trigger` does and, if that started a run, waits for its end.
    bool runs(const std::function<void()>& trigger)
    {
        QSignalSpy finished(&dialog, &CPsnrDialog::runFinished);
        trigger();
        return dialog.IsRunning() && finished.wait(60000);
    }
    bool compute() { return runs([this] { QTest::mouseClick(button(IDC_COMPUTE), Qt::LeftButton); }); }
};

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

const QString kZeroSize = QStringLiteral("请正确输入图像宽高！");
const QColor kViolet(141, 4, 242);

}  // namespace

class TestPsnrDialog : public QObject {
    Q_OBJECT

private slots:
    void firstDisplay()
    {
        Form form;
        QVERIFY(QTest::qWaitForWindowExposed(&form.dialog));
        QCOMPARE(form.dialog.windowTitle(), QStringLiteral("计算PSNR"));
        QCOMPARE(form.paths(), (QStringList{"", "", ""}));
        QCOMPARE(form.numbers(), (QList<int>{0, 0, 0}));
        QCOMPARE(form.fields(), (QStringList{"", "", "0", "0", "0", ""}));
        QCOMPARE(form.dialog.focusWidget(), form.edit(IDC_SOURCE_PATH));
        QVERIFY(!form.dialog.m_progress->isVisible());
    }

    // Compute stores the fields in order and stops at the first refusal, which starts no run.
    void storeBeforeARun()
    {
        const QString notInteger = QStringLiteral("请输入一个整数。");
        const QString range = QStringLiteral("请输入一个介于 0 和 1000000000 之间的整数。");
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
            // Source and result come before the numbers, so they are always stored.
            QCOMPARE(form.paths(), (QStringList{"src.yuv", row.focus ? "old.yuv" : "new.yuv", "out.txt"}));
            QCOMPARE(form.numbers(), row.numbers);
            QCOMPARE(form.edit(IDC_WIDTH)->text(), row.width);  // a store changes no control
            QCOMPARE(form.messages.size(), 1);
            QCOMPARE(form.messages[0].text, row.message);
            if (row.focus == 0)
                continue;
            QCOMPARE(form.messages[0].title, QStringLiteral("Lorvane"));
            QCOMPARE(form.messages[0].icon, QMessageBox::Warning);
            QCOMPARE(form.dialog.focusWidget(), form.edit(row.focus));
            QCOMPARE(form.edit(row.focus)->selectedText(), form.edit(row.focus)->text());
        }
    }

    void runThroughTheForm()
    {
        // Three 16 x 8 frames: identical; Y one higher; Y two higher and V one higher.
        QByteArray reference, target;
        for (char f : {40, 41, 42}) {  // Y, then U and V, each 2 x 2 subsampled
            reference += QByteArray(192, f);
            target += QByteArray(128, char(2 * f - 40)) + QByteArray(32, f) + QByteArray(32, char(f + (f == 42)));
        }
        QTemporaryDir dir;
        Write(dir.filePath("ref.yuv"), reference);
        Write(dir.filePath("out.yuv"), target);
        Form form;
        CPsnrDialog& dialog = form.dialog;
        form.enter({dir.filePath("ref.yuv"), dir.filePath("out.yuv"), "16", "8", "3", dir.filePath("r.txt")});

        // While the summary is up the run goes on: no keys, clicks or closing; the bar is violet to 2 of 3.
        bool refusedInput = false;
        QImage bar;
        form.whileShown = [&] {
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QTest::keyClicks(form.edit(IDC_WIDTH), QStringLiteral("9"));
            QTest::mouseClick(form.button(IDC_BROWSE_SOURCE), Qt::LeftButton);
            dialog.close();
            refusedInput = dialog.isVisible() && form.edit(IDC_WIDTH)->text() == "16" && form.requests.isEmpty();
            bar = dialog.m_progress->grab().toImage();
        };
        QVERIFY(form.compute());
        QCOMPARE(form.messages.size(), 1);
        const Shown& summary = form.messages[0];
        QCOMPARE(summary.text, QStringLiteral("共计3帧，平均PSNR如下：\nPSNR_Y: 63.413669\nPSNR_U: 100.000000\n"
                                              "PSNR_V: 82.710268\n"));
        QCOMPARE(summary.title, QStringLiteral("计算成功！"));
        QCOMPARE(summary.icon, QMessageBox::NoIcon);
        QVERIFY(summary.onGuiThread && summary.barVisible);
        QVERIFY(refusedInput);
        QCOMPARE(summary.barMaximum, 3);
        QCOMPARE(summary.barValue, 2);
        QCOMPARE(QColor(bar.pixel(bar.width() / 4, bar.height() / 2)), kViolet);
        QVERIFY(QColor(bar.pixel(bar.width() * 9 / 10, bar.height() / 2)) != kViolet);

        QFile file(dir.filePath("r.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n"
                                            " 0,100.000000,100.000000,100.000000\r\n"
                                            " 1,48.130804,100.000000,100.000000\r\n"
                                            " 2,42.110204,100.000000,48.130804\r\n"
                                            "Average,63.413669,100.000000,82.710268\r\n"));
        // Afterwards the bar is reset and hidden, and the form takes input again.
        QVERIFY(!dialog.m_progress->isVisible());
        QCOMPARE(dialog.m_progress->value(), 0);
        QTest::keyClicks(form.edit(IDC_FRAMES), QStringLiteral("0"));
        QCOMPARE(form.edit(IDC_FRAMES)->text(), QStringLiteral("30"));
    }

    void longRunKeepsTheWholeRange()
    {
        // More frames than a 16-bit range holds: the bar still ends at N - 1 of N.
        const int frames = 70000;
        QTemporaryDir dir;
        Write(dir.filePath("a.yuv"), QByteArray(frames * 6, 'a'));
        Write(dir.filePath("b.yuv"), QByteArray(frames * 6, 'b'));
        Form form;
        form.enter({dir.filePath("a.yuv"), dir.filePath("b.yuv"), "2", "2", QString::number(frames), ""});
        QVERIFY(form.compute());
        QCOMPARE(form.messages.size(), 1);
        QVERIFY(form.messages[0].text.startsWith(QStringLiteral("共计70000帧")));
        QCOMPARE(form.messages[0].barMaximum, frames);
        QCOMPARE(form.messages[0].barValue, frames - 1);
    }

    void runErrors()
    {
        QTemporaryDir dir;
        const QString exists = dir.filePath("exists"), missing = dir.filePath("missing");
        Write(exists, QByteArray(24, 'x'));  // one 4 x 4 frame
        const QString open = QStringLiteral("打开文件错误!");
        const struct { QString width, source, target, text, title; } rows[] = {
            {"0", "", "", kZeroSize, QStringLiteral("错误!")},
            {"4", "", exists, QStringLiteral("请输入源参考序列文件名！"), open},
            {"4", exists, missing, QStringLiteral("不能打开 %1!请确认路径是否正确！").arg(missing), open},
        };
        for (const auto& row : rows) {
            Form form;
            form.enter({row.source, row.target, row.width, "4", "1", ""});
            QVERIFY(form.compute());
            QCOMPARE(form.messages.size(), 1);
            QCOMPARE(form.messages[0].text, row.text);
            QCOMPARE(form.messages[0].title, row.title);
            QCOMPARE(form.messages[0].icon, QMessageBox::Critical);
            QVERIFY(!form.messages[0].barVisible);
        }
    }

    void enterAndEsc()
    {
        Form form;
        CPsnrDialog& dialog = form.dialog;
        // Enter in any field is a click on compute (a run, refusing width 0) and never closes the form.
        for (int id : Form::ids) {
            form.messages.clear();
            QWidget* widget = dialog.GetDlgItem(id);
            widget->setFocus();
            QVERIFY2(form.runs([&] { QTest::keyClick(widget, Qt::Key_Return); }), qPrintable(widget->objectName()));
            QCOMPARE(form.messages.size(), 1);
            QCOMPARE(form.messages[0].text, kZeroSize);
            QVERIFY(dialog.isVisible());
        }
        // On another button Enter clicks that button: the author box.
        form.messages.clear();
        QVERIFY(!form.runs([&] { QTest::keyClick(form.button(IDC_AUTHOR_INFO), Qt::Key_Enter); }));
        QCOMPARE(form.messages.size(), 1);
        QCOMPARE(form.messages[0].title, QStringLiteral("个人信息"));
        QCOMPARE(form.messages[0].icon, QMessageBox::Information);
        QVERIFY(dialog.isVisible());
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
            QTest::mouseClick(form.button(IDC_BROWSE_SOURCE + field), Qt::LeftButton);
            QCOMPARE(form.requests.size(), 1);
            const FileRequest& request = form.requests[0];
            QCOMPARE(request.kind, field == 2 ? FileRequest::Kind::Save : FileRequest::Kind::Open);
            QCOMPARE(request.defaultSuffix + " " + request.initialName, suffix + " *." + suffix);
            QCOMPARE(request.filter, QStringLiteral("%1文件(*.%2);;所有文件 (*.*)").arg(field == 2 ? "txt" : "YUV", suffix));
            QCOMPARE(form.fields(), typed);
            QCOMPARE(form.paths(), (QStringList{"", "", ""}));

            // OK: the member takes the path and every field shows its member again.
            const QString chosen = QDir::toNativeSeparators(QDir::tempPath() + "/chosen." + suffix);
            form.answers << chosen;
            QTest::mouseClick(form.button(IDC_BROWSE_SOURCE + field), Qt::LeftButton);
            QStringList expected{"", "", ""};
            expected[field] = chosen;
            QCOMPARE(form.paths(), expected);
            QCOMPARE(form.fields(), (QStringList{expected[0], expected[1], "0", "0", "0", expected[2]}));
        }
    }

    void fileDialogSettings()
    {
        QTemporaryDir dir;
        Write(dir.filePath("old.txt"), "keep");
        QFileDialog open, save;
        const auto configure = [&](QFileDialog& dialog, FileRequest::Kind kind, const QString& type,
                                   const QString& suffix, const QString& name) {
            const QString filters[] = {QStringLiteral("%1文件(*.%2)").arg(type, suffix), QStringLiteral("所有文件 (*.*)")};
            QtPrompts::configure(dialog, {kind, suffix, "*." + suffix, filters[0] + ";;" + filters[1]});
            QCOMPARE(dialog.nameFilters(), (QStringList{filters[0], filters[1]}));
            QCOMPARE(dialog.defaultSuffix(), suffix);
            dialog.setDirectory(dir.path());
            dialog.selectFile(name);
            dialog.show();
        };
        configure(open, FileRequest::Kind::Open, "YUV", "yuv", "missing.yuv");
        QCOMPARE(open.acceptMode(), QFileDialog::AcceptOpen);
        // Save: an existing file is not taken before the user agrees.
        configure(save, FileRequest::Kind::Save, "txt", "txt", "old.txt");
        QCOMPARE(save.acceptMode(), QFileDialog::AcceptSave);
        bool asked = false;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                asked = true, box->button(QMessageBox::No)->click();
        });
        static_cast<QDialog&>(save).accept();
        QVERIFY(asked);
        QVERIFY(save.isVisible() && save.result() == 0);
    }

    void aboutBox()
    {
        Form form;
        QStringList shown;  // titles of the About boxes that came up, each closed at once
        const auto closeAbout = [&] {
            QTimer::singleShot(0, [&] {
                if (auto* box = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget()))
                    shown << box->windowTitle(), box->findChild<QPushButton*>(QStringLiteral("IDOK"))->click();
            });
        };
        for (int id : {16, 31}) {
            closeAbout();
            QVERIFY(form.dialog.OnSysCommand(id));
        }
        QVERIFY(!form.dialog.OnSysCommand(15) && !form.dialog.OnSysCommand(32));

        // The same box from the form's context menu.
        QString entry;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu && !menu->actions().isEmpty());
            entry = menu->actions().first()->text();
            closeAbout();
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions().first()).center());
        });
        const QPoint at(form.dialog.width() - 5, form.dialog.height() - 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, form.dialog.mapToGlobal(at));
        QApplication::sendEvent(&form.dialog, &event);
        QCOMPARE(entry, QStringLiteral("关于 Lorvane(&A)..."));
        QCOMPARE(shown, QStringList(3, QStringLiteral("关于 Lorvane")));
    }
};

QTEST_MAIN(TestPsnrDialog)
#include "test_psnrdialog.moc"
