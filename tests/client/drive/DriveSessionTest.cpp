// The drive for real, run by drive-session.sh inside a private session with
// GVfs and a keyring: a WebDAV server (scripts/webdav-server) over a folder
// standing for the storage's repository, mounted, used through the letter's
// entry point and unmounted.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include <thread>

#include "BackgroundDriveOperations.h"
#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "DriveEntryPoint.h"
#include "GvfsDriveOperations.h"
#include "MapDriveTask.h"
#include "SecretServiceStore.h"
#include "TestSupport.h"

namespace {

const QString kRealm = QStringLiteral("TORVAL2 WebDAV");
const QString kUser = QStringLiteral("demo@velmora");
// Blanks, quotes and a letter outside ASCII; Digest carries it as UTF-8.
const QString kPassword = QStringLiteral("pa ss\"wörd 'x");
const QString kRest = QStringLiteral("rest.example.test");

int Gio(const QStringList& arguments) {
    QProcess gio;
    gio.start(QStringLiteral("gio"), arguments);
    gio.closeWriteChannel();  // no prompt can be answered
    return gio.waitForFinished(30000) ? gio.exitCode() : -1;
}

// Also the sink of the mapping task.
class DriveSessionTest : public ::testing::Test, public TaskResultSink {
public:
    static void SetUpTestSuite() {
        // The server may run as another user (nobody, when the test runs as root).
        QFile::setPermissions(dir_->path(), QFile::permissions(dir_->path()) | QFile::ExeOther);
        ASSERT_TRUE(putFile(repository() + "/hello.txt", "hello from the storage\n"));
        address_ = "http://" + startServer(server_, "server");
        tlsAddress_ = "https://" + startServer(tlsServer_, "tls-server", {"tls"});
    }
    // The server's "host:port".
    static QString startServer(QProcess* server, const QString& state, QStringList extra = {}) {
        QDir(dir_->path()).mkpath(state);
        server->start(QStringLiteral(QUILLON_WEBDAV_SERVER),
                      QStringList{repository(), dir_->path() + "/" + state, kRealm, kUser} + extra);
        server->write(kPassword.toUtf8() + '\n');
        server->closeWriteChannel();
        server->waitForReadyRead(20000);
        return QString(server->readLine()).trimmed().section(' ', 2) + "/";
    }
    static void TearDownTestSuite() {
        for (QProcess* server : {server_, tlsServer_}) {
            server->terminate();
            server->waitForFinished(10000);
        }
    }
    static QString repository() { return dir_->path() + "/repository"; }
    // Stops or continues the server's processes: requests meanwhile wait.
    static void hold(bool held) {
        QProcess::execute("sh", {"-c", "pkill $0 -P $1; kill $0 $1", held ? "-STOP" : "-CONT",
                                 fileBytes(dir_->path() + "/server/httpd.pid").trimmed()});
    }

    void SetUp() override {
        QDir().mkpath(QFileInfo(ConfigPath()).path());
        ASSERT_TRUE(WriteSetting(ProgramSettings::WebDAVVista, address_, ProgramSettingsPath()));
        ASSERT_TRUE(WriteSetting(ProgramSettings::ApiHost, "https://" + kRest + "/api/v1/",
                                 ProgramSettingsPath()));
        setAccount("demo", kPassword);
        ASSERT_TRUE(WriteSetting(UserConfig::DriveLetter, "Z:", ConfigPath()));
    }
    void setAccount(const QString& id, const QString& password) {
        ASSERT_TRUE(WriteSetting(UserConfig::ID, id, ConfigPath()));
        ASSERT_TRUE(WriteSetting(UserConfig::PortalName, "velmora", ConfigPath()));
        ASSERT_TRUE(WriteSetting(UserConfig::Password, password, ConfigPath()));
    }
    static QString entry(QChar letter) { return DriveEntryPoint(letter).path(); }
    void taskFinished(TaskBlock block) override { mapped_ = block.result; }

    static inline QTemporaryDir* dir_ = new QTemporaryDir;
    static inline QProcess* server_ = new QProcess;
    static inline QProcess* tlsServer_ = new QProcess;
    static inline QString address_;
    static inline QString tlsAddress_;
    int mapped_ = -1;
    CLogWriter logger_{ConfigPath()};
    std::unique_ptr<DriveOperations> drive_ =
        CreateDriveOperations(ConfigPath(), ProgramSettingsPath(), logger_);
};

TEST_F(DriveSessionTest, MapsTheStorageUsesItThroughTheLetterAndUnmaps) {
    const QString bookmarks = DriveEntryPoint::bookmarksPath();
    ASSERT_TRUE(putFile(bookmarks, "file:///srv/music Music\n"));
    // A dangling link into the mount folder, left by a crash, is ours.
    ASSERT_TRUE(
        QFile::link(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/gvfs/dav:host=gone", entry('Z')));

    // Nothing stored yet: the password goes to the mount on standard input.
    drive_->ConnectDrive();
    EXPECT_TRUE(drive_->DriveAnswers());
    EXPECT_TRUE(logger_.ReadLogText().contains("標準入力で渡しました"));

    TaskBlock block;
    block.sink = this;
    MapDriveTask(std::move(block), *drive_, [](int, const std::atomic<int>*) {});
    ASSERT_EQ(mapped_, 1) << logger_.ReadLogText().toStdString();

    const QString root = entry('Z');
    EXPECT_EQ(fileBytes(root + "/hello.txt"), "hello from the storage\n");
    const QByteArray written = "written through the drive\n";
    ASSERT_TRUE(putFile(root + "/書類.txt", written));
    // The FUSE bridge sends the file when it is released, just after close.
    for (int i = 0; i < 100 && fileBytes(repository() + "/書類.txt") != written; ++i)
        QThread::msleep(100);
    EXPECT_EQ(fileBytes(repository() + "/書類.txt"), written);
    // A hung mount: the second check waits for the first, stuck in the kernel.
    hold(true);
    EXPECT_FALSE(drive_->DriveAnswers());
    EXPECT_FALSE(drive_->DriveAnswers());
    int waiting = 0;
    for (const QString& t : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        waiting += fileBytes("/proc/self/task/" + t + "/wchan") == "request_wait_answer";
    EXPECT_EQ(waiting, 1);
    hold(false);
    EXPECT_TRUE(drive_->DriveAnswers());

    // The bookmark names the storage: after a new login, with the mount gone
    // and the link dangling, it still mounts with the stored password.
    const QString uri = "dav://demo%40velmora@" + address_.mid(7);
    EXPECT_EQ(fileBytes(bookmarks).toStdString(),
              ("file:///srv/music Music\n" + uri + " TORVAL2 (Z)\n").toStdString());
    ASSERT_EQ(Gio({"mount", "-u", uri}), 0);
    EXPECT_EQ(Gio({"mount", uri}), 0);
    EXPECT_TRUE(drive_->LetterInUse("Z:"));

    // The REST host's record holds the password too (GVfs's own is used above).
    EXPECT_EQ(SecretServiceStore::lookup({kUser, kRest, "https", {}, {}, 443}, 9000), kPassword);

    const QString mount = QFileInfo(root).symLinkTarget();
    drive_->DisconnectDrive();
    EXPECT_FALSE(QFileInfo::exists(mount));
    EXPECT_FALSE(drive_->LetterInUse("Z:"));
    EXPECT_EQ(fileBytes(bookmarks), "file:///srv/music Music\n");
}

TEST_F(DriveSessionTest, ALateConnectDoesNotUndoALaterDisconnect) {
    BackgroundDriveOperations background(ConfigPath(), ProgramSettingsPath(), logger_);
    hold(true);
    background.ConnectDrive();
    std::thread release([] {
        QThread::sleep(2);
        hold(false);
    });
    background.DisconnectDrive();
    release.join();
    // A mapping still under way would show within these seconds.
    for (int i = 0; i < 25 && !drive_->LetterInUse("Z:"); ++i)
        QThread::msleep(200);
    EXPECT_FALSE(drive_->LetterInUse("Z:"));
}

TEST_F(DriveSessionTest, FailuresEndTheRoundLoggedAndTouchNoUserFile) {
    // The names of letters Y and X are the user's own folder and link.
    const QString userFolder = entry('Y');
    const QString elsewhere = QDir::home().filePath("music");
    ASSERT_TRUE(putFile(userFolder + "/mine.txt", "mine"));
    ASSERT_TRUE(QDir().mkpath(elsewhere) && QFile::link(elsewhere, entry('X')));
    const QString garbage = "WebDAVのアドレスを解釈できません";
    const struct {
        const char* name;
        QString id;  // empty: the test account
        QString password;
        QString address;  // empty: the storage's
        QString letter;
        QString logged;
    } cases[] = {
        {"wrong password, nothing in the keyring for the account", "stranger", "wrong-pass-7", "",
         "Z:", "ドライブを接続できません"},
        {"garbage address", "garbage", "secret", "::no address::", "Z:", garbage},
        {"untrusted certificate", "", "", tlsAddress_, "Z:", "証明書を確認できない"},
        {"account too long", QString(250, 'a'), "x", "", "Z:", "長すぎる"},
        {"the letter's name is the user's folder", "", "", "", "Y:", "利用者のファイル"},
        {"the letter's name is the user's link elsewhere", "", "", "", "X:", "利用者のファイル"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (!c.id.isEmpty())
            setAccount(c.id, c.password);
        if (!c.address.isEmpty())
            WriteSetting(ProgramSettings::WebDAVVista, c.address, ProgramSettingsPath());
        WriteSetting(UserConfig::DriveLetter, c.letter, ConfigPath());
        // Nothing is stored for an address that cannot be parsed.
        const bool stored = drive_->StoreDriveCredentials();
        const QString account = ReadSetting(UserConfig::ID, ConfigPath()) + "@velmora";
        const bool restRecord =
            SecretServiceStore::lookup({account, kRest, "https", {}, {}, 443}, 9000).has_value();
        EXPECT_EQ(restRecord, c.logged != garbage);
        EXPECT_TRUE(c.logged != garbage || !stored);

        const qsizetype before = logger_.ReadLogText().count(c.logged);
        drive_->ConnectDrive();
        EXPECT_FALSE(drive_->DriveAnswers());
        EXPECT_GT(logger_.ReadLogText().count(c.logged), before);
        drive_->DisconnectDrive();
    }
    // No password ever reaches the log.
    const QString log = logger_.ReadLogText();
    EXPECT_FALSE(log.contains(kPassword) || log.contains("wrong-pass-7"));
    // The user's own entries are still there, untouched.
    EXPECT_EQ(fileBytes(userFolder + "/mine.txt"), "mine");
    EXPECT_EQ(QFileInfo(entry('X')).symLinkTarget(), elsewhere);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
