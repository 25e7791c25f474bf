#pragma once

#include <QString>

#include <functional>

// Where the older sibling product (ORRIN-PORTAL AutoUploader) kept its
// settings and its uninstaller on this system.
struct OldProductPlaces {
    QString systemConfig;     // the system-wide installation
    QString alternateConfig;  // the second system-wide place, used when the first is missing
    QString userConfig;       // the per-user data folder, looked at in addition
    QString systemUninstaller;
    QString alternateUninstaller;

    // /opt/Velmora KT/ORRIN-AutoUploader, /usr/local/Velmora KT/ORRIN-AutoUploader
    // and <data base>/Velmora KT/Orrin-AutoUploader; the uninstaller is the
    // program "uninstall" beside each system-wide config.ini.
    static OldProductPlaces defaults();
};

// Carries the old product's settings into QuillonConfig.ini (configPath)
// once per user: does nothing when `FirstTime` of `Install` is "FALSE",
// else writes that marker first and migrates every old file found, the
// per-user one last. Once a file's jobs are written, the old file is deleted
// and the old uninstaller runs, after notify was called with the message to
// show. A first run that leaves `ID` empty sets `OpenSetup` to "ON", so the
// client opens its connection settings. False when the marker cannot be
// written.
class ConfigMigration {
public:
    ConfigMigration(QString configPath, OldProductPlaces places,
                    std::function<void(const QString&)> notify);
    bool run();
    // One old file into the configuration; false (and nothing else done)
    // when it cannot be written.
    bool migrateFrom(const QString& oldConfig);

private:
    void runUninstaller();

    QString configPath_;
    OldProductPlaces places_;
    std::function<void(const QString&)> notify_;
};
