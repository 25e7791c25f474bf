// The Quillon program itself, started as a real process (offscreen) against
// the storage emulator: what it logs, how many copies run, what it prints.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fstream>

#include "ControlServer.h"
#include "EventLogSupport.h"
#include "Fields.h"
#include "TrayFixtures.h"

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

// The program's environment for a data home: offscreen, or (headless) with
// no display at all.
QProcessEnvironment Environment(const QString& dataHome, const QString& runtimeFolder,
                                bool headless = false) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!headless)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// One copy of the program with its own data home and runtime folder, ended
// (by SIGTERM) at the latest when the object goes.
class Client : public QProcess {
public:
    Client(const QString& dataHome, const QString& runtimeFolder, bool headless = false) {
        setProcessEnvironment(Environment(dataHome, runtimeFolder, headless));
        start(QStringLiteral(QUILLON_PROGRAM),
              headless ? QStringList{QStringLiteral("--headless")} : QStringList{});
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

// Quillon run with args (without a display): exit status and standard output.
std::pair<int, QString> Command(const QString& dataHome, const QStringList& args) {
    QProcess command;
    command.setProcessEnvironment(Environment(dataHome, QDir::tempPath(), true));
    command.start(QStringLiteral(QUILLON_PROGRAM), args);
    command.waitForFinished(30000);
    return {command.exitCode(), QString::fromLocal8Bit(command.readAllStandardOutput())};
}

// Sends raw bytes to the client's socket; its reply.
picojson::value Raw(const TempDataHome& home, const QByteArray& bytes) {
    QLocalSocket socket;
    socket.connectToServer(ControlServer::SocketPath(home.productFolder()));
    socket.waitForConnected(5000);
    socket.write(bytes);
    QByteArray reply;
    while (!reply.endsWith('\n') && socket.waitForReadyRead(10000))
        reply += socket.readAll();
    picojson::value value;
    picojson::parse(value, reply.toStdString());
    return value;
}

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
    // It opens the first copy's settings, which check the guest share again.
    EXPECT_TRUE(
        WaitUntil([&] { return Events(home).filter(ownEvents).size() > eventsBefore.size(); }));
    EXPECT_EQ(Events(home).filter(QStringLiteral("多重起動")), QStringList()) << "silently";
    EXPECT_TRUE(first.running());

    {
        TempDataHome demo;
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        Client beside(demo.path(), runtime.path());
        EXPECT_TRUE(WaitUntil([&] { return !Events(demo).filter(kResult).isEmpty(); }))
            << "another data folder runs beside the first";
        EXPECT_TRUE(beside.running());
        // Each copy answers for its own data folder only.
        EXPECT_EQ(Command(demo.path(), {"--quit"}).first, 0);
        EXPECT_TRUE(beside.waitForFinished(30000));
        EXPECT_TRUE(first.running());
    }

    first.stop();
    // Offscreen there is no tray: nothing for the user to act on is printed
    // (but the offscreen platform's note on the settings dialog's window).
    EXPECT_EQ(QString::fromLocal8Bit(first.readAllStandardError())
                  .remove(QStringLiteral("This plugin does not support propagateSizeHints()\n")),
              "");
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

// The command line against a running client, on a desktop and headless:
// its status, an upload of one job, pause and resume, refusals, a garbage
// request that changes nothing, and the end.
TEST_F(QuillonProcessTest, CommandLineControlsTheRunningClient) {
    AddJob(home.path(), "first", 2);
    AddJob(home.path(), "second", 1);
    auto status = [&] {
        const auto [code, out] = Command(home.path(), {"--status", "--json"});
        picojson::value value;
        EXPECT_EQ(picojson::parse(value, out.toStdString()), "") << code << out.toStdString();
        return value;
    };
    auto job = [&](int n, const char* field) {
        return QString::fromStdString(status().get("jobs").get(n - 1).get(field).to_str());
    };
    for (const bool headless : {false, true}) {
        SCOPED_TRACE(headless ? "headless" : "desktop");
        EXPECT_EQ(Command(home.path(), {"--status"}).first, 3) << "no client";
        Client client(home.path(), runtime.path(), headless);
        ASSERT_TRUE(WaitUntil([&] { return Command(home.path(), {"--status"}).first == 0; }));
        const QFileInfo socket(ControlServer::SocketPath(home.productFolder()));
        EXPECT_EQ(socket.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                           QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
                  0);
        const picojson::value before = status();
        EXPECT_EQ(
            Fields(QString::fromStdString(before.get("state").to_str()),
                   QString::fromStdString(before.get("account").to_str()),
                   before.get("jobs").get<picojson::array>().size(), job(2, "number"),
                   job(2, "name"), job(2, "running"), job(2, "progress"), job(2, "nextStart")),
            "idle|taro@velmora|2|2|second|false|null|null");
        EXPECT_TRUE(QRegularExpression("^\\d+\\.\\d+\\.\\d+\\.\\d+$")
                        .match(QString::fromStdString(before.get("version").to_str()))
                        .hasMatch());

        // Job 1 first, then all: job 2 sends its file, job 1 has nothing new.
        const int n = headless ? 2 : 1;
        QFile::remove(repository("/Velmora/f0.txt"));
        EXPECT_NE(job(n, "lastResult"), "成功");
        // The first file's sending is slowed, so the status shows it under way.
        fault(R"({"path": ":entity$", "delayMs": 3000, "times": 1})");
        EXPECT_EQ(Command(home.path(), {"--upload-now", headless ? "all" : "1"}).first, 0);
        picojson::value p;
        EXPECT_TRUE(WaitUntil([&] {
            p = status().get("jobs").get(n - 1).get("progress");
            return p.is<picojson::object>() && p.get("phase").to_str() == "uploading";
        }));
        auto field = [&](const char* name) { return QString::fromStdString(p.get(name).to_str()); };
        EXPECT_EQ(Fields(field("filesTotal"), field("bytesTotal")), headless ? "1|4" : "2|8");
        EXPECT_LE(field("filesDone").toInt(), field("filesTotal").toInt());
        EXPECT_TRUE(Command(home.path(), {"--status"}).second.contains("進行: アップロード中"));
        EXPECT_TRUE(QRegularExpression("^f[01]\\.txt$").match(field("currentFile")).hasMatch());
        EXPECT_TRUE(WaitUntil([&] {
            return job(n, "lastResult") == "成功" && job(1, "running") == "false" &&
                   job(2, "running") == "false";
        }));
        EXPECT_EQ(repositoryFile("/Velmora/f0.txt"), "data");
        EXPECT_NE(job(n, "lastBackup"), "");

        // A refusal, usage errors, and garbage on the socket: the client goes on.
        for (const auto& [args, code] :
             std::vector<std::pair<QStringList, int>>{{{"--upload-now", "3"}, 1},
                                                      {{"--resume"}, 1},
                                                      {{"--interrupt"}, 1},
                                                      {{"--upload-now", "x"}, 2},
                                                      {{"--stop"}, 2},
                                                      {{"--help"}, 0}})
            EXPECT_EQ(Command(home.path(), args).first, code) << args.join(' ').toStdString();
        for (const QByteArray& garbage :
             {QByteArray("{\"command\"\n"), QByteArray("[1]\n"),
              QByteArray("{\"command\":\"x\"}\n"), QByteArray(ControlServer::kMaxRequest + 1, ' ')})
            EXPECT_EQ(Raw(home, garbage).get("ok").to_str(), "false") << garbage.left(20).data();
        EXPECT_EQ(Command(home.path(), {"--pause"}).first, 0);
        EXPECT_EQ(status().get("state").to_str(), "paused");
        EXPECT_EQ(Command(home.path(), {"--resume"}).first, 0);
        EXPECT_EQ(status().get("state").to_str(), "idle");

        EXPECT_EQ(Command(home.path(), {"--quit"}).first, 0);
        ASSERT_TRUE(client.waitForFinished(30000));
        EXPECT_EQ(client.exitCode(), 0);
    }
}

}  // namespace
