#pragma once

// What the tray window and dialog tests share: the program's one application,
// a data home with the emulator and its fault rules, a recording presenter,
// jobs on disk, and a wait that keeps the event loop turning.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

#include <gtest/gtest.h>

#include <memory>

#include "CTorval2UploadList.h"
#include "ConfigPaths.h"
#include "ProfileFile.h"
#include "RestEmulatorTest.h"
#include "TrayPresenter.h"

// The application (QApplication or QCoreApplication), made before the first
// test and ended after the last one, before the static objects that the test
// library's pointing device lives in. Register it once per program.
template <class App>
class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 3;
        static char name[] = "tray-test";
        static char platform[] = "-platform";
        static char offscreen[] = "offscreen";
        static char* argv[] = {name, platform, offscreen, nullptr};
        app_ = std::make_unique<App>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<App> app_;
};

// The client, over basic authentication, pointed at a started emulator with
// a data home of the test's own.
class EmulatorTest : public RestEmulatorTest {
protected:
    EmulatorTest() : RestEmulatorTest("basic") {}
};

// Runs the event loop until cond holds or 60 s pass.
template <typename Cond>
bool WaitFor(Cond cond) {
    QDeadlineTimer deadline(60000);
    while (!cond() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return cond();
}

inline QString Setting(const QString& key) {
    return ProfileFile::readString("Config", key, "<missing>", ConfigPath());
}

// A job uploading folder/name (made, holding `files` small files) to
// /Velmora, added to the stored list; no weekday ticked, so only the tests
// start it.
inline void AddJob(const QString& folder, const QString& name, int files) {
    CTorval2UploadList list(ConfigPath());
    ASSERT_TRUE(list.Load());
    UploadJob j;
    j.Name = name;
    j.HotFolder = folder + "/" + name;
    ASSERT_TRUE(QDir().mkpath(j.HotFolder));
    for (int i = 0; i < files; ++i)
        ASSERT_TRUE(putFile(j.HotFolder + QStringLiteral("/f%1.txt").arg(i), "data"));
    j.OrrinPortalFolder = "/Velmora";
    j.SyncTime1Type = true;
    j.SyncTime1Week = "0000000";
    ASSERT_TRUE(list.AddJob(j) && list.Save());
}

class RecordingPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon icon) override { icons.push_back(icon); }
    void showBalloon(const QString& text) override { balloons << text; }
    void showMessage(const QString& text) override { messages << text; }
    bool ask(const QString& text) override {
        questions << text;
        return answer;
    }
    void showProgress(const QStringList& lines) override { progress << lines; }
    std::vector<TrayIcon> icons;
    QStringList balloons, messages, questions;
    QList<QStringList> progress;
    bool answer = true;
};
