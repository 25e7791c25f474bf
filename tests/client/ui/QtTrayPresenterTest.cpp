// The tray icon's menu as the presenter builds it, without the host ever
// announcing that it is about to show it.
#include "QtTrayPresenter.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include "CLogWriter.h"
#include "CTrayWnd.h"
#include "ConfigPaths.h"
#include "EmulatorClient.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

namespace {

QApplication& App() {
    static int argc = 3;
    static char name[] = "tray-ui-test";
    static char platform[] = "-platform";
    static char offscreen[] = "offscreen";
    static char* argv[] = {name, platform, offscreen, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// The menu's texts, greyed ones in parentheses, separators as "-".
std::string Texts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* a : menu.actions())
        texts << (a->isSeparator() ? QStringLiteral("-")
                  : a->isEnabled() ? a->text()
                                   : QLatin1Char('(') + a->text() + QLatin1Char(')'));
    return texts.join(' ').toStdString();
}

template <typename Cond>
bool WaitFor(Cond cond) {
    QDeadlineTimer deadline(60000);
    while (!cond() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return cond();
}

TEST(QtTrayPresenterTest, MenuFollowsTheStateWithoutBeingAskedToShow) {
    App();
    TempDataHome home;
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.started());
    ASSERT_TRUE(PointClientAtEmulator(emulator));
    {
        CTorval2UploadList list(ConfigPath());
        UploadJob job;
        job.Name = "job";
        job.HotFolder = home.path() + "/hot";
        job.OrrinPortalFolder = "/Velmora";
        QDir().mkpath(job.HotFolder);
        QFile f(job.HotFolder + "/a.txt");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("a");
        ASSERT_TRUE(list.Load() && list.AddJob(job) && list.Save());
    }
    // The run stays under way long enough to be seen.
    HttpsClient control(emulator);
    ASSERT_EQ(
        control.post("/_emulator/faults", R"({"path": "/currentPortal$", "delayMs": 1500})").status,
        200);

    CLogWriter logger;
    QtTrayPresenter presenter(logger);
    CTrayWnd window(presenter, &presenter);
    presenter.attach(window);
    const QStringList idle = {"いますぐアップロード",
                              "設定",
                              "-",
                              "エラー確認",
                              "-",
                              "バージョン情報",
                              "-",
                              "(中断)",
                              "休止",
                              "-",
                              "終了"};
    EXPECT_EQ(Texts(presenter.menu()), idle.join(" ").toStdString());

    QStringList paused = idle;
    paused[8] = "休止解除";
    QStringList running = idle;
    running[7] = "中断";
    QStringList shareable = idle;
    shareable.insert(1, "ゲスト共有");
    const struct {
        const char* what;
        std::function<void()> act;
        std::function<bool()> done;
        QStringList menu;
    } steps[] = {
        {"pause", [&] { window.onCommand(CTrayWnd::kPause); }, [] { return true; }, paused},
        {"resume", [&] { window.onCommand(CTrayWnd::kPause); }, [] { return true; }, idle},
        {"run start",
         [&] {
             window.jobList().Load();
             window.StartUploadRun(*window.jobList().GetJob(0), 0);
         },
         [] { return true; }, running},
        {"interrupt", [&] { window.onCommand(CTrayWnd::kInterrupt); }, [] { return true; },
         running},
        {"run end", [] {}, [&] { return window.runsInUse() == 0; }, idle},
        {"guest share check", [&] { window.StartGuestShareCheck(); },
         [&] { return window.guestShareAvailable(); }, shareable},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        ASSERT_TRUE(WaitFor(step.done));
        EXPECT_EQ(Texts(presenter.menu()), step.menu.join(" ").toStdString());
    }
}

}  // namespace
