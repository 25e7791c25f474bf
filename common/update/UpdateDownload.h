#pragma once

#include <QList>
#include <QString>

#include <atomic>

#include "ConfigKeys.h"

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

// The address of a listed file below base: each "/"-separated part of name
// percent-encoded as UTF-8 (a blank becomes %20, "%" %25).
QString FileDownloadUrl(const QString& base, const QString& name);

// What a download checks and changes besides the transfer.
struct DownloadOptions {
    // Certificate bundle trusted in place of the system's; empty: the system's.
    QString caFile;
    // When both are given, the body read as an ini file must have a value there.
    QString section;
    QString key;
    // Keys of the replaced ini file that the body lacks are written into it
    // before it takes the target's place: settings that must survive it.
    QList<SettingKey> keepFromTarget;
    // Set by another thread: the transfer ends at once, as failed.
    const std::atomic<bool>* cancel = nullptr;
};

// Downloads url into targetPath. Redirects are followed, at most 5 and to
// https addresses only. The body goes to a temporary file in the target's
// folder that replaces the target by a rename only when the whole body
// arrived and passed the checks of options; the replaced file's permissions
// are kept. TLS is verified, against options.caFile when it is not empty.
// True when the target was written; on false the target is as it was.
bool DownloadFile(const QString& url, const QString& targetPath, const DownloadOptions& options,
                  QString* error = nullptr);
