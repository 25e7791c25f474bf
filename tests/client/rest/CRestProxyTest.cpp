// The REST client through a real HTTP proxy (tinyproxy) to the storage emulator, and a
// stalled reply that must end the transfer instead of hanging it.
#include "CRestControl.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <picojson.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Fields.h"
#include "RestEmulatorTest.h"

namespace {

using Entry = picojson::value;
using Clock = std::chrono::steady_clock;

// The tinyproxy executable, or empty when it is not installed.
std::string TinyproxyBinary() {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream in(path);
        std::string folder;
        while (std::getline(in, folder, ':')) {
            if (!folder.empty())
                folders.push_back(folder);
        }
    }
    folders.insert(folders.end(), {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"});
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/tinyproxy";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A loopback TCP socket bound to a port the system picked. Without listen() it refuses every
// connection, and while it is open no other process can take the port.
class BoundPort {
public:
    BoundPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~BoundPort() { release(); }
    BoundPort(const BoundPort&) = delete;
    BoundPort& operator=(const BoundPort&) = delete;

    int port() const { return port_; }
    void release() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

bool AcceptsConnections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One tinyproxy in the foreground on a free loopback port, with its configuration, log and
// pid file in a temporary folder of its own; stopped when the object goes.
class TinyproxyProcess {
public:
    // connectPort: the one port CONNECT may reach. basicAuth: "user password", or empty for
    // a proxy that asks for nothing.
    TinyproxyProcess(const std::string& binary, int connectPort, const std::string& basicAuth) {
        if (!dir_.isValid()) {
            failure_ = "no temporary folder";
            return;
        }
        // The port is released just before tinyproxy binds it; another process may take it
        // in between, so a start that fails is tried again on a new port.
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int port = 0;
            {
                BoundPort free;
                port = free.port();
            }
            if (port > 0 && launch(binary, port, connectPort, basicAuth))
                port_ = port;
        }
    }
    ~TinyproxyProcess() { stop(); }
    TinyproxyProcess(const TinyproxyProcess&) = delete;
    TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string failure() const { return failure_; }
    std::string log() const { return ReadText(file("tinyproxy.log")); }

    // SIGTERM, then SIGKILL when it has not exited within a generous bound.
    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done != pid_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    std::string file(const char* name) const {
        return QFile::encodeName(dir_.filePath(QString::fromLatin1(name))).toStdString();
    }

    bool launch(const std::string& binary, int port, int connectPort,
                const std::string& basicAuth) {
        const std::string config = file("tinyproxy.conf");
        {
            std::ofstream out(config);
            out << "Port " << port << "\n"
                << "Listen 127.0.0.1\n"
                << "Allow 127.0.0.1\n"
                << "ConnectPort " << connectPort << "\n"
                << "LogFile \"" << file("tinyproxy.log") << "\"\n"
                << "LogLevel Info\n"
                << "PidFile \"" << file("tinyproxy.pid") << "\"\n"
                << "MaxClients 8\n"
                << "Timeout 120\n";
            if (!basicAuth.empty())
                out << "BasicAuth " << basicAuth << "\n";
            if (!out) {
                failure_ = "cannot write " + config;
                return false;
            }
        }
        const std::string output = file("tinyproxy.out");
        const int outFd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (outFd < 0) {
            failure_ = "cannot create " + output;
            return false;
        }
        // Everything the child needs is made before fork().
        std::vector<std::string> args = {binary, "-d", "-c", config};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        pid_ = fork();
        if (pid_ == 0) {
            // A test that crashes must not leave its proxy behind.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(outFd, STDOUT_FILENO);
            dup2(outFd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(outFd);
        if (pid_ < 0) {
            failure_ = "fork failed";
            return false;
        }
        // Sanitizer builds on a busy machine are slow; the bound only catches a hang.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                failure_ = "tinyproxy exited on port " + std::to_string(port) + ": " +
                           ReadText(output) + ReadText(file("tinyproxy.log"));
                return false;
            }
            if (AcceptsConnections(port))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        failure_ = "tinyproxy did not accept connections on port " + std::to_string(port);
        stop();
        return false;
    }

    QTemporaryDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string failure_;
};

class ProxyTest : public RestEmulatorTest {
protected:
    void SetUp() override {
        binary = TinyproxyBinary();
        if (binary.empty())
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

    std::string binary;
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

    QByteArray content;
    for (int i = 0; i < 40000; ++i)
        content += QByteArray::number(i) + ',';
    const QString local = localFile(QStringLiteral("via proxy.txt"), content);
    CRestResult upload;
    rest.UploadFile(upload, local, QStringLiteral("/Velmora"));
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
    // Credentials are present, but the switch is off.
    setConfig("ProxyAuthID", "pxuser");
    setConfig("ProxyAuthPass", "px-secret");
    setConfig("ProxyAuthEnable", "OFF");
    reload();
    ASSERT_TRUE(settings.proxyUser.isEmpty());

    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult refused;
    rest.GetCurrentUser(refused, user);
    // The proxy answers the CONNECT with 407; libcurl reports that as a receive error.
    EXPECT_EQ(Fields(refused.ok, refused.status, refused.message),
              "0|-1|サーバとの接続に失敗しました。");
    EXPECT_TRUE(journal().empty()) << "nothing may reach the service";
    std::string log = proxy->log();
    EXPECT_GE(Count(log, connectLine()), 1u) << log;
    EXPECT_EQ(Count(log, kTunnelOpened), 0u) << log;

    // A wrong password is refused the same way.
    setConfig("ProxyAuthEnable", "ON");
    setConfig("ProxyAuthPass", "wrong");
    reload();
    CRestResult wrong;
    rest.GetCurrentUser(wrong, user);
    EXPECT_EQ(Fields(wrong.ok, wrong.status), "0|-1");
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(Count(proxy->log(), kTunnelOpened), 0u);

    setConfig("ProxyAuthPass", "px-secret");
    reload();
    CRestResult read;
    rest.GetCurrentUser(read, user);
    ASSERT_EQ(Fields(read.ok, read.status, user.userCode), "1|200|taro");
    const QString local = localFile(QStringLiteral("auth.bin"), QByteArray(70000, 'p'));
    CRestResult upload;
    rest.UploadFile(upload, local, QStringLiteral("/Velmora"));
    EXPECT_TRUE(upload.ok) << upload.status;
    EXPECT_EQ(repositoryFile("/Velmora/auth.bin"), QByteArray(70000, 'p'));
    log = proxy->log();
    EXPECT_GE(Count(log, kTunnelOpened), 1u) << log;
    ASSERT_FALSE(journal().empty());
    EXPECT_EQ(journal().back().get("user").to_str(), "taro@velmora");
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
    EXPECT_EQ(Fields(direct.ok, direct.status, user.userCode), "1|200|taro");
    size_t answered = 0;  // a Digest exchange adds a 401 round
    for (const Entry& e : journal())
        answered += e.get("status").get<double>() == 200;
    EXPECT_EQ(answered, 1u);

    // The same address with the switch on is used, and fails.
    const size_t before = journal().size();
    useProxy("ON", dead.port());
    CRestResult viaDead;
    rest.GetCurrentUser(viaDead, user);
    EXPECT_EQ(Fields(viaDead.ok, viaDead.status), "0|0");
    EXPECT_EQ(journal().size(), before);
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
    const QString local = localFile(QStringLiteral("slow.bin"), content);
    CRestControl rest(&settings, &logger);
    CRestResult result;
    rest.UploadFile(result, local, QStringLiteral("/Velmora"));
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
    EXPECT_GE(seconds, 55.0);
    EXPECT_LE(seconds, 100.0);
    EXPECT_GE(result.elapsed, 55.0);
    EXPECT_LE(result.elapsed, 100.0);

    const auto entries = journal();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().get("target").to_str(), "/api/v1//currentUser");
    EXPECT_EQ(entries.back().get("status").get<double>(), 0);
    EXPECT_NE(entries.back().get("fault").get<double>(), 0) << "the stall answered";
}

}  // namespace
