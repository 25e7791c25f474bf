#pragma once

#include <QString>

#include <optional>

// One record of the network password schema (org.gnome.keyring.NetworkPassword)
// that the desktop's file system layer looks up before it asks for a password.
// Empty texts and port 0 are left out of the record.
struct NetworkPasswordRecord {
    QString user;
    QString server;
    QString protocol;
    QString object;  // the realm of a WebDAV server
    QString authtype;
    int port = 0;
};

// The desktop's Secret Service (libsecret). Every call gives up after
// timeoutMs: a locked keyring on a desktop opens a prompt and would otherwise
// block the caller until someone answers it.
class SecretServiceStore {
public:
    // Stores password in the default collection, replacing a record with the
    // same attributes. False with *error when no Secret Service answers, the
    // store refuses, or the time runs out.
    static bool store(const NetworkPasswordRecord& record, const QString& label,
                      const QString& password, int timeoutMs, QString* error = nullptr);
    // The secret of the record with these attributes; nullopt when there is
    // none or the service cannot be asked.
    static std::optional<QString> lookup(const NetworkPasswordRecord& record, int timeoutMs);
};
