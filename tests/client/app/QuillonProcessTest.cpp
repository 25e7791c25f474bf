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

#include "EventLogSupport.h"
#include "RestEmulatorTest.h"

namespace {

// The guest share check's result, which every start writes once.
const QRegularExpression kResult(QStringLiteral("^ゲスト共有(が可能です|はできません)。$"));

// The events of a data home's store, oldest first; empty while there is none.
QStringList Events(const TempDataHome& home) {
    const QString path = home.file(QStringLiteral("EventLog.sqlite"));
    if (!QFile::exists(path))
        return {};
    return RawStore(path)
        .text(
            "SELECT group_concat(message, char(31)) FROM (SELECT message FROM events ORDER BY id)")
        .split(QChar(31), Qt::SkipEmptyParts);
}

// One copy of the program with its own data home and runtime folder, ended
// (by SIGTERM) at the latest when the object goes.
class Client : public QProcess {
public:
    Client(const QString& dataHome, const QString& runtimeFolder) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        setProcessEnvironment(env);
        start(QStringLiteral(QUILLON_PROGRAM), {});
        waitForStarted();
    }
    ~Client() override { stop(); }
    bool running() { return !waitForFinished(0) && state() == QProcess::Running; }
    void stop() {
        terminate();
        if (!waitForFinished(10000))
            kill();
        waitForFinished();
    }
};

// Waits (at most a minute) until cond holds.
template <typename Cond>
bool WaitUntil(Cond cond) {
    for (QDeadlineTimer deadline(60000); !cond(); QThread::msleep(50)) {
        if (deadline.hasExpired())
            return false;
    }
    return true;
}

class QuillonProcessTest : public RestEmulatorTest {
protected:
    QTemporaryDir runtime;
};

// Every start checks the guest share once, reports that check's result, and
// the menu shows the guest share item exactly when sharing is possible.
TEST_F(QuillonProcessTest, GuestShareCheckAtStartReportsItsOwnResult) {
    setConfig("Debug", "ON");
    const std::filesystem::path config =
        emulator.repository() / "Velmora" / ".settings" / "share-config.ini";
    for (const bool suppressed : {false, true}) {
        std::ofstream(config) << "password=0\nemail=0\nsuppress-file-share="
                              << (suppressed ? "1" : "0") << "\n";
        for (int start = 1; start <= 20; ++start) {
            SCOPED_TRACE(testing::Message() << "suppressed " << suppressed << ", start " << start);
            const qsizetype before = Events(home).filter(kResult).size();
            Client client(home.path(), runtime.path());
            // Settled: a result of this start, and the menu rebuilt after it.
            QStringList events;
            ASSERT_TRUE(WaitUntil([&] {
                events = Events(home);
                const qsizetype last = events.lastIndexOf(kResult);
                return events.filter(kResult).size() > before &&
                       events.indexOf(QRegularExpression("menu: .*"), last) > last;
            }));
            client.stop();
            events = Events(home);
            EXPECT_EQ(events.filter(kResult).size(), before + 1) << "one check per start";
            EXPECT_EQ(events.filter(QStringLiteral("ゲスト共有可否チェックが完了しました")).size(),
                      before + 1);
            EXPECT_EQ(events.filter(kResult).last(),
                      suppressed ? "ゲスト共有はできません。" : "ゲスト共有が可能です。");
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
    QTemporaryDir otherRuntime;
    Client first(home.path(), runtime.path());
    ASSERT_TRUE(WaitUntil([&] { return !Events(home).filter(kResult).isEmpty(); }));
    // What a start or a refused lock writes; the first copy may go on writing
    // its own events meanwhile.
    const QRegularExpression ownEvents(QStringLiteral("^ゲスト共有|^多重起動"));
    const QStringList eventsBefore = Events(home).filter(ownEvents);

    Client second(home.path(), otherRuntime.path());
    ASSERT_TRUE(second.waitForFinished(30000)) << "a second copy on the same data folder ends";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(Events(home).filter(ownEvents), eventsBefore) << "silently";
    EXPECT_TRUE(first.running());

    {
        TempDataHome demo;
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        Client beside(demo.path(), runtime.path());
        EXPECT_TRUE(WaitUntil([&] { return !Events(demo).filter(kResult).isEmpty(); }))
            << "another data folder runs beside the first";
        EXPECT_TRUE(beside.running());
    }

    first.stop();
    // Offscreen there is no tray: nothing for the user to act on is printed.
    EXPECT_EQ(first.readAllStandardError().toStdString(), "");
    {
        // Ended by a signal, the first copy left no lock behind.
        const qsizetype before = Events(home).filter(kResult).size();
        Client again(home.path(), otherRuntime.path());
        EXPECT_TRUE(WaitUntil([&] { return Events(home).filter(kResult).size() > before; }));
    }
    // A folder where the lock file must be: it cannot be created.
    const QString lockFile = home.file(QStringLiteral("TORVAL2 クライアントツール.lock"));
    ASSERT_TRUE(QFile::remove(lockFile));
    ASSERT_TRUE(QDir().mkpath(lockFile));
    Client blocked(home.path(), runtime.path());
    ASSERT_TRUE(blocked.waitForFinished(30000));
    EXPECT_NE(blocked.exitCode(), 0);
    EXPECT_TRUE(Events(home).last().startsWith(QStringLiteral("多重起動防止用のファイル（")));
}

}  // namespace
