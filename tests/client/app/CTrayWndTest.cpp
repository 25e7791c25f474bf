// The tray window's logic with a recording presenter, its runs against the
// real storage emulator.
#include "CTrayWnd.h"

#include "ClientUpdate.h"
#include "GuestShareRequest.h"
#include "LocalSnapshot.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "EmulatorJournal.h"
#include "Fields.h"
#include "JournalEntry.h"
#include "TrayFixtures.h"

namespace {

const auto* const kApp = ::testing::AddGlobalTestEnvironment(new AppEnvironment<QCoreApplication>);

// The menu's texts, greyed ones in parentheses, separators as "-".
QString Menu(const CTrayWnd& window) {
    QStringList texts;
    for (const auto& i : window.menuItems())
        texts << (!i.command ? "-" : i.enabled ? i.text : "(" + i.text + ")");
    return texts.join(' ');
}

class TrayTest : public EmulatorTest {
protected:
    // "last balloon|LastUploadFlag1" once every run has ended.
    QString afterRuns(CTrayWnd& window) {
        EXPECT_TRUE(WaitFor([&] { return window.runsInUse() == 0; }));
        return presenter.balloons.last() + "|" + Setting("LastUploadFlag1");
    }

    RecordingPresenter presenter;
};

TEST_F(TrayTest, MenuAndCommandsFollowAccountJobsAndPause) {
    CTrayWnd window(presenter);
    QSignalSpy quit(&window, &CTrayWnd::quitRequested);
    const QString rest = " 設定 - エラー確認 - バージョン情報 - (中断) ";
    const QString off = "(いますぐアップロード)" + rest + "休止 - 終了";
    // Each step, then the menu and "paused|scheduler|EnableUpload|last balloon".
    const struct {
        std::function<void()> act;
        QString menu, state;
    } steps[] = {
        {[] {}, off, "0|0|<missing>|"},
        {[&] { window.onCommand(CTrayWnd::kUploadNow); }, off, "0|0|<missing>|"},
        {[&] { AddJob(home.path(), "a", 1), window.jobList().Load(); },
         "いますぐアップロード" + rest + "休止 - 終了", "0|0|<missing>|"},
        // The password is read each time.
        {[&] { setConfig("Password", ""); }, off, "0|0|<missing>|"},
        {[&] { window.onCommand(CTrayWnd::kPause); },
         "(いますぐアップロード)" + rest + "休止解除 - 終了", "1|0|OFF|アップロードを休止します。"},
        {[&] { window.onCommand(CTrayWnd::kPause); }, off, "0|1|ON|アップロード休止を解除します。"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        step.act();
        EXPECT_EQ(Menu(window), step.menu);
        EXPECT_EQ(Fields(window.paused(), window.schedulerRunning(), Setting("EnableUpload"),
                         presenter.balloons.value(presenter.balloons.size() - 1)),
                  step.state);
    }
    EXPECT_EQ(presenter.messages, QStringList{"アップロードの設定が登録されていません。"});
    EXPECT_EQ(presenter.icons.end()[-2], TrayIcon::Paused);
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal);

    for (const bool answer : {false, true}) {
        presenter.answer = answer;
        window.onCommand(CTrayWnd::kQuit);
        EXPECT_EQ(quit.count(), int(answer));
    }
    EXPECT_EQ(presenter.questions,
              QStringList(2, "TORVAL2 クライアントツールを終了してよろしいですか？"));
}

// Only "OFF" starts paused, and the snapshots an earlier copy left in the
// temporary folder are taken into the work folder. (The guest share check at
// every start is the program's process test; opening the settings at the
// start, the presenter's.)
TEST_F(TrayTest, StartStateFromTheSettings) {
    QTemporaryDir temp;
    const EnvGuard tmp("TMPDIR", QFile::encodeName(temp.path()));
    const QString stray = "Torval2Quillon_LocalFiles_1_previous.csv";
    for (const auto& [value, state] : {std::pair{"OFF", "1|0"}, {"on", "0|1"}}) {
        ASSERT_TRUE(QFile(temp.filePath(stray)).open(QIODevice::WriteOnly));
        setConfig("EnableUpload", value);
        CTrayWnd window(presenter);
        EXPECT_FALSE(QFile::exists(temp.filePath(stray)));
        EXPECT_TRUE(QFile::exists(LocalSnapshot::WorkFolder() + "/" + stray));
        window.OnCreate();
        EXPECT_EQ(Fields(window.paused(), window.schedulerRunning()), state) << value;
    }
    EXPECT_EQ(presenter.icons.front(), TrayIcon::Paused);
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal);
}

TEST_F(TrayTest, UploadNowRunsEveryIdleJobAndReportsTheEnd) {
    AddJob(home.path(), "first", 2);
    AddJob(home.path(), "empty", 0);
    CTrayWnd window(presenter);
    for (const bool answer : {false, true}) {
        presenter.answer = answer;
        window.onCommand(CTrayWnd::kUploadNow);
        EXPECT_EQ(window.runsInUse(), answer ? 2 : 0);
    }
    EXPECT_EQ(presenter.questions, QStringList(2, "アップロードを開始しますか？"));
    EXPECT_EQ(Fields(Setting("isUploading1"), Setting("isUploading2")), "1|1");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Uploading);
    afterRuns(window);
    // The two runs end in either order, each with its own balloon.
    EXPECT_EQ(
        QSet<QString>(presenter.balloons.end() - 2, presenter.balloons.end()),
        (QSet<QString>{"アップロードに成功しました。",
                       "empty:アップロード対象ファイルはありません。アップロードを終了します。"}));
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal);
    EXPECT_EQ(
        Fields(Setting("isUploading1"), Setting("LastUploadFlag1"), Setting("LastUploadFlag2")),
        "0|成功|成功");
    EXPECT_NE(Setting("LastUploadEndTime1"), "0000/00/00 00:00");
    // The run reports say the runs were started for every job, and the schedule
    // goes on afterwards.
    QStringList reports;
    for (const picojson::value& e : ReadJournal(emulator))
        if (const std::string q = Str(e, "query"); q.find("isAllUpload=") != std::string::npos)
            reports << QString::fromStdString(q).section("isAllUpload=", 1).section('&', 0, 0);
    EXPECT_EQ(reports, QStringList(4, "true")) << "start and end of each run";
    EXPECT_TRUE(window.schedulerRunning());

    // A compressed run of a new file ends as a success too.
    CTorval2UploadList list(ConfigPath());
    ASSERT_TRUE(list.Load());
    list.GetJob(0)->CompressionEnable = true;
    list.GetJob(0)->CompressionFilename = "z";
    ASSERT_TRUE(list.Save() && putFile(home.path() + "/first/new.txt", "new"));
    presenter.balloons.clear();
    window.UploadNowAll();
    afterRuns(window);
    EXPECT_TRUE(presenter.balloons.contains("アップロードに成功しました。"))
        << presenter.balloons.join('|').toStdString();
}

// An interrupted run fails and the request is cleared after the last run; a
// failed run shows the error until the log is opened; a run that finds no
// free slot leaves its job not marked as uploading.
TEST_F(TrayTest, InterruptedFailedAndSlotlessRuns) {
    AddJob(home.path(), "job", 3);
    fault(R"({"path": ":entity$", "delayMs": 1500, "times": 0})");
    CTrayWnd window(presenter);
    QSignalSpy log(&window, &CTrayWnd::showLogRequested);
    window.UploadNowAll();
    EXPECT_TRUE(Menu(window).contains(" 中断 ")) << Menu(window).toStdString();
    // While the first file is held, the run's line stands greyed above "中断"
    // and reaches the tooltip; it goes with the last run.
    const QRegularExpression line(R"(- \(job: アップロード中 0/3 ファイル \d+ B / 12 B\) 中断 )");
    EXPECT_TRUE(WaitFor([&] { return line.match(Menu(window)).hasMatch(); }))
        << Menu(window).toStdString();
    EXPECT_TRUE(WaitFor([&] { return !presenter.progress.isEmpty(); }));
    EXPECT_TRUE(presenter.progress.last().value(0).startsWith("job: "));
    window.onCommand(CTrayWnd::kInterrupt);
    EXPECT_EQ(Fields(window.stopRequested().load(), presenter.balloons.last(),
                     Menu(window).contains(" 中断 ")),
              "1|アップロードを中断します。|1");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Interrupting);
    EXPECT_TRUE(afterRuns(window).endsWith("|失敗"));
    EXPECT_EQ(Fields(window.stopRequested().load(), Menu(window).contains(" (中断) ")), "0|1");
    EXPECT_EQ(presenter.progress.last(), QStringList());

    HttpsClient(emulator).del("/_emulator/faults");
    fault(R"({"path": ":entity$", "status": 500, "times": 0})");
    window.UploadNowAll();
    EXPECT_EQ(afterRuns(window), "アップロード中にエラーが発生しました。|失敗");
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Error);
    EXPECT_TRUE(window.errorPending());
    window.onCommand(CTrayWnd::kShowLog);
    EXPECT_FALSE(window.errorPending());
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Normal);
    ASSERT_EQ(log.count(), 1);
    EXPECT_TRUE(log.at(0).at(0).toString().contains("job のアップロードを終了しました"));
    // A run whose checks got no answer says why.
    fault(R"({"path": "/currentPortal$", "status": 503})");
    window.UploadNowAll();
    EXPECT_EQ(
        afterRuns(window),
        "アップロード中にエラーが発生しました。\nサーバがエラーを返しました（HTTP 503）。|失敗");

    // Twenty runs held at their first request fill every slot.
    HttpsClient(emulator).del("/_emulator/faults");
    fault(R"({"path": "/currentPortal$", "delayMs": 4000, "times": 0})");
    UploadJob* job = window.jobList().GetJob(0);
    for (int i = 0; i <= CTrayWnd::kSlots; ++i)
        window.StartUploadRun(*job, 0);
    EXPECT_EQ(window.runsInUse(), 20);
    EXPECT_FALSE(job->isUploading);
    EXPECT_EQ(Setting("isUploading1"), "0");
    HttpsClient(emulator).del("/_emulator/faults");
    ASSERT_TRUE(WaitFor([&] { return window.runsInUse() == 0; }));
}

// Without mail addresses or a key the download address leads the texts; the
// share dialog's test sends both.
TEST_F(TrayTest, GuestShareRunEndsInTheCompletedTexts) {
    ASSERT_TRUE(putFile(home.path() + "/share.txt", "for the guests"));
    CTrayWnd window(presenter);
    QSignalSpy done(&window, &CTrayWnd::guestShareCompleted);
    GuestShareRequest request;
    request.files = {home.path() + "/share.txt"};
    request.expiry = "2030/01/31";
    window.StartGuestShareRun(request);
    EXPECT_EQ(presenter.balloons.last(), "ゲスト共有ファイルのアップロードを開始します。");
    EXPECT_EQ(afterRuns(window), "アップロードに成功しました。|<missing>");
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(done.at(0).at(0).toString(), "以下のダウンロード専用URLをご案内ください。");
    EXPECT_TRUE(done.at(0).at(1).toString().contains(
        QRegularExpression("^https://www.torval2.jp/document/file/share/download\\?shareId=.*"
                           "\r\n\r\n有効期限：2030/01/31\r\n$")));
}

// The block check stops at the first failed request, and asks only the
// user's own portal; a failed options request keeps the options it had.
// Once the service blocks, every check shows the warning again.
TEST_F(TrayTest, BlockCheckEndsAtTheFirstFailure) {
    CTrayWnd window(presenter);
    HttpsClient control(emulator);
    window.CheckWebDavBlock();
    EXPECT_TRUE(presenter.balloons.isEmpty()) << "autoBlock option off: no block request";
    // Options with autoBlock on from an earlier check.
    const std::string autoBlockOn =
        R"({"path": "/options$", "json": {"options": [{"name": "autoBlock", "enabled": true}]},)";
    fault(autoBlockOn + R"("times": 1})");
    window.CheckWebDavBlock();
    // The failing request, then the paths asked after the base path.
    for (const auto& [failing, expected] :
         {std::pair{"/currentUser$", "/currentUser"},
          {"/options$", "/currentUser /portal/1/options"},
          {"/autoBlock$", "/currentUser /portal/1/options /portal/1/autoBlock"}}) {
        SCOPED_TRACE(failing);
        ASSERT_EQ(control.del("/_emulator/journal").status, 204);
        fault(std::string(R"({"path": ")") + failing + R"(", "status": 500, "times": 0})");
        window.CheckWebDavBlock();
        ASSERT_EQ(control.del("/_emulator/faults").status, 204);
        QStringList asked;
        for (const auto& entry : ReadJournal(emulator))
            asked << QString::fromStdString(entry.get("path").to_str()).section("/api/v1/", 1);
        asked.removeDuplicates();  // the authentication challenge
        EXPECT_EQ(asked.join(' '), expected);
        EXPECT_TRUE(presenter.balloons.isEmpty());
    }

    fault(autoBlockOn + R"("times": 0})");
    fault(R"({"autoBlock": {"blockCount": 3}, "times": 2})");
    for (int shown = 1; shown <= 2; ++shown) {
        window.CheckWebDavBlock();
        ASSERT_EQ(presenter.balloons.size(), shown) << "every detection shows the balloon again";
        EXPECT_TRUE(presenter.balloons.last().startsWith(
            "禁止操作が検出されたため、WebDAVの利用が制限されました。"));
    }
    EXPECT_TRUE(logger.ReadLogText().contains("WebDAVの利用の遮断が検知されました。3回目"));
}

TEST_F(TrayTest, DriveMappingAtStartReportsItsOutcome) {
    // A home and session of the test's own: no real drive is touched.
    EnvGuard homeGuard("HOME", QFile::encodeName(home.path()).constData());
    EnvGuard runtime("XDG_RUNTIME_DIR", QFile::encodeName(home.path()).constData());
    EnvGuard bus("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    setConfig("UseMyComputer", "ON");
    setConfig("DriveLetter", "Z:");
    CTrayWnd window(presenter);
    window.OnCreate();
    // Interrupted before its first round, the mapping cannot succeed.
    window.onCommand(CTrayWnd::kInterrupt);
    const QString failed = "ドライブレター登録に失敗しました。";
    ASSERT_TRUE(WaitFor([&] { return presenter.balloons.contains(failed); }));
    EXPECT_EQ(presenter.icons.back(), TrayIcon::Error);
    EXPECT_TRUE(logger.ReadLogText().contains(failed));
}

TEST_F(TrayTest, ClosingTheTrayEndsTheAddOnCompanion) {
    ASSERT_TRUE(QFile::copy("/bin/sleep", home.path() + "/Tv2AuthHook"));
    QProcess companion;
    companion.start(home.path() + "/Tv2AuthHook", {"60"});
    ASSERT_TRUE(companion.waitForStarted());
    delete new CTrayWnd(presenter);
    EXPECT_TRUE(companion.waitForFinished(5000));
    EXPECT_EQ(companion.exitStatus(), QProcess::CrashExit) << "ended by the tray";
}

// Quitting from the menu while the update check waits for a stalled list
// stops the check at once: its worker ends and tries no other server.
TEST_F(TrayTest, QuittingStopsAStalledUpdateCheck) {
    EmulatorProcess files("none", {"--files", QDir::tempPath().toStdString() + "/none"});
    const QString server = QString("https://127.0.0.1:%1/files").arg(files.port());
    setProgram("Server", "Server1", server);
    setProgram("AutoUpload", "CAFile", QString::fromStdString(files.certificate().string()));
    const EnvGuard fallback("QUILLON_UPDATE_SERVER", (server + "/default").toUtf8());
    ASSERT_EQ(HttpsClient(files).post("/_emulator/faults", R"({"kind": "stall"})").status, 200);
    CTrayWnd window(presenter);
    QObject::connect(&window, &CTrayWnd::quitRequested, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    ClientUpdate update;
    update.start();
    ASSERT_TRUE(WaitFor([&] { return !ReadJournal(files).empty(); }));

    window.onCommand(CTrayWnd::kQuit);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(update.stop(std::chrono::seconds(20)));
    EXPECT_FALSE(logger.ReadLogText().contains("デフォルトサーバに接続します。"));
}

}  // namespace
