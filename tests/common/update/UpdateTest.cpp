#include "UpdateState.h"

#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "EventLogSupport.h"
#include "FileVersionNote.h"
#include "HttpsClient.h"
#include "JournalEntry.h"
#include "ProfileFile.h"
#include "TestSupport.h"
#include "UpdateDownload.h"
#include "UpdatePrompter.h"

#include <QDir>
#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

namespace {

struct ZipEntry {
    const char* name;
    QByteArray data;
    int mode = 0644;
};

void writeZip(const QString& path, const std::vector<ZipEntry>& entries) {
    QFile::remove(path);
    zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE, nullptr);
    ASSERT_NE(z, nullptr);
    for (const auto& e : entries) {  // read at close: the entries outlive it
        const zip_int64_t i =
            zip_file_add(z, e.name, zip_source_buffer(z, e.data.constData(), e.data.size(), 0), 0);
        zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_UNIX, (0100000u | e.mode) << 16);
    }
    ASSERT_EQ(zip_close(z), 0);
}

struct AnswerPrompter : UpdatePrompter {
    bool answer = false;
    int asked = 0;
    bool confirmAddOnInstall() override { return ++asked, answer; }
    void notify(const QString&) override {}
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.started());
        ASSERT_TRUE(putFile(data_.file("QuillonConfig.ini"), "[Config]\nDebug=ON\n"));
        state_.listFilePath = data_.file("Quillon.ini");
        state_.programFolder = program_.path();
        state_.ownFileName = "QuillonUpdater";
        state_.dataFolder = data_.productFolder();
        state_.prompter = &prompter_;
        state_.logger = &logger_;
    }
    QString base() const { return QString::fromStdString(emulator_.baseUrl()) + "/files"; }
    QString cert() const { return QString::fromStdString(emulator_.certificate().string()); }
    QString served(const QString& name) const { return served_.path() + "/" + name; }
    QString installed(const QString& name) const { return program_.path() + "/" + name; }
    QByteArray caLine() const { return "[AutoUpload]\nCAFile=" + cert().toUtf8() + "\n"; }
    // Requests for the served name `from` answer status with a Location of to.
    void redirect(const QByteArray& from, const QByteArray& to, int status, int times = 1) {
        const QByteArray rule = R"({"path": "^/files/)" + from + R"($", "status": )" +
                                QByteArray::number(status) + R"(, "body": "", "times": )" +
                                QByteArray::number(times) + R"(, "headers": {"Location": ")" + to +
                                R"("}})";
        ASSERT_EQ(HttpsClient(emulator_).post("/_emulator/faults", rule.toStdString()).status, 200);
    }

    // The server's list names itself first; the local list names the servers.
    void serveList(const QByteArray& entries) {
        ASSERT_TRUE(putFile(served("Quillon.ini"),
                            caLine() + "[Server]\nServer1=" + base().toUtf8() + "\n" + entries));
        ASSERT_TRUE(
            putFile(state_.listFilePath, caLine() + "[Server]\nServer1=" + base().toUtf8() + "\n"));
    }

    TempDataHome data_;
    QTemporaryDir program_, served_;
    EmulatorProcess emulator_{"both", {"--files", served_.path().toStdString()}};
    CLogWriter logger_;
    AnswerPrompter prompter_;
    UpdateState state_;
};

TEST(UpdateVersionTest, EachPositionIsComparedOnItsOwnAndOnlyOurFilesHaveOne) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"1.2.3.4", "1.2.3.4", false}, {"0.3.0.0", "1.2.3.4", true}, {"1.0.0.9", "2.0.0.5", true},
        {"1.2.3.3", "1.2.3.4", false}, {"a.b", "0.0.0.0", false},    {"2x.1", "1.0.0.0", true}};
    for (const auto& [offered, installed, newer] : cases)
        EXPECT_EQ(IsNewerVersion(ParseVersionText(offered), ParseVersionText(installed)), newer)
            << offered << " vs " << installed;
    EXPECT_EQ(GetFileVersionParts(QUILLON_UPDATER), (VersionParts{EXPECTED_VERSION_PARTS}));
    EXPECT_EQ(GetFileVersionParts("/bin/true"), std::nullopt);
    EXPECT_EQ(GetFileVersionParts("/etc/hostname"), std::nullopt);
}

TEST_F(UpdateTest, ServerListFallsBackAndKeepsTheOldListWhenNoneAnswers) {
    ASSERT_TRUE(putFile(served("bad/Quillon.ini"), "<html>not an ini</html>"));
    ASSERT_TRUE(putFile(served("noserver1/Quillon.ini"), "[Server]\nServer2=x\n"));
    const QByteArray dead = "https://127.0.0.1:1/files", good = base().toUtf8();
    const std::tuple<QByteArray, QByteArray, bool> cases[] = {
        {"Server1=" + dead + "\nServer2=" + good, "", true},
        {"Server1=" + good + "/bad\nServer2=" + good + "/noserver1\nServer3=" + good, "", true},
        {"", good, true},  // no list: the default server (here overridden)
        {"Server1=" + dead, dead + "/none", false}};
    for (const auto& [servers, defaultServer, answered] : cases) {
        serveList("File1=x\n");
        ASSERT_TRUE(putFile(state_.listFilePath, caLine() + "[Server]\n" + servers + "\n"));
        const QByteArray before = fileBytes(state_.listFilePath);
        qputenv("QUILLON_UPDATE_SERVER", defaultServer);
        state_.serverBaseUrl.clear();
        EXPECT_TRUE(SelectUpdateServer(state_));
        qunsetenv("QUILLON_UPDATE_SERVER");
        EXPECT_EQ(state_.serverBaseUrl, answered ? base() : QString()) << servers.constData();
        EXPECT_EQ(fileBytes(state_.listFilePath),
                  answered ? fileBytes(served("Quillon.ini")) : before);
    }
    EXPECT_TRUE(eventMessages().contains("デフォルトサーバに接続します。"));
    EXPECT_TRUE(eventMessages().contains("サーバ接続に失敗しました。"));
}

TEST_F(UpdateTest, PlainFilesAreReplacedWholeOnlyWhenNewer) {
    const QByteArray ours = fileBytes(QUILLON_UPDATER);  // carries the build's version note
    const QString kept = " は更新の必要はありません。", done = " を更新しました。",
                  failed = " の更新に失敗しました。";
    struct Case {
        const char* name;
        const char* offered;
        QByteArray before, servedData;  // empty: missing
        bool replaced;
        QString logged;
    } cases[] = {{"same", EXPECTED_VERSION, ours, "new", false, kept},
                 {"newer", "65535.0.0.0", ours, "new", true, done},
                 {"zero.present", "0.0.0.0", "old", "new", false, kept},
                 {"zero.missing", "0.0.0.0", "", "new", true, done},
                 {"notserved", "9.0.0.0", "old", "", false, failed},
                 {"cut", "9.0.0.0", "old", "whole new content", false, failed},
                 {"QuillonUpdater", "9.0.0.0", "self", "new", false, {}},
                 {"my file #1?100%.bin", "0.0.0.0", "", "new", true, done},
                 {"../outside", "9.0.0.0", "", "", false, failed}};
    QByteArray files, sections;
    int n = 0;
    for (const auto& c : cases) {
        files += "File" + QByteArray::number(++n) + "=" + c.name + "\n";
        sections += QByteArray("[") + c.name + "]\nVersion=" + c.offered + "\n";
        ASSERT_TRUE(c.before.isEmpty() || putFile(installed(c.name), c.before));
        QFile::setPermissions(installed(c.name), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner | QFile::ReadGroup);
        ASSERT_TRUE(c.servedData.isEmpty() || putFile(served(c.name), c.servedData));
    }
    serveList(files + sections);
    HttpsClient control(emulator_);
    ASSERT_EQ(control
                  .post("/_emulator/faults",
                        R"({"path": "^/files/cut$", "kind": "truncate", "body": "0123456789"})")
                  .status,
              200);

    // A program folder this user cannot write: the list is fetched, nothing else.
    state_.programFolderWritable = false;
    EXPECT_TRUE(RunUpdate(state_));
    EXPECT_EQ(state_.serverBaseUrl, base());
    EXPECT_EQ(fileBytes(installed("zero.missing")) + fileBytes(installed("cut")), "<missing>old");
    state_.programFolderWritable = true;

    EXPECT_TRUE(RunUpdate(state_));
    const QStringList log = eventMessages();
    for (const auto& c : cases) {
        const QString name = c.name;
        EXPECT_EQ(fileBytes(installed(name)), c.replaced           ? c.servedData
                                              : c.before.isEmpty() ? "<missing>"
                                                                   : c.before)
            << c.name;
        EXPECT_TRUE(!c.replaced || c.before.isEmpty() ||
                    QFile::permissions(installed(name)) & QFile::ExeOwner)
            << c.name << ": the mode is kept";
        EXPECT_TRUE(c.logged.isEmpty() ||
                    log.contains((c.logged == kept ? name : installed(name)) + c.logged))
            << c.name;
    }
    EXPECT_FALSE(log.join('\n').contains("QuillonUpdater "));
    EXPECT_TRUE(QDir(program_.path()).entryList({".tv2*"}, QDir::Hidden | QDir::Files).isEmpty());
}

// A full disk, as the file size limit makes it: the old file stays whole.
TEST_F(UpdateTest, AFullDiskLeavesTheOldFileWhole) {
    ASSERT_TRUE(putFile(installed("big"), "old"));
    ASSERT_TRUE(putFile(served("big"), QByteArray(256 * 1024, 'n')));
    bool written = true;
    {
        const FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.active());
        DownloadOptions options;
        options.caFile = cert();
        written = DownloadFile(base() + "/big", installed("big"), options);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(fileBytes(installed("big")), "old");
    EXPECT_TRUE(QDir(program_.path()).entryList({".tv2*"}, QDir::Hidden | QDir::Files).isEmpty());
}

// A moved list or file is fetched where it moved: at most five hops, https only.
TEST_F(UpdateTest, RedirectsAreFollowedFiveTimesToHttpsOnly) {
    serveList(
        "File1=moved\nFile2=far\nFile3=clear\n[moved]\nVersion=0.0.0.0\n[far]\nVersion=0.0.0.0\n["
        "clear]\nVersion=0.0.0.0\n");
    ASSERT_TRUE(putFile(served("new/Quillon.ini"), fileBytes(served("Quillon.ini"))));
    ASSERT_TRUE(QFile::remove(served("Quillon.ini")) && putFile(served("new/moved"), "moved"));
    redirect("Quillon.ini", base().toUtf8() + "/new/Quillon.ini", 301);
    // moved -> hop1 -> hop2 -> hop3 -> hop4 -> new/moved; far is one hop more.
    const int kinds[] = {302, 303, 307, 308, 301};
    for (int i = 0; i < 5; ++i)
        redirect(i ? "hop" + QByteArray::number(i) : "moved",
                 i < 4 ? "/files/hop" + QByteArray::number(i + 1) : "/files/new/moved", kinds[i],
                 0);
    redirect("far", "/files/moved", 302);
    redirect("clear",
             "http://127.0.0.1:" + QByteArray::number(emulator_.port()) + "/files/new/moved", 302);

    EXPECT_TRUE(RunUpdate(state_));
    EXPECT_EQ(state_.serverBaseUrl, base());
    EXPECT_EQ(fileBytes(installed("moved")), "moved");
    EXPECT_FALSE(QFile::exists(installed("far")) || QFile::exists(installed("clear")));
    EXPECT_TRUE(eventMessages().join('\n').contains("/clear: Protocol \"http\" not supported"));
}

// Local CAFile and InsecureTls survive a server's list that does not name them.
TEST_F(UpdateTest, LocalTlsSettingsSurviveTheServersList) {
    const EnvGuard noDefault("QUILLON_UPDATE_SERVER", "https://127.0.0.1:1/files");
    const QByteArray servers = "[Server]\nServer1=" + base().toUtf8() + "\n";
    for (const auto& [server, insecure] :
         {std::pair<QByteArray, QString>{"", "ON"}, {"[AutoUpload]\nInsecureTls=OFF\n", "OFF"}}) {
        ASSERT_TRUE(putFile(served("Quillon.ini"), servers + server));
        ASSERT_TRUE(putFile(state_.listFilePath, caLine() + "InsecureTls=ON\nRetry=9\n" + servers));
        for (int check = 1; check <= 2; ++check) {
            state_.serverBaseUrl.clear();
            EXPECT_TRUE(SelectUpdateServer(state_));
            EXPECT_EQ(state_.serverBaseUrl, base()) << "check " << check;
        }
        EXPECT_EQ(ReadSetting(ProgramSettings::CAFile, state_.listFilePath), cert());
        EXPECT_EQ(ReadSetting(ProgramSettings::InsecureTls, state_.listFilePath), insecure);
        EXPECT_EQ(ReadSetting(ProgramSettings::Retry, state_.listFilePath), "2") << "the server's";
    }
}

TEST_F(UpdateTest, PackagesAreUnpackedIntoTheirFolderOrRefusedWhole) {
    const std::vector<ZipEntry> good = {{"Version.ini", "[Version]\nVersion=1.2.0.0\n"},
                                        {"Tv2ShellExt.dll", "dll"},
                                        {"sub/tool", "#!/bin/sh\n", 0755}};
    // Label, package name, entries, whether the run goes on, whether it was unpacked.
    const std::tuple<const char*, QByteArray, std::vector<ZipEntry>, bool, bool> cases[] = {
        {"good", "pkg.zip", good, true, true},
        {"add-on package without the add-on is skipped", "Foxit.zip", good, true, false},
        {"climbs out", "pkg.zip", {{"ok.txt", "x"}, {"../evil.txt", "x"}}, false, false},
        {"absolute", "pkg.zip", {{"/tmp/evil-update.txt", "x"}}, false, false},
        {"corrupt", "pkg.zip", {{"a.txt", QByteArray(5000, 'a')}}, false, false}};
    for (const auto& [label, name, entries, ok, unpacked] : cases) {
        QDir(installed("Plugins")).removeRecursively();
        ASSERT_TRUE(putFile(installed("Temp/stale.txt"), "left by an earlier move"));
        writeZip(served(name), entries);
        ASSERT_TRUE(QByteArray(label) != "corrupt" ||
                    putFile(served(name), fileBytes(served(name)).chopped(30)));
        serveList("File1=" + name + "\nFile2=after\n[" + name +
                  "]\nZip=1\nVersion=1.2.0.0\nDestDir=Plugins\n[after]\nVersion=0.0.0.0\n");
        ASSERT_TRUE(putFile(served("after"), "after"));
        QFile::remove(installed("after"));

        EXPECT_EQ(RunUpdate(state_), ok) << label;
        EXPECT_EQ(QFile::exists(installed("after")), ok) << label << ": later entries";
        EXPECT_TRUE(QDir(installed("Temp")).isEmpty() || !unpacked) << label;
        EXPECT_FALSE(QFile::exists(installed("Plugins/stale.txt"))) << label;
        EXPECT_FALSE(QFile::exists(installed("evil.txt")) || QFile::exists("/tmp/evil-update.txt"));
        const QString ini = installed("Plugins/Version.ini");
        EXPECT_EQ(ProfileFile::readString("Version", "Version", "", ini),
                  unpacked ? "1.2.0.0" : "");
        EXPECT_EQ(ProfileFile::readString("Update", "Tv2ShellExt.dll", "", ini),
                  unpacked ? "NeedReboot" : "");
        EXPECT_EQ(QFileInfo(installed("Plugins/sub/tool")).isExecutable(), unpacked) << label;
        EXPECT_TRUE(ok || eventMessages().contains(installed(name) + " の更新に失敗しました。"));
    }
    // Unpacked in Temp, a package for (a folder in) Temp would delete itself.
    writeZip(served("pkg.zip"), good);
    ASSERT_TRUE(QFile::link("Temp", installed("Linked")) && QDir().mkpath(installed("Real")));
    ASSERT_TRUE(QFile::link("Real/../Temp", installed("Climbing")));
    for (const char* destDir : {"Temp", "Temp/sub", "Linked/sub", "Climbing"}) {
        serveList("File1=pkg.zip\n[pkg.zip]\nZip=1\nVersion=1.2.0.0\nDestDir=" +
                  QByteArray(destDir) + "\n");
        EXPECT_FALSE(RunUpdate(state_)) << destDir;
    }
}

TEST_F(UpdateTest, AddOnInstallerRunsOnlyWhenAllowedAndConfirmed) {
    ASSERT_TRUE(putFile(data_.file("FAddOn/Torval2Client"), ""));
    ASSERT_TRUE(putFile(installed("FAddOn/" + AddOnInstallMarkerName()), ""));
    const QString ran = installed("ran.txt");
    ASSERT_TRUE(putFile(served("setup"), "#!/bin/sh\necho \"$@\" > '" + ran.toUtf8() + "'\n"));
    // Installers allowed, the answer, and whether it ran.
    for (const auto& [allowed, answer, installedNow] :
         {std::tuple{false, true, false}, {true, false, false}, {true, true, true}}) {
        serveList("File1=setup\nFile2=after\n[setup]\nInstaller=1\nbits=" +
                  QByteArray::number(GetAddOnPlatformBits(state_)) +
                  "\nVersion=2.0.0.0\n[after]\nVersion=0.0.0.0\n");
        ASSERT_TRUE(putFile(served("after"), "after"));
        QFile::remove(installed("after"));
        prompter_ = AnswerPrompter();
        prompter_.answer = answer;
        state_.installersAllowed = allowed;

        EXPECT_TRUE(RunUpdate(state_));
        EXPECT_EQ(prompter_.asked, allowed ? 1 : 0);
        EXPECT_FALSE(QFile::exists(installed("setup"))) << "the installer is never left behind";
        EXPECT_TRUE(QFile::exists(installed("after"))) << "the next entry is processed";
        EXPECT_EQ(state_.addOnInstalled, installedNow);
        EXPECT_EQ(fileBytes(ran), installedNow ? "/verysilent\n" : "<missing>");
        EXPECT_EQ(
            ProfileFile::readString("Version", "Version", "", installed("FAddOn/Version.ini")),
            installedNow ? "2.0.0.0" : "");
    }
    // Installed now: not asked again, and the entries after it still follow.
    prompter_ = AnswerPrompter();
    QFile::remove(installed("after"));
    EXPECT_TRUE(RunUpdate(state_));
    EXPECT_EQ(prompter_.asked, 0);
    EXPECT_TRUE(QFile::exists(installed("after")));
    EXPECT_TRUE(logger_.ReadLogText().contains("setup は更新の必要はありません。"));
    EXPECT_EQ(Header(ReadJournal(emulator_).back(), "User-Agent"), "TORVAL2-Uploader1.0");
    // A newer one that cannot be fetched ends the run, logged.
    serveList("File1=setup\nFile2=after\n[setup]\nInstaller=1\nbits=" +
              QByteArray::number(GetAddOnPlatformBits(state_)) + "\nVersion=3.0.0.0\n");
    QFile::remove(served("setup"));
    EXPECT_FALSE(RunUpdate(state_));
    EXPECT_TRUE(eventMessages().contains(installed("setup") + " の更新に失敗しました。"));
    QFile::remove(installed("FAddOn/" + AddOnInstallMarkerName()));
    EXPECT_EQ(GetAddOnPlatformBits(state_), 0);

    // The client's copy: no installers, and the old TLS libraries go.
    for (const char* name : {"libeay32.dll", "ssleay32.dll", "keep.dll"})
        ASSERT_TRUE(putFile(data_.file(name), "x"));
    EXPECT_FALSE(UpdateState::forClient(nullptr).installersAllowed);
    EXPECT_EQ(QDir(data_.productFolder()).entryList({"*.dll"}), QStringList{"keep.dll"});
}

TEST(StopAuthHookTest, EndsOnlyTheUsersOwnCompanion) {
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
    for (const char* name : {"Tv2AuthHook", "Tv2AuthHookX"})
        ASSERT_TRUE(QFile::copy("/bin/sleep", dir.path() + "/" + name));
    QProcess own, similar, otherUser;
    own.start(dir.path() + "/Tv2AuthHook", {"60"});
    similar.start(dir.path() + "/Tv2AuthHookX", {"60"});
    if (::getuid() == 0) {  // as root a process of another user can be made
        otherUser.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                _exit(1);
        });
        otherUser.start(dir.path() + "/Tv2AuthHook", {"60"});
        ASSERT_TRUE(otherUser.waitForStarted());
    }
    ASSERT_TRUE(own.waitForStarted() && similar.waitForStarted());

    StopAuthHook();
    EXPECT_TRUE(own.waitForFinished(5000));
    EXPECT_FALSE(similar.waitForFinished(200));
    EXPECT_FALSE(otherUser.waitForFinished(200)) << "another user's stays";
    for (QProcess* p : {&otherUser, &similar})
        p->kill(), p->waitForFinished();
}

}  // namespace
