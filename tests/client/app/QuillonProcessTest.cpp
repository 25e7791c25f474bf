// The Quillon program itself, started as a real process (offscreen) against
// the storage emulator: what it logs, how many copies run, what it prints.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fstream>

#include "ConfigPaths.h"
#include "EmulatorClient.h"
#include "EmulatorProcess.h"
#include "EventLogSupport.h"
#include "TestSupport.h"

namespace {

const QString kAvailable = QStringLiteral("ゲスト共有が可能です。");
const QString kNotAvailable = QStringLiteral("ゲスト共有はできません。");

// The events of a data folder's store, oldest first; empty while there is none.
QStringList Events(const QString& productFolder) {
    const QString path = productFolder + QStringLiteral("/EventLog.sqlite");
    if (!QFile::exists(path))
        return {};
    RawStore store(path);
    return store
        .text(
            "SELECT group_concat(message, char(31)) FROM (SELECT message FROM events "
            "ORDER BY id)")
        .split(QChar(31), Qt::SkipEmptyParts);
}

// One copy of the program with its own data home and runtime folder.
class Client {
public:
    Client(const QString& dataHome, const QString& runtimeFolder) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process_.setProcessEnvironment(env);
        process_.start(QStringLiteral(QUILLON_PROGRAM), {});
        process_.waitForStarted();
    }
    ~Client() { stop(); }
    bool running() { return !process_.waitForFinished(0) && process_.state() == QProcess::Running; }
    bool waitForExit(int ms) { return process_.waitForFinished(ms); }
    int exitCode() const { return process_.exitCode(); }
    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(10000))
                process_.kill();
            process_.waitForFinished();
        }
    }
    QString errorOutput() { return QString::fromLocal8Bit(process_.readAllStandardError()); }

private:
    QProcess process_;
};

// Waits (at most ms) until cond holds.
template <typename Cond>
bool WaitUntil(Cond cond, int ms = 60000) {
    QDeadlineTimer deadline(ms);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

class QuillonProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator.started());
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        ASSERT_TRUE(runtime.isValid());
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    TempDataHome home;
    EmulatorProcess emulator;
    QTemporaryDir runtime;
};

// Every start checks the guest share once, reports that check's result, and
// the menu shows the guest share item exactly when sharing is possible.
TEST_F(QuillonProcessTest, GuestShareCheckAtStartReportsItsOwnResult) {
    ASSERT_TRUE(ProfileFile::writeString("Config", "Debug", "ON", ConfigPath()));
    const std::filesystem::path config =
        emulator.repository() / "Velmora" / ".settings" / "share-config.ini";
    const QRegularExpression result(QStringLiteral("^ゲスト共有(が可能です|はできません)。$"));
    for (const bool suppressed : {false, true}) {
        std::ofstream(config) << "password=0\nemail=0\nsuppress-file-share="
                              << (suppressed ? "1" : "0") << "\n";
        for (int start = 1; start <= 20; ++start) {
            SCOPED_TRACE(testing::Message() << "suppressed " << suppressed << ", start " << start);
            const qsizetype before = Events(home.productFolder()).filter(result).size();
            Client client(home.path(), runtime.path());
            // Settled: a result of this start, and the menu rebuilt after it.
            QStringList events;
            ASSERT_TRUE(WaitUntil([&] {
                events = Events(home.productFolder());
                const qsizetype last = events.lastIndexOf(result);
                return events.filter(result).size() > before &&
                       events.indexOf(QRegularExpression("menu: .*"), last) > last;
            }));
            client.stop();
            events = Events(home.productFolder());
            EXPECT_EQ(events.filter(result).size(), before + 1) << "one check per start";
            EXPECT_EQ(events.filter(QStringLiteral("ゲスト共有可否チェックが完了しました")).size(),
                      before + 1);
            EXPECT_EQ(events.filter(result).last(), suppressed ? kNotAvailable : kAvailable);
            const QString menu = events.filter(QRegularExpression("^menu: ")).last();
            EXPECT_EQ(menu.contains(QStringLiteral("ゲスト共有")), !suppressed)
                << menu.toStdString();
        }
    }
}

// One copy per data folder: a second copy on the same folder ends silently
// whatever its runtime folder; another data folder runs beside it; the lock
// goes with the process however it ends; a lock file that cannot be made is
// logged and ends the copy.
TEST_F(QuillonProcessTest, OneCopyPerDataFolder) {
    const QRegularExpression result(QStringLiteral("^ゲスト共有(が可能です|はできません)。$"));
    QTemporaryDir otherRuntime;
    Client first(home.path(), runtime.path());
    ASSERT_TRUE(WaitUntil([&] { return !Events(home.productFolder()).filter(result).isEmpty(); }));
    const QStringList eventsBefore = Events(home.productFolder());

    Client second(home.path(), otherRuntime.path());
    ASSERT_TRUE(second.waitForExit(30000)) << "a second copy on the same data folder ends";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(Events(home.productFolder()), eventsBefore) << "silently";
    EXPECT_TRUE(first.running());

    {
        TempDataHome demo;
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        Client beside(demo.path(), runtime.path());
        EXPECT_TRUE(WaitUntil([&] {
            return !Events(demo.productFolder()).filter(result).isEmpty();
        })) << "another data folder runs beside the first";
        EXPECT_TRUE(beside.running());
    }

    first.stop();
    // Offscreen there is no tray: nothing for the user to act on is printed.
    EXPECT_EQ(first.errorOutput().toStdString(), "");
    {
        // Ended by a signal, the first copy left no lock behind.
        const qsizetype before = Events(home.productFolder()).filter(result).size();
        Client again(home.path(), otherRuntime.path());
        EXPECT_TRUE(
            WaitUntil([&] { return Events(home.productFolder()).filter(result).size() > before; }));
    }
    // A folder where the lock file must be: it cannot be created.
    const QString lockFile = home.file(QStringLiteral("TORVAL2 クライアントツール.lock"));
    ASSERT_TRUE(QFile::remove(lockFile));
    ASSERT_TRUE(QDir().mkpath(lockFile));
    Client blocked(home.path(), runtime.path());
    ASSERT_TRUE(blocked.waitForExit(30000));
    EXPECT_NE(blocked.exitCode(), 0);
    EXPECT_TRUE(Events(home.productFolder())
                    .last()
                    .startsWith(QStringLiteral("多重起動防止用のファイル（")));
}

}  // namespace
