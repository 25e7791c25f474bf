#include "CTrayWnd.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

struct SilentPresenter : TrayPresenter {
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString&) override {}
    void showMessage(const QString&) override {}
    bool ask(const QString&) override { return false; }
};

TEST(TrayShutdownTest, ClosingTheTrayEndsTheAddOnCompanion) {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("tray-shutdown-test"), nullptr};
    [[maybe_unused]] static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    TempDataHome home;
    ASSERT_TRUE(QFile::copy("/bin/sleep", home.path() + "/Tv2AuthHook"));
    QProcess companion;
    companion.start(home.path() + "/Tv2AuthHook", {"60"});
    ASSERT_TRUE(companion.waitForStarted());
    SilentPresenter presenter;
    delete new CTrayWnd(presenter);
    EXPECT_TRUE(companion.waitForFinished(5000));
    EXPECT_EQ(companion.exitStatus(), QProcess::CrashExit) << "ended by the tray";
}

}  // namespace
