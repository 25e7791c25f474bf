#include "WebDavLocation.h"

#include <QUrl>

QString WebDavLocation::uri() const {
    QUrl url;
    url.setScheme(scheme);
    url.setUserName(account);
    url.setHost(host);
    url.setPort(port);
    url.setPath(path);
    return url.toString(QUrl::FullyEncoded);
}

int WebDavLocation::effectivePort() const {
    if (port > 0)
        return port;
    return scheme == QLatin1String("davs") ? 443 : 80;
}

std::optional<WebDavLocation> ParseWebDavAddress(const QString& address, const QString& account) {
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    WebDavLocation location;
    location.scheme =
        scheme == QLatin1String("https") ? QStringLiteral("davs") : QStringLiteral("dav");
    location.host = url.host();
    location.port = url.port();
    location.path = url.path().isEmpty() ? QStringLiteral("/") : url.path();
    location.account = account;
    return location;
}

QString HostOfAddress(const QString& address) {
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return QString();
    return url.host();
}

std::optional<QChar> DriveLetterOf(const QString& letter) {
    if (letter.size() != 2 || letter[1] != QLatin1Char(':'))
        return std::nullopt;
    const QChar c = letter[0].toUpper();
    if (c < QLatin1Char('C') || c > QLatin1Char('Z'))
        return std::nullopt;
    return c;
}

QString DriveEntryName(QChar letter) {
    return QStringLiteral("TORVAL2 (%1)").arg(letter);
}
