// The REST client against the real storage emulator over HTTPS.
#include "CRestControl.h"
#include "ConnectionFailure.h"

#include "Fields.h"
#include "ProgramVersion.h"
#include "RestEmulatorTest.h"
#include "TestSupport.h"

#include <QTemporaryFile>

#include <unistd.h>

#include <cstdio>

namespace {

using Entry = picojson::value;
using RestTest = RestEmulatorTest;
using FormPairs = std::vector<std::pair<std::string, std::string>>;

// The names of the headers the client adds of its own, in the order sent.
std::string OwnHeaders(const Entry& e) {
    std::string names;
    for (const auto& [n, value] : Pairs(e, "headers")) {
        if (n == "Expect" || n.starts_with("X-") || n == "Pragma" || n == "Cache-Control")
            names += n + " ";
    }
    return names;
}

TEST_F(RestTest, ReadsCarryTheStandardHeadersInOrder) {
    CRestUser user;
    CRestResult result = currentUser(&user);
    ASSERT_EQ(Fields(result.ok, result.status, user.userCode, result.elapsed >= 0), "1|200|taro|1");
    CRestPortal portal;
    rest.GetCurrentPortal(result, portal);
    ASSERT_EQ(Fields(result.ok, portal.portalCode), "1|velmora");

    const Entry last = journal().back();
    EXPECT_EQ(OwnHeaders(last), "Expect X-Device-ID X-Uploader-Session ");
    QString os;
    GetOsDisplayName(&os, 260);
    EXPECT_EQ(Str(last, "target") + "|" + Header(last, "X-Device-ID") + "|" +
                  Header(last, "X-Uploader-Session") + "|" + Header(last, "User-Agent") + "|" +
                  Str(last, "user"),
              "/api/v1//currentPortal|" + settings.DeviceId.toStdString() + "|" +
                  settings.UploaderSessionId.toStdString() + "|TORVAL2-Client, " +
                  os.toStdString() + "|taro@velmora");
}

TEST_F(RestTest, FolderRequestsEscapePathsAndForms) {
    CRestResult made = call(&CRestControl::CreateFolder, "Docs 2024", "/Velmora");
    ASSERT_EQ(Fields(made.ok, made.status), "1|204");
    const Entry post = journal().back();
    EXPECT_EQ(Str(post, "target") + "|" + Header(post, "Content-Type"),
              "/api/v1//experimental/repository/0/folder/path|"
              "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(
        Pairs(post, "form"),
        (FormPairs{{"name", "Docs 2024"}, {"parentFolderPath", "/Velmora"}, {"exclude", "all"}}));

    // An existing folder is not asked for again.
    CRestResult again = call(&CRestControl::CreateFolder, "Docs 2024", "/Velmora");
    EXPECT_EQ(Fields(again.ok, again.status, again.retryCount), "0|409|0");

    CRestResult nested =
        call(&CRestControl::CreateFolder, QStringLiteral("日本 語"), "/Velmora/Docs 2024");
    ASSERT_TRUE(nested.ok);
    CRestItem item;
    CRestResult got =
        call(&CRestControl::GetFolder, QStringLiteral("/Velmora/Docs 2024/日本 語"), item);
    EXPECT_EQ(Fields(got.ok, item.name), QStringLiteral("1|日本 語"));
    EXPECT_EQ(Str(journal().back(), "target"),
              "/api/v1//repository/0/folder/path/Velmora/Docs%202024/"
              "%E6%97%A5%E6%9C%AC%20%E8%AA%9E?hidden=true");

    QList<CRestItem> items;
    CRestResult listed = call(&CRestControl::GetFolderItems, "/Velmora/Docs 2024", items);
    ASSERT_EQ(Fields(listed.ok, items.size()), "1|1");
    EXPECT_EQ(items[0].itemType, "folder");
}

TEST_F(RestTest, CreateFolderIsIssuedAgainUpToRetry) {
    fault(R"({"path": "/folder/path$", "method": "POST", "status": 500, "times": 0})");
    CRestResult result = call(&CRestControl::CreateFolder, "x", "/Velmora");
    EXPECT_EQ(Fields(result.ok, result.status, result.retryCount, sent()), "0|500|2|3");

    setProgram("AutoUpload", "Retry", "0");
    reload();
    rest.CreateFolder(result, "y", "/Velmora");
    EXPECT_EQ(sent(), 4u);
}

TEST_F(RestTest, UploadStreamsTheFileAsTwoParts) {
    QByteArray content;
    for (int i = 0; i < 100000; ++i)
        content += QByteArray::number(i) + ',';
    CRestResult folder = call(&CRestControl::CreateFolder, "Docs 2024", "/Velmora");
    const CRestResult result = upload("a b.txt", content, "/Velmora/Docs 2024");
    ASSERT_EQ(Fields(result.ok, result.status), "1|204");
    EXPECT_EQ(repositoryFile("/Velmora/Docs 2024/a b.txt"), content);

    const Entry sent = journal().back();
    EXPECT_EQ(Str(sent, "target"),
              "/api/v1//experimental/repository/0/file/path/Velmora/Docs%202024/a%20b.txt/:entity");
    const auto& parts = sent.get("parts").get<picojson::array>();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Str(parts[0], "name") + "|" + Str(parts[1], "name") + "|" +
                  Str(parts[1], "filename") + "|" + Str(parts[1], "contentType") + "|" +
                  Str(parts[1], "size"),
              "exclude|entity|a b.txt|application/octet-stream|" + std::to_string(content.size()));
    // Its own header set, without the session line.
    EXPECT_EQ(OwnHeaders(sent), "Expect X-Device-ID Pragma Cache-Control ");
}

TEST_F(RestTest, UploadOutcomesAndReissues) {
    const QByteArray content(1000, 'x');
    // A 200 is not a stored upload: dumped to the log, counted as 500, sent three times.
    fault(R"({"path": ":entity$", "status": 200, "body": "", "times": 3})");
    const CRestResult empty = upload("f.bin", content);
    EXPECT_EQ(Fields(empty.ok, empty.status, empty.retryCount, sent()), "0|500|2|3");
    const QString log = logger.ReadLogText();
    EXPECT_EQ(log.count("body dump: size=0 str=null"), 3);
    EXPECT_EQ(log.count(" [警告] header dump: size="), 3);

    // Storage full: sent once, with the quota message.
    fault(R"({"path": ":entity$", "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})");
    const CRestResult full = upload("f.bin", content);
    EXPECT_EQ(Fields(full.ok, full.errorCode, full.message, full.retryCount, sent()),
              "0|PORTAL_INSUFFICIENT_STORAGE|ディスククォータ違反です。|0|4");

    // A 500 that is not JSON stays a plain 500 and is tried again.
    fault(R"({"path": ":entity$", "kind": "notJson", "status": 500})");
    const CRestResult plain = upload("f.bin", content);
    EXPECT_EQ(Fields(plain.ok, plain.retryCount), "1|1");

    // A missing local file, or a folder: nothing is sent.
    const size_t before = sent();
    CRestResult missing =
        call(&CRestControl::UploadFile, home.path() + "/no such file", "/Velmora");
    CRestResult folderAsFile = call(&CRestControl::UploadFile, home.path(), "/Velmora");
    EXPECT_EQ(Fields(missing.status, missing.message, missing.retryCount, folderAsFile.status),
              "600|ファイルを開けませんでした。|0|600");
    EXPECT_EQ(sent(), before);
}

TEST_F(RestTest, RequestAfterAFailureCarriesNothingOfIt) {
    fault(R"({"method": "DELETE", "kind": "drop", "times": 2})");
    CRestResult deleted = call(&CRestControl::DeleteFile, "/Velmora/none");
    EXPECT_FALSE(deleted.ok);
    EXPECT_LE(deleted.status, 0);

    fault(R"({"path": ":entity$", "kind": "drop", "times": 0})");
    setProgram("AutoUpload", "Retry", "0");
    reload();
    EXPECT_FALSE(upload("f.bin", QByteArray(5000, 'y')).ok);

    ASSERT_TRUE(currentUser().ok);
    const Entry get = journal().back();
    EXPECT_EQ(Str(get, "method") + "|" + Str(get, "bodySize") + "|" + OwnHeaders(get),
              "GET|0|Expect X-Device-ID X-Uploader-Session ");

    // A wrong password is a status, not an exception.
    setConfig("Password", "wrong");
    reload();
    const CRestResult refused = currentUser();
    EXPECT_EQ(Fields(refused.ok, refused.status, FailureReason(refused)),
              "0|401|IDまたはパスワードが受け付けられませんでした（HTTP 401）。");
}

TEST_F(RestTest, TransferFailuresMapToTheirMessages) {
    fault(R"({"path": "/currentUser$", "kind": "truncate", "json": {"userCode": ")" +
          std::string(1000, 'x') + R"("}})");
    const CRestResult truncated = currentUser();
    EXPECT_EQ(Fields(truncated.ok, truncated.status, FailureReason(truncated)),
              "0|0|サーバとの通信が途中で失敗しました。");

    // A reply too large to hold is refused, not collected.
    ASSERT_TRUE(putFile(repository("/Velmora/.settings/big.ini"), QByteArray(65 << 20, 'a')));
    QMap<QString, QString> entries;
    CRestResult tooLarge = call(&CRestControl::GetSettingsEntity, "big.ini", entries);
    EXPECT_EQ(Fields(tooLarge.ok, tooLarge.message, entries.size()),
              "0|サーバからの結果取得に失敗しました。|0");

    // Without the emulator's certificate the peer is not trusted.
    setProgram("AutoUpload", "CAFile", "");
    reload();
    const CRestResult untrusted = currentUser();
    EXPECT_EQ(Fields(untrusted.ok, untrusted.status, FailureLogText(untrusted).section(':', 0, 1)),
              "0|0|サーバの証明書を信頼できませんでした。 (libcurl: SSL certificate problem");

    // Unless the user turns verification off; that is logged once.
    setProgram("AutoUpload", "InsecureTls", "ON");
    reload();
    EXPECT_TRUE(currentUser().ok);
    EXPECT_TRUE(currentUser().ok);
    EXPECT_EQ(logger.ReadLogText().count("InsecureTls=ON"), 1);

    qputenv("QUILLON_CONNECT_TO", "localhost:443:127.0.0.1:1");  // nothing listens there
    EXPECT_EQ(FailureReason(currentUser()),
              "サーバに接続できませんでした（名前解決、接続、または応答の時間切れ）。");
}

class BasicOnlyTest : public RestTest {
protected:
    BasicOnlyTest() : RestEmulatorTest("basic") {}
};

TEST_F(BasicOnlyTest, TheServersMethodIsRememberedAcrossRequests) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(currentUser().ok);  // the user name holds an at sign
        EXPECT_EQ(Str(journal().back(), "auth"), "basic");
        EXPECT_TRUE(upload("r.bin", QByteArray(3000, 'r')).ok);
    }
    EXPECT_EQ(journal().size() - sent(), 1u)
        << "only the very first request goes out without credentials";
}

// Verbose transfer output goes to standard error, credentials hidden.
TEST_F(BasicOnlyTest, VerboseOutputHidesCredentials) {
    const EnvGuard verbose("QUILLON_HTTP_VERBOSE", "1");
    QTemporaryFile trace;
    ASSERT_TRUE(trace.open());
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(trace.handle(), STDERR_FILENO);
    const bool ok = currentUser().ok;
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    QFile written(trace.fileName());
    ASSERT_TRUE(ok && written.open(QIODevice::ReadOnly));
    const QByteArray text = written.readAll();
    EXPECT_TRUE(text.contains("> GET /api/v1//currentUser") &&
                text.contains("\n> Authorization: <hidden>\n"))
        << text.toStdString();
    const QByteArray credentials = (settings.userName + ":" + settings.password).toUtf8();
    EXPECT_FALSE(text.contains(credentials.toBase64()) || text.contains("pa:ss word"));
}

// The web tool behind a front end of its own asks for Basic, the service for Digest.
class MixedAuthTest : public RestTest {
protected:
    MixedAuthTest() : RestEmulatorTest("digest", {"--auth-path", "pragma\\.cgi$=basic"}) {}
};

TEST_F(MixedAuthTest, APathChallengedWithTheOtherMethodIsAnswered) {
    // Each step first offers the method the one before it taught: both at first, then
    // Basic to the service, Digest to the web tool, Basic to an upload. (The emulator
    // holds a refused Digest answer open for its keep-alive time: only one such step.)
    for (const std::string what : {"pragma", "user", "pragma", "upload"}) {
        CRestResult result;
        CRestPragma pragma;
        if (what == "user")
            result = currentUser();
        else if (what == "pragma")
            rest.GetPragma(result, "taro@velmora", "j", pragma);
        else
            result = upload("m.bin", QByteArray(70000, 'm'));  // more than one read buffer
        EXPECT_TRUE(result.ok) << what << " " << result.status;
        EXPECT_EQ(Str(journal().back(), "auth"), what == "pragma" ? "basic" : "digest") << what;
    }
    EXPECT_EQ(repositoryFile("/Velmora/m.bin"), QByteArray(70000, 'm'));
}

TEST_F(RestTest, SettingsEntityIsReadAsKeyValueLines) {
    ASSERT_TRUE(putFile(repository("/Velmora/.settings/share-config.ini"),
                        " password = 1 \r\nno equals here\nemail=0=ignored\n\t email \t=\v1\r\n"));
    QMap<QString, QString> entries;
    CRestResult result = call(&CRestControl::GetSettingsEntity, "share-config.ini", entries);
    ASSERT_TRUE(result.ok);
    // A later line replaces an earlier one.
    EXPECT_EQ(entries, (QMap<QString, QString>{{"password", "1"}, {"email", "1"}}));
    EXPECT_EQ(
        Str(journal().back(), "target"),
        "/api/v1//repository/0/file/path/Velmora/.settings/share-config.ini/:entity?hidden=true");
}

TEST_F(RestTest, ShareFormAndOutcomes) {
    ASSERT_TRUE(upload("s.txt", "share me", "/Velmora/.guest").ok);
    CRestShareRequest share;
    share.paths = {"/Velmora/.guest/s.txt"};
    share.mailAddresses = {"a@example.com", "b+c@example.com"};
    share.accessKey = "k/1";
    share.sendAccessKey = true;
    share.text = QStringLiteral("ご確認ください");
    share.expire = "2024/02/08";
    CRestResult result = call(&CRestControl::CreateShare, share);
    ASSERT_TRUE(result.ok) << result.status;
    EXPECT_TRUE(share.downloadUrl.startsWith(
        "https://www.torval2.jp/document/file/share/download?shareId="));
    EXPECT_GT(share.downloadUrl.size(), 60);
    EXPECT_EQ(Pairs(journal().back(), "form"),
              (FormPairs{{"dummy", "dummy"},
                         {"path", "/Velmora/.guest/s.txt"},
                         {"mailAddress", "a@example.com"},
                         {"mailAddress", "b+c@example.com"},
                         {"accessKey", "k/1"},
                         {"sendAccessKey", "true"},
                         {"text", "ご確認ください"},
                         {"expire", "2024-02-08T23:59:59.000+09:00"}}));

    // Only the pairs that are set.
    CRestShareRequest plain;
    plain.paths = share.paths;
    plain.mailAddresses = {"a@example.com"};
    rest.CreateShare(result, plain);
    EXPECT_EQ(Pairs(journal().back(), "form"), (FormPairs{{"dummy", "dummy"},
                                                          {"path", share.paths[0].toStdString()},
                                                          {"mailAddress", "a@example.com"}}));

    fault(R"({"path": "/share$", "status": 400, "json": {"statusCode": 400, "errorCode": "BAD",
              "errorParameters": ["x", "y"]}})");
    CRestShareRequest refused;
    refused.paths = plain.paths;
    CRestResult failed = call(&CRestControl::CreateShare, refused);
    EXPECT_EQ(
        Fields(failed.ok, failed.errorCode, failed.message, refused.downloadUrl),
        "0|BAD|ゲスト共有に失敗しました。（statusCode=400 errorCode=BAD,errorParameters=x,y,）|");
}

TEST_F(RestTest, PortalQueriesAndWebToolRequests) {
    CRestOptions options;
    CRestResult result = call(&CRestControl::GetOptions, 12, options);
    EXPECT_EQ(Str(journal().back(), "target"), "/api/v1//portal/12/options");

    fault(R"({"autoBlock": {"userAgent": "WebDAV-Client/1.0"}})");
    CRestAutoBlock block;
    rest.GetAutoBlock(result, 1, block);
    EXPECT_EQ(Fields(result.ok, block.blocked, block.userAgent), "1|1|WebDAV-Client/1.0");

    // Query values cannot add parameters.
    fault(R"({"pragma": {"files": ["a.txt", "b/c.txt"]}})");
    CRestPragma pragma;
    rest.GetPragma(result, "taro@velmora&jobId=forged #x", "1386321845_042_17765", pragma);
    EXPECT_EQ(Fields(result.ok, pragma.retransmission, pragma.files.join(',')),
              "1|1|a.txt,b/c.txt");
    EXPECT_EQ(Str(journal().back(), "path"), "/client-tool/pragma.cgi");
    EXPECT_EQ(
        Pairs(journal().back(), "params"),
        (FormPairs{{"boxId", "taro@velmora&jobId=forged #x"}, {"jobId", "1386321845_042_17765"}}));
    rest.GetPragma(result, "taro@velmora", "1_000_1", pragma);
    EXPECT_EQ(Str(journal().back(), "target"),
              "/client-tool/pragma.cgi?boxId=taro@velmora&jobId=1_000_1");

    CRestResultLog report;
    report.type = "end";
    report.versionNumber = GetProgramVersionText();
    report.jobNumber = 3;
    report.jobId = "1_000_1";
    report.boxId = "taro@velmora";
    report.portalId = 7;
    report.startDatetime = "2024-01-02T03:04:05";
    report.abortCause = "Interrupt";
    report.counters.sizeTotal = 4294967296ull;
    report.endDatetime = "2024-01-02T03:05:00";
    rest.SendResultLog(result, report);
    EXPECT_EQ(Str(journal().back(), "path"), "/client-tool/result_log.php");
    EXPECT_EQ(Str(journal().back(), "query"),
              "type=end&versionNumber=" + GetProgramVersionText().toStdString() +
                  "&jobNumber=3&jobId=1_000_1&boxId=taro@velmora&portalId=7"
                  "&isProxyUse=false&isZipUpload=false&isImmediatelyUpload=false"
                  "&isAllUpload=false&isMoveAfterUpload=false&isRetransmission=false"
                  "&startDatetime=2024-01-02T03:04:05&abortCause=Interrupt"
                  "&totalFolderCount=0&totalFileCount=0&totalFileSize=4294967296"
                  "&createdFolderCount=0&uploadedFileCount=0&uploadedFileSize=0"
                  "&errorFileCount=0&errorFileSize=0&skipFileCount=0&skipFileSize=0"
                  "&ignoreFileCount=0&ignoreFileSize=0&abortFileCount=0&abortFileSize=0"
                  "&retryCount=0&retryFileSize=0&endDatetime=2024-01-02T03:05:00");
}

}  // namespace
