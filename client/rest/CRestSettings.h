#pragma once

#include <QString>

#include "ConfigPaths.h"
#include "SystemTime.h"

// Connection data of one use of the REST client, read fresh from the two
// settings files each time (every run and dialog gets its own session id).
struct CRestSettings {
    QString configPath;
    QString host;
    qint32 port = 443;
    QString scheme = QStringLiteral("https");
    QString basePath = QStringLiteral("/api/v1/");
    QString userName;  // ID "@" PortalName
    QString password;
    QString proxyAddress;
    qint32 proxyPort = 0;
    QString proxyScheme = QStringLiteral("http");
    QString proxyUser;
    QString proxyPassword;
    QString webUiUrl;
    qint32 timeOut = 0;  // connect time-out in seconds; 0: the transfer library's default
    qint32 retry = 0;
    QString userAgent;
    QString DeviceId;
    QString UploaderSessionId;
    // Certificate bundle trusted in place of the system's; empty: the system's.
    QString caFile;
    // Peer and host verification off, for networks that intercept TLS.
    bool insecureTls = false;
};

inline constexpr char16_t kDefaultApiHost[] = u"api.torval2.jp";
inline constexpr char16_t kDefaultWebUiUrl[] = u"https://www.torval2.jp";

// Never fails: every missing or unusable value falls back to its default.
CRestSettings LoadSettings(const QString& configPath = ConfigPath(),
                           const QString& programSettingsPath = ProgramSettingsPath(),
                           const Clock& clock = Clock::system());
