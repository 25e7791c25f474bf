// The REST client against the real storage emulator over HTTPS.
#include "CRestControl.h"

#include "CLogWriter.h"
#include "ConfigPaths.h"
#include "ProfileFile.h"
#include "ProgramVersion.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>
#include <picojson.h>

#include <fstream>
#include <string>
#include <vector>

#include "EmulatorClient.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

namespace {

using Entry = picojson::value;

std::string Str(const Entry& e, const char* key) {
    return e.get(key).to_str();
}

std::vector<std::pair<std::string, std::string>> Pairs(const Entry& e, const char* key) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& pair : e.get(key).get<picojson::array>()) {
        const auto& a = pair.get<picojson::array>();
        out.emplace_back(a[0].get<std::string>(), a[1].get<std::string>());
    }
    return out;
}

std::vector<std::string> HeaderNames(const Entry& e) {
    std::vector<std::string> names;
    for (const auto& [name, value] : Pairs(e, "headers"))
        names.push_back(name);
    return names;
}

std::string Header(const Entry& e, const std::string& name) {
    for (const auto& [n, v] : Pairs(e, "headers")) {
        if (QString::fromStdString(n).compare(QString::fromStdString(name), Qt::CaseInsensitive) ==
            0)
            return v;
    }
    return "<none>";
}

class RestTest : public ::testing::Test {
protected:
    explicit RestTest(const std::string& auth = "both", const std::vector<std::string>& extra = {})
        : emulator(auth, extra) {}

    void SetUp() override {
        ASSERT_TRUE(emulator.started()) << emulator.firstLine();
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        settings = LoadSettings();
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    void setConfig(const QString& key, const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString("Config", key, value, ConfigPath()));
    }
    void setProgram(const QString& section, const QString& key, const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString(section, key, value, ProgramSettingsPath()));
    }
    void reload() { settings = LoadSettings(); }

    std::vector<Entry> journal() { return ReadJournal(emulator); }
    // Requests that passed authentication (a Digest exchange adds a 401 round).
    size_t sent() {
        size_t n = 0;
        for (const Entry& e : journal())
            n += e.get("status").get<double>() != 401;
        return n;
    }
    void fault(const std::string& json) {
        HttpsClient control(emulator);
        const HttpsReply reply = control.post("/_emulator/faults", json);
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    QString repositoryFile(const QString& path) {
        QFile f(QString::fromStdString(emulator.repository().string()) + path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll())
                                           : QStringLiteral("<missing>");
    }
    QString localFile(const QString& name, const QByteArray& content) {
        const QString path = home.path() + QLatin1Char('/') + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }

    TempDataHome home;
    EmulatorProcess emulator;
    CRestSettings settings;
    CLogWriter logger;
};

TEST_F(RestTest, ReadsCarryTheStandardHeadersInOrder) {
    CRestControl rest(&settings, &logger);
    CRestResult result;
    CRestUser user;
    rest.GetCurrentUser(result, user);
    ASSERT_TRUE(result.ok) << result.status;
    EXPECT_EQ(result.status, 200);
    EXPECT_GE(result.elapsed, 0.0);
    EXPECT_EQ(user.userCode, "taro");

    CRestPortal portal;
    CRestResult portalResult;
    rest.GetCurrentPortal(portalResult, portal);
    ASSERT_TRUE(portalResult.ok);
    EXPECT_EQ(portal.portalCode, "velmora");

    const auto entries = journal();
    ASSERT_GE(entries.size(), 2u);
    const Entry& last = entries.back();
    EXPECT_EQ(Str(last, "target"), "/api/v1//currentPortal");
    std::vector<std::string> names = HeaderNames(last);
    const auto pos = [&](const char* n) {
        return std::find(names.begin(), names.end(), n) - names.begin();
    };
    EXPECT_LT(pos("Expect"), pos("X-Device-ID"));
    EXPECT_LT(pos("X-Device-ID"), pos("X-Uploader-Session"));
    EXPECT_LT(pos("X-Uploader-Session"), static_cast<long>(names.size()));
    EXPECT_EQ(Header(last, "X-Device-ID"), settings.DeviceId.toStdString());
    EXPECT_EQ(Header(last, "X-Uploader-Session"), settings.UploaderSessionId.toStdString());
    QString os;
    GetOsDisplayName(&os, 260);
    EXPECT_EQ(Header(last, "User-Agent"), ("TORVAL2-Client, " + os).toStdString());
    EXPECT_EQ(Str(last, "user"), "taro@velmora");
}

TEST_F(RestTest, FolderRequestsEscapePathsAndForms) {
    CRestControl rest(&settings, &logger);
    CRestResult made;
    rest.CreateFolder(made, QStringLiteral("Docs 2024"), QStringLiteral("/Velmora"));
    ASSERT_TRUE(made.ok) << made.status;
    EXPECT_EQ(made.status, 204);
    const Entry post = journal().back();
    EXPECT_EQ(Str(post, "target"), "/api/v1//experimental/repository/0/folder/path");
    EXPECT_EQ(Header(post, "Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    const auto form = Pairs(post, "form");
    ASSERT_EQ(form.size(), 3u);
    EXPECT_EQ(form[0], std::make_pair(std::string("name"), std::string("Docs 2024")));
    EXPECT_EQ(form[1], std::make_pair(std::string("parentFolderPath"), std::string("/Velmora")));
    EXPECT_EQ(form[2], std::make_pair(std::string("exclude"), std::string("all")));

    CRestResult again;
    rest.CreateFolder(again, QStringLiteral("Docs 2024"), QStringLiteral("/Velmora"));
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.status, 409);
    EXPECT_EQ(again.retryCount, 0) << "an existing folder is not asked for again";

    CRestResult nested;
    rest.CreateFolder(nested, QStringLiteral("日本 語"), QStringLiteral("/Velmora/Docs 2024"));
    ASSERT_TRUE(nested.ok);
    CRestItem item;
    CRestResult got;
    rest.GetFolder(got, QStringLiteral("/Velmora/Docs 2024/日本 語"), item);
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(item.name, QStringLiteral("日本 語"));
    EXPECT_EQ(Str(journal().back(), "target"),
              "/api/v1//repository/0/folder/path/Velmora/Docs%202024/"
              "%E6%97%A5%E6%9C%AC%20%E8%AA%9E?hidden=true");

    QList<CRestItem> items;
    CRestResult listed;
    rest.GetFolderItems(listed, QStringLiteral("/Velmora/Docs 2024"), items);
    ASSERT_TRUE(listed.ok);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].itemType, "folder");
}

TEST_F(RestTest, CreateFolderIsIssuedAgainUpToRetry) {
    fault(R"({"path": "/folder/path$", "method": "POST", "status": 500, "times": 0})");
    CRestControl rest(&settings, &logger);
    CRestResult result;
    rest.CreateFolder(result, QStringLiteral("x"), QStringLiteral("/Velmora"));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.retryCount, 2);
    EXPECT_EQ(sent(), 3u);

    setProgram("AutoUpload", "Retry", "0");
    reload();
    CRestResult once;
    rest.CreateFolder(once, QStringLiteral("y"), QStringLiteral("/Velmora"));
    EXPECT_EQ(sent(), 4u);
}

TEST_F(RestTest, UploadStreamsTheFileAsTwoParts) {
    QByteArray content;
    for (int i = 0; i < 100000; ++i)
        content += QByteArray::number(i) + ',';
    const QString local = localFile(QStringLiteral("a b.txt"), content);
    CRestControl rest(&settings, &logger);
    CRestResult folder;
    rest.CreateFolder(folder, QStringLiteral("Docs 2024"), QStringLiteral("/Velmora"));
    CRestResult result;
    rest.UploadFile(result, local, QStringLiteral("/Velmora/Docs 2024"));
    ASSERT_TRUE(result.ok) << result.status;
    EXPECT_EQ(result.status, 204);
    EXPECT_EQ(repositoryFile("/Velmora/Docs 2024/a b.txt"), QString::fromUtf8(content));

    const Entry upload = journal().back();
    EXPECT_EQ(Str(upload, "target"),
              "/api/v1//experimental/repository/0/file/path/Velmora/Docs%202024/a%20b.txt/:entity");
    const auto& parts = upload.get("parts").get<picojson::array>();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Str(parts[0], "name"), "exclude");
    EXPECT_EQ(Str(parts[1], "name"), "entity");
    EXPECT_EQ(Str(parts[1], "filename"), "a b.txt");
    EXPECT_EQ(Str(parts[1], "contentType"), "application/octet-stream");
    EXPECT_EQ(parts[1].get("size").get<double>(), content.size());
    const std::vector<std::string> expected = {"Expect", "X-Device-ID", "Pragma", "Cache-Control"};
    std::vector<std::string> ours;
    for (const std::string& n : HeaderNames(upload)) {
        if (std::find(expected.begin(), expected.end(), n) != expected.end() ||
            n == "X-Uploader-Session")
            ours.push_back(n);
    }
    EXPECT_EQ(ours, expected) << "own header set, without the session line";
}

TEST_F(RestTest, UploadOutcomesAndReissues) {
    const QString local = localFile(QStringLiteral("f.bin"), QByteArray(1000, 'x'));
    CRestControl rest(&settings, &logger);

    // A 200 is not a stored upload: dumped to the log, counted as 500, sent three times.
    fault(R"({"path": ":entity$", "status": 200, "body": "", "times": 3})");
    CRestResult empty;
    rest.UploadFile(empty, local, QStringLiteral("/Velmora"));
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.status, 500);
    EXPECT_EQ(empty.retryCount, 2);
    EXPECT_EQ(sent(), 3u);
    const QString log = logger.ReadLogText();
    EXPECT_EQ(log.count(QStringLiteral("body dump: size=0 str=null")), 3);
    EXPECT_EQ(log.count(QStringLiteral(" [警告] header dump: size=")), 3);

    // Storage full: sent once, with the quota message.
    fault(R"({"path": ":entity$", "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})");
    CRestResult full;
    rest.UploadFile(full, local, QStringLiteral("/Velmora"));
    EXPECT_FALSE(full.ok);
    EXPECT_EQ(full.errorCode, "PORTAL_INSUFFICIENT_STORAGE");
    EXPECT_EQ(full.message, "ディスククォータ違反です。");
    EXPECT_EQ(full.retryCount, 0);
    EXPECT_EQ(sent(), 4u);

    // A 500 that is not JSON stays a plain 500 and is tried again.
    fault(R"({"path": ":entity$", "kind": "notJson", "status": 500})");
    CRestResult plain;
    rest.UploadFile(plain, local, QStringLiteral("/Velmora"));
    EXPECT_TRUE(plain.ok);
    EXPECT_EQ(plain.retryCount, 1);

    // A missing local file: nothing is sent.
    const size_t before = sent();
    CRestResult missing;
    rest.UploadFile(missing, home.path() + "/no such file", QStringLiteral("/Velmora"));
    EXPECT_EQ(missing.status, 600);
    EXPECT_EQ(missing.message, "ファイルを開けませんでした。");
    EXPECT_EQ(missing.retryCount, 0);
    CRestResult folderAsFile;
    rest.UploadFile(folderAsFile, home.path(), QStringLiteral("/Velmora"));
    EXPECT_EQ(folderAsFile.status, 600);
    EXPECT_EQ(sent(), before);
}

TEST_F(RestTest, RequestAfterAFailureCarriesNothingOfIt) {
    CRestControl rest(&settings, &logger);
    fault(R"({"method": "DELETE", "kind": "drop", "times": 2})");
    CRestResult deleted;
    rest.DeleteFile(deleted, QStringLiteral("/Velmora/none"));
    EXPECT_FALSE(deleted.ok);
    EXPECT_LE(deleted.status, 0);

    const QString local = localFile(QStringLiteral("f.bin"), QByteArray(5000, 'y'));
    fault(R"({"path": ":entity$", "kind": "drop", "times": 0})");
    setProgram("AutoUpload", "Retry", "0");
    reload();
    CRestResult upload;
    rest.UploadFile(upload, local, QStringLiteral("/Velmora"));
    EXPECT_FALSE(upload.ok);

    CRestUser user;
    CRestResult read;
    rest.GetCurrentUser(read, user);
    ASSERT_TRUE(read.ok);
    const Entry get = journal().back();
    EXPECT_EQ(Str(get, "method"), "GET");
    EXPECT_EQ(get.get("bodySize").get<double>(), 0);
    EXPECT_TRUE(get.get("parts").get<picojson::array>().empty());
    EXPECT_EQ(Header(get, "Pragma"), "<none>");
}

TEST_F(RestTest, TransferFailuresMapToTheirMessages) {
    CRestControl rest(&settings, &logger);
    CRestUser user;

    fault(R"({"path": "/currentUser$", "kind": "truncate", "json": {"userCode": ")" +
          std::string(1000, 'x') + R"("}})");
    CRestResult truncated;
    rest.GetCurrentUser(truncated, user);
    EXPECT_FALSE(truncated.ok);
    EXPECT_EQ(truncated.status, 0);

    // A reply too large to hold is refused, not collected.
    QDir().mkpath(QString::fromStdString((emulator.repository() / "Velmora/.settings").string()));
    {
        std::ofstream big(emulator.repository() / "Velmora/.settings/big.ini", std::ios::binary);
        const std::string line(1 << 20, 'a');
        for (int i = 0; i < 65; ++i)
            big << line;
    }
    QMap<QString, QString> entries;
    CRestResult tooLarge;
    rest.GetSettingsEntity(tooLarge, QStringLiteral("big.ini"), entries);
    EXPECT_FALSE(tooLarge.ok);
    EXPECT_EQ(tooLarge.message, "サーバからの結果取得に失敗しました。");
    EXPECT_TRUE(entries.isEmpty());

    // Without the emulator's certificate the peer is not trusted.
    setProgram("AutoUpload", "CAFile", "");
    reload();
    CRestResult untrusted;
    rest.GetCurrentUser(untrusted, user);
    EXPECT_FALSE(untrusted.ok);
    EXPECT_EQ(untrusted.status, 0);

    // Unless the user turns verification off; that is logged once.
    setProgram("AutoUpload", "InsecureTls", "ON");
    reload();
    for (int i = 0; i < 2; ++i) {
        CRestResult insecure;
        rest.GetCurrentUser(insecure, user);
        EXPECT_TRUE(insecure.ok);
    }
    EXPECT_EQ(logger.ReadLogText().count("InsecureTls=ON"), 1);
}

TEST_F(RestTest, WrongPasswordIsAStatusNotAnException) {
    setConfig("Password", "wrong");
    reload();
    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult result;
    rest.GetCurrentUser(result, user);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.status, 401);
}

class BasicOnlyTest : public RestTest {
protected:
    BasicOnlyTest() : RestTest("basic") {}
};
class DigestOnlyTest : public RestTest {
protected:
    DigestOnlyTest() : RestTest("digest") {}
};

TEST_F(BasicOnlyTest, UserNameWithAtSignAuthenticates) {
    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult result;
    rest.GetCurrentUser(result, user);
    EXPECT_TRUE(result.ok) << result.status;
    EXPECT_EQ(Str(journal().back(), "auth"), "basic");
}

TEST_F(BasicOnlyTest, TheServersMethodIsRememberedAcrossRequests) {
    CRestControl rest(&settings, &logger);
    const QString local = localFile(QStringLiteral("r.bin"), QByteArray(3000, 'r'));
    for (int i = 0; i < 3; ++i) {
        CRestUser user;
        CRestResult read;
        rest.GetCurrentUser(read, user);
        EXPECT_TRUE(read.ok);
        CRestResult upload;
        rest.UploadFile(upload, local, QStringLiteral("/Velmora"));
        EXPECT_TRUE(upload.ok);
    }
    size_t refused = 0;
    for (const Entry& e : journal())
        refused += e.get("status").get<double>() == 401;
    EXPECT_EQ(refused, 1u) << "only the very first request goes out without credentials";
}

// The web tool behind a front end of its own asks for Basic, the service for Digest.
class MixedAuthTest : public RestTest {
protected:
    MixedAuthTest() : RestTest("digest", {"--auth-path", "pragma\\.cgi$=basic"}) {}
};

TEST_F(MixedAuthTest, APathChallengedWithTheOtherMethodIsAnswered) {
    CRestControl rest(&settings, &logger);
    const QString local = localFile(QStringLiteral("m.bin"), QByteArray(5000, 'm'));
    // Each step first offers the method the one before it taught.
    for (const std::string what : {"user", "pragma", "user", "pragma", "upload"}) {
        CRestResult result;
        CRestUser user;
        CRestPragma pragma;
        if (what == "user")
            rest.GetCurrentUser(result, user);
        else if (what == "pragma")
            rest.GetPragma(result, QStringLiteral("taro@velmora"), QStringLiteral("j"), pragma);
        else
            rest.UploadFile(result, local, QStringLiteral("/Velmora"));
        EXPECT_TRUE(result.ok) << what << " " << result.status;
        EXPECT_EQ(Str(journal().back(), "auth"), what == "pragma" ? "basic" : "digest") << what;
    }
    EXPECT_EQ(repositoryFile("/Velmora/m.bin"), QString(5000, 'm'));
}

TEST_F(DigestOnlyTest, UserNameWithAtSignAuthenticates) {
    CRestControl rest(&settings, &logger);
    CRestUser user;
    CRestResult result;
    rest.GetCurrentUser(result, user);
    EXPECT_TRUE(result.ok) << result.status;
    EXPECT_EQ(Str(journal().back(), "auth"), "digest");
    const QString local = localFile(QStringLiteral("d.bin"), QByteArray(70000, 'd'));
    CRestResult upload;
    rest.UploadFile(upload, local, QStringLiteral("/Velmora"));
    EXPECT_TRUE(upload.ok) << upload.status;
}

TEST_F(RestTest, SettingsEntityIsReadAsKeyValueLines) {
    {
        std::ofstream ini(emulator.repository() / "Velmora/.settings/share-config.ini",
                          std::ios::binary);
        ini << " password = 1 \r\nno equals here\nemail=0=ignored\n\t email \t=\v1\r\n";
    }
    CRestControl rest(&settings, &logger);
    QMap<QString, QString> entries;
    CRestResult result;
    rest.GetSettingsEntity(result, QStringLiteral("share-config.ini"), entries);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(entries.size(), 2);
    EXPECT_EQ(entries.value("password"), "1");
    EXPECT_EQ(entries.value("email"), "1") << "a later line replaces an earlier one";
    EXPECT_EQ(
        Str(journal().back(), "target"),
        "/api/v1//repository/0/file/path/Velmora/.settings/share-config.ini/:entity?hidden=true");
}

TEST_F(RestTest, ShareFormAndOutcomes) {
    const QString local = localFile(QStringLiteral("s.txt"), "share me");
    CRestControl rest(&settings, &logger);
    CRestResult up;
    rest.UploadFile(up, local, QStringLiteral("/Velmora/.guest"));
    ASSERT_TRUE(up.ok);

    CRestShareRequest share;
    share.paths = {QStringLiteral("/Velmora/.guest/s.txt")};
    share.mailAddresses = {QStringLiteral("a@example.com"), QStringLiteral("b+c@example.com")};
    share.accessKey = QStringLiteral("k/1");
    share.sendAccessKey = true;
    share.text = QStringLiteral("ご確認ください");
    share.expire = QStringLiteral("2024/02/08");
    CRestResult result;
    rest.CreateShare(result, share);
    ASSERT_TRUE(result.ok) << result.status;
    EXPECT_TRUE(share.downloadUrl.startsWith(
        "https://www.torval2.jp/document/file/share/download?shareId="));
    EXPECT_GT(share.downloadUrl.size(), 60);
    const auto form = Pairs(journal().back(), "form");
    std::vector<std::string> keys;
    for (const auto& [k, v] : form)
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"dummy", "path", "mailAddress", "mailAddress",
                                              "accessKey", "sendAccessKey", "text", "expire"}));
    EXPECT_EQ(form[3].second, "b+c@example.com");
    EXPECT_EQ(form[4].second, "k/1");
    EXPECT_EQ(form[6].second, "ご確認ください");
    EXPECT_EQ(form[7].second, "2024-02-08T23:59:59.000+09:00");

    // Only the pairs that are set.
    CRestShareRequest plain;
    plain.paths = {QStringLiteral("/Velmora/.guest/s.txt")};
    plain.mailAddresses = {QStringLiteral("a@example.com")};
    CRestResult plainResult;
    rest.CreateShare(plainResult, plain);
    EXPECT_EQ(Pairs(journal().back(), "form").size(), 3u);

    fault(R"({"path": "/share$", "status": 400, "json": {"statusCode": 400, "errorCode": "BAD",
              "errorParameters": ["x", "y"]}})");
    CRestShareRequest refused;
    refused.paths = plain.paths;
    CRestResult failed;
    rest.CreateShare(failed, refused);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.errorCode, "BAD");
    EXPECT_EQ(failed.message,
              "ゲスト共有に失敗しました。（statusCode=400 errorCode=BAD,errorParameters=x,y,）");
    EXPECT_TRUE(refused.downloadUrl.isEmpty());
}

TEST_F(RestTest, PortalQueriesAndWebToolRequests) {
    CRestControl rest(&settings, &logger);
    CRestOptions options;
    CRestResult opt;
    rest.GetOptions(opt, 12, options);
    EXPECT_EQ(Str(journal().back(), "target"), "/api/v1//portal/12/options");

    fault(R"({"autoBlock": {"userAgent": "WebDAV-Client/1.0"}})");
    CRestAutoBlock block;
    CRestResult blocked;
    rest.GetAutoBlock(blocked, 1, block);
    ASSERT_TRUE(blocked.ok);
    EXPECT_TRUE(block.blocked);
    EXPECT_EQ(block.userAgent, "WebDAV-Client/1.0");

    fault(R"({"pragma": {"files": ["a.txt", "b/c.txt"]}})");
    CRestPragma pragma;
    CRestResult pr;
    rest.GetPragma(pr, QStringLiteral("taro@velmora"), QStringLiteral("1386321845_042_17765"),
                   pragma);
    ASSERT_TRUE(pr.ok);
    EXPECT_TRUE(pragma.retransmission);
    EXPECT_EQ(pragma.files, (QStringList{"a.txt", "b/c.txt"}));
    EXPECT_EQ(Str(journal().back(), "target"),
              "/client-tool/pragma.cgi?boxId=taro@velmora&jobId=1386321845_042_17765");

    CRestResultLog report;
    report.type = QStringLiteral("end");
    report.versionNumber = GetProgramVersionText();
    report.jobNumber = 3;
    report.jobId = QStringLiteral("1_000_1");
    report.boxId = QStringLiteral("taro@velmora");
    report.portalId = 7;
    report.startDatetime = QStringLiteral("2024-01-02T03:04:05");
    report.abortCause = QStringLiteral("Interrupt");
    report.totalFileSize = 4294967296ull;
    report.endDatetime = QStringLiteral("2024-01-02T03:05:00");
    CRestResult sent;
    rest.SendResultLog(sent, report);
    const std::string query = Str(journal().back(), "query");
    EXPECT_EQ(query, "type=end&versionNumber=" + GetProgramVersionText().toStdString() +
                         "&jobNumber=3&jobId=1_000_1&boxId=taro@velmora&portalId=7"
                         "&isProxyUse=false&isZipUpload=false&isImmediatelyUpload=false"
                         "&isAllUpload=false&isMoveAfterUpload=false&isRetransmission=false"
                         "&startDatetime=2024-01-02T03:04:05&abortCause=Interrupt"
                         "&totalFolderCount=0&totalFileCount=0&totalFileSize=4294967296"
                         "&createdFolderCount=0&uploadedFileCount=0&uploadedFileSize=0"
                         "&errorFileCount=0&errorFileSize=0&skipFileCount=0&skipFileSize=0"
                         "&ignoreFileCount=0&ignoreFileSize=0&abortFileCount=0&abortFileSize=0"
                         "&retryCount=0&retryFileSize=0&endDatetime=2024-01-02T03:05:00");
    EXPECT_EQ(Str(journal().back(), "path"), "/client-tool/result_log.php");
}

TEST_F(RestTest, QueryValuesCannotAddParameters) {
    CRestControl rest(&settings, &logger);
    CRestPragma pragma;
    CRestResult result;
    rest.GetPragma(result, QStringLiteral("a&jobId=forged #x"), QStringLiteral("j"), pragma);
    const auto params = Pairs(journal().back(), "params");
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0].second, "a&jobId=forged #x");
    EXPECT_EQ(params[1].second, "j");
}

}  // namespace
