// The tray icon's menu as the presenter builds it, without the host ever
// announcing that it is about to show it; the settings dialog it opens.
#include "QtTrayPresenter.h"

#include <QAction>
#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include "CLogWriter.h"
#include "CTorval2ControlDlg.h"
#include "CTrayWnd.h"
#include "TrayFixtures.h"

namespace {

const auto* const kApp = ::testing::AddGlobalTestEnvironment(new AppEnvironment<QApplication>);

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
    Fault(emulator, R"({"path": "/currentPortal$", "delayMs": 1500})");

    CLogWriter logger;
    QtTrayPresenter presenter(logger);
    CTrayWnd window(presenter, &presenter);
    presenter.attach(window);
    const QString idle =
        "いますぐアップロード 設定 - エラー確認 - バージョン情報 - (中断) 休止 - 終了";
    QString running = idle, paused = idle, shareable = idle;
    running.replace("(中断)", "中断");
    paused.replace("休止", "休止解除");
    shareable.replace("設定", "ゲスト共有 設定");
    auto always = [] { return true; };
    const struct {
        std::function<void()> act;
        std::function<bool()> done;
        QString menu;
    } steps[] = {
        {[] {}, always, idle},
        {[&] { window.onCommand(CTrayWnd::kPause); }, always, paused},
        {[&] { window.onCommand(CTrayWnd::kPause); }, always, idle},
        {[&] { window.StartUploadRun(*window.jobList().GetJob(0), 0); }, always, running},
        {[&] { window.onCommand(CTrayWnd::kInterrupt); }, always, running},
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
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            count += qobject_cast<CTorval2ControlDlg*>(w) && w->isVisible();
        EXPECT_EQ(count, 1);
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
