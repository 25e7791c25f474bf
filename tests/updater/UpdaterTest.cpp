#include "ConfigMigration.h"

#include "EventLogSupport.h"
#include "ProfileFile.h"
#include "TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const QByteArray kOneFolderTwoTimes =
    "[Config]\nID=old-id\nPassword=p=w\nProxyEnable=ON\nSyncTime2Enable=ON\n"
    "SyncTime1Hour=8\nSyncTime1Minute=15\nSyncTime2Hour=20\nSyncTime2Minute=45\n"
    "HotFolder1=/home/u/in\nOrrinPortalFolder1=/ トップ /営業/日報\nFolder1ComressionEnable=ON\n";
const QByteArray kTwoFolders =
    "[Config]\nID=two\nFolder2Enable=ON\nSyncTime2Enable=on\nSyncTime1Hour=9\n"
    "HotFolder1=/a\nHotFolder2=/b\nOrrinPortalFolder1=plain\nOrrinPortalFolder2=/ トップ /x\n";

class MigrationTest : public ::testing::Test {
protected:
    QString place(const char* name) const { return old_.path() + "/" + name; }
    OldProductPlaces places() const {
        return {place("sys/config.ini"), place("alt/config.ini"), place("user/config.ini"),
                place("sys/uninstall"), place("alt/uninstall")};
    }
    QString config() const { return data_.file("QuillonConfig.ini"); }

    TempDataHome data_;
    QTemporaryDir old_;
};

TEST_F(MigrationTest, OldSettingsBecomeJobsOnce) {
    // Expected values as "Key=value|...", split at the first "=" of each.
    struct Case {
        const char* label;
        QByteArray sys, alt, user, firstTime;  // empty: no such file or marker
        const char* expected;
    } cases[] = {
        {"one folder, two times: three jobs", kOneFolderTwoTimes, "", "", "",
         "ID=old-id|Password=p=w|ProxyEnable=ON|ProxyPort=|Name1=ジョブ1|Name3=ジョブ3|"
         "Name4=<none>|SyncTime11Type=1|SyncTime11Hour=8|SyncTime11Minute=15|SyncTime12Type=1|"
         "SyncTime12Hour=20|SyncTime12Minute=45|SyncTime13Type=0|SyncTime13Hour=8|"
         "SyncTime13AfterStart=10|SyncTime11AfterStart=|SyncTime21Enable=OFF|"
         "SyncTime12Week=1111111|HotFolder3=/home/u/in|OrrinPortalFolder2=/User/営業/日報|"
         "Folder3CompressionEnable=ON|OpenSetup=<none>"},
        {"two folders, one time: jobs 1-4", "", kTwoFolders, "", "",
         "Name4=ジョブ4|Name5=<none>|HotFolder2=/a|HotFolder3=/b|SyncTime12Type=0|"
         "SyncTime13Type=1|SyncTime13Hour=9|OrrinPortalFolder1=/User/plain|"
         "OrrinPortalFolder4=/User/x"},
        {"lower-case marker runs again", "", "", kTwoFolders, "false", "ID=two|Name4=ジョブ4"},
        {"marker FALSE: nothing", kOneFolderTwoTimes, "", "", "FALSE",
         "ID=<none>|OpenSetup=<none>"},
        {"first start without an account: settings open", "", "", "", "", "ID=<none>|OpenSetup=ON"},
        {"system and per-user: per-user last", kOneFolderTwoTimes, kTwoFolders, kTwoFolders, "",
         "ID=two|Name4=ジョブ4|HotFolder1=/a|HotFolder3=/b"},
    };
    for (const auto& c : cases) {
        QFile::remove(config());
        QDir(old_.path()).removeRecursively();
        ASSERT_TRUE(c.firstTime.isEmpty() ||
                    putFile(config(), "[Install]\nFirstTime=" + c.firstTime + "\n"));
        for (const auto& [name, content] : {std::pair{"sys/config.ini", c.sys},
                                            {"alt/config.ini", c.alt},
                                            {"user/config.ini", c.user}})
            ASSERT_TRUE(content.isEmpty() || putFile(place(name), content));

        EXPECT_TRUE(ConfigMigration(config(), places(), {}).run()) << c.label;
        EXPECT_EQ(ProfileFile::readString("Install", "FirstTime", "", config()), "FALSE");
        for (const QString& pair : QString(c.expected).split('|'))
            EXPECT_EQ(
                ProfileFile::readString("Config", pair.section('=', 0, 0), "<none>", config()),
                pair.section('=', 1))
                << c.label << ": " << pair.toStdString();
        // Migrated files are deleted; the alternate place is read only without the first.
        const bool migrated = c.firstTime != "FALSE";
        EXPECT_EQ(QFile::exists(place("sys/config.ini")), !migrated && !c.sys.isEmpty());
        EXPECT_EQ(QFile::exists(place("alt/config.ini")),
                  !c.alt.isEmpty() && (!migrated || !c.sys.isEmpty()))
            << c.label;
        EXPECT_FALSE(migrated && QFile::exists(place("user/config.ini"))) << c.label;
    }
}

TEST_F(MigrationTest, UninstallerRunsAfterNoticeAndUnwrittenSettingsKeepTheOldFile) {
    ASSERT_TRUE(putFile(place("sys/config.ini"), kOneFolderTwoTimes));
    ASSERT_TRUE(
        putFile(place("alt/uninstall"), "#!/bin/sh\necho ran > '" + place("ran").toUtf8() + "'\n"));
    QFile::setPermissions(place("alt/uninstall"), QFile::ReadOwner | QFile::ExeOwner);
    QStringList notices;
    EXPECT_TRUE(ConfigMigration(config(), places(), [&](const QString& t) { notices << t; }).run());
    EXPECT_EQ(notices, QStringList{"旧ORRIN-PORTAL AutoUploaderをアンインストールします"});
    EXPECT_EQ(fileBytes(place("ran")), "ran\n");

    // Jobs that cannot be written must not cost the old settings: neither the
    // old file nor the old product (whose uninstaller may delete it) goes.
    ASSERT_TRUE(putFile(place("sys/config.ini"), kOneFolderTwoTimes) &&
                QFile::remove(place("ran")));
    QDir().mkpath(data_.file("blocked.ini"));
    EXPECT_FALSE(ConfigMigration(data_.file("blocked.ini"), places(), {})
                     .migrateFrom(place("sys/config.ini")));
    EXPECT_EQ(fileBytes(place("sys/config.ini")), kOneFolderTwoTimes);
    EXPECT_FALSE(QFile::exists(place("ran")));
}

// The updater in a program folder its user cannot write, as the Debian
// package's under /usr: it says so once and leaves the files alone. As root
// (who may write anywhere) it runs as nobody.
TEST(UpdaterProgramTest, ReadOnlyProgramFolderIsLeftToThePackageManager) {
    TempDataHome data;
    QTemporaryDir program;
    ASSERT_TRUE(QFile::copy(QUILLON_UPDATER, program.path() + "/QuillonUpdater"));
    ASSERT_TRUE(QFile::setPermissions(
        program.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    QProcess updater;
    if (::getuid() == 0) {
        for (const QString& dir : {data.path(), data.path() + "/Velmora KT", data.productFolder()})
            ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
        updater.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                _exit(1);
        });
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLON_UPDATE_SERVER", "https://127.0.0.1:1/none");
    updater.setProcessEnvironment(env);
    updater.start(program.path() + "/QuillonUpdater", {});
    ASSERT_TRUE(updater.waitForFinished(60000));
    EXPECT_EQ(updater.exitCode(), 0);
    const QString line = "プログラムフォルダ（" + program.path() +
                         "）に書き込めないため、アップデートは行いません。"
                         "パッケージの更新で更新してください。";
    EXPECT_EQ(eventMessages().count(line), 1) << eventMessages().join('\n').toStdString();
}

}  // namespace
