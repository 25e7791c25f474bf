// The tray icon's menu and the dialogs it opens, on the offscreen platform;
// their runs go through the real tray window to the storage emulator.
#include "CFileShareEndDlg.h"
#include "CTorval2FileShareDlg.h"
#include "QtTrayPresenter.h"

#include "CLogWriter.h"
#include "CTorval2ControlDlg.h"
#include "CTorval2LogDlg.h"
#include "CTrayWnd.h"
#include "GuestShare.h"
#include "MessageBoxes.h"
#include "ProgramVersion.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateEdit>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "Fields.h"
#include "TrayFixtures.h"

// Fontconfig keeps its pattern caches until FcFini, which Qt never calls: the
// font fallback for the Japanese texts on screen would count as a leak at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

// The one application of every test in this program.
const auto* const kApp = ::testing::AddGlobalTestEnvironment(new AppEnvironment<QApplication>);

template <typename T>
QList<T*> Open() {
    QList<T*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* t = qobject_cast<T*>(w); t && t->isVisible())
            out << t;
    }
    return out;
}

// Answers the modal windows that open while it lives: message boxes with press
// (recording their texts, marked when not warnings, and the last one's title
// and button texts), file pickers with
// fileToPick. A picker that refuses the file for five seconds is cancelled,
// so that the test fails instead of waiting for ever.
class ModalAnswerer {
public:
    ModalAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QMessageBox* box : Open<QMessageBox>()) {
                messages << (box->icon() == QMessageBox::Warning ? "" : "(no warning) ") +
                                box->text();
                QStringList texts;
                for (const QAbstractButton* b : box->buttons())
                    texts << b->text();
                texts.sort();
                seen = box->windowTitle() + "|" + texts.join(' ');
                box->button(press)->click();
            }
            for (QFileDialog* picker : Open<QFileDialog>()) {
                pickerTitles << picker->windowTitle();
                // selectFile leaves a name field that has focus alone, as it
                // would a user's typing; the picker may have given it focus.
                if (QWidget* focused = picker->focusWidget())
                    focused->clearFocus();
                picker->selectFile(fileToPick);
                if (++pickerTries > 250)
                    picker->reject();
                else
                    static_cast<QDialog*>(picker)->accept();  // as its Open button
            }
        });
        timer_.start(20);
    }
    QStringList messages, pickerTitles;
    QString seen, fileToPick;
    QMessageBox::StandardButton press = QMessageBox::Ok;
    int pickerTries = 0;
    QTimer timer_;
};

TEST(ShareDialogsTest, ExpiryPickerRefusesDatesOutsideTheFortnight) {
    const FixedClock clock(QDateTime(QDate(2026, 3, 20), QTime(23, 30)));
    CTorval2FileShareDlg dialog(false, false, clock);
    QDateEdit* picker = dialog.expiryEdit();
    EXPECT_EQ(picker->date(), QDate(2026, 3, 23));
    EXPECT_TRUE(dialog.noticeEdit()->tabChangesFocus()) << "Tab leaves the notice text";
    ModalAnswerer answerer;
    QStringList sent;
    QObject::connect(&dialog, &CTorval2FileShareDlg::shareRequested,
                     [&](const GuestShareRequest& r) { sent << r.expiry; });
    dialog.fileEdit(4)->setText("/home/taro/a.txt");
    QPushButton* button = dialog.shareButton();
    // "共有" pressed by QTest's click, by a hand slower than the message box,
    // by its accessibility action, by Enter in the picker.
    const std::function<void()> presses[] = {
        [&] { QTest::mouseClick(button, Qt::LeftButton); },
        [&] {
            QTest::mousePress(button, Qt::LeftButton);
            QTest::qWait(50);
            QTest::mouseRelease(button, Qt::LeftButton);
        },
        [&] {
            QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
            ASSERT_TRUE(QTest::qWaitFor([&] { return !button->isDown(); }));  // animated
        },
        [&] { QTest::keyClick(picker, Qt::Key_Return); },
    };
    // Typed from Home (End: the day erased), the message and the date the
    // picker then holds: a refused date is pulled back to the nearest end of
    // the fortnight, a half-typed one is none; only a held typed date is sent.
    const QString range = "有効期限は本日から１４日以内を指定してください。";
    const struct {
        Qt::Key from;
        QString keys, message, held;
    } typed[] = {
        {Qt::Key_Home, "2026/03/20", "", "2026/03/20"},
        {Qt::Key_Home, "2026/04/03", "", "2026/04/03"},
        {Qt::Key_Home, "2026/04/04", range, "2026/04/03"},
        {Qt::Key_Home, "2026/03/19", range, "2026/03/20"},
        {Qt::Key_End, "\b\b", "有効期限を指定してください。", "2026/03/20"},
    };
    for (const auto& press : presses) {
        for (const auto& t : typed) {
            SCOPED_TRACE(testing::Message()
                         << "row " << &t - typed << " press " << &press - presses);
            answerer.messages.clear();
            dialog.show();
            dialog.activateWindow();  // the window manager's part after a message box
            ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
            picker->setFocus();
            QTest::keyClick(picker, t.from);
            QTest::keyClicks(picker, t.keys);
            press();
            EXPECT_EQ(answerer.messages.join(""), t.message);
            EXPECT_EQ(picker->text(), t.held);
            EXPECT_EQ(std::exchange(sent, {}), QStringList(t.message.isEmpty(), t.held));
        }
    }
}

// The program's message boxes: their title, Japanese button texts whatever
// translations are installed, and which answers count as yes.
TEST(MessageBoxesTest, StandardBoxesAnswerInJapanese) {
    using B = MessageBoxes::Buttons;
    const struct {
        B buttons;
        QMessageBox::StandardButton press;
        QString seen;  // title|button texts
        bool yes;
    } cases[] = {
        {B::Ok, QMessageBox::Ok, "TORVAL2 クライアントツール|OK", true},
        {B::OkCancel, QMessageBox::Cancel, "TORVAL2 クライアントツール|OK キャンセル", false},
        {B::YesNo, QMessageBox::Yes, "TORVAL2 クライアントツール|いいえ はい", true},
    };
    const MessageBoxes boxes = MessageBoxes::standard(nullptr);
    for (const auto& c : cases) {
        ModalAnswerer answerer;
        answerer.press = c.press;
        EXPECT_EQ(boxes.show(MessageBoxes::Icon::Question, c.buttons, "質問"), c.yes)
            << c.seen.toStdString();
        EXPECT_EQ(answerer.seen, c.seen);
    }
}

using TrayGuestShareTest = EmulatorTest;

TEST_F(TrayGuestShareTest, FromTheTrayMenuEndsInTheCompletedDialog) {
    const QString file = home.path() + "/見積.txt";
    ASSERT_TRUE(putFile(file, "for the guests"));

    QtTrayPresenter presenter(logger);
    CTrayWnd window(presenter, &presenter);
    presenter.attach(window);
    // As the last availability check left them.
    AccessKeyRequired = true;
    MailAddressRequired = true;
    window.onCommand(CTrayWnd::kGuestShare);
    window.onCommand(CTrayWnd::kGuestShare);
    ASSERT_EQ(Open<CTorval2FileShareDlg>().size(), 1) << "never a second one";
    QPointer<CTorval2FileShareDlg> dialog = Open<CTorval2FileShareDlg>().first();

    ModalAnswerer answerer;
    answerer.fileToPick = file;
    dialog->browseButton(2)->click();
    EXPECT_EQ(answerer.pickerTitles, QStringList{"TORVAL2 共有するファイルを指定してください"});
    EXPECT_EQ(dialog->fileEdit(2)->text(), file);
    dialog->mailEdit()->setPlainText("guest@example.jp,");
    dialog->accessKeyEdit()->setText("   ");
    dialog->shareButton()->click();
    EXPECT_EQ(answerer.messages, QStringList{"アクセスキーを指定してください。"});
    EXPECT_EQ(dialog->accessKeyEdit()->text(), "") << "trimmed in place";
    dialog->accessKeyEdit()->setText("  abcd  ");
    const QString expiry = dialog->expiryEdit()->date().toString("yyyy/MM/dd");
    dialog->shareButton()->click();
    EXPECT_EQ(answerer.messages.size(), 1);
    EXPECT_TRUE(!dialog || !dialog->isVisible()) << "closes once the run has the request";

    WaitFor([&] { return window.runsInUse() == 0 && !Open<CFileShareEndDlg>().isEmpty(); });
    ASSERT_EQ(Open<CFileShareEndDlg>().size(), 1);
    CFileShareEndDlg* done = Open<CFileShareEndDlg>().first();
    EXPECT_EQ(done->header(), "登録メールアドレスにファイルダウンロード情報を送信しました。");
    EXPECT_EQ(done->text(), "アクセスキー：abcd\n有効期限：" + expiry + "\n");
    EXPECT_EQ(done->textEdit()->textCursor().selectedText().size(), done->text().size())
        << "selected, ready to copy";
    // One share folder below the guest folder, holding the one file.
    const auto guest = emulator.repository() / "Velmora/.guest";
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(guest), {}), 2);
    done->close();
    // Closed dialogs delete themselves, before the application goes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Open<QDialog>().isEmpty());
}

TEST(DialogsTest, LogViewerShowsTheTextAsReadAndTheAboutBoxTheVersion) {
    const QString text = "2026/12/07 09:31:02\n [通知] 後\r\n2026/12/07 09:30:00\n [異常] 先\r\n";
    CTorval2LogDlg dialog(text);
    EXPECT_EQ(dialog.text(), "2026/12/07 09:31:02\n [通知] 後\n2026/12/07 09:30:00\n [異常] 先\n");
    dialog.copyToClipboard();
    EXPECT_EQ(QApplication::clipboard()->text(), dialog.text());
    EXPECT_TRUE(CTorval2LogDlg(QString{}).text().isEmpty());

    CAboutDlg about;
    EXPECT_EQ(about.versionLine(), "TORVAL2 クライアントツール Version " + GetProgramVersionText());
}

// The menu's texts, greyed ones in parentheses, separators as "-".
QString Texts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* a : menu.actions())
        texts << (a->isSeparator() ? "-" : a->isEnabled() ? a->text() : "(" + a->text() + ")");
    return texts.join(' ');
}

using QtTrayPresenterTest = EmulatorTest;

TEST_F(QtTrayPresenterTest, MenuFollowsTheStateAndTheSettingsOpenOnce) {
    AddJob(home.path(), "job", 1);
    // The run stays under way long enough to be seen.
    fault(R"({"path": "/currentPortal$", "delayMs": 1500})");

    QtTrayPresenter presenter(logger);
    CTrayWnd window(presenter, &presenter);
    presenter.attach(window);
    const QString idle =
        "いますぐアップロード 設定 - エラー確認 - バージョン情報 - (中断) 休止 - 終了";
    QString running = idle, paused = idle, shareable = idle;
    // A run that has just started is checking the server; its line stands greyed.
    running.replace("(中断)", "(job: サーバ確認中) 中断");
    paused.replace("休止", "休止解除");
    shareable.replace("設定", "ゲスト共有 設定");
    auto always = [] { return true; };
    const struct {
        std::function<void()> act;
        std::function<bool()> done;
        QString menu;
    } steps[] = {
        {[&] { window.onCommand(CTrayWnd::kPause); }, always, paused},
        {[&] { window.onCommand(CTrayWnd::kPause); }, always, idle},
        {[&] { window.StartUploadRun(*window.jobList().GetJob(0), 0); }, always, running},
        {[] {}, [&] { return window.runsInUse() == 0; }, idle},
        {[&] { window.StartGuestShareCheck(); }, [&] { return window.guestShareAvailable(); },
         shareable},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        step.act();
        ASSERT_TRUE(WaitFor(step.done));
        EXPECT_EQ(Texts(presenter.menu()), step.menu);
    }

    // Opened at the start once; asked again while open, it is only raised.
    ASSERT_TRUE(ProfileFile::writeString("Config", "OpenSetup", "ON", ConfigPath()));
    int dialogs = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        QDialog* open = presenter.settingsDialog();
        if (!open || !open->isVisible())
            return;
        ++dialogs;
        EXPECT_TRUE(window.settingsOpen());
        window.onCommand(CTrayWnd::kSettings);
        EXPECT_EQ(Open<CTorval2ControlDlg>().size(), 1);
        open->reject();
    });
    probe.start(50);
    window.OnCreate();
    EXPECT_EQ(Setting("OpenSetup"), "OFF");
    WaitFor([&] { return dialogs > 0 && !presenter.settingsDialog(); });
    EXPECT_EQ(dialogs, 1);
    EXPECT_FALSE(window.settingsOpen());
}

}  // namespace
