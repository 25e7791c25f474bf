#include "CRestSettings.h"

#include <QUrl>

#include <mutex>

#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "ProgramVersion.h"
#include "TextCodec.h"

namespace {

qint32 number(const QString& text) {
    return TextToInt(text.toUtf8());
}

// The path of an address as written. A decoded path would turn "%20" into a
// blank that no request can carry (every request would fail without a word).
QString RawPath(const QString& address) {
    const qsizetype authority = address.indexOf(QLatin1String("//"));
    qsizetype from = authority < 0 ? 0 : authority + 2;
    while (from < address.size() && !QStringLiteral("/?#").contains(address[from]))
        ++from;
    qsizetype to = from;
    while (to < address.size() && address[to] != QLatin1Char('?') &&
           address[to] != QLatin1Char('#'))
        ++to;
    return address.mid(from, to - from);
}

// An unusable address falls back to the service's own, which the user would
// not notice: it is an error in the log, once per value.
void ReportUnusableAddress(const QString& address, const QString& configPath) {
    static std::mutex mutex;
    static QString reported;
    {
        std::lock_guard lock(mutex);
        if (reported == address)
            return;
        reported = address;
    }
    CLogWriter(configPath)
        .Log(CLogWriter::LogError,
             QStringLiteral("Quillon.ini の [") + ProgramSettings::ApiHost.sectionText() +
                 QStringLiteral("] ") + ProgramSettings::ApiHost.nameText() +
                 QStringLiteral(" をアドレスとして読めません。既定の接続先 ") +
                 QString::fromUtf16(kDefaultApiHost) + QStringLiteral(" を使います。"));
}

}  // namespace

CRestSettings LoadSettings(const QString& configPath, const QString& programSettingsPath,
                           const Clock& clock) {
    CRestSettings s;
    s.configPath = configPath;

    // Only host and path of the configured address count: the service is
    // always spoken to over https on port 443.
    const QString address = ReadSetting(ProgramSettings::ApiHost, programSettingsPath);
    const QUrl api(address, QUrl::StrictMode);
    if (api.isValid() && !api.host().isEmpty()) {
        s.host = api.host();
        s.basePath = RawPath(address);
    } else {
        s.host = QString::fromUtf16(kDefaultApiHost);
        s.basePath = QStringLiteral("/api/v1/");
        if (!address.isEmpty())
            ReportUnusableAddress(address, configPath);
    }
    s.webUiUrl = ReadSetting(ProgramSettings::WebUI, programSettingsPath);
    if (s.webUiUrl.isEmpty())
        s.webUiUrl = QString::fromUtf16(kDefaultWebUiUrl);

    s.userName = ReadSetting(UserConfig::ID, configPath) + QLatin1Char('@') +
                 ReadSetting(UserConfig::PortalName, configPath);
    s.password = ReadSetting(UserConfig::Password, configPath);

    if (IsSwitchOn(ReadSetting(UserConfig::ProxyEnable, configPath))) {
        s.proxyAddress = ReadSetting(UserConfig::ProxyAddress, configPath);
        s.proxyPort = number(ReadSetting(UserConfig::ProxyPort, configPath));
        if (s.proxyPort == 443 || s.proxyPort == 8443)
            s.proxyScheme = QStringLiteral("https");
        if (IsSwitchOn(ReadSetting(UserConfig::ProxyAuthEnable, configPath))) {
            s.proxyUser = ReadSetting(UserConfig::ProxyAuthID, configPath);
            s.proxyPassword = ReadSetting(UserConfig::ProxyAuthPass, configPath);
        }
    }

    s.timeOut = number(ReadSetting(ProgramSettings::TimeOut, programSettingsPath));
    s.retry = number(ReadSetting(ProgramSettings::Retry, programSettingsPath));
    QString os;
    GetOsDisplayName(&os, 260);
    s.userAgent =
        ReadSetting(ProgramSettings::UserAgent, programSettingsPath) + QStringLiteral(", ") + os;
    s.DeviceId = MakeDeviceId();
    s.UploaderSessionId = MakeUploaderSessionId(clock);
    s.caFile = ReadSetting(ProgramSettings::CAFile, programSettingsPath);
    s.insecureTls = IsSwitchOn(ReadSetting(ProgramSettings::InsecureTls, programSettingsPath));
    return s;
}
