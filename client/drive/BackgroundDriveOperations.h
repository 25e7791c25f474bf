#pragma once

#include <QString>

#include <memory>

#include "DriveOperations.h"

// The drive operations as a dialog on the user-interface thread uses them:
// storing the credentials and mapping are handed, in that order, to a worker
// with operations and a logger of its own, because mounting may take many
// seconds and the mapping is started, not waited for. Unmapping stays
// synchronous (it is bounded) so the save that follows it never races it.
class BackgroundDriveOperations : public DriveOperations {
public:
    BackgroundDriveOperations(QString configPath, QString programSettingsPath, CLogWriter& logger);

    // Remembers the request; the worker of the next ConnectDrive stores first.
    bool StoreDriveCredentials() override;
    void ConnectDrive() override;
    void DisconnectDrive() override;
    bool DriveAnswers() override;
    bool LetterInUse(const QString& letter) override;

private:
    QString configPath_;
    QString programSettingsPath_;
    std::unique_ptr<DriveOperations> direct_;
    bool storePending_ = false;
};
