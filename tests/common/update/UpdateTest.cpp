#include "UpdateState.h"

#include "CLogWriter.h"
#include "EmulatorProcess.h"
#include "EventLog.h"
#include "FileVersionNote.h"
#include "HttpsClient.h"
#include "ProcessTable.h"
#include "ProfileFile.h"
#include "TestSupport.h"
#include "UpdateDownload.h"
#include "UpdatePrompter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(path.section('/', 0, -2));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

// A real ELF program carrying the version note, as our build embeds it.
QByteArray programWithVersion(const QString& folder, quint16 a, quint16 b, quint16 c, quint16 d) {
    const QString desc = folder + "/note.bin", out = folder + "/prog.tmp";
    QByteArray note;
    const quint32 header[3] = {8, 8, 0x5156};
    note.append(reinterpret_cast<const char*>(header), sizeof header).append("Quillon", 8);
    const quint16 v[4] = {a, b, c, d};
    note.append(reinterpret_cast<const char*>(v), sizeof v);
    writeFile(desc, note);
    QFile::remove(out);
    QProcess::execute("objcopy",
                      {"--add-section", ".note.quillon.version=" + desc, "/bin/true", out});
    return readAll(out);
}

struct ZipEntry {
    const char* name;
    QByteArray data;
    int mode;
};

void writeZip(const QString& path, const std::vector<ZipEntry>& entries) {
    QFile::remove(path);
    int code = 0;
    zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE, &code);
    ASSERT_NE(z, nullptr);
    for (const auto& e : entries) {
        // libzip reads the data at close; the entries outlive it.
        zip_source_t* src = zip_source_buffer(z, e.data.constData(), e.data.size(), 0);
        const zip_int64_t i = zip_file_add(z, e.name, src, ZIP_FL_ENC_UTF_8);
        zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(0100000 | e.mode) << 16);
    }
    ASSERT_EQ(zip_close(z), 0);
}

// Running, not a zombie waiting for its parent.
bool alive(qint64 pid) {
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    return stat != "<missing>" && !stat.contains(") Z ");
}

class AnswerPrompter : public UpdatePrompter {
public:
    explicit AnswerPrompter(bool yes) : yes_(yes) {}
    bool confirmAddOnInstall() override {
        ++asked;
        return yes_;
    }
    void notify(const QString&) override {}
    int asked = 0;

private:
    bool yes_;
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.started());
        writeFile(data_.file("QuillonConfig.ini"), "[Config]\nDebug=ON\n");
        state_.listFilePath = data_.file("Quillon.ini");
        state_.programFolder = program_.path();
        state_.ownFileName = "QuillonUpdater";
        state_.dataFolder = data_.productFolder();
        state_.logger = &logger_;
    }

    QString base() const { return QString::fromStdString(emulator_.baseUrl()) + "/files"; }
    QString cert() const { return QString::fromStdString(emulator_.certificate().string()); }
    QString served(const QString& name) const { return served_.path() + "/" + name; }
    QString installed(const QString& name) const { return program_.path() + "/" + name; }

    // The list the server offers: its own address first, then the entries.
    void serveList(const QByteArray& entries) {
        writeFile(served("Quillon.ini"), "[AutoUpload]\nCAFile=" + cert().toUtf8() +
                                             "\n[Server]\nServer1=" + base().toUtf8() + "\n" +
                                             entries);
    }
    void localList(const QByteArray& servers) {
        writeFile(state_.listFilePath,
                  "[AutoUpload]\nCAFile=" + cert().toUtf8() + "\n[Server]\n" + servers);
    }
    QStringList messages() const {
        QStringList out;
        for (const auto& r : EventLog(EventLog::defaultStorePath()).readNewestFirst())
            out.prepend(r.message);
        return out;
    }
    void addFault(const std::string& json) {
        HttpsClient client(emulator_);
        ASSERT_EQ(client.post("/_emulator/faults", json, {"Content-Type: application/json"}).status,
                  200);
    }

    TempDataHome data_;
    QTemporaryDir program_;
    QTemporaryDir served_;
    EmulatorProcess emulator_{"both", {"--files", served_.path().toStdString()}};
    CLogWriter logger_;
    UpdateState state_;
};

TEST(UpdateVersionTest, EachPositionIsComparedOnItsOwn) {
    struct Case {
        const char* offered;
        const char* installed;
        bool newer;
    } cases[] = {
        {"1.2.3.4", "1.2.3.4", false}, {"1.2.3.5", "1.2.3.4", true}, {"0.9.9.9", "1.2.3.4", true},
        {"0.3.0.0", "1.2.3.4", true},  {"1.0.0.9", "2.0.0.5", true}, {"1.2.3.3", "1.2.3.4", false},
        {"a.b", "0.0.0.0", false},     {"2x.1", "1.0.0.0", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsNewerVersion(ParseVersionText(c.offered), ParseVersionText(c.installed)),
                  c.newer)
            << c.offered << " vs " << c.installed;
    EXPECT_EQ(ParseVersionText("a.b"), (VersionParts{0, 0, 0, 0}));
}

TEST(UpdateVersionTest, OurProgramsCarryTheBuildVersionOthersNone) {
    EXPECT_EQ(GetFileVersionParts(QUILLON_UPDATER), (VersionParts{EXPECTED_VERSION_PARTS}));
    EXPECT_EQ(GetFileVersionParts("/bin/true"), std::nullopt);
    EXPECT_EQ(GetFileVersionParts("/etc/hostname"), std::nullopt);
}

TEST_F(UpdateTest, ServerListFallsBackAndKeepsTheOldListWhenNoneAnswers) {
    writeFile(served("bad/Quillon.ini"), "<html>not an ini</html>");
    writeFile(served("noserver1/Quillon.ini"), "[Server]\nServer2=x\n");
    const QString dead = "https://127.0.0.1:1/files";
    struct Case {
        QByteArray localServers;
        const char* defaultServer;  // the development override, "" for none
        bool answered;
    } cases[] = {
        {"Server1=" + dead.toUtf8() + "\nServer2=" + base().toUtf8() + "\n", "", true},
        {"Server1=" + base().toUtf8() + "/bad\nServer2=" + base().toUtf8() + "/noserver1\n" +
             "Server3=" + base().toUtf8() + "\n",
         "", true},
        {"", "DEFAULT", true},
        {"Server1=" + dead.toUtf8() + "\n", "https://127.0.0.1:1/none", false},
    };
    for (const auto& c : cases) {
        serveList("File1=x\n");
        localList(c.localServers);
        const QByteArray before = readAll(state_.listFilePath);
        const QString defaultServer =
            QString(c.defaultServer) == "DEFAULT" ? base() : c.defaultServer;
        qputenv("QUILLON_UPDATE_SERVER", defaultServer.toUtf8());
        state_.serverBaseUrl.clear();
        EXPECT_TRUE(SelectUpdateServer(state_));
        qunsetenv("QUILLON_UPDATE_SERVER");
        if (c.answered) {
            EXPECT_EQ(state_.serverBaseUrl, base()) << c.localServers.constData();
            EXPECT_EQ(readAll(state_.listFilePath), readAll(served("Quillon.ini")));
        } else {
            EXPECT_EQ(state_.serverBaseUrl, QString());
            EXPECT_EQ(readAll(state_.listFilePath), before);
            EXPECT_TRUE(messages().contains("サーバ接続に失敗しました。"));
        }
    }
    EXPECT_TRUE(messages().contains("デフォルトサーバに接続します。"));
}

TEST_F(UpdateTest, PlainFilesAreReplacedWholeOnlyWhenNewer) {
    const QByteArray v1234 = programWithVersion(served_.path(), 1, 2, 3, 4);
    const QByteArray v1235 = programWithVersion(served_.path(), 1, 2, 3, 5);
    struct Case {
        const char* name;
        const char* offered;
        QByteArray before;  // empty: missing
        QByteArray servedData;
        bool replaced;
        const char* logged;
    } cases[] = {
        {"same", "1.2.3.4", v1234, v1235, false, " は更新の必要はありません。"},
        {"newer", "1.2.3.5", v1234, v1235, true, " を更新しました。"},
        {"lower.part", "0.3.0.0", v1234, v1235, true, " を更新しました。"},
        {"zero.present", "0.0.0.0", "old", "new", false, " は更新の必要はありません。"},
        {"zero.missing", "0.0.0.0", "", "new", true, " を更新しました。"},
        {"badversion", "a.b", "old", "new", false, " は更新の必要はありません。"},
        {"notserved", "9.0.0.0", "old", "", false, " の更新に失敗しました。"},
        {"cut", "9.0.0.0", "old", "whole new content", false, " の更新に失敗しました。"},
        {"QuillonUpdater", "9.0.0.0", "self", "new", false, nullptr},
    };
    QByteArray list = "[Server]\n";
    int n = 0;
    for (const auto& c : cases) {
        list += "File" + QByteArray::number(++n) + "=" + c.name + "\n";
        if (!c.before.isEmpty()) {
            writeFile(installed(c.name), c.before);
            QFile::setPermissions(installed(c.name), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadGroup);
        }
        if (!c.servedData.isEmpty())
            writeFile(served(c.name), c.servedData);
    }
    serveList(list.mid(9));
    QByteArray sections;
    for (const auto& c : cases)
        sections += QByteArray("[") + c.name + "]\nVersion=" + c.offered + "\n";
    writeFile(served("Quillon.ini"), readAll(served("Quillon.ini")) + sections);
    localList("Server1=" + base().toUtf8() + "\n");
    addFault(R"({"path": "^/files/cut$", "kind": "truncate", "body": "0123456789abcdef"})");

    EXPECT_TRUE(RunUpdate(state_));
    const QStringList log = messages();
    for (const auto& c : cases) {
        const QString name = c.name;
        const QByteArray expected = c.replaced           ? c.servedData
                                    : c.before.isEmpty() ? "<missing>"
                                                         : c.before;
        EXPECT_EQ(readAll(installed(name)), expected) << c.name;
        if (c.replaced && !c.before.isEmpty()) {
            EXPECT_TRUE(QFile::permissions(installed(name)) & QFile::ExeOwner) << c.name;
        }
        if (c.logged) {
            const QString subject = QString(c.logged).contains("必要") ? name : installed(name);
            EXPECT_TRUE(log.contains(subject + c.logged)) << c.name;
        } else {
            EXPECT_FALSE(log.join('\n').contains(name + " ")) << c.name;
        }
    }
    EXPECT_TRUE(QDir(program_.path()).entryList({".tv2*"}, QDir::Hidden | QDir::Files).isEmpty());
}

TEST_F(UpdateTest, PackagesAreUnpackedIntoTheirFolderOrRefusedWhole) {
    struct Case {
        const char* label;
        std::vector<ZipEntry> entries;
        bool corrupt;
        bool ok;
    } cases[] = {
        {"good",
         {{"Version.ini", "[Version]\nVersion=1.2.0.0\n", 0644},
          {"Tv2ShellExt.dll", "dll", 0644},
          {"sub/tool", "#!/bin/sh\n", 0755}},
         false,
         true},
        {"climbs out", {{"ok.txt", "x", 0644}, {"../evil.txt", "x", 0644}}, false, false},
        {"absolute", {{"/tmp/evil-update.txt", "x", 0644}}, false, false},
        {"corrupt", {{"a.txt", QByteArray(5000, 'a'), 0644}}, true, false},
    };
    for (const auto& c : cases) {
        QDir(installed("Plugins")).removeRecursively();
        writeZip(served("pkg.zip"), c.entries);
        if (c.corrupt) {
            QByteArray zip = readAll(served("pkg.zip"));
            writeFile(served("pkg.zip"), zip.left(zip.size() - 30));
        }
        serveList(
            "File1=pkg.zip\nFile2=after\n[pkg.zip]\nZip=1\nVersion=1.2.0.0\nDestDir=Plugins\n"
            "[after]\nVersion=0.0.0.0\n");
        writeFile(served("after"), "after");
        QFile::remove(installed("after"));
        localList("Server1=" + base().toUtf8() + "\n");

        EXPECT_EQ(RunUpdate(state_), c.ok) << c.label;
        EXPECT_EQ(QFile::exists(installed("after")), c.ok) << c.label << ": later entries";
        EXPECT_TRUE(QDir(installed("Temp")).isEmpty()) << c.label;
        EXPECT_FALSE(QFile::exists(program_.path() + "/evil.txt"));
        EXPECT_FALSE(QFile::exists("/tmp/evil-update.txt"));
        if (c.ok) {
            const QString ini = installed("Plugins/Version.ini");
            EXPECT_EQ(ProfileFile::readString("Version", "Version", "", ini), "1.2.0.0");
            EXPECT_EQ(ProfileFile::readString("Update", "Tv2ShellExt.dll", "", ini), "NeedReboot");
            EXPECT_TRUE(QFile::permissions(installed("Plugins/sub/tool")) & QFile::ExeOwner);
            EXPECT_EQ(readAll(installed("Plugins/Tv2ShellExt.dll")), "dll");
        } else {
            EXPECT_FALSE(QDir(installed("Plugins")).exists()) << c.label;
            EXPECT_TRUE(messages().contains(installed("pkg.zip") + " の更新に失敗しました。"));
        }
    }
}

TEST_F(UpdateTest, AddOnInstallerRunsOnlyWhenAllowedAndConfirmed) {
    writeFile(data_.file("FAddOn/Torval2Client"), "");
    writeFile(installed("FAddOn/" + AddOnInstallMarkerName()), "");
    const QString ran = program_.path() + "/ran.txt";
    writeFile(served("setup"), "#!/bin/sh\necho \"$@\" > '" + ran.toUtf8() + "'\n");
    struct Case {
        bool allowed;
        bool answer;
        int asked;
        bool installed;
    } cases[] = {{false, true, 0, false}, {true, false, 1, false}, {true, true, 1, true}};
    for (const auto& c : cases) {
        serveList("File1=setup\nFile2=after\n[setup]\nInstaller=1\nbits=" +
                  QByteArray::number(GetAddOnPlatformBits(state_)) +
                  "\nVersion=2.0.0.0\n[after]\nVersion=0.0.0.0\n");
        writeFile(served("after"), "after");
        QFile::remove(installed("after"));
        localList("Server1=" + base().toUtf8() + "\n");
        AnswerPrompter prompter(c.answer);
        state_.prompter = &prompter;
        state_.installersAllowed = c.allowed;
        state_.addOnInstalled = false;

        EXPECT_TRUE(RunUpdate(state_));
        EXPECT_EQ(prompter.asked, c.asked);
        EXPECT_FALSE(QFile::exists(installed("setup"))) << "the installer is never left behind";
        EXPECT_TRUE(QFile::exists(installed("after"))) << "the next entry is processed";
        EXPECT_EQ(state_.addOnInstalled, c.installed);
        EXPECT_EQ(readAll(ran), c.installed ? "/verysilent\n" : "<missing>");
        EXPECT_EQ(
            ProfileFile::readString("Version", "Version", "", installed("FAddOn/Version.ini")),
            c.installed ? "2.0.0.0" : "");
    }
    QFile::remove(installed("FAddOn/" + AddOnInstallMarkerName()));
    EXPECT_EQ(GetAddOnPlatformBits(state_), 0);
}

TEST(ClientUpdateTest, TheClientNeverRunsInstallersAndDropsOldTlsLibraries) {
    TempDataHome data;
    for (const char* name : {"libeay32.dll", "ssleay32.dll", "keep.dll"})
        writeFile(data.file(name), "x");
    const UpdateState state = UpdateState::forClient(nullptr);
    EXPECT_FALSE(state.installersAllowed);
    EXPECT_FALSE(QFile::exists(data.file("libeay32.dll")));
    EXPECT_FALSE(QFile::exists(data.file("ssleay32.dll")));
    EXPECT_TRUE(QFile::exists(data.file("keep.dll")));
}

TEST(StopAuthHookTest, EndsOnlyTheUsersOwnCompanion) {
    QTemporaryDir dir;
    for (const char* name : {"Tv2AuthHook", "Tv2AuthHookX"})
        ASSERT_TRUE(QFile::copy("/bin/sleep", dir.path() + "/" + name));
    QProcess own, similar, otherUser;
    own.start(dir.path() + "/Tv2AuthHook", {"60"});
    similar.start(dir.path() + "/Tv2AuthHookX", {"60"});
    if (::getuid() == 0) {
        otherUser.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                _exit(1);
        });
        QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
        otherUser.start(dir.path() + "/Tv2AuthHook", {"60"});
    }
    ASSERT_TRUE(own.waitForStarted() && similar.waitForStarted());

    StopAuthHook();
    EXPECT_TRUE(own.waitForFinished(5000));
    EXPECT_TRUE(alive(similar.processId()));
    if (::getuid() == 0) {
        ASSERT_TRUE(otherUser.waitForStarted());
        EXPECT_TRUE(alive(otherUser.processId())) << "another user's process stays";
        otherUser.kill();
        otherUser.waitForFinished();
    }
    similar.kill();
    similar.waitForFinished();
}

}  // namespace
