#include "CTrayWnd.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

class SilentPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString&) override {}
    void showMessage(const QString&) override {}
    bool ask(const QString&) override { return false; }
};

TEST(TrayShutdownTest, ClosingTheTrayEndsTheAddOnCompanion) {
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "tray-shutdown-test";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
    TempDataHome home;
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy("/bin/sleep", dir.path() + "/Tv2AuthHook"));
    QProcess companion;
    companion.start(dir.path() + "/Tv2AuthHook", {"60"});
    ASSERT_TRUE(companion.waitForStarted());
    {
        SilentPresenter presenter;
        CTrayWnd window(presenter);
        EXPECT_EQ(companion.state(), QProcess::Running);
    }
    EXPECT_TRUE(companion.waitForFinished(5000));
    EXPECT_EQ(companion.exitStatus(), QProcess::CrashExit) << "ended by the tray, not by itself";
}

}  // namespace
