#include "ConfigMigration.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "ConfigKeys.h"
#include "LocalAppData.h"
#include "ProfileFile.h"

namespace {

const QString kConfig = QStringLiteral("Config");
const QString kOn = QStringLiteral("ON");
// "/ トップ /": the old product's name of the top folder, seven characters.
const QString kOldTop = QStringLiteral("/ トップ /");

const char* const kConnectionKeys[] = {
    "ProxyEnable", "ProxyAddress",  "ProxyPort", "ProxyAuthEnable",
    "ProxyAuthID", "ProxyAuthPass", "ID",        "Password"};

}  // namespace

OldProductPlaces OldProductPlaces::defaults() {
    const QString system = QStringLiteral("/opt/Velmora KT/ORRIN-AutoUploader/");
    const QString alternate = QStringLiteral("/usr/local/Velmora KT/ORRIN-AutoUploader/");
    const QString base = LocalAppData::baseFolder();
    return {system + QStringLiteral("config.ini"), alternate + QStringLiteral("config.ini"),
            base.isEmpty() ? QString()
                           : base + QStringLiteral("/Velmora KT/Orrin-AutoUploader/config.ini"),
            system + QStringLiteral("uninstall"), alternate + QStringLiteral("uninstall")};
}

ConfigMigration::ConfigMigration(QString configPath, OldProductPlaces places,
                                 std::function<void(const QString&)> notify)
    : configPath_(std::move(configPath)), places_(std::move(places)), notify_(std::move(notify)) {}

bool ConfigMigration::run() {
    const QString install = QStringLiteral("Install"), firstTime = QStringLiteral("FirstTime");
    if (ProfileFile::readString(install, firstTime, QString(), configPath_) ==
        QLatin1String("FALSE"))
        return true;
    // Written first, so an interrupted migration is not repeated.
    if (!ProfileFile::writeString(install, firstTime, QStringLiteral("FALSE"), configPath_))
        return false;
    if (QFileInfo::exists(places_.systemConfig))
        migrateFrom(places_.systemConfig);
    else if (QFileInfo::exists(places_.alternateConfig))
        migrateFrom(places_.alternateConfig);
    if (!places_.userConfig.isEmpty() && QFileInfo::exists(places_.userConfig))
        migrateFrom(places_.userConfig);
    // A first start that leaves no account to work with opens the connection
    // settings once, as an installer would.
    if (ReadSetting(UserConfig::ID, configPath_).isEmpty())
        WriteSetting(UserConfig::OpenSetup, QStringLiteral("ON"), configPath_);
    return true;
}

bool ConfigMigration::migrateFrom(const QString& oldConfig) {
    const ProfileFile::Snapshot old = ProfileFile::snapshot(oldConfig);
    auto oldValue = [&](const QString& key) { return old.readString(kConfig, key, QString()); };
    QList<ProfileFile::Change> changes;
    auto put = [&](const QString& key, const QString& value) {
        changes.append({kConfig, key, value});
    };
    for (const char* key : kConnectionKeys)
        put(QLatin1String(key), oldValue(QLatin1String(key)));
    const bool secondTime = oldValue(QStringLiteral("SyncTime2Enable")) == kOn;
    const bool secondFolder = oldValue(QStringLiteral("Folder2Enable")) == kOn;

    enum class Kind { FirstTime, SecondTime, AfterStart };
    int n = 0;
    for (int i = 1; i <= (secondFolder ? 2 : 1); ++i) {
        QList<Kind> kinds{Kind::FirstTime};
        if (secondTime)
            kinds.append(Kind::SecondTime);
        kinds.append(Kind::AfterStart);
        QString remote = oldValue(QStringLiteral("OrrinPortalFolder%1").arg(i));
        if (remote.startsWith(kOldTop))
            remote = remote.mid(kOldTop.size());
        for (Kind kind : kinds) {
            ++n;
            auto job = [n](const char* pattern) { return QString::fromLatin1(pattern).arg(n); };
            auto folder = [i](const char* pattern) { return QString::fromLatin1(pattern).arg(i); };
            put(job("Name%1"), QStringLiteral("ジョブ%1").arg(n));
            put(job("SyncTime1%1Week"), QStringLiteral("1111111"));
            put(job("SyncTime2%1Week"), QStringLiteral("1111111"));
            put(job("SyncTime2%1Enable"), QStringLiteral("OFF"));
            put(job("SyncTime2%1Type"), QStringLiteral("0"));
            put(job("SyncTime2%1Hour"), QString());
            put(job("SyncTime2%1Minute"), QString());
            put(job("SyncTime2%1AfterStart"), QString());
            put(job("HotFolder%1"), oldValue(folder("HotFolder%1")));
            put(job("EvacuationFolder%1"), oldValue(folder("EvacuationFolder%1")));
            put(job("ErrorFolder%1"), oldValue(folder("ErrorFolder%1")));
            put(job("OrrinPortalFolder%1"), QStringLiteral("/User/") + remote);
            put(job("Folder%1EvacuationEnable"), oldValue(folder("Folder%1EvacuationEnable")));
            // The old product spelled this key so.
            put(job("Folder%1CompressionEnable"), oldValue(folder("Folder%1ComressionEnable")));
            put(job("Folder%1CompressionFolder"), oldValue(folder("Folder%1CompressionFolder")));
            put(job("Folder%1CompressionFilename"),
                oldValue(folder("Folder%1CompressionFilename")));
            const bool second = kind == Kind::SecondTime;
            put(job("SyncTime1%1Type"),
                kind == Kind::AfterStart ? QStringLiteral("0") : QStringLiteral("1"));
            put(job("SyncTime1%1Hour"), oldValue(second ? QStringLiteral("SyncTime2Hour")
                                                        : QStringLiteral("SyncTime1Hour")));
            put(job("SyncTime1%1Minute"), oldValue(second ? QStringLiteral("SyncTime2Minute")
                                                          : QStringLiteral("SyncTime1Minute")));
            put(job("SyncTime1%1AfterStart"),
                kind == Kind::AfterStart ? QStringLiteral("10") : QString());
        }
    }
    // The old file and the old product (whose uninstaller may remove that
    // file) go only once its settings are safely in the new one.
    if (!ProfileFile::apply(changes, configPath_))
        return false;
    QFile::remove(oldConfig);
    ProfileFile::flush(oldConfig);
    runUninstaller();
    return true;
}

void ConfigMigration::runUninstaller() {
    QString uninstaller;
    if (QFileInfo::exists(places_.systemUninstaller))
        uninstaller = places_.systemUninstaller;
    else if (QFileInfo::exists(places_.alternateUninstaller))
        uninstaller = places_.alternateUninstaller;
    if (uninstaller.isEmpty())
        return;
    if (notify_)
        notify_(QStringLiteral("旧ORRIN-PORTAL AutoUploaderをアンインストールします"));
    QProcess::execute(uninstaller, {});
}
