#pragma once

#include <QString>

#include <optional>

// The storage's WebDAV address as the desktop's file system layer names it:
// http becomes dav, https becomes davs, and the account is the user part.
struct WebDavLocation {
    QString scheme;  // "dav" or "davs"
    QString host;
    int port = -1;  // -1: the scheme's default
    QString path;   // "/" at least
    QString account;

    // The mount location, e.g. "dav://id%40portal@host:8080/dav/".
    QString uri() const;
    // The port the connection really uses.
    int effectivePort() const;
};

// Splits an http or https address; nullopt when it is not one (no host,
// another scheme, unparsable text).
std::optional<WebDavLocation> ParseWebDavAddress(const QString& address, const QString& account);

// The host of any absolute address ("scheme, port and path removed"); empty
// when the text is not an absolute address with a host.
QString HostOfAddress(const QString& address);

// "C:" to "Z:" (either case) → the upper-case letter; nullopt otherwise.
std::optional<QChar> DriveLetterOf(const QString& letter);

// The name of the letter's entry point in the home folder: "TORVAL2 (Z)".
QString DriveEntryName(QChar letter);
