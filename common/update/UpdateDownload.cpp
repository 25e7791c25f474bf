#include "UpdateDownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryFile>
#include <QUrl>

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FileIo.h"
#include "ProfileFile.h"

namespace {

// The download server of the product; QUILLON_UPDATE_SERVER replaces it.
constexpr char kDefaultServer[] = "https://update.torval2.jp/quillon";
constexpr char kServerVariable[] = "QUILLON_UPDATE_SERVER";

struct CurlCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListCloser {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t writeBody(char* data, size_t size, size_t count, void* file) {
    auto* out = static_cast<QFile*>(file);
    return out->write(data, static_cast<qint64>(size * count)) == static_cast<qint64>(size * count)
               ? size * count
               : 0;  // a short write ends the transfer with an error
}

// A transfer that another thread cancelled ends at libcurl's next progress
// call, at least once a second even while nothing arrives.
int checkCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return cancel && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// Writes the keys of the file at targetPath that the ini file at path lacks
// into it, in one batch; the body is then renamed into place by name.
bool keepTargetKeys(const QList<SettingKey>& keys, const QString& targetPath, const QString& path) {
    if (keys.isEmpty())
        return true;
    // No value read from a file can hold a line break.
    const QString absent = QStringLiteral("\n");
    const ProfileFile::Snapshot target = ProfileFile::snapshot(targetPath);
    const ProfileFile::Snapshot body = ProfileFile::snapshot(path);
    QList<ProfileFile::Change> missing;
    for (const SettingKey& key : keys) {
        const QString value = target.readString(key.sectionText(), key.nameText(), absent);
        if (value != absent && body.readString(key.sectionText(), key.nameText(), absent) == absent)
            missing.append({key.sectionText(), key.nameText(), value});
    }
    const bool written = missing.isEmpty() || ProfileFile::apply(missing, path);
    ProfileFile::flush(path);
    QFile::remove(path + QStringLiteral(".lock"));  // the writer's companion file
    return written;
}

}  // namespace

UrlParts SplitUrl(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    UrlParts parts;
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return parts;
    parts.scheme = scheme;
    parts.host = parsed.host();
    parts.port = parsed.port(scheme == QLatin1String("https") ? 443 : 80);
    parts.path = parsed.path(QUrl::FullyEncoded);
    if (parts.path.isEmpty())
        parts.path = QStringLiteral("/");
    if (parsed.hasQuery())
        parts.path += QLatin1Char('?') + parsed.query(QUrl::FullyEncoded);
    return parts;
}

QString DefaultDownloadServer() {
    const QString override = qEnvironmentVariable(kServerVariable);
    return override.isEmpty() ? QString::fromLatin1(kDefaultServer) : override;
}

QString FileDownloadUrl(const QString& base, const QString& name) {
    QStringList parts = name.split(QLatin1Char('/'));
    for (QString& part : parts)
        part = QString::fromLatin1(QUrl::toPercentEncoding(part));
    return base + QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

bool DownloadFile(const QString& url, const QString& targetPath, const DownloadOptions& options,
                  QString* error) {
    const UrlParts parts = SplitUrl(url);
    if (parts.host.isEmpty())
        return fail(error, QStringLiteral("not a download address: %1").arg(url));

    // The body lands beside the target, so the final rename never crosses a
    // file system and a cut download never stands in the target's place.
    const QFileInfo target(targetPath);
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.tv2XXXXXX"));
    if (!temp.open())
        return fail(error, QStringLiteral("cannot write in %1: %2")
                               .arg(target.absolutePath(), temp.errorString()));

    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl)
        return fail(error, QStringLiteral("cannot start a transfer"));
    const QByteArray rawUrl = url.toUtf8();
    std::unique_ptr<curl_slist, ListCloser> headers(curl_slist_append(nullptr, "Accept: */*"));
    curl_slist_append(headers.get(), "User-Agent: TORVAL2-Uploader1.0");
    char curlError[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, rawUrl.constData());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A server or mirror that moved is followed, but never to a clear-text
    // address and never round in circles.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    const QByteArray ca = QFile::encodeName(options.caFile);
    if (!options.caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, ca.constData());
    // No fixed limit for a large package, but a stalled server is given up.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &temp);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, checkCancel);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(options.cancel));
    const CURLcode result = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK)
        return fail(error, QStringLiteral("%1: %2").arg(
                               url, QString::fromUtf8(curlError[0] ? curlError
                                                                   : curl_easy_strerror(result))));
    if (status < 200 || status > 299)
        return fail(error, QStringLiteral("%1: status %2").arg(url).arg(status));
    if (!temp.flush() || !FileIo::Sync(temp.handle()))
        return fail(error, QStringLiteral("cannot write %1").arg(temp.fileName()));

    if (!options.section.isEmpty() && !options.key.isEmpty()) {
        const QString value =
            ProfileFile::readString(options.section, options.key, QString(), temp.fileName());
        ProfileFile::flush(temp.fileName());
        if (value.isEmpty())
            return fail(error,
                        QStringLiteral("%1: no %2 in [%3]").arg(url, options.key, options.section));
    }
    if (!keepTargetKeys(options.keepFromTarget, targetPath, temp.fileName()))
        return fail(error, QStringLiteral("cannot write %1").arg(temp.fileName()));

    // A replaced file keeps its permissions (a program stays executable); a
    // new program file becomes executable, anything else readable.
    QFile::Permissions mode =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (target.exists()) {
        mode = QFile::permissions(targetPath);
    } else {
        temp.seek(0);
        if (temp.read(4) == QByteArray("\x7f"
                                       "ELF",
                                       4))
            mode |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    }
    // By name: a body the keys were written into is a new file of that name.
    QFile::setPermissions(temp.fileName(), mode);
    if (std::rename(QFile::encodeName(temp.fileName()).constData(),
                    QFile::encodeName(targetPath).constData()) != 0)
        return fail(error, QStringLiteral("cannot replace %1: %2")
                               .arg(targetPath, QString::fromLocal8Bit(std::strerror(errno))));
    temp.setAutoRemove(false);
    return true;
}
