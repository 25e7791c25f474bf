#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// What the connection settings dialog edits, as plain values.
struct ConnectionSettings {
    QString boxId;  // ID "@" PortalName
    QString password;
    bool useMyComputer = false;
    QString driveLetter;  // the selected list entry; empty when none
};

// What the proxy dialog edits.
struct ProxySettings {
    bool enable = false;
    QString address;
    QString port;
    bool authEnable = false;
    QString authId;
    QString authPass;
};

// The saved values, read from section Config of the settings file.
ConnectionSettings LoadConnectionSettings(const QString& configPath);
// The first failing check's message, or an empty text when the values pass.
QString ValidateConnectionSettings(const ConnectionSettings& values);
// ID, PortalName, Password, UseMyComputer and DriveLetter in one replace of
// the file: either all are written or none.
bool SaveConnectionSettings(const ConnectionSettings& values, const QString& configPath);
// "%s@%s" of the saved ID and PortalName, and the saved password, differ
// from the dialog's.
bool DiffersFromSaved(const ConnectionSettings& values, const QString& configPath);

// "C:" to "Z:": a letter in use is offered only when it is the saved one.
// No letter is reserved by a remembered connection on this platform.
QStringList DriveLetterChoices(const QString& savedLetter,
                               const std::function<bool(const QString&)>& letterInUse);

ProxySettings LoadProxySettings(const QString& configPath);
QString ValidateProxySettings(const ProxySettings& values);
// All six keys, whatever the check boxes say, in one replace of the file.
bool SaveProxySettings(const ProxySettings& values, const QString& configPath);

// Printable ASCII from blank to "~", at least one character.
bool IsHalfWidthText(const QString& text);
