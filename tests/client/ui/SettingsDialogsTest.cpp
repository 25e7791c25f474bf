// The settings dialogs driven through their buttons offscreen: the drive
// operations through a recording implementation of their interface, the
// storage through the real emulator. Child dialogs and message boxes go
// through DialogServices, so no modal loop is needed.
#include "CRestFolderTreeDlg.h"
#include "CTorval2AutoUploadListDlg.h"
#include "CTorval2AutoUploadSetDlg.h"
#include "CTorval2Check1Dlg.h"
#include "CTorval2ControlDlg.h"
#include "CTrayWnd.h"
#include "DriveOperations.h"
#include "JobSettings.h"
#include "WebDavSizeLimit.h"

#include "CRestSettings.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <future>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "Fields.h"
#include "TrayFixtures.h"

namespace {

// Each call with the UseMyComputer value the file held at that moment.
class RecordingDrive : public DriveOperations {
public:
    bool StoreDriveCredentials() override { return note("store"); }
    void ConnectDrive() override { note("connect"); }
    void DisconnectDrive() override { onDisconnect(), note("disconnect"); }
    bool DriveAnswers() override { return true; }
    bool LetterInUse(const QString& letter) override { return letter == "D:" || letter == "K:"; }
    bool note(const QString& call) {
        calls << call + "(" + Setting("UseMyComputer") + ")";
        return true;
    }
    QStringList calls;
    std::function<void()> onDisconnect = [] {};
};

class SmallLimit : public WebDavSizeLimit {
public:
    std::optional<quint32> Read() override { return 50000000u; }
    void Raise() override { ++raised; }
    int raised = 0;
};

// The shown dialog's fields lie apart: a widget its layout misses piles up
// in the top left corner over another one.
void ExpectFieldsApart(QWidget& dialog) {
    dialog.show();
    std::vector<std::pair<QWidget*, QRect>> seen;
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        const bool field = qobject_cast<QLabel*>(w) || qobject_cast<QLineEdit*>(w) ||
                           qobject_cast<QAbstractButton*>(w);
        const QWidget* holder = w->parentWidget();
        if (!field || !w->isVisible() || qobject_cast<const QAbstractSpinBox*>(holder) ||
            qobject_cast<const QComboBox*>(holder))
            continue;
        const QRect r(w->mapTo(&dialog, QPoint()), w->size());
        for (const auto& [other, o] : seen)
            EXPECT_FALSE(r.intersects(o))
                << w->metaObject()->className() << " over " << other->metaObject()->className()
                << " at " << r.x() << "," << r.y();
        seen.emplace_back(w, r);
    }
    dialog.hide();
}

class SettingsDialogsTest : public EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        services.configPath = ConfigPath();
        services.programSettingsPath = ProgramSettingsPath();
        services.programFolder = home.path() + "/prog";
        services.drive = &drive;
        services.boxes.show = [this](MessageBoxes::Icon, MessageBoxes::Buttons, const QString& t) {
            shown << t;
            return true;
        };
        // A child dialog is "run" by the step the test gives for it.
        services.exec = [this](QDialog& d) {
            opened << d.windowTitle();
            if (onDialog)
                onDialog(d);
            return d.result();
        };
    }

    RecordingDrive drive;
    DialogServices services;
    QStringList shown, opened;
    std::function<void(QDialog&)> onDialog;
};

TEST_F(SettingsDialogsTest, DriveIsUnmappedBeforeSavingAndMappedAfter) {
    ASSERT_TRUE(ProfileFile::apply({{"Config", "UseMyComputer", QString("ON")},
                                    {"Config", "DriveLetter", QString("K:")},
                                    {"Config", "CheckDlg2NoDisplay", QString("ON")}},
                                   ConfigPath()));
    {
        CTorval2ControlDlg dialog(services);
        EXPECT_EQ(dialog.boxIdEdit()->text(), "taro@velmora");
        EXPECT_EQ(dialog.driveList()->currentText(), "K:") << "in use but the saved letter";
        EXPECT_EQ(dialog.driveList()->findText("D:"), -1) << "in use elsewhere";
        EXPECT_EQ(dialog.driveList()->count(), 23) << "C: to Z:, but D:";
        for (const QString letter : {"K", "Z"}) {  // the drive's place follows the letter
            dialog.driveList()->setCurrentText(letter + ":");
            EXPECT_TRUE(dialog.driveHint()->text().contains("「TORVAL2 (" + letter + ")」"));
        }
        dialog.driveList()->setCurrentText("K:");
        ExpectFieldsApart(dialog);
        dialog.driveBox()->setChecked(false);
        EXPECT_FALSE(dialog.driveList()->isEnabled());
        // The unmount lasts until the interface has run and shown itself busy.
        std::promise<bool> busy;
        const std::shared_future<bool> shown = busy.get_future().share();
        drive.onDisconnect = [shown] { shown.wait_for(std::chrono::seconds(10)); };
        QTimer::singleShot(0, &dialog, [&] {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            busy.set_value(!dialog.isEnabled() && cursor && cursor->shape() == Qt::WaitCursor);
        });
        dialog.accept();
        EXPECT_TRUE(shown.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
                    shown.get());
        EXPECT_FALSE(QGuiApplication::overrideCursor());
    }
    EXPECT_EQ(Fields(drive.calls.join(","), Setting("UseMyComputer")), "disconnect(ON)|OFF");
    drive.calls.clear();
    {
        CTorval2ControlDlg dialog(services);
        EXPECT_FALSE(dialog.driveList()->isEnabled()) << "off, as saved";
        dialog.driveBox()->setChecked(true);
        EXPECT_TRUE(dialog.driveList()->isEnabled());
        dialog.accept();
    }
    EXPECT_EQ(drive.calls, (QStringList{"store(ON)", "connect(ON)"}));
    EXPECT_TRUE(shown.isEmpty()) << shown.join('|').toStdString();
}

TEST_F(SettingsDialogsTest, SizeLimitDialogButtonsAndTheHint) {
    SmallLimit limit;
    services.sizeLimit = &limit;
    CTorval2ControlDlg dialog(services);
    dialog.passwordEdit()->setText("changed");
    QPushButton* (CTorval2Check1Dlg::*button)() const = nullptr;
    onDialog = [&](QDialog& d) {
        if (auto* check = qobject_cast<CTorval2Check1Dlg*>(&d))
            (check->*button)()->click();
        if (auto* hint = qobject_cast<CTorval2Check2Dlg*>(&d)) {
            EXPECT_TRUE(hint->findChild<QLabel*>()->text().contains("「ネットワークプロキシ」"));
            hint->noMoreBox()->setChecked(true);
            hint->doneButton()->click();
        }
    };
    // "accepted|raised|Password|CheckDlg2NoDisplay|dialogs opened" after each.
    const struct {
        QPushButton* (CTorval2Check1Dlg::*button)() const;
        QString outcome;
    } cases[] = {
        // "キャンセル": the main dialog stays open and nothing is saved.
        {&CTorval2Check1Dlg::cancelButton, "0|0|pa:ss word|<missing>|TORVAL2 設定確認"},
        // "変更する" raises the limit; the hint follows and, ticked, stays away.
        {&CTorval2Check1Dlg::changeButton, "1|1|changed|ON|TORVAL2 設定確認,TORVAL2設定確認"},
        // "変更しない" goes on without raising.
        {&CTorval2Check1Dlg::keepButton, "1|1|changed|ON|TORVAL2 設定確認"},
    };
    for (const auto& c : cases) {
        opened.clear();
        button = c.button;
        dialog.setResult(QDialog::Rejected);
        dialog.accept();
        EXPECT_EQ(Fields(dialog.result() == QDialog::Accepted, limit.raised, Setting("Password"),
                         Setting("CheckDlg2NoDisplay"), opened.join(',')),
                  c.outcome);
        EXPECT_TRUE(drive.calls.isEmpty()) << "no drive was or is to be mapped";
    }
}

TEST_F(SettingsDialogsTest, ConnectionTestLogsSuccessAndFailureWithoutThePassword) {
    CTorval2ControlDlg dialog(services);
    QSignalSpy finished(&dialog, &CTorval2ControlDlg::connectionTestFinished);
    // A wrong password is asked to be saved first, then refused by the
    // service; a reply that is not JSON fails without a crash. Each row: the
    // password, a fault, the status (0: anything but 200), the messages shown
    // and the log line.
    const QString unsaved = "保存されていない設定があります。保存しますか？|接続に失敗しました\n";
    const QString where = " セッション:[0-9a-f]{32} WebAPI:https://localhost/api/v1/";
    const struct {
        QString password;
        const char* fault;
        int status;
        QString shown, logged;
    } cases[] = {
        {"pa:ss word", nullptr, 200, "接続に成功しました",
         "接続テスト成功: ユーザコード:\\S* ユーザ名:\\S*" + where},
        {"wrong-pass", nullptr, 401,
         unsaved + "IDまたはパスワードが受け付けられませんでした（HTTP 401）。",
         "接続テスト失敗\\(401\\): " + where +
             " BOX-ID:taro@velmora BOX-PASSWORD-length:10 原因:IDまたはパスワードが"},
        {"pa:ss word", R"({"path": "/currentUser$", "kind": "notJson"})", 0,
         unsaved + "サーバの応答を読み取れませんでした。", "接続テスト失敗"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged.toStdString());
        shown.clear();
        dialog.passwordEdit()->setText(c.password);
        if (c.fault)
            fault(c.fault);
        dialog.RunConnectionTest();
        EXPECT_FALSE(dialog.testButton()->isEnabled()) << "one test at a time";
        ASSERT_TRUE(WaitFor([&] { return finished.count() == 1; }));
        const int status = finished.takeFirst().at(0).toInt();
        EXPECT_TRUE(c.status ? status == c.status : status != 200) << status;
        EXPECT_EQ(shown.join('|'), c.shown);
        const QString log = logger.ReadLogText();
        EXPECT_TRUE(log.contains(QRegularExpression(c.logged))) << log.toStdString();
        EXPECT_EQ(log.count("接続テスト"), &c - cases + 1) << "one line per test";
    }
    EXPECT_FALSE(logger.ReadLogText().contains("wrong-pass"));
    EXPECT_EQ(Fields(dialog.boxIdEdit()->placeholderText(), dialog.boxIdEdit()->toolTip()),
              "ID@ポータル名|「ID@ポータル名」の形で入力してください。");
    // A field in error is named as "設定" names it, and nothing is tested.
    shown.clear();
    dialog.passwordEdit()->setText("abc");
    dialog.RunConnectionTest();
    EXPECT_EQ(Fields(shown.join('|'), dialog.connectionTestRunning()),
              "パスワードの入力に誤りがあります。|0");
}

TEST_F(SettingsDialogsTest, ChooserListsFoldersLazilyWithoutDuplicates) {
    QDir().mkpath(repository("/User/経理 資料 2026/月次"));
    ASSERT_TRUE(putFile(repository("/User/files-only/a.txt"), ""));
    CRestFolderTreeDlg chooser(settings, ConfigPath(), services.boxes);
    QSignalSpy listed(&chooser, &CRestFolderTreeDlg::listingFinished);
    QTreeWidgetItem* root = chooser.itemFor("/User");
    EXPECT_EQ(root->child(0)->text(0), "読み込み中…") << "while the first listing lasts";
    ASSERT_TRUE(WaitFor([&] { return listed.count() == 1; }));
    ASSERT_EQ(root->childCount(), 2);
    QTreeWidgetItem* japanese = chooser.itemFor("/User/経理 資料 2026");
    ASSERT_TRUE(japanese && japanese->text(0) == "経理 資料 2026");
    // Tabbed into, the tree makes "User" current; OK still hands back nothing.
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&chooser));
    QPushButton* ok = chooser.findChildren<QPushButton*>().first();
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Backtab);
    ASSERT_TRUE(chooser.tree()->hasFocus() && chooser.tree()->currentItem() == root);
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(chooser.result(), QDialog::Accepted);
    EXPECT_EQ(chooser.selectedPath(), QString());

    QTreeWidgetItem* filesOnly = chooser.itemFor("/User/files-only");
    filesOnly->setExpanded(true);
    ASSERT_TRUE(WaitFor([&] { return listed.count() == 2; }));
    EXPECT_EQ(filesOnly->childCount(), 0);
    for (int round = 0; round < 2; ++round) {
        japanese->setExpanded(false);
        japanese->setExpanded(true);
        ASSERT_TRUE(WaitFor([&] { return !chooser.listing(); }));
    }
    EXPECT_EQ(japanese->childCount(), 1) << "expanding twice adds nothing";
    for (const QString path : {"/User/経理 資料 2026/月次", "/User"}) {
        chooser.tree()->setCurrentItem(chooser.itemFor(path));
        EXPECT_EQ(chooser.selectedPath(), path);
    }
    EXPECT_TRUE(shown.isEmpty());

    // The first listing failing, or answered with a garbled list, closes the
    // chooser with -1.
    for (const auto& [rule, logged] :
         {std::pair{R"("status": 500)", "フォルダ展開 失敗(500) /User"},
          {R"("kind": "notJson")", "フォルダ展開 失敗(200) /User"}}) {
        shown.clear();
        fault(std::string(R"({"path": ":items$", )") + rule + "}");
        CRestFolderTreeDlg failing(settings, ConfigPath(), services.boxes);
        QSignalSpy failed(&failing, &CRestFolderTreeDlg::listingFinished);
        ASSERT_TRUE(WaitFor([&] { return failed.count() == 1; }));
        EXPECT_EQ(failing.result(), -1);
        EXPECT_EQ(shown, QStringList{"サーバとの接続に失敗しました。"});
        EXPECT_TRUE(logger.ReadLogText().contains(logged)) << logged;
    }
}

TEST_F(SettingsDialogsTest, JobListButtonsFollowRowsAndTheJobCount) {
    RecordingPresenter presenter;
    CTrayWnd tray(presenter);
    tray.StartSchedulerTimer();
    for (int i = 0; i < 19; ++i)
        AddJob(home.path(), "経理", 1);
    ASSERT_TRUE(tray.jobList().Load());

    CTorval2AutoUploadListDlg list(services, tray);
    QTreeWidget* view = list.list();
    // "add|change|delete|upload" enabled, and the rows.
    auto buttons = [&] {
        return Fields(list.addButton()->isEnabled(), list.changeButton()->isEnabled(),
                      list.deleteButton()->isEnabled(), list.uploadButton()->isEnabled(),
                      view->topLevelItemCount());
    };
    EXPECT_EQ(buttons(), "1|0|0|0|19") << "until a row is clicked";

    // "追加" through the settings dialog's own "設定" button.
    onDialog = [](QDialog& d) {
        if (auto* set = qobject_cast<CTorval2AutoUploadSetDlg*>(&d)) {
            const UploadJob shown = set->values();
            EXPECT_TRUE(shown.SyncTime1Type && shown.SyncTime2Type) << "times of day at first";
            set->nameEdit()->setText("二十番目");
            set->sourceEdit()->setText(QDir::homePath());
            set->remoteEdit()->setText("/Velmora");
            set->compressBox()->setChecked(true);
            set->zipEdit()->setText("z");
            for (QCheckBox* day : set->startTime(1).days)
                day->setChecked(false);  // never due
            for (const QLabel* label : set->findChildren<QLabel*>())
                EXPECT_TRUE(!label->text().endsWith("：") || label->buddy())
                    << label->text().toStdString();
            ExpectFieldsApart(*set);
            // The move targets count only while moving is ticked.
            for (const bool moving : {false, true, false}) {
                set->moveBox()->setChecked(moving);
                EXPECT_EQ(Fields(set->movedEdit()->isEnabled(), set->errorEdit()->isEnabled(),
                                 set->deleteBox()->isEnabled()),
                          Fields(moving, moving, moving));
            }
            set->accept();
        }
    };
    {
        // A full disk: the new job stays, also through the scheduler's reading.
        const FileSizeLimit full(QFileInfo(ConfigPath()).size());
        list.addButton()->click();
        tray.OnSchedulerTick();
    }
    EXPECT_EQ(shown, QStringList{"アップロード設定の保存に失敗しました。\n設定ファイル（" +
                                 ConfigPath() + "）を書き込めませんでした。\n" +
                                 QString::fromLocal8Bit(std::strerror(EFBIG))});
    tray.OnSchedulerTick();
    EXPECT_EQ(Setting("Name20"), "二十番目") << "saved by the next reading";
    EXPECT_EQ(buttons(), "0|0|0|0|20") << "the list is full";
    EXPECT_EQ(Fields(view->topLevelItem(19)->text(0), view->topLevelItem(19)->text(3)),
              "二十番目|（未）");
    EXPECT_TRUE(tray.schedulerRunning()) << "started again after the store";

    ExpectFieldsApart(list);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&list));
    const QFontMetrics metrics = view->fontMetrics();
    for (int c = 0; c < 5; ++c)  // no text cut at the opening size
        EXPECT_GT(view->columnWidth(c),
                  std::max(metrics.horizontalAdvance(view->headerItem()->text(c)),
                           metrics.horizontalAdvance(view->topLevelItem(0)->text(c))))
            << c;
    EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
    // Arrow keys choose rows as clicks do, from the first row on.
    for (const auto& [key, chosen] :
         {std::pair{Qt::Key_Down, 0}, {Qt::Key_Down, 1}, {Qt::Key_Up, 0}}) {
        QTest::keyClick(view, key);
        EXPECT_EQ(Fields(buttons(), view->indexOfTopLevelItem(view->currentItem())),
                  Fields("0|1|1|1|20", chosen));
    }
    list.resize(640, 1200);
    const QPoint below = view->visualItemRect(view->topLevelItem(19)).bottomLeft() + QPoint(5, 8);
    ASSERT_LT(below.y(), view->viewport()->height());
    const QPoint row = view->visualItemRect(view->topLevelItem(1)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row);
    EXPECT_EQ(buttons(), "0|1|1|1|20");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, below);
    EXPECT_EQ(buttons(), "0|0|0|0|20") << "empty space clears the choice";

    // Deleting while paused leaves the scheduler stopped.
    tray.onCommand(CTrayWnd::kPause);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row);
    list.deleteButton()->setFocus();
    QTest::keyClick(list.deleteButton(), Qt::Key_Return);
    EXPECT_EQ(buttons(), "1|0|0|0|19");
    EXPECT_FALSE(tray.schedulerRunning());
    CTorval2UploadList stored(ConfigPath());
    EXPECT_TRUE(stored.Load() && stored.Count() == 19) << "stored at once";

    // "いますぐアップロード" starts that job through the tray and shows its start.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row);
    list.uploadButton()->click();
    list.uploadButton()->click();
    EXPECT_EQ(tray.runsInUse(), 1) << "a running job is left alone";
    EXPECT_FALSE(view->topLevelItem(1)->text(4).isEmpty());
    EXPECT_TRUE(view->topLevelItem(1)->isSelected());
    ASSERT_TRUE(WaitFor([&] { return tray.runsInUse() == 0; }));
    EXPECT_EQ(view->topLevelItem(1)->text(3), "成功") << "the row follows the run's end";
}

}  // namespace
