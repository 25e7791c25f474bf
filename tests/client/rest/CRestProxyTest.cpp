// The REST client through a real HTTP proxy (tinyproxy) to the storage emulator, and a
// stalled reply that must end the transfer instead of hanging it.
#include "CRestControl.h"
#include "ConnectionFailure.h"

#include "Fields.h"
#include "RestEmulatorTest.h"

#include <QDeadlineTimer>
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

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A loopback TCP socket on a port the system picked. Without listen() it refuses every
// connection, and while it is open no other process can take the port.
class BoundPort {
public:
    BoundPort() {
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~BoundPort() { close(fd_); }
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
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// tinyproxy in the foreground on a free loopback port, its configuration and log in a
// temporary folder; it lets CONNECT reach connectPort only, and asks for basicAuth
// ("user password") unless that is empty.
class TinyproxyProcess {
public:
    TinyproxyProcess(const QString& binary, int connectPort, const QString& basicAuth) {
        // The port is free again just before tinyproxy binds it, so another process may
        // take it: a failed start is tried again on a new port.
        const QString config = dir_.filePath("tinyproxy.conf");
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            const int port = BoundPort().port();
            if (!putFile(config,
                         QString("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                 "ConnectPort %2\nLogFile \"%3\"\nLogLevel Info\n%4")
                             .arg(port)
                             .arg(connectPort)
                             .arg(dir_.filePath("tinyproxy.log"),
                                  basicAuth.isEmpty() ? "" : "BasicAuth " + basicAuth + "\n")
                             .toUtf8()))
                return;
            process_.setProcessChannelMode(QProcess::ForwardedChannels);
            // A test that crashes must not leave its proxy behind.
            process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
            process_.start(binary, {"-d", "-c", config});
            // Sanitizer builds on a busy machine are slow; the bound only catches a hang.
            const QDeadlineTimer deadline(20000);
            while (!deadline.hasExpired() && !process_.waitForFinished(50) &&
                   process_.state() != QProcess::NotRunning && port_ == 0)
                port_ = AcceptsConnections(port) ? port : 0;
            if (port_ == 0)
                stop();
        }
    }
    ~TinyproxyProcess() { stop(); }

    int port() const { return port_; }
    QString log() const { return QString::fromUtf8(fileBytes(dir_.filePath("tinyproxy.log"))); }
    void stop() {
        process_.kill();
        process_.waitForFinished();
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
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
    QString binary;
};

TEST_F(ProxyTest, RequestsTunnelThroughTheProxyWithCredentialsOnlyWhenSwitchedOn) {
    TinyproxyProcess proxy(binary, emulator.port(), "pxuser px-secret");
    ASSERT_GT(proxy.port(), 0) << "tinyproxy did not start";
    setConfig("ProxyEnable", "ON");
    setConfig("ProxyAddress", "127.0.0.1");
    setConfig("ProxyPort", QString::number(proxy.port()));
    setConfig("ProxyAuthID", "pxuser");
    const QString tunnel = "Established connection to host \"127.0.0.1\"";
    const struct {
        const char* enable;
        const char* password;
        QString outcome;  // ok|status|message|reason
    } cases[] = {
        // tinyproxy refuses the CONNECT with 401; libcurl reports that as a receive error.
        {"OFF", "px-secret",
         "0|-1|サーバとの接続に失敗しました。|プロキシサーバが接続を拒否しました（HTTP 401）。"},
        {"ON", "wrong",
         "0|-1|サーバとの接続に失敗しました。|プロキシサーバが接続を拒否しました（HTTP 401）。"},
        {"ON", "px-secret", "1|200||"},
    };
    for (const auto& c : cases) {
        setConfig("ProxyAuthEnable", c.enable);
        setConfig("ProxyAuthPass", c.password);
        reload();
        const CRestResult read = currentUser();
        EXPECT_EQ(
            Fields(read.ok, read.status, read.ok ? QString() : read.message, FailureReason(read)),
            c.outcome)
            << c.enable << " " << c.password;
        // Nothing reaches the service until the proxy opens the tunnel.
        EXPECT_EQ(proxy.log().contains(tunnel), read.ok) << proxy.log().toStdString();
        EXPECT_EQ(journal().empty(), !read.ok);
    }
    const QByteArray content = QByteArray("0123456789,").repeated(25000);
    EXPECT_TRUE(upload("via proxy.txt", content).ok);
    EXPECT_EQ(repositoryFile("/Velmora/via proxy.txt"), content);
    EXPECT_EQ(Str(journal().back(), "user"), "taro@velmora");
    // The tunnel goes to the emulator's address, not to a name.
    const QString log = proxy.log();
    EXPECT_GE(log.count(QString("CONNECT 127.0.0.1:%1 HTTP/1.1").arg(emulator.port())), 4)
        << log.toStdString();
    EXPECT_FALSE(log.contains("CONNECT localhost"));

    // Without the proxy the same settings reach nothing: the requests above used it.
    proxy.stop();
    EXPECT_EQ(Fields(currentUser().status, FailureReason(currentUser())),
              "0|プロキシサーバに接続できませんでした。");
}

// The slow tests here: a reply that never comes ends after the stall time; a
// server still working on a fully received upload is waited for.
using SlowStallTest = RestEmulatorTest;

TEST_F(SlowStallTest, ServerWorkingOnAFullySentUploadIsWaitedFor) {
    // Every attempt is answered 75 s after its body arrived: beyond the stall
    // time, within the bound of the wait for the reply.
    fault(R"({"path": ":entity$", "kind": "delay", "delayMs": 75000, "afterBody": true,
              "times": 0})");
    const QByteArray content(8 << 20, 'w');
    const CRestResult result = upload("slow.bin", content);
    EXPECT_EQ(Fields(result.ok, result.retryCount), "1|0") << "the file is not sent again";
    EXPECT_TRUE(repositoryFile("/Velmora/slow.bin") == content);
}

TEST_F(SlowStallTest, StalledReplyFailsAfterAMinute) {
    // A short connect time-out does not shorten the stall time below a minute.
    setProgram("AutoUpload", "TimeOut", "10");
    reload();
    ASSERT_EQ(settings.timeOut, 10);
    fault(R"({"path": "/currentUser$", "kind": "stall", "stallMs": 120000})");
    const auto start = std::chrono::steady_clock::now();
    const CRestResult result = currentUser();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Fields(result.ok, result.status), "0|0");
    EXPECT_TRUE(took.count() >= 55 && took.count() <= 100) << took.count();
    EXPECT_TRUE(result.elapsed >= 55 && result.elapsed <= 100) << result.elapsed;
    const picojson::value last = journal().back();
    EXPECT_EQ(Str(last, "target") + " " + Str(last, "status"), "/api/v1//currentUser 0");
    EXPECT_NE(last.get("fault").get<double>(), 0) << "the stall answered";
}

}  // namespace
