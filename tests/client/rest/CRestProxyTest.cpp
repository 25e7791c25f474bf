// The REST client through a real HTTP proxy (tinyproxy) to the storage emulator, and a
// stalled reply that must end the transfer instead of hanging it.
#include "CRestControl.h"

#include "Fields.h"
#include "RestEmulatorTest.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A loopback TCP socket bound to a port the system picked. Without listen() it refuses every
// connection, and while it is open no other process can take the port.
class BoundPort {
public:
    BoundPort() {
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~BoundPort() {
        if (fd_ >= 0)
            close(fd_);
    }
    BoundPort(const BoundPort&) = delete;
    BoundPort& operator=(const BoundPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
};

bool AcceptsConnections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool ok =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One tinyproxy in the foreground on a free loopback port, with its configuration and log in
// a temporary folder of its own; stopped when the object goes.
class TinyproxyProcess {
public:
    // connectPort: the one port CONNECT may reach. basicAuth: "user password", or empty for
    // a proxy that asks for nothing.
    TinyproxyProcess(const QString& binary, int connectPort, const std::string& basicAuth) {
        // The port is released just before tinyproxy binds it; another process may take it
        // in between, so a start that fails is tried again on a new port.
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            const int port = BoundPort().port();
            if (port > 0 && launch(binary, port, connectPort, basicAuth))
                port_ = port;
        }
    }
    ~TinyproxyProcess() { stop(); }

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string failure() const { return failure_; }
    std::string log() const { return read("tinyproxy.log"); }

    // SIGTERM, then SIGKILL when it has not exited within a generous bound.
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }

private:
    std::string read(const char* name) const {
        QFile f(dir_.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    }

    bool launch(const QString& binary, int port, int connectPort, const std::string& basicAuth) {
        QFile config(dir_.filePath("tinyproxy.conf"));
        const std::string text = "Port " + std::to_string(port) +
                                 "\nListen 127.0.0.1\nAllow 127.0.0.1\nConnectPort " +
                                 std::to_string(connectPort) + "\nLogFile \"" +
                                 dir_.filePath("tinyproxy.log").toStdString() +
                                 "\"\nLogLevel Info\nMaxClients 8\nTimeout 120\n" +
                                 (basicAuth.empty() ? "" : "BasicAuth " + basicAuth + "\n");
        if (!config.open(QIODevice::WriteOnly) ||
            config.write(text.data(), qint64(text.size())) < 0) {
            failure_ = "cannot write " + config.fileName().toStdString();
            return false;
        }
        config.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setStandardOutputFile(dir_.filePath("tinyproxy.out"));
        // A test that crashes must not leave its proxy behind.
        process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process_.start(binary, {"-d", "-c", config.fileName()});
        if (!process_.waitForStarted(20000)) {
            failure_ = "cannot start " + binary.toStdString();
            return false;
        }
        // Sanitizer builds on a busy machine are slow; the bound only catches a hang.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 20000) {
            if (process_.waitForFinished(50) || process_.state() == QProcess::NotRunning) {
                failure_ = "tinyproxy exited on port " + std::to_string(port) + ": " +
                           read("tinyproxy.out") + log();
                return false;
            }
            if (AcceptsConnections(port))
                return true;
        }
        failure_ = "tinyproxy did not accept connections on port " + std::to_string(port);
        stop();
        return false;
    }

    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    std::string failure_;
};

class ProxyTest : public RestEmulatorTest {
protected:
    void SetUp() override {
        binary = QStandardPaths::findExecutable("tinyproxy");
        if (binary.isEmpty())
            binary = QStandardPaths::findExecutable("tinyproxy", {"/usr/sbin", "/usr/local/sbin"});
        if (binary.isEmpty())
            GTEST_SKIP() << "tinyproxy is not installed (scripts/install-deps installs it)";
        RestEmulatorTest::SetUp();
    }

    std::unique_ptr<TinyproxyProcess> startProxy(const std::string& basicAuth = {}) {
        auto proxy = std::make_unique<TinyproxyProcess>(binary, emulator.port(), basicAuth);
        EXPECT_TRUE(proxy->started()) << proxy->failure();
        return proxy;
    }
    std::string connectLine() const {
        return "CONNECT 127.0.0.1:" + std::to_string(emulator.port()) + " HTTP/1.1";
    }

    QString binary;
};

constexpr char kTunnelOpened[] = "Established connection to host \"127.0.0.1\"";

TEST_F(ProxyTest, RequestsTravelThroughTheProxyTunnel) {
    const auto proxy = startProxy();
    ASSERT_TRUE(proxy->started());
    useProxy("ON", proxy->port());
    ASSERT_EQ(settings.proxyAddress, "127.0.0.1");

    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult read;
    rest.GetCurrentUser(read, user);
    ASSERT_EQ(Fields(read.ok, read.status, user.userCode), "1|200|taro");
    const QByteArray content = QByteArray("0123456789,").repeated(25000);
    CRestResult upload;
    rest.UploadFile(upload, localFile("via proxy.txt", content), "/Velmora");
    ASSERT_EQ(Fields(upload.ok, upload.status), "1|204");
    EXPECT_EQ(repositoryFile("/Velmora/via proxy.txt"), content);

    const std::string log = proxy->log();
    EXPECT_GE(Count(log, connectLine()), 1u) << log;
    EXPECT_GE(Count(log, kTunnelOpened), 1u) << log;
    EXPECT_EQ(Count(log, "CONNECT localhost"), 0u) << "the tunnel goes to the emulator\n" << log;

    // Without the proxy the same settings reach nothing: the requests above used it.
    proxy->stop();
    CRestResult down;
    rest.GetCurrentUser(down, user);
    EXPECT_EQ(Fields(down.ok, down.status), "0|0");
}

TEST_F(ProxyTest, ProxyCredentialsAreSentOnlyWhenSwitchedOn) {
    const auto proxy = startProxy("pxuser px-secret");
    ASSERT_TRUE(proxy->started());
    useProxy("ON", proxy->port());
    setConfig("ProxyAuthID", "pxuser");
    const struct {
        const char* enable;
        const char* password;
        QString outcome;  // ok|status|message
    } cases[] = {
        // The proxy answers the CONNECT with 407; libcurl reports that as a receive error.
        {"OFF", "px-secret", "0|-1|サーバとの接続に失敗しました。"},
        {"ON", "wrong", "0|-1|サーバとの接続に失敗しました。"},
        {"ON", "px-secret", "1|200|"},
    };
    CRestControl rest(&settings, &logger);
    for (const auto& c : cases) {
        setConfig("ProxyAuthEnable", c.enable);
        setConfig("ProxyAuthPass", c.password);
        reload();
        CRestUser user;
        CRestResult read;
        rest.GetCurrentUser(read, user);
        EXPECT_EQ(Fields(read.ok, read.status, read.ok ? QString() : read.message), c.outcome)
            << c.enable << " " << c.password;
        // Nothing reaches the service until the proxy opens the tunnel.
        EXPECT_EQ(Count(proxy->log(), kTunnelOpened) > 0, read.ok) << proxy->log();
        EXPECT_EQ(journal().empty(), !read.ok);
    }
    EXPECT_GE(Count(proxy->log(), connectLine()), 3u);
    CRestResult upload;
    rest.UploadFile(upload, localFile("auth.bin", QByteArray(70000, 'p')), "/Velmora");
    EXPECT_TRUE(upload.ok) << upload.status;
    EXPECT_EQ(repositoryFile("/Velmora/auth.bin"), QByteArray(70000, 'p'));
    EXPECT_EQ(Str(journal().back(), "user"), "taro@velmora");
}

// Needs no proxy process: the proxy address points at a port that refuses connections.
class ProxySwitchTest : public RestEmulatorTest {};

TEST_F(ProxySwitchTest, LowerCaseSwitchMeansNoProxy) {
    BoundPort dead;
    ASSERT_GT(dead.port(), 0);
    useProxy("on", dead.port());
    EXPECT_TRUE(settings.proxyAddress.isEmpty());
    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult direct;
    rest.GetCurrentUser(direct, user);
    EXPECT_EQ(Fields(direct.ok, direct.status, user.userCode, sent()), "1|200|taro|1");

    // The same address with the switch on is used, and fails.
    useProxy("ON", dead.port());
    CRestResult viaDead;
    rest.GetCurrentUser(viaDead, user);
    EXPECT_EQ(Fields(viaDead.ok, viaDead.status, sent()), "0|0|1");
}

// The slow tests here: a reply that never comes ends after the stall time; a
// server still working on a fully received upload is waited for.
class SlowStallTest : public RestEmulatorTest {};

TEST_F(SlowStallTest, ServerWorkingOnAFullySentUploadIsWaitedFor) {
    // Every attempt is answered 75 s after its body arrived: beyond the stall
    // time, within the bound of the wait for the reply.
    fault(R"({"path": ":entity$", "kind": "delay", "delayMs": 75000, "afterBody": true,
              "times": 0})");
    const QByteArray content(8 << 20, 'w');
    CRestControl rest(&settings, &logger);
    CRestResult result;
    rest.UploadFile(result, localFile("slow.bin", content), "/Velmora");
    EXPECT_TRUE(result.ok) << result.status;
    EXPECT_EQ(result.retryCount, 0) << "the file is not sent again";
    EXPECT_TRUE(repositoryFile(QStringLiteral("/Velmora/slow.bin")) == content);
}

TEST_F(SlowStallTest, StalledReplyFailsAfterAMinute) {
    // A short connect time-out does not shorten the stall time below a minute.
    setProgram("AutoUpload", "TimeOut", "10");
    reload();
    ASSERT_EQ(settings.timeOut, 10);
    fault(R"({"path": "/currentUser$", "kind": "stall", "stallMs": 120000})");

    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult result;
    const auto start = Clock::now();
    rest.GetCurrentUser(result, user);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(Fields(result.ok, result.status), "0|0");
    EXPECT_TRUE(seconds >= 55 && seconds <= 100) << seconds;
    EXPECT_TRUE(result.elapsed >= 55 && result.elapsed <= 100) << result.elapsed;
    const auto entries = journal();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(Str(entries.back(), "target") + " " + Str(entries.back(), "status"),
              "/api/v1//currentUser 0");
    EXPECT_NE(entries.back().get("fault").get<double>(), 0) << "the stall answered";
}

}  // namespace
