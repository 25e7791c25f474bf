#include "GvfsDriveOperations.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <curl/curl.h>
#include <dirent.h>
#include <cerrno>

#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "DriveEntryPoint.h"
#include "ProgramVersion.h"
#include "SecretServiceStore.h"
#include "WebDavLocation.h"

namespace {

constexpr int kMountTimeoutMs = 20000;
constexpr int kInfoTimeoutMs = 10000;
constexpr int kUnmountTimeoutMs = 30000;
constexpr int kSecretTimeoutMs = 10000;
constexpr int kProbeTimeoutMs = 10000;
constexpr int kAnswerTimeoutMs = 10000;
constexpr int kSettleMs = 5000;
// The command line buffer of the original mapping; an address or account
// that would not fit there is refused rather than cut.
constexpr int kLocationLimit = 259;

struct ToolRun {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;
    bool passwordGiven = false;
    bool certificateRefused = false;
    QString output;
};

// Runs gio with answers to its prompts on standard input: the first password
// prompt gets the password, a second one (wrong password) gets end of input,
// a question about an untrusted certificate gets "2" (No). The password is
// never on the command line and never in the returned output.
ToolRun RunGio(const QStringList& arguments, int timeoutMs, const QString& password = QString()) {
    ToolRun run;
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        return run;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Untranslated prompts, so that they can be recognised.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.remove(QStringLiteral("LANGUAGE"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(gio, arguments);
    if (!process.waitForStarted(5000))
        return run;
    run.started = true;
    QElapsedTimer clock;
    clock.start();
    QByteArray output;
    int prompts = 0;
    bool inputOpen = true;
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            run.timedOut = true;
            process.kill();
            process.waitForFinished(5000);
            break;
        }
        process.waitForReadyRead(static_cast<int>(qMin<qint64>(left, 200)));
        output += process.readAll();
        const int seen = output.count("Password:");
        for (; prompts < seen && inputOpen; ++prompts) {
            if (prompts == 0 && !password.isEmpty()) {
                QByteArray line = password.toUtf8() + '\n';
                process.write(line);
                line.fill('\0');
                run.passwordGiven = true;
            } else {
                process.closeWriteChannel();
                inputOpen = false;
            }
        }
        if (inputOpen && output.contains("[2]")) {
            process.write("2\n");
            process.closeWriteChannel();
            inputOpen = false;
            run.certificateRefused = true;
        }
    }
    output += process.readAll();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromUtf8(output);
    if (!password.isEmpty())
        run.output.replace(password, QStringLiteral("***"));
    return run;
}

// GVfs lives on the session bus: the desktop's, or the user's systemd bus.
bool HasSessionBus() {
    if (!qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").isEmpty())
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

// The last line gio printed: its error message.
QString LastLine(const QString& output) {
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

// The folder gio reports as the location's local path while it is mounted.
QString LocalPath(const QString& uri) {
    const ToolRun run = RunGio({QStringLiteral("info"), uri}, kInfoTimeoutMs);
    static const QRegularExpression line(QStringLiteral("^local path: (.+)$"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(run.output);
    return run.exitCode == 0 && match.hasMatch() ? match.captured(1) : QString();
}

// A directory that lists, checked off this thread: a hung server must not
// hang the caller in the kernel. The thread of a check that hangs stays there
// until the server answers, so a folder has at most one check under way; a
// later one waits for it rather than leaving another thread behind.
bool AnswersAsDirectory(const QString& path, int timeoutMs) {
    // Never destroyed: a hung check may outlive everything else.
    static auto* mutex = new std::mutex;
    static auto* pending = new std::map<QString, std::shared_future<bool>>;
    std::shared_future<bool> answer;
    {
        std::lock_guard lock(*mutex);
        if (const auto running = pending->find(path); running != pending->end()) {
            answer = running->second;
        } else {
            auto check = std::make_shared<std::promise<bool>>();
            answer = check->get_future().share();
            pending->emplace(path, answer);
            std::thread([check, path] {
                bool ok = false;
                if (DIR* dir = ::opendir(QFile::encodeName(path).constData())) {
                    errno = 0;
                    ok = ::readdir(dir) != nullptr || errno == 0;
                    ::closedir(dir);
                }
                std::lock_guard lock(*mutex);
                pending->erase(path);
                check->set_value(ok);
            }).detach();
        }
    }
    return answer.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready &&
           answer.get();
}

size_t CollectHeader(char* data, size_t size, size_t count, void* target) {
    static_cast<QByteArray*>(target)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

size_t DropBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

}  // namespace

GvfsDriveOperations::GvfsDriveOperations(QString configPath, QString programSettingsPath,
                                         CLogWriter& logger)
    : configPath_(std::move(configPath)),
      programSettingsPath_(std::move(programSettingsPath)),
      logger_(logger) {}

QString GvfsDriveOperations::webDavAddress() const {
    return ReadSetting(
        IsWindows10Build19045OrLater() ? ProgramSettings::WebDAVVista : ProgramSettings::WebDAVXP,
        programSettingsPath_);
}

QString GvfsDriveOperations::account() const {
    return ReadSetting(UserConfig::ID, configPath_, 260) + QLatin1Char('@') +
           ReadSetting(UserConfig::PortalName, configPath_, 260);
}

QString GvfsDriveOperations::ProbeRealm(const QString& address, int timeoutMs) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return QString();
    QByteArray headers;
    const QByteArray url = address.trimmed().toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PROPFIND");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DropBody);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK)
        return QString();
    static const QRegularExpression challenge(
        QStringLiteral("^WWW-Authenticate:\\s*\\w+\\s.*?realm=\"([^\"]*)\""),
        QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
    return challenge.match(QString::fromUtf8(headers)).captured(1);
}

bool GvfsDriveOperations::StoreDriveCredentials() {
    const QString address = webDavAddress();
    const QString user = account();
    const std::optional<WebDavLocation> location = ParseWebDavAddress(address, user);
    if (!location) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("WebDAVのアドレスを解釈できないため、資格情報を保存しません。"));
        return false;
    }
    // GVfs looks the password up under these attributes for either scheme.
    NetworkPasswordRecord dav;
    dav.user = user;
    dav.server = location->host;
    dav.protocol = QStringLiteral("http");
    dav.port = location->effectivePort();
    dav.object = ProbeRealm(address, kProbeTimeoutMs);
    dav.authtype = QStringLiteral("basic");
    if (dav.object.isEmpty())
        logger_.Log(CLogWriter::LogWarning,
                    QStringLiteral("WebDAVサーバーの認証領域を取得できませんでした。"));
    bool all = true;
    QString error;
    if (!SecretServiceStore::store(
            dav, QStringLiteral("TORVAL2 ") + user + QLatin1Char('@') + dav.server,
            ReadSetting(UserConfig::Password, configPath_, 260), kSecretTimeoutMs, &error)) {
        logger_.Log(
            CLogWriter::LogWarning,
            QStringLiteral(
                "資格情報ストアに保存できません。パスワードはマウント時に標準入力で渡します: ") +
                error);
        all = false;
    }
    const QString restAddress = ReadSetting(ProgramSettings::ApiHost, programSettingsPath_);
    const QString restHost = HostOfAddress(restAddress);
    if (restHost.isEmpty())
        return false;
    const QUrl restUrl(restAddress.trimmed());
    NetworkPasswordRecord rest;
    rest.user = user;
    rest.server = restHost;
    rest.protocol = restUrl.scheme().toLower();
    rest.port = restUrl.port(rest.protocol == QLatin1String("http") ? 80 : 443);
    if (!SecretServiceStore::store(
            rest, QStringLiteral("TORVAL2 ") + user + QLatin1Char('@') + restHost,
            ReadSetting(UserConfig::Password, configPath_, 260), kSecretTimeoutMs, &error)) {
        all = false;
    }
    return all;
}

void GvfsDriveOperations::ConnectDrive() {
    const QString letterText = ReadSetting(UserConfig::DriveLetter, configPath_);
    const std::optional<QChar> letter = DriveLetterOf(letterText);
    if (!letter) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("ドライブレターが正しくありません: ") + letterText);
        return;
    }
    const std::optional<WebDavLocation> location = ParseWebDavAddress(webDavAddress(), account());
    if (!location) {
        logger_.Log(CLogWriter::LogError, QStringLiteral("WebDAVのアドレスを解釈できません: ") +
                                              webDavAddress().left(kLocationLimit));
        return;
    }
    const QString uri = location->uri();
    if (uri.size() > kLocationLimit) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("WebDAVのアドレスとアカウントが長すぎるため接続できません。"));
        return;
    }
    if (!HasSessionBus()) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral(
                        "D-Busのセッションがないため GVfs が使えず、ドライブを接続できません。"));
        return;
    }
    const ToolRun mount = RunGio({QStringLiteral("mount"), uri}, kMountTimeoutMs,
                                 ReadSetting(UserConfig::Password, configPath_, 260));
    if (!mount.started) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("GVfs (gio) が使えないため、ドライブを接続できません。"));
        return;
    }
    if (mount.passwordGiven)
        logger_.Log(CLogWriter::LogInfo,
                    QStringLiteral("資格情報ストアにパスワードがないため、標準入力で渡しました。"));
    if (mount.certificateRefused) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("WebDAVサーバーの証明書を確認できないため接続しません: ") +
                        location->host);
        return;
    }
    if (mount.timedOut) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("ドライブの接続が時間内に終わりませんでした。"));
        return;
    }
    // Already mounted is fine: what counts is the folder that gio reports.
    const QString mountPath = LocalPath(uri);
    if (mountPath.isEmpty()) {
        logger_.Log(
            CLogWriter::LogError,
            mount.exitCode == 0
                ? QStringLiteral(
                      "GVfs の FUSE ブリッジ (gvfsd-fuse) がないため、ドライブを開けません。")
                : QStringLiteral("ドライブを接続できません: ") + LastLine(mount.output));
        return;
    }
    // Right after a remount of the same location the FUSE bridge answers
    // with I/O errors for a moment.
    QElapsedTimer settle;
    settle.start();
    while (!AnswersAsDirectory(mountPath, kSettleMs) && settle.elapsed() < kSettleMs)
        QThread::msleep(200);
    DriveEntryPoint entry(*letter);
    QString error;
    if (!entry.create(mountPath, uri, &error))
        logger_.Log(CLogWriter::LogError, error);
}

void GvfsDriveOperations::DisconnectDrive() {
    const std::optional<QChar> letter =
        DriveLetterOf(ReadSetting(UserConfig::DriveLetter, configPath_));
    if (!letter)
        return;
    DriveEntryPoint entry(*letter);
    QStringList mounts;
    if (const QString path = entry.mountPath(); !path.isEmpty())
        mounts.append(path);
    if (const auto location = ParseWebDavAddress(webDavAddress(), account()))
        mounts.append(location->uri());
    QElapsedTimer clock;
    clock.start();
    for (const QString& mount : mounts) {
        const qint64 left = kUnmountTimeoutMs - clock.elapsed();
        if (left <= 0 ||
            RunGio({QStringLiteral("mount"), QStringLiteral("-u"), mount}, static_cast<int>(left))
                .timedOut) {
            logger_.Log(CLogWriter::LogError,
                        QStringLiteral("ドライブの切断が時間内に終わりませんでした。"));
            break;
        }
    }
    entry.remove();
}

bool GvfsDriveOperations::DriveAnswers() {
    const std::optional<QChar> letter =
        DriveLetterOf(ReadSetting(UserConfig::DriveLetter, configPath_));
    if (!letter)
        return false;
    // The link's target: the settling after a mount checks the same folder.
    const QString mount = DriveEntryPoint(*letter).mountPath();
    return !mount.isEmpty() && AnswersAsDirectory(mount, kAnswerTimeoutMs);
}

bool GvfsDriveOperations::LetterInUse(const QString& letter) {
    const std::optional<QChar> c = DriveLetterOf(letter);
    return c && DriveEntryPoint(*c).exists();
}

std::unique_ptr<DriveOperations> CreateDriveOperations(const QString& configPath,
                                                       const QString& programSettingsPath,
                                                       CLogWriter& logger) {
    return std::make_unique<GvfsDriveOperations>(configPath, programSettingsPath, logger);
}
