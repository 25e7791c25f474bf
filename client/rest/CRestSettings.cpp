#include "CRestSettings.h"

#include <QUrl>

#include "ConfigKeys.h"
#include "ProgramVersion.h"
#include "TextCodec.h"

namespace {

qint32 number(const QString& text) {
    return TextToInt(text.toUtf8());
}

}  // namespace

CRestSettings LoadSettings(const QString& configPath, const QString& programSettingsPath,
                           const Clock& clock) {
    CRestSettings s;
    s.configPath = configPath;

    // Only host and path of the configured address count: the service is
    // always spoken to over https on port 443.
    const QUrl api(ReadSetting(ProgramSettings::ApiHost, programSettingsPath), QUrl::StrictMode);
    if (api.isValid() && !api.host().isEmpty()) {
        s.host = api.host();
        s.basePath = api.path();
    } else {
        s.host = QString::fromUtf16(kDefaultApiHost);
        s.basePath = QStringLiteral("/api/v1/");
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
