#pragma once

#include <QString>

// The parts of a URL that the download needs.
struct UrlParts {
    QString host;
    QString path;
    int port = 80;
    QString scheme = QStringLiteral("http");
};

// Splits url; on failure host and path are empty, the port 80 and the
// scheme http.
UrlParts SplitUrl(const QString& url);

// The compiled-in download server, or the base URL in the environment
// variable QUILLON_UPDATE_SERVER when it is set (for development and tests).
QString DefaultDownloadServer();

// Downloads url into targetPath. The body goes to a temporary file in the
// target's folder that replaces the target by a rename only when the whole
// body arrived (and, when section and key are given, the file read as an ini
// file has a value there); the replaced file's permissions are kept. TLS is
// verified, against caFile when it is not empty. True when the target was
// written; on false the target is as it was.
bool DownloadFile(const QString& url, const QString& targetPath, const QString& caFile,
                  const QString& section = QString(), const QString& key = QString(),
                  QString* error = nullptr);
