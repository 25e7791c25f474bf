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
#include "QtTrayPresenter.h"
#include "WebDavSizeLimit.h"

#include "CLogWriter.h"
#include "CRestSettings.h"
#include "ConfigPaths.h"
#include "ProfileFile.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "EmulatorClient.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << text.toStdString();
}

namespace {

// The application ends with the tests, before the static objects that the
// test library's pointing device lives in.
class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 3;
        static char name[] = "ui-test";
        static char platform[] = "-platform";
        static char offscreen[] = "offscreen";
        static char* argv[] = {name, platform, offscreen, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

QString setting(const QString& key) {
    return ProfileFile::readString("Config", key, "<missing>", ConfigPath());
}

// Each call with the UseMyComputer value the file held at that moment.
class RecordingDrive : public DriveOperations {
public:
    bool StoreDriveCredentials() override { return note("store"); }
    void ConnectDrive() override { note("connect"); }
    void DisconnectDrive() override { note("disconnect"); }
    bool DriveAnswers() override { return true; }
    bool LetterInUse(const QString& letter) override { return letter == "D:" || letter == "K:"; }
    bool note(const QString& call) {
        calls << call + "(" + setting("UseMyComputer") + ")";
        return true;
    }
    QStringList calls;
};

class SmallLimit : public WebDavSizeLimit {
public:
    std::optional<quint32> Read() override { return 50000000u; }
    void Raise() override { ++raised; }
    int raised = 0;
};

class SilentPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString&) override {}
    void showMessage(const QString& text) override { messages << text; }
    bool ask(const QString&) override { return true; }
    QStringList messages;
};

template <typename Cond>
bool waitFor(Cond cond) {
    QDeadlineTimer deadline(60000);
    while (!cond() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return cond();
}

class SettingsDialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator.started());
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        services.configPath = ConfigPath();
        services.programSettingsPath = ProgramSettingsPath();
        services.programFolder = home.path() + "/prog";
        services.drive = &drive;
        services.boxes.show = [this](MessageBoxes::Icon, MessageBoxes::Buttons, const QString& t) {
            shown << t;
            return answer;
        };
        // A child dialog is "run" by the step the test gives for it.
        services.exec = [this](QDialog& d) {
            opened << d.windowTitle();
            if (onDialog)
                onDialog(d);
            return d.result();
        };
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    void fault(const std::string& json) {
        HttpsClient control(emulator);
        ASSERT_EQ(control.post("/_emulator/faults", json).status, 200);
    }
    QString logText() { return CLogWriter(ConfigPath()).ReadLogText(); }
    void mkRemote(const QString& path) {
        QDir().mkpath(QString::fromStdString(emulator.repository().string()) + path);
    }

    TempDataHome home;
    EmulatorProcess emulator{"basic"};
    RecordingDrive drive;
    DialogServices services;
    QStringList shown;
    QStringList opened;
    bool answer = true;
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
        dialog.driveBox()->setChecked(false);
        EXPECT_FALSE(dialog.driveList()->isEnabled());
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(drive.calls, QStringList{"disconnect(ON)"});
    EXPECT_EQ(setting("UseMyComputer"), "OFF");
    drive.calls.clear();
    {
        CTorval2ControlDlg dialog(services);
        dialog.driveBox()->setChecked(true);
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
    // "キャンセル": the main dialog stays open and nothing is saved.
    onDialog = [](QDialog& d) {
        if (auto* check = qobject_cast<CTorval2Check1Dlg*>(&d))
            check->cancelButton()->click();
    };
    dialog.accept();
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(setting("Password"), "pa:ss word");
    EXPECT_TRUE(drive.calls.isEmpty());
    EXPECT_EQ(opened, QStringList{"TORVAL2 設定確認"});

    // "変更する" raises the limit; the hint follows and, ticked, stays away.
    opened.clear();
    onDialog = [](QDialog& d) {
        if (auto* check = qobject_cast<CTorval2Check1Dlg*>(&d))
            check->changeButton()->click();
        if (auto* hint = qobject_cast<CTorval2Check2Dlg*>(&d)) {
            hint->noMoreBox()->setChecked(true);
            hint->doneButton()->click();
        }
    };
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(limit.raised, 1);
    EXPECT_EQ(opened, (QStringList{"TORVAL2 設定確認", "TORVAL2設定確認"}));
    EXPECT_EQ(setting("Password"), "changed");
    EXPECT_EQ(setting("CheckDlg2NoDisplay"), "ON");

    // "変更しない" goes on without raising; the hint is not shown again.
    opened.clear();
    onDialog = [](QDialog& d) {
        if (auto* check = qobject_cast<CTorval2Check1Dlg*>(&d))
            check->keepButton()->click();
    };
    EXPECT_TRUE(dialog.ConfirmWebDavLimit());
    EXPECT_EQ(limit.raised, 1);
    EXPECT_EQ(opened, QStringList{"TORVAL2 設定確認"});
}

TEST_F(SettingsDialogsTest, ConnectionTestLogsSuccessAndFailureWithoutThePassword) {
    CTorval2ControlDlg dialog(services);
    QSignalSpy finished(&dialog, &CTorval2ControlDlg::connectionTestFinished);
    dialog.RunConnectionTest();
    EXPECT_FALSE(dialog.testButton()->isEnabled()) << "one test at a time";
    ASSERT_TRUE(waitFor([&] { return finished.count() == 1; }));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 200);
    EXPECT_EQ(shown, QStringList{"接続に成功しました"});
    EXPECT_TRUE(logText().contains(QRegularExpression(
        "接続テスト成功: ユーザコード:\\S* ユーザ名:\\S* セッション:[0-9a-f]{32} "
        "WebAPI:https://localhost/api/v1/")))
        << logText().toStdString();

    // A wrong password is asked to be saved first, then refused by the service.
    shown.clear();
    dialog.passwordEdit()->setText("wrong-pass");
    dialog.RunConnectionTest();
    ASSERT_TRUE(waitFor([&] { return finished.count() == 2; }));
    EXPECT_EQ(finished.at(1).at(0).toInt(), 401);
    EXPECT_EQ(shown, (QStringList{"保存されていない設定があります。保存しますか？",
                                  "接続に失敗しました"}));
    const QString log = logText();
    EXPECT_TRUE(log.contains(QRegularExpression(
        "接続テスト失敗\\(401\\):  セッション:[0-9a-f]{32} WebAPI:https://localhost/api/v1/ "
        "BOX-ID:taro@velmora BOX-PASSWORD-length:10")))
        << log.toStdString();
    EXPECT_FALSE(log.contains("wrong-pass"));

    // A reply that is not JSON fails without a crash.
    dialog.passwordEdit()->setText("pa:ss word");
    fault(R"({"path": "/currentUser$", "kind": "notJson"})");
    dialog.RunConnectionTest();
    ASSERT_TRUE(waitFor([&] { return finished.count() == 3; }));
    EXPECT_NE(finished.at(2).at(0).toInt(), 200);
}

TEST_F(SettingsDialogsTest, ChooserListsFoldersLazilyWithoutDuplicates) {
    mkRemote("/User/経理 資料 2026/月次");
    mkRemote("/User/files-only");
    QFile f(QString::fromStdString(emulator.repository().string()) + "/User/files-only/a.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    CRestFolderTreeDlg chooser(LoadSettings(), ConfigPath(), services.boxes);
    QSignalSpy listed(&chooser, &CRestFolderTreeDlg::listingFinished);
    QTreeWidgetItem* root = chooser.itemFor("/User");
    EXPECT_EQ(root->child(0)->text(0), "読み込み中…") << "while the first listing lasts";
    ASSERT_TRUE(waitFor([&] { return listed.count() == 1; }));
    ASSERT_EQ(root->childCount(), 2);
    QTreeWidgetItem* japanese = chooser.itemFor("/User/経理 資料 2026");
    ASSERT_NE(japanese, nullptr);
    EXPECT_EQ(japanese->text(0), "経理 資料 2026");

    QTreeWidgetItem* filesOnly = chooser.itemFor("/User/files-only");
    filesOnly->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return listed.count() == 2; }));
    EXPECT_EQ(filesOnly->childCount(), 0);
    for (int round = 0; round < 2; ++round) {
        japanese->setExpanded(false);
        japanese->setExpanded(true);
        ASSERT_TRUE(waitFor([&] { return !chooser.listing(); }));
    }
    EXPECT_EQ(japanese->childCount(), 1) << "expanding twice adds nothing";
    chooser.tree()->setCurrentItem(chooser.itemFor("/User/経理 資料 2026/月次"));
    EXPECT_EQ(chooser.selectedPath(), "/User/経理 資料 2026/月次");
    chooser.tree()->setCurrentItem(root);
    EXPECT_EQ(chooser.selectedPath(), "/User");
    EXPECT_TRUE(shown.isEmpty());

    // The first listing failing closes the chooser with -1.
    fault(R"({"path": ":items$", "status": 500})");
    CRestFolderTreeDlg failing(LoadSettings(), ConfigPath(), services.boxes);
    QSignalSpy failed(&failing, &CRestFolderTreeDlg::listingFinished);
    ASSERT_TRUE(waitFor([&] { return failed.count() == 1; }));
    EXPECT_EQ(failing.result(), -1);
    EXPECT_EQ(shown, QStringList{"サーバとの接続に失敗しました。"});
    EXPECT_TRUE(logText().contains("フォルダ展開 失敗(500) /User"));
}

TEST_F(SettingsDialogsTest, JobListButtonsFollowRowsAndTheJobCount) {
    SilentPresenter presenter;
    CTrayWnd tray(presenter);
    tray.StartSchedulerTimer();
    QDir().mkpath(home.path() + "/hot");
    UploadJob job = NewJobDefaults(SystemTime{2026, 12, 1, 7, 9, 0, 0, 0});
    job.Name = "経理";
    job.HotFolder = home.path() + "/hot";
    job.OrrinPortalFolder = "/Velmora";
    for (int i = 0; i < 19; ++i)
        ASSERT_TRUE(StoreDialogIntoJob(job, -1, tray.jobList()));
    ASSERT_TRUE(tray.jobList().Save());

    CTorval2AutoUploadListDlg list(services, tray);
    EXPECT_EQ(list.list()->topLevelItemCount(), 19);
    EXPECT_TRUE(list.addButton()->isEnabled());
    EXPECT_FALSE(list.changeButton()->isEnabled()) << "until a row is clicked";

    // "追加" through the settings dialog's own "設定" button.
    onDialog = [](QDialog& d) {
        if (auto* set = qobject_cast<CTorval2AutoUploadSetDlg*>(&d)) {
            set->nameEdit()->setText("二十番目");
            set->sourceEdit()->setText(QDir::homePath());
            set->remoteEdit()->setText("/Velmora");
            set->compressBox()->setChecked(true);
            set->zipEdit()->setText("z");
            set->accept();
        }
    };
    list.addJob();
    EXPECT_EQ(list.list()->topLevelItemCount(), 20);
    EXPECT_EQ(list.list()->topLevelItem(19)->text(0), "二十番目");
    EXPECT_EQ(list.list()->topLevelItem(19)->text(3), "（未）");
    EXPECT_FALSE(list.addButton()->isEnabled()) << "the list is full";
    EXPECT_TRUE(tray.schedulerRunning()) << "started again after the store";

    QTreeWidget* view = list.list();
    list.resize(640, 1200);
    list.show();
    const QPoint below = view->visualItemRect(view->topLevelItem(19)).bottomLeft() + QPoint(5, 8);
    ASSERT_LT(below.y(), view->viewport()->height());
    const QRect row = view->visualItemRect(view->topLevelItem(1));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_TRUE(list.deleteButton()->isEnabled());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, below);
    EXPECT_FALSE(list.deleteButton()->isEnabled()) << "empty space clears the choice";

    // Deleting while paused leaves the scheduler stopped.
    tray.onCommand(CTrayWnd::kPause);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row.center());
    list.deleteButton()->click();
    EXPECT_EQ(list.list()->topLevelItemCount(), 19);
    EXPECT_TRUE(list.addButton()->isEnabled());
    EXPECT_FALSE(list.uploadButton()->isEnabled());
    EXPECT_FALSE(tray.schedulerRunning());
    CTorval2UploadList stored(ConfigPath());
    ASSERT_TRUE(stored.Load());
    EXPECT_EQ(stored.Count(), 19);

    // "いますぐアップロード" starts that job through the tray and shows its start.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row.center());
    list.uploadButton()->click();
    EXPECT_EQ(tray.runsInUse(), 1);
    EXPECT_FALSE(list.list()->topLevelItem(1)->text(4).isEmpty());
    EXPECT_TRUE(list.list()->topLevelItem(1)->isSelected());
    ASSERT_TRUE(waitFor([&] { return tray.runsInUse() == 0; }));
}

TEST_F(SettingsDialogsTest, TrayOpensTheSettingsOnceAndRaisesIt) {
    CLogWriter logger(ConfigPath());
    QtTrayPresenter presenter(logger);
    CTrayWnd tray(presenter);
    presenter.attach(tray);
    ASSERT_TRUE(ProfileFile::writeString("Config", "OpenSetup", "ON", ConfigPath()));
    int dialogs = 0;
    QTimer probe;
    probe.setInterval(50);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        QDialog* open = presenter.settingsDialog();
        if (!open || !open->isVisible())
            return;
        ++dialogs;
        EXPECT_TRUE(tray.settingsOpen());
        tray.onCommand(CTrayWnd::kSettings);  // again, while open
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            count += qobject_cast<CTorval2ControlDlg*>(w) && w->isVisible();
        EXPECT_EQ(count, 1);
        open->reject();
    });
    probe.start();
    tray.OnCreate();
    EXPECT_EQ(setting("OpenSetup"), "OFF");
    waitFor([&] { return dialogs > 0 && !presenter.settingsDialog(); });
    EXPECT_EQ(dialogs, 1);
    EXPECT_FALSE(tray.settingsOpen());
}

}  // namespace
