#pragma once

#include <QString>

#include <memory>

class CLogWriter;

// The network drive as the settings dialog and the start-time mapping task
// see it. Every operation reads the settings it needs (drive letter, account,
// addresses) at the moment of the call.
class DriveOperations {
public:
    virtual ~DriveOperations() = default;

    // Stores the account for the WebDAV host, then for the REST host.
    virtual bool StoreDriveCredentials() = 0;
    // Starts mapping the saved drive letter to the WebDAV address; does not
    // wait for the drive to answer.
    virtual void ConnectDrive() = 0;
    // Removes the mapping of the saved drive letter and waits for that to
    // end, within a bounded time.
    virtual void DisconnectDrive() = 0;
    // The saved drive letter's root answers as a readable directory.
    virtual bool DriveAnswers() = 0;
    // The letter ("C:" to "Z:") is mapped now.
    virtual bool LetterInUse(const QString& letter) = 0;
};

// The operations of this platform, reading the two settings files.
std::unique_ptr<DriveOperations> CreateDriveOperations(const QString& configPath,
                                                       const QString& programSettingsPath,
                                                       CLogWriter& logger);
