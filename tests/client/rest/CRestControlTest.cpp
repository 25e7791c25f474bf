// The REST client against the real storage emulator over HTTPS.
#include "CRestControl.h"

#include "Fields.h"
#include "ProgramVersion.h"
#include "RestEmulatorTest.h"

#include <QDir>

#include <fstream>

namespace {

using Entry = picojson::value;
using RestTest = RestEmulatorTest;

TEST_F(RestTest, ReadsCarryTheStandardHeadersInOrder) {
    CRestControl rest(&settings, &logger);
    CRestResult result;
    CRestUser user;
    rest.GetCurrentUser(result, user);
    ASSERT_EQ(Fields(result.ok, result.status, user.userCode), "1|200|taro");
    EXPECT_GE(result.elapsed, 0.0);

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
    ASSERT_EQ(Fields(made.ok, made.status), "1|204");
    const Entry post = journal().back();
    EXPECT_EQ(Str(post, "target"), "/api/v1//experimental/repository/0/folder/path");
    EXPECT_EQ(Header(post, "Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    const auto form = Pairs(post, "form");
    EXPECT_EQ(form,
              (decltype(form){
                  {"name", "Docs 2024"}, {"parentFolderPath", "/Velmora"}, {"exclude", "all"}}));

    CRestResult again;
    rest.CreateFolder(again, QStringLiteral("Docs 2024"), QStringLiteral("/Velmora"));
    // An existing folder is not asked for again.
    EXPECT_EQ(Fields(again.ok, again.status, again.retryCount), "0|409|0");

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
    EXPECT_EQ(Fields(result.ok, result.status, result.retryCount), "0|500|2");
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
    ASSERT_EQ(Fields(result.ok, result.status), "1|204");
    EXPECT_EQ(repositoryFile("/Velmora/Docs 2024/a b.txt"), content);

    const Entry upload = journal().back();
    EXPECT_EQ(Str(upload, "target"),
              "/api/v1//experimental/repository/0/file/path/Velmora/Docs%202024/a%20b.txt/:entity");
    const auto& parts = upload.get("parts").get<picojson::array>();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Str(parts[0], "name") + "|" + Str(parts[1], "name") + "|" +
                  Str(parts[1], "filename") + "|" + Str(parts[1], "contentType"),
              "exclude|entity|a b.txt|application/octet-stream");
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
    EXPECT_EQ(Fields(empty.ok, empty.status, empty.retryCount), "0|500|2");
    EXPECT_EQ(sent(), 3u);
    const QString log = logger.ReadLogText();
    EXPECT_EQ(log.count(QStringLiteral("body dump: size=0 str=null")), 3);
    EXPECT_EQ(log.count(QStringLiteral(" [警告] header dump: size=")), 3);

    // Storage full: sent once, with the quota message.
    fault(R"({"path": ":entity$", "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})");
    CRestResult full;
    rest.UploadFile(full, local, QStringLiteral("/Velmora"));
    EXPECT_EQ(Fields(full.ok, full.errorCode, full.message, full.retryCount),
              "0|PORTAL_INSUFFICIENT_STORAGE|ディスククォータ違反です。|0");
    EXPECT_EQ(sent(), 4u);

    // A 500 that is not JSON stays a plain 500 and is tried again.
    fault(R"({"path": ":entity$", "kind": "notJson", "status": 500})");
    CRestResult plain;
    rest.UploadFile(plain, local, QStringLiteral("/Velmora"));
    EXPECT_EQ(Fields(plain.ok, plain.retryCount), "1|1");

    // A missing local file: nothing is sent.
    const size_t before = sent();
    CRestResult missing;
    rest.UploadFile(missing, home.path() + "/no such file", QStringLiteral("/Velmora"));
    EXPECT_EQ(Fields(missing.status, missing.message, missing.retryCount),
              "600|ファイルを開けませんでした。|0");
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

    // A wrong password is a status, not an exception.
    setConfig("Password", "wrong");
    reload();
    CRestResult refused;
    rest.GetCurrentUser(refused, user);
    EXPECT_EQ(Fields(refused.ok, refused.status), "0|401");
}

TEST_F(RestTest, TransferFailuresMapToTheirMessages) {
    CRestControl rest(&settings, &logger);
    CRestUser user;

    fault(R"({"path": "/currentUser$", "kind": "truncate", "json": {"userCode": ")" +
          std::string(1000, 'x') + R"("}})");
    CRestResult truncated;
    rest.GetCurrentUser(truncated, user);
    EXPECT_EQ(Fields(truncated.ok, truncated.status), "0|0");

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
    EXPECT_EQ(Fields(tooLarge.ok, tooLarge.message, entries.size()),
              "0|サーバからの結果取得に失敗しました。|0");

    // Without the emulator's certificate the peer is not trusted.
    setProgram("AutoUpload", "CAFile", "");
    reload();
    CRestResult untrusted;
    rest.GetCurrentUser(untrusted, user);
    EXPECT_EQ(Fields(untrusted.ok, untrusted.status), "0|0");

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

class BasicOnlyTest : public RestTest {
protected:
    BasicOnlyTest() : RestEmulatorTest("basic") {}
};
class DigestOnlyTest : public RestTest {
protected:
    DigestOnlyTest() : RestEmulatorTest("digest") {}
};

TEST_F(BasicOnlyTest, TheServersMethodIsRememberedAcrossRequests) {
    CRestControl rest(&settings, &logger);
    const QString local = localFile(QStringLiteral("r.bin"), QByteArray(3000, 'r'));
    for (int i = 0; i < 3; ++i) {
        CRestUser user;
        CRestResult read;
        rest.GetCurrentUser(read, user);
        EXPECT_TRUE(read.ok) << read.status;  // the user name holds an at sign
        EXPECT_EQ(Str(journal().back(), "auth"), "basic");
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
    MixedAuthTest() : RestEmulatorTest("digest", {"--auth-path", "pragma\\.cgi$=basic"}) {}
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
    EXPECT_EQ(repositoryFile("/Velmora/m.bin"), QByteArray(5000, 'm'));
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
    // A later line replaces an earlier one.
    EXPECT_EQ(entries, (QMap<QString, QString>{{"password", "1"}, {"email", "1"}}));
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
    EXPECT_EQ(
        Fields(failed.ok, failed.errorCode, failed.message),
        "0|BAD|ゲスト共有に失敗しました。（statusCode=400 errorCode=BAD,errorParameters=x,y,）");
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
    EXPECT_EQ(Fields(blocked.ok, block.blocked, block.userAgent), "1|1|WebDAV-Client/1.0");

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
