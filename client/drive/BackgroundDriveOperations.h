#pragma once

#include <QString>

#include <functional>
#include <future>
#include <memory>

#include "DriveOperations.h"

// The drive operations as the settings dialog and the start-time task use
// them: every operation of the process runs, in the order asked, on one
// worker with operations and a logger of its own. A connect that is still
// mounting therefore ends before a later disconnect starts, and the last
// request decides whether the drive is there. Connecting is started, not
// waited for; the other operations wait for their turn and their end.
class BackgroundDriveOperations : public DriveOperations {
public:
    BackgroundDriveOperations(QString configPath, QString programSettingsPath, CLogWriter& logger);

    // Remembers the request; the next ConnectDrive stores first.
    bool StoreDriveCredentials() override;
    void ConnectDrive() override;
    void DisconnectDrive() override;
    bool DriveAnswers() override;
    // Asked at once: it only looks at the home folder.
    bool LetterInUse(const QString& letter) override;

private:
    // Queues operation after every earlier one of the process.
    std::future<void> post(std::function<void(DriveOperations&)> operation) const;

    QString configPath_;
    QString programSettingsPath_;
    std::unique_ptr<DriveOperations> direct_;
    bool storePending_ = false;
};
