#pragma once

#include <QString>

#include "ProfileFile.h"

// One key of a settings file with the default its readers use.
struct SettingKey {
    const char16_t* section;
    const char16_t* name;
    const char16_t* defaultValue;

    QString sectionText() const { return QString::fromUtf16(section); }
    QString nameText() const { return QString::fromUtf16(name); }
    QString defaultText() const { return QString::fromUtf16(defaultValue); }
};

// QuillonConfig.ini: what the user sets. The per-job keys belong to the job list.
namespace UserConfig {
inline constexpr SettingKey ID{u"Config", u"ID", u""};
inline constexpr SettingKey PortalName{u"Config", u"PortalName", u""};
inline constexpr SettingKey Password{u"Config", u"Password", u""};
inline constexpr SettingKey UseMyComputer{u"Config", u"UseMyComputer", u""};
inline constexpr SettingKey DriveLetter{u"Config", u"DriveLetter", u""};
inline constexpr SettingKey EnableUpload{u"Config", u"EnableUpload", u""};
inline constexpr SettingKey OpenSetup{u"Config", u"OpenSetup", u""};
inline constexpr SettingKey Debug{u"Config", u"Debug", u""};
inline constexpr SettingKey CheckDlg2NoDisplay{u"Config", u"CheckDlg2NoDisplay", u""};
inline constexpr SettingKey ProxyEnable{u"Config", u"ProxyEnable", u"OFF"};
inline constexpr SettingKey ProxyAddress{u"Config", u"ProxyAddress", u""};
inline constexpr SettingKey ProxyPort{u"Config", u"ProxyPort", u""};
inline constexpr SettingKey ProxyAuthEnable{u"Config", u"ProxyAuthEnable", u"OFF"};
inline constexpr SettingKey ProxyAuthID{u"Config", u"ProxyAuthID", u""};
inline constexpr SettingKey ProxyAuthPass{u"Config", u"ProxyAuthPass", u""};
inline constexpr SettingKey DeleteDays{u"Config", u"DeleteDays", u"7"};
}  // namespace UserConfig

// Quillon.ini: program and server settings the user does not edit.
namespace ProgramSettings {
inline constexpr SettingKey ApiHost{u"Host", u"AutoUpload", u""};
inline constexpr SettingKey WebUI{u"Host", u"WebUI", u""};
inline constexpr SettingKey WebDAVXP{u"Host", u"WebDAVXP", u""};
inline constexpr SettingKey WebDAVVista{u"Host", u"WebDAVVista", u""};
inline constexpr SettingKey TimeOut{u"AutoUpload", u"TimeOut", u"60"};
inline constexpr SettingKey Retry{u"AutoUpload", u"Retry", u"2"};
inline constexpr SettingKey UserAgent{u"AutoUpload", u"UserAgent", u"TORVAL2-Client"};
// Certificate bundle trusted in place of the system's, as curl's --cacert.
inline constexpr SettingKey CAFile{u"AutoUpload", u"CAFile", u""};
// "ON" turns TLS verification off, for networks that intercept TLS.
inline constexpr SettingKey InsecureTls{u"AutoUpload", u"InsecureTls", u""};
}  // namespace ProgramSettings

// Reads a key at the moment of use: settings are never cached by callers.
inline QString ReadSetting(const SettingKey& key, const QString& path,
                           int bufferSize = ProfileFile::kDefaultBufferSize) {
    return ProfileFile::readString(key.sectionText(), key.nameText(), key.defaultText(), bufferSize,
                                   path);
}

inline bool WriteSetting(const SettingKey& key, const QString& value, const QString& path) {
    return ProfileFile::writeString(key.sectionText(), key.nameText(), value, path);
}

// Switches are "ON" and "OFF", compared exactly; each has one value that
// changes behaviour and every other text means the other state.
inline bool IsSwitchOn(const QString& value) {
    return value == QLatin1String("ON");
}
inline bool IsSwitchOff(const QString& value) {
    return value == QLatin1String("OFF");
}
