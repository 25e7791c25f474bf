#pragma once

#include <QString>

#include "DriveOperations.h"

// The drive on a Linux desktop: the WebDAV address mounted for the user by
// GVfs ("gio mount"), the password in the desktop's Secret Service under the
// attributes GVfs looks up, and the letter shown as a link in the home folder
// with a sidebar bookmark (DriveEntryPoint). Every tool call has a time limit.
class GvfsDriveOperations : public DriveOperations {
public:
    GvfsDriveOperations(QString configPath, QString programSettingsPath, CLogWriter& logger);

    bool StoreDriveCredentials() override;
    // Mounts and makes the entry point; returns within about 30 s.
    void ConnectDrive() override;
    void DisconnectDrive() override;
    bool DriveAnswers() override;
    // Anything of the letter's entry name in the home folder, ours or the
    // user's, takes the letter.
    bool LetterInUse(const QString& letter) override;

    // The realm a server names in its authentication challenge; empty when
    // it cannot be learned (server down, no challenge).
    static QString ProbeRealm(const QString& address, int timeoutMs);

private:
    QString webDavAddress() const;
    QString account() const;

    QString configPath_;
    QString programSettingsPath_;
    CLogWriter& logger_;
};
