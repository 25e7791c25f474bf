#include "BackgroundDriveOperations.h"

#include <thread>

#include "CLogWriter.h"

BackgroundDriveOperations::BackgroundDriveOperations(QString configPath,
                                                     QString programSettingsPath,
                                                     CLogWriter& logger)
    : configPath_(std::move(configPath)),
      programSettingsPath_(std::move(programSettingsPath)),
      direct_(CreateDriveOperations(configPath_, programSettingsPath_, logger)) {}

bool BackgroundDriveOperations::StoreDriveCredentials() {
    storePending_ = true;
    return true;
}

void BackgroundDriveOperations::ConnectDrive() {
    const bool store = storePending_;
    storePending_ = false;
    // Detached like every background task: nobody waits for it at exit, and
    // it owns everything it uses.
    std::thread([config = configPath_, program = programSettingsPath_, store] {
        CLogWriter logger;
        const std::unique_ptr<DriveOperations> drive =
            CreateDriveOperations(config, program, logger);
        if (store)
            drive->StoreDriveCredentials();
        drive->ConnectDrive();
    }).detach();
}

void BackgroundDriveOperations::DisconnectDrive() {
    direct_->DisconnectDrive();
}

bool BackgroundDriveOperations::DriveAnswers() {
    return direct_->DriveAnswers();
}

bool BackgroundDriveOperations::LetterInUse(const QString& letter) {
    return direct_->LetterInUse(letter);
}
