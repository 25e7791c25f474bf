// The tray window's logic with a recording presenter, its runs against the
// real storage emulator.
#include "CTrayWnd.h"

#include "ConfigPaths.h"
#include "GuestShareRequest.h"
#include "ProfileFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "EmulatorClient.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

namespace {

class RecordingPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon icon) override { icons.push_back(icon); }
    void showBalloon(const QString& text) override { balloons << text; }
    void showMessage(const QString& text) override { messages << text; }
    bool ask(const QString& text) override {
        questions << text;
        return answer;
    }
    std::vector<TrayIcon> icons;
    QStringList balloons;
    QStringList messages;
    QStringList questions;
    bool answer = true;
};

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "tray-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(emulator.started());
        ASSERT_TRUE(PointClientAtEmulator(emulator));
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    void setConfig(const QString& key, const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString("Config", key, value, ConfigPath()));
    }
    // A job whose hot folder holds files (or none).
    void addJob(const QString& name, int files) {
        CTorval2UploadList list(ConfigPath());
        ASSERT_TRUE(list.Load());
        UploadJob j;
        j.Name = name;
        j.HotFolder = home.path() + "/" + name;
        QDir().mkpath(j.HotFolder);
        for (int i = 0; i < files; ++i) {
            QFile f(j.HotFolder + QStringLiteral("/f%1.txt").arg(i));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("data");
        }
        j.OrrinPortalFolder = "/Velmora";
        j.SyncTime1Type = true;
        j.SyncTime1Week = "1111111";
        ASSERT_TRUE(list.AddJob(j));
        ASSERT_TRUE(list.Save());
    }
    void fault(const std::string& json) {
        HttpsClient control(emulator);
        ASSERT_EQ(control.post("/_emulator/faults", json).status, 200);
    }
    // Runs the event loop until cond holds or 60 s pass.
    template <typename Cond>
    bool waitFor(Cond cond) {
        QDeadlineTimer deadline(60000);
        while (!cond() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return cond();
    }
    QString value(const QString& key) {
        return ProfileFile::readString("Config", key, "<missing>", ConfigPath());
    }

    TempDataHome home;
    EmulatorProcess emulator{"basic"};
    RecordingPresenter presenter;
};

TEST_F(TrayTest, MenuFollowsAccountJobsRunsAndPause) {
    CTrayWnd window(presenter);
    auto item = [&](int command) {
        for (const auto& i : window.menuItems()) {
            if (i.command == command)
                return i;
        }
        return CTrayWnd::MenuItem{-1, "<absent>", false};
    };
    EXPECT_FALSE(item(CTrayWnd::kUploadNow).enabled) << "no job";
    addJob("a", 1);
    window.jobList().Load();
    EXPECT_TRUE(item(CTrayWnd::kUploadNow).enabled);
    setConfig("Password", "");
    EXPECT_FALSE(item(CTrayWnd::kUploadNow).enabled) << "read each time the menu opens";
    EXPECT_FALSE(item(CTrayWnd::kInterrupt).enabled) << "no run under way";
    EXPECT_EQ(item(CTrayWnd::kGuestShare).command, -1) << "absent until a check succeeded";
    EXPECT_EQ(item(CTrayWnd::kPause).text, "休止");

    // Order and separators.
    QStringList texts;
    for (const auto& i : window.menuItems())
        texts << (i.command ? i.text : "-");
    EXPECT_EQ(texts, (QStringList{"いますぐアップロード", "設定", "-", "エラー確認", "-",
                                  "バージョン情報", "-", "中断", "休止", "-", "終了"}));

    window.onCommand(CTrayWnd::kPause);
    EXPECT_TRUE(window.paused());
    EXPECT_FALSE(window.schedulerRunning());
    EXPECT_EQ(value("EnableUpload"), "OFF");
    EXPECT_EQ(item(CTrayWnd::kPause).text, "休止解除");
    EXPECT_EQ(presenter.balloons.last(), "アップロードを休止します。");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Paused);
    window.onCommand(CTrayWnd::kPause);
    EXPECT_FALSE(window.paused());
    EXPECT_TRUE(window.schedulerRunning());
    EXPECT_EQ(value("EnableUpload"), "ON");
    EXPECT_EQ(presenter.balloons.last(), "アップロード休止を解除します。");
}

TEST_F(TrayTest, StartStateFromTheSettings) {
    setConfig("EnableUpload", "OFF");
    setConfig("OpenSetup", "ON");
    CTrayWnd window(presenter);
    QSignalSpy settings(&window, &CTrayWnd::settingsRequested);
    window.OnCreate();
    EXPECT_TRUE(window.paused());
    EXPECT_FALSE(window.schedulerRunning());
    EXPECT_EQ(presenter.icons.front(), TrayIcon::Paused);
    EXPECT_EQ(value("OpenSetup"), "OFF");
    ASSERT_TRUE(waitFor([&] { return settings.count() == 1; }));
    // The guest share check ran in the background and succeeded.
    ASSERT_TRUE(waitFor([&] { return window.guestShareAvailable(); }));
    bool listed = false;
    for (const auto& i : window.menuItems())
        listed |= i.command == CTrayWnd::kGuestShare;
    EXPECT_TRUE(listed);

    setConfig("EnableUpload", "on");
    CTrayWnd active(presenter);
    active.OnCreate();
    EXPECT_FALSE(active.paused()) << "only OFF pauses";
    EXPECT_TRUE(active.schedulerRunning());
}

TEST_F(TrayTest, UploadNowRunsEveryIdleJobAndReportsTheEnd) {
    addJob("first", 2);
    addJob("empty", 0);
    CTrayWnd window(presenter);

    presenter.answer = false;
    window.onCommand(CTrayWnd::kUploadNow);
    EXPECT_EQ(presenter.questions.last(), "アップロードを開始しますか？");
    EXPECT_EQ(window.runsInUse(), 0);

    presenter.answer = true;
    window.onCommand(CTrayWnd::kUploadNow);
    EXPECT_EQ(window.runsInUse(), 2);
    EXPECT_EQ(value("isUploading1"), "1");
    EXPECT_EQ(value("isUploading2"), "1");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Uploading);
    ASSERT_TRUE(waitFor([&] { return window.runsInUse() == 0; }));
    EXPECT_EQ(value("isUploading1"), "0");
    EXPECT_EQ(value("LastUploadFlag1"), "成功");
    EXPECT_EQ(value("LastUploadFlag2"), "成功");
    EXPECT_NE(value("LastUploadEndTime1"), "0000/00/00 00:00");
    EXPECT_TRUE(presenter.balloons.contains(
        "empty:アップロード対象ファイルはありません。アップロードを終了します。"));
    EXPECT_TRUE(presenter.balloons.contains("アップロードに成功しました。"));
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal) << "the state icon once no run remains";
    EXPECT_FALSE(window.errorPending());
}

TEST_F(TrayTest, FailedRunShowsTheErrorUntilTheLogIsOpened) {
    addJob("job", 1);
    fault(R"({"path": ":entity$", "status": 500, "times": 0})");
    CTrayWnd window(presenter);
    QSignalSpy log(&window, &CTrayWnd::showLogRequested);
    window.UploadNowAll();
    ASSERT_TRUE(waitFor([&] { return window.runsInUse() == 0; }));
    EXPECT_EQ(value("LastUploadFlag1"), "失敗");
    EXPECT_TRUE(window.errorPending());
    EXPECT_EQ(presenter.balloons.last(), "アップロード中にエラーが発生しました。");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Error);
    window.onCommand(CTrayWnd::kShowLog);
    EXPECT_FALSE(window.errorPending());
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal);
    ASSERT_EQ(log.count(), 1);
    EXPECT_TRUE(log.at(0).at(0).toString().contains("job のアップロードを終了しました"));
}

TEST_F(TrayTest, InterruptStopsRunsAndIsClearedAfterTheLast) {
    addJob("slow", 3);
    fault(R"({"path": ":entity$", "delayMs": 1500, "times": 0})");
    CTrayWnd window(presenter);
    window.UploadNowAll();
    bool interruptEnabled = false;
    for (const auto& i : window.menuItems())
        interruptEnabled |= i.command == CTrayWnd::kInterrupt && i.enabled;
    EXPECT_TRUE(interruptEnabled);
    window.onCommand(CTrayWnd::kInterrupt);
    EXPECT_EQ(window.stopRequested().load(), 1);
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Interrupting);
    EXPECT_EQ(presenter.balloons.last(), "アップロードを中断します。");
    ASSERT_TRUE(waitFor([&] { return window.runsInUse() == 0; }));
    EXPECT_EQ(value("LastUploadFlag1"), "失敗");
    EXPECT_EQ(window.stopRequested().load(), 0);
}

TEST_F(TrayTest, NoFreeSlotLeavesNoJobMarkedAsUploading) {
    addJob("job", 1);
    // Twenty runs held at their first request fill every slot.
    fault(R"({"path": "/currentPortal$", "delayMs": 4000, "times": 0})");
    CTrayWnd window(presenter);
    window.jobList().Load();
    UploadJob* job = window.jobList().GetJob(0);
    for (int i = 0; i < CTrayWnd::kSlots; ++i)
        window.StartUploadRun(*job, 0);
    EXPECT_EQ(window.runsInUse(), 20);
    window.StartUploadRun(*job, 0);
    EXPECT_EQ(window.runsInUse(), 20);
    EXPECT_FALSE(job->isUploading);
    EXPECT_EQ(value("isUploading1"), "0");
    HttpsClient control(emulator);
    control.del("/_emulator/faults");
    ASSERT_TRUE(waitFor([&] { return window.runsInUse() == 0; }));
}

TEST_F(TrayTest, GuestShareRunEndsInTheCompletedTexts) {
    QFile f(home.path() + "/share.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("for the guests");
    f.close();
    GuestShareRequest request;
    request.files = {f.fileName()};
    request.accessKey = "key-1";
    request.expiry = "2030/01/31";
    CTrayWnd window(presenter);
    QSignalSpy done(&window, &CTrayWnd::guestShareCompleted);
    window.StartGuestShareRun(request);
    EXPECT_EQ(presenter.balloons.last(), "ゲスト共有ファイルのアップロードを開始します。");
    ASSERT_TRUE(waitFor([&] { return window.runsInUse() == 0; }));
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(done.at(0).at(0).toString(), "以下のダウンロード専用URLをご案内ください。");
    const QString text = done.at(0).at(1).toString();
    EXPECT_TRUE(text.startsWith("https://www.torval2.jp/document/file/share/download?shareId="));
    EXPECT_TRUE(text.contains("\r\n\r\nアクセスキー：key-1\r\n有効期限：2030/01/31\r\n"));
    EXPECT_EQ(presenter.balloons.last(), "アップロードに成功しました。");
    EXPECT_FALSE(window.errorPending());
}

TEST_F(TrayTest, BlockCheckWarnsWhenTheServiceBlocksWebDav) {
    CTrayWnd window(presenter);
    window.CheckWebDavBlock();
    EXPECT_TRUE(presenter.balloons.isEmpty()) << "autoBlock option off: no block request";
    fault(R"({"path": "/options$", "json": {"options": [{"name": "autoBlock", "enabled": true}]},
              "times": 0})");
    fault(R"({"autoBlock": {"blockCount": 3}, "times": 2})");
    window.CheckWebDavBlock();
    ASSERT_EQ(presenter.balloons.size(), 1);
    EXPECT_TRUE(presenter.balloons[0].startsWith(
        "禁止操作が検出されたため、WebDAVの利用が制限されました。"));
    EXPECT_TRUE(CLogWriter().ReadLogText().contains("WebDAVの利用の遮断が検知されました。3回目"));
    window.CheckWebDavBlock();
    EXPECT_EQ(presenter.balloons.size(), 2) << "every detection shows the balloon again";
}

// The block check stops at the first failed request, and asks only the
// user's own portal; a failed options request keeps the options it had.
TEST_F(TrayTest, BlockCheckEndsAtTheFirstFailure) {
    CTrayWnd window(presenter);
    HttpsClient control(emulator);
    // Options with autoBlock on from an earlier check.
    fault(R"({"path": "/options$", "json": {"options": [{"name": "autoBlock", "enabled": true}]},
              "times": 1})");
    window.CheckWebDavBlock();
    const struct {
        const char* failing;
        QStringList expected;  // the paths asked, after the base path
    } cases[] = {
        {"/currentUser$", {"/currentUser"}},
        {"/options$", {"/currentUser", "/portal/1/options"}},
        {"/autoBlock$", {"/currentUser", "/portal/1/options", "/portal/1/autoBlock"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        ASSERT_EQ(control.del("/_emulator/journal").status, 204);
        fault(std::string(R"({"path": ")") + c.failing + R"(", "status": 500, "times": 0})");
        window.CheckWebDavBlock();
        ASSERT_EQ(control.del("/_emulator/faults").status, 204);
        QStringList asked;
        for (const auto& entry : ReadJournal(emulator))
            asked << QString::fromStdString(entry.get("path").to_str()).section("/api/v1/", 1);
        asked.removeDuplicates();  // the authentication challenge
        EXPECT_EQ(asked.join(' ').toStdString(), c.expected.join(' ').toStdString());
        EXPECT_TRUE(presenter.balloons.isEmpty());
    }
}

TEST_F(TrayTest, QuitAsksFirst) {
    CTrayWnd window(presenter);
    QSignalSpy quit(&window, &CTrayWnd::quitRequested);
    presenter.answer = false;
    window.onCommand(CTrayWnd::kQuit);
    EXPECT_EQ(quit.count(), 0);
    EXPECT_EQ(presenter.questions.last(), "TORVAL2 クライアントツールを終了してよろしいですか？");
    presenter.answer = true;
    window.onCommand(CTrayWnd::kQuit);
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(TrayTest, UploadNowWithoutJobsSaysSo) {
    CTrayWnd window(presenter);
    window.onCommand(CTrayWnd::kUploadNow);
    EXPECT_EQ(presenter.messages.last(), "アップロードの設定が登録されていません。");
    EXPECT_TRUE(presenter.questions.isEmpty());
}

}  // namespace

TEST_F(TrayTest, DriveMappingAtStartReportsItsOutcome) {
    // A home and session of the test's own: no real drive is touched.
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path()));
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    setConfig("UseMyComputer", "ON");
    setConfig("DriveLetter", "Z:");
    {
        CTrayWnd window(presenter);
        window.OnCreate();
        // Interrupted before its first round, the mapping cannot succeed.
        window.onCommand(CTrayWnd::kInterrupt);
        ASSERT_TRUE(waitFor(
            [&] { return presenter.balloons.contains("ドライブレター登録に失敗しました。"); }));
        EXPECT_EQ(presenter.icons.back(), TrayIcon::Error);
        EXPECT_TRUE(CLogWriter().ReadLogText().contains("ドライブレター登録に失敗しました。"));
    }
    qputenv("HOME", savedHome);
    qputenv("DBUS_SESSION_BUS_ADDRESS", savedBus);
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
}
