#include "ConnectionSettings.h"

#include <QRegularExpression>

#include "ConfigKeys.h"
#include "TextCodec.h"

namespace {

QString onOff(bool on) {
    return on ? QStringLiteral("ON") : QStringLiteral("OFF");
}

ProfileFile::Change change(const SettingKey& key, const QString& value) {
    return {key.sectionText(), key.nameText(), value};
}

}  // namespace

bool IsHalfWidthText(const QString& text) {
    // The same set as "^[a-zA-Z0-9 -/:-@\[-`{-~]+$": blank through "~".
    static const QRegularExpression expression(QStringLiteral("\\A[ -~]+\\z"));
    return expression.match(text).hasMatch();
}

ConnectionSettings LoadConnectionSettings(const QString& configPath) {
    ConnectionSettings s;
    s.boxId = ReadSetting(UserConfig::ID, configPath) + QLatin1Char('@') +
              ReadSetting(UserConfig::PortalName, configPath);
    s.password = ReadSetting(UserConfig::Password, configPath);
    s.useMyComputer = IsSwitchOn(ReadSetting(UserConfig::UseMyComputer, configPath));
    s.driveLetter = ReadSetting(UserConfig::DriveLetter, configPath);
    return s;
}

QString ValidateConnectionSettings(const ConnectionSettings& v) {
    const QString& id = v.boxId;
    if (id.isEmpty())
        return QStringLiteral("IDを入力してください。");
    if (!id.contains(QLatin1Char('@')) || id.size() <= 2 || id.startsWith(QLatin1Char('@')) ||
        id.endsWith(QLatin1Char('@')))
        return QStringLiteral("IDの入力に誤りがあります。");
    if (!IsHalfWidthText(id))
        return QStringLiteral("IDは半角英数記号を入力してください。");
    if (v.password.isEmpty())
        return QStringLiteral("パスワードを入力してください。");
    if (v.password.size() < 4 || v.password.size() > 15)
        return QStringLiteral("パスワードの入力に誤りがあります。");
    if (v.useMyComputer && v.driveLetter.isEmpty())
        return QStringLiteral("ドライブレターを選択してください。");
    return {};
}

bool SaveConnectionSettings(const ConnectionSettings& v, const QString& configPath) {
    const qsizetype at = v.boxId.indexOf(QLatin1Char('@'));
    const QString id = at < 0 ? v.boxId : v.boxId.left(at);
    const QString portal = at < 0 ? QString() : v.boxId.mid(at + 1);
    return ProfileFile::apply({change(UserConfig::ID, id), change(UserConfig::PortalName, portal),
                               change(UserConfig::Password, v.password),
                               change(UserConfig::UseMyComputer, onOff(v.useMyComputer)),
                               change(UserConfig::DriveLetter, v.driveLetter)},
                              configPath);
}

bool DiffersFromSaved(const ConnectionSettings& v, const QString& configPath) {
    const ConnectionSettings saved = LoadConnectionSettings(configPath);
    return v.boxId != saved.boxId || v.password != saved.password;
}

QStringList DriveLetterChoices(const QString& savedLetter,
                               const std::function<bool(const QString&)>& letterInUse) {
    QStringList letters;
    for (char c = 'C'; c <= 'Z'; ++c) {
        const QString letter = QChar(QLatin1Char(c)) + QStringLiteral(":");
        if (letter == savedLetter || !letterInUse || !letterInUse(letter))
            letters << letter;
    }
    return letters;
}

ProxySettings LoadProxySettings(const QString& configPath) {
    ProxySettings s;
    s.enable = IsSwitchOn(ReadSetting(UserConfig::ProxyEnable, configPath));
    s.address = ReadSetting(UserConfig::ProxyAddress, configPath);
    s.port = ReadSetting(UserConfig::ProxyPort, configPath);
    s.authEnable = IsSwitchOn(ReadSetting(UserConfig::ProxyAuthEnable, configPath));
    s.authId = ReadSetting(UserConfig::ProxyAuthID, configPath);
    s.authPass = ReadSetting(UserConfig::ProxyAuthPass, configPath);
    return s;
}

QString ValidateProxySettings(const ProxySettings& v) {
    if (v.enable) {
        if (v.address.isEmpty())
            return QStringLiteral("アドレスを入力してください。");
        if (!IsHalfWidthText(v.address))
            return QStringLiteral("アドレスは半角英数記号を入力してください。");
        if (v.port.isEmpty())
            return QStringLiteral("ポートを入力してください。");
        // Read as the connection settings read it, so what passes here is
        // the port the client will use.
        const qint64 port = TextToLong(v.port.toUtf8());
        if (port < 0 || port > 65535)
            return QStringLiteral("ポートは0～65535の範囲で入力してください。");
    }
    if (v.authEnable) {
        if (v.authId.isEmpty())
            return QStringLiteral("IDを入力してください。");
        if (!IsHalfWidthText(v.authId))
            return QStringLiteral("IDは半角英数記号を入力してください。");
        if (v.authPass.isEmpty())
            return QStringLiteral("パスワードを入力してください。");
        if (!IsHalfWidthText(v.authPass))
            return QStringLiteral("パスワードは半角英数記号を入力してください。");
    }
    return {};
}

bool SaveProxySettings(const ProxySettings& v, const QString& configPath) {
    return ProfileFile::apply(
        {change(UserConfig::ProxyEnable, onOff(v.enable)),
         change(UserConfig::ProxyAddress, v.address), change(UserConfig::ProxyPort, v.port),
         change(UserConfig::ProxyAuthEnable, onOff(v.authEnable)),
         change(UserConfig::ProxyAuthID, v.authId), change(UserConfig::ProxyAuthPass, v.authPass)},
        configPath);
}
