// The drive for real, run by drive-session.sh inside a private session with
// GVfs and a keyring: an Apache WebDAV server with Digest authentication over
// a folder that stands for the storage's repository, mounted, used through
// the letter's entry point and unmounted.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "DriveEntryPoint.h"
#include "GvfsDriveOperations.h"
#include "MapDriveTask.h"
#include "SecretServiceStore.h"

namespace {

const QString kRealm = QStringLiteral("TORVAL2 WebDAV");
const QString kUser = QStringLiteral("demo@velmora");
// Blanks, quotes and a letter outside ASCII; Digest carries it as UTF-8.
const QString kPassword = QStringLiteral("pa ss\"wörd 'x");
const QString kRestAddress = QStringLiteral("https://rest.example.test/api/v1/");

QString ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(s);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return ok;
}

// Apache httpd with mod_dav and Digest authentication on a loopback port,
// with a configuration, documents and logs of its own.
class DavServer {
public:
    bool start() {
        const QString root = dir_.path();
        QDir(root).mkpath(QStringLiteral("repository"));
        QDir(root).mkpath(QStringLiteral("lock"));
        port_ = FreePort();
        const QByteArray hash = QCryptographicHash::hash(
            (kUser + ':' + kRealm + ':' + kPassword).toUtf8(), QCryptographicHash::Md5);
        write(QStringLiteral("digest"),
              (kUser + ':' + kRealm + ':').toUtf8() + hash.toHex() + '\n');
        write(QStringLiteral("repository/hello.txt"), "hello from the storage\n");
        QString runAs;
        if (::geteuid() == 0) {
            // httpd refuses to serve as root; its workers become nobody.
            runAs = QStringLiteral("User nobody\nGroup nogroup\n");
            const passwd* nobody = ::getpwnam("nobody");
            QFile::setPermissions(root, QFile::permissions(root) | QFile::ExeOther);
            for (const char* sub : {"repository", "repository/hello.txt", "lock"})
                ::chown(QFile::encodeName(root + '/' + sub).constData(), nobody->pw_uid,
                        nobody->pw_gid);
        }
        const QString modules = QStringLiteral("/usr/lib/apache2/modules/");
        QString conf = QStringLiteral(
                           "ServerRoot %1\nPidFile %1/httpd.pid\nErrorLog %1/error.log\n"
                           "Listen 127.0.0.1:%2\nServerName 127.0.0.1\n%3")
                           .arg(root)
                           .arg(port_)
                           .arg(runAs);
        for (const char* module : {"mpm_event", "authn_core", "authn_file", "authz_core",
                                   "authz_user", "auth_digest", "dav", "dav_fs"})
            conf += QStringLiteral("LoadModule %1_module %2mod_%1.so\n").arg(module, modules);
        conf += QStringLiteral(
                    "DocumentRoot %1/repository\nDAVLockDB %1/lock/DAVLock\n"
                    "<Directory %1/repository>\n  Dav On\n  AuthType Digest\n"
                    "  AuthName \"%2\"\n  AuthDigestProvider file\n"
                    "  AuthUserFile %1/digest\n  Require valid-user\n</Directory>\n")
                    .arg(root, kRealm);
        write(QStringLiteral("httpd.conf"), conf.toUtf8());
        const QString httpd = QStandardPaths::findExecutable(
            QStringLiteral("apache2"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start(httpd, {QStringLiteral("-f"), root + QStringLiteral("/httpd.conf"),
                               QStringLiteral("-DFOREGROUND")});
        process_.waitForStarted(10000);
        for (int i = 0; i < 100 && process_.state() == QProcess::Running; ++i) {
            if (Accepts(port_))
                return true;
            QThread::msleep(100);
        }
        std::fprintf(stderr, "httpd did not start (%s): %s\n",
                     process_.errorString().toUtf8().constData(),
                     ReadAll(root + "/error.log").toUtf8().constData());
        return false;
    }
    ~DavServer() {
        process_.terminate();
        process_.waitForFinished(10000);
    }
    QString address() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port_); }
    QString repository() const { return dir_.path() + QStringLiteral("/repository"); }

private:
    void write(const QString& name, const QByteArray& data) {
        QFile f(dir_.path() + '/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
};

int Gio(const QStringList& arguments) {
    QProcess gio;
    gio.setProcessChannelMode(QProcess::ForwardedChannels);
    gio.start(QStringLiteral("gio"), arguments);
    gio.closeWriteChannel();  // no prompt can be answered
    if (!gio.waitForFinished(30000))
        gio.kill();
    return gio.exitCode();
}

class Sink : public TaskResultSink {
public:
    void taskFinished(TaskBlock block) override { blocks.push_back(std::move(block)); }
    std::vector<TaskBlock> blocks;
};

class DriveSessionTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        server_ = new DavServer;
        ASSERT_TRUE(server_->start());
    }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        QDir().mkpath(QFileInfo(ConfigPath()).path());
        QFile::remove(ConfigPath());
        QFile::remove(ProgramSettingsPath());
        ASSERT_TRUE(
            WriteSetting(ProgramSettings::WebDAVVista, server_->address(), ProgramSettingsPath()));
        ASSERT_TRUE(WriteSetting(ProgramSettings::ApiHost, kRestAddress, ProgramSettingsPath()));
        setAccount(QStringLiteral("demo"), kPassword);
        ASSERT_TRUE(WriteSetting(UserConfig::DriveLetter, QStringLiteral("Z:"), ConfigPath()));
    }
    void setAccount(const QString& id, const QString& password) {
        ASSERT_TRUE(WriteSetting(UserConfig::ID, id, ConfigPath()));
        ASSERT_TRUE(WriteSetting(UserConfig::PortalName, QStringLiteral("velmora"), ConfigPath()));
        ASSERT_TRUE(WriteSetting(UserConfig::Password, password, ConfigPath()));
    }
    static QString entry(QChar letter) { return DriveEntryPoint(letter).path(); }

    static inline DavServer* server_ = nullptr;
    CLogWriter logger_{ConfigPath()};
    std::unique_ptr<DriveOperations> drive_ =
        CreateDriveOperations(ConfigPath(), ProgramSettingsPath(), logger_);
};

TEST_F(DriveSessionTest, MapsTheStorageUsesItThroughTheLetterAndUnmaps) {
    const QString bookmarks = DriveEntryPoint::bookmarksPath();
    QDir().mkpath(QFileInfo(bookmarks).path());
    {
        QFile f(bookmarks);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("file:///srv/music Music\n");
    }
    // A dangling link into the mount folder, left by a crash, is ours.
    const QString stale = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/gvfs/dav:host=gone";
    ASSERT_TRUE(QFile::link(stale, entry('Z')));

    Sink sink;
    TaskBlock block;
    block.sink = &sink;
    MapDriveTask(std::move(block), *drive_, [](int, const std::atomic<int>*) {});
    ASSERT_EQ(sink.blocks.size(), 1u);
    ASSERT_EQ(sink.blocks[0].result, 1) << logger_.ReadLogText().toStdString();

    // The letter's entry reads and writes the storage.
    const QString root = entry('Z');
    EXPECT_EQ(ReadAll(root + "/hello.txt"), "hello from the storage\n");
    {
        QFile f(root + "/書類.txt");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("written through the drive\n");
    }
    // The FUSE bridge sends the file when it is released, just after close.
    QString arrived;
    for (int i = 0; i < 100 && arrived.isEmpty(); ++i, QThread::msleep(100))
        arrived = ReadAll(server_->repository() + "/書類.txt");
    EXPECT_EQ(arrived, "written through the drive\n");
    EXPECT_EQ(ReadAll(bookmarks), "file:///srv/music Music\n" +
                                      QUrl::fromLocalFile(root).toString(QUrl::FullyEncoded) +
                                      " TORVAL2 (Z)\n");
    EXPECT_TRUE(drive_->LetterInUse("Z:"));

    // The record GVfs looks up holds the password, with the REST host's one.
    NetworkPasswordRecord dav{kUser,  "127.0.0.1", "http",
                              kRealm, "basic",     QUrl(server_->address()).port()};
    EXPECT_EQ(SecretServiceStore::lookup(dav, 10000), kPassword);
    EXPECT_EQ(SecretServiceStore::lookup({kUser, "rest.example.test", "https", {}, {}, 443}, 10000),
              kPassword);

    const QString mount = QFileInfo(root).symLinkTarget();
    drive_->DisconnectDrive();
    EXPECT_FALSE(QFileInfo::exists(mount));
    EXPECT_FALSE(drive_->LetterInUse("Z:"));
    EXPECT_EQ(ReadAll(bookmarks), "file:///srv/music Music\n");

    // GVfs itself mounts with the stored password, asking nothing.
    const QString uri = QStringLiteral("dav://demo%40velmora@%1").arg(server_->address().mid(7));
    EXPECT_EQ(Gio({"mount", uri}), 0);
    EXPECT_EQ(Gio({"mount", "-u", uri}), 0);
}

TEST_F(DriveSessionTest, FailuresEndTheRoundLoggedAndTouchNoUserFile) {
    const QString userFolder = entry('Y');
    const QString elsewhere = QDir::home().filePath("music");
    struct Case {
        const char* name;
        std::function<void(DriveSessionTest&)> setup;
        QString letter;
        QString logged;
    };
    const Case cases[] = {
        {"wrong password of an account the keyring does not know",
         [](DriveSessionTest& t) { t.setAccount("stranger", "wrong"); },
         "Z:", "ドライブを接続できません"},
        {"garbage address",
         [](DriveSessionTest& t) {
             t.setAccount("garbage", "secret");
             WriteSetting(ProgramSettings::WebDAVVista, "::no address::", ProgramSettingsPath());
         },
         "Z:", "WebDAVのアドレスを解釈できません"},
        {"storage down",
         [](DriveSessionTest&) {
             WriteSetting(ProgramSettings::WebDAVVista,
                          QStringLiteral("http://127.0.0.1:%1/").arg(FreePort()),
                          ProgramSettingsPath());
         },
         "Z:", "ドライブを接続できません"},
        {"account too long", [](DriveSessionTest& t) { t.setAccount(QString(250, 'a'), "x"); },
         "Z:", "長すぎる"},
        {"the letter's name is the user's folder",
         [&](DriveSessionTest&) {
             QDir().mkpath(userFolder);
             QFile f(userFolder + "/mine.txt");
             f.open(QIODevice::WriteOnly);
             f.write("mine");
         },
         "Y:", "利用者のファイル"},
        {"the letter's name is the user's link elsewhere",
         [&](DriveSessionTest&) {
             QDir().mkpath(elsewhere);
             QFile::link(elsewhere, entry('X'));
         },
         "X:", "利用者のファイル"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.setup(*this);
        WriteSetting(UserConfig::DriveLetter, c.letter, ConfigPath());
        // Nothing is stored for an address that cannot be parsed.
        const QString account = ReadSetting(UserConfig::ID, ConfigPath()) + "@velmora";
        const bool stored = drive_->StoreDriveCredentials();
        const bool restRecord =
            SecretServiceStore::lookup({account, "rest.example.test", "https", {}, {}, 443}, 10000)
                .has_value();
        const bool unparsable = c.logged == "WebDAVのアドレスを解釈できません";
        EXPECT_EQ(restRecord, !unparsable);
        EXPECT_TRUE(!unparsable || !stored);
        const qsizetype before = logger_.ReadLogText().count(c.logged);
        drive_->ConnectDrive();
        EXPECT_FALSE(drive_->DriveAnswers());
        EXPECT_GT(logger_.ReadLogText().count(c.logged), before)
            << logger_.ReadLogText().toStdString();
        drive_->DisconnectDrive();
    }
    // The user's own entries are still there, untouched.
    EXPECT_EQ(ReadAll(userFolder + "/mine.txt"), "mine");
    EXPECT_EQ(QFileInfo(entry('X')).symLinkTarget(), elsewhere);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
