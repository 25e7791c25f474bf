#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "JournalEntry.h"

#include <gtest/gtest.h>
#include <picojson.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "taro@velmora";
constexpr const char* kPassword = "pa:ss word";
constexpr long kAnyAuth = CURLAUTH_BASIC | CURLAUTH_DIGEST;

picojson::value Json(const std::string& text) {
    picojson::value v;
    std::string error = picojson::parse(v, text);
    EXPECT_EQ(error, "") << text;
    return v;
}

std::vector<picojson::value> Journal(const EmulatorProcess& emulator) {
    std::ifstream in(emulator.dataFolder() / "journal.jsonl");
    std::vector<picojson::value> entries;
    std::string line;
    while (std::getline(in, line))
        entries.push_back(Json(line));
    return entries;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>(gen());
    return out;
}

long PeakResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

size_t IndexOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

const std::string kUploadPath = "/api/v1//experimental/repository/0/file/path/";
const std::string kFolderPath = "/api/v1//experimental/repository/0/folder/path";

std::vector<MultipartField> UploadFields(const std::string& data, const std::string& name) {
    return {{"exclude", "all", "", 0, "", ""},
            {"entity", data, "", 0, name, "application/octet-stream"}};
}

class StorageEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.started()) << "first line: " << emulator_.firstLine();
        client_.setCredentials(kUser, kPassword, kAnyAuth);
    }

    HttpsReply addFault(const std::string& json) {
        HttpsClient control(emulator_);
        return control.post("/_emulator/faults", json, {"Content-Type: application/json"});
    }

    EmulatorProcess emulator_;
    HttpsClient client_{emulator_};
};

}  // namespace

TEST(StorageEmulatorStartTest, PrintsTheListeningAddressAndStopsWithExitCodeZero) {
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.started()) << emulator.firstLine();
    EXPECT_EQ(emulator.firstLine(), "listening on 127.0.0.1:" + std::to_string(emulator.port()));
    EXPECT_TRUE(fs::exists(emulator.certificate()));
    EXPECT_EQ(emulator.stop(), 0);
}

TEST(StorageEmulatorAuthTest, BasicAcceptsTheAccountAndRefusesAWrongPassword) {
    EmulatorProcess emulator("basic");
    ASSERT_TRUE(emulator.started());
    HttpsClient client(emulator);
    client.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
    HttpsReply ok = client.get("/api/v1//currentUser");
    ASSERT_EQ(ok.code, CURLE_OK) << curl_easy_strerror(ok.code);
    EXPECT_EQ(ok.status, 200);
    picojson::value user = Json(ok.body);
    EXPECT_EQ(user.get("userCode").to_str(), "taro");
    EXPECT_EQ(user.get("portalId").to_str(), "1");

    client.setCredentials("hanako@other", "secret2", CURLAUTH_BASIC);
    EXPECT_EQ(Json(client.get("/api/v1//currentPortal").body).get("portalCode").to_str(), "other");

    client.setCredentials(kUser, "pa:ss wore", CURLAUTH_BASIC);
    HttpsReply refused = client.get("/api/v1//currentUser");
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.headers.find("WWW-Authenticate: Basic realm="), std::string::npos);
    EXPECT_EQ(refused.headers.find("Digest"), std::string::npos);
    picojson::value error = Json(refused.body);
    EXPECT_EQ(error.get("statusCode").to_str(), "401");
    EXPECT_TRUE(error.get("errorParameters").is<picojson::array>());

    client.setCredentials(kUser, kPassword, CURLAUTH_DIGEST);
    EXPECT_EQ(client.get("/api/v1//currentUser").status, 401);
}

TEST(StorageEmulatorAuthTest, DigestAcceptsTheAccountAndRefusesAWrongPassword) {
    EmulatorProcess emulator("digest");
    ASSERT_TRUE(emulator.started());
    HttpsClient client(emulator);
    client.setCredentials(kUser, kPassword, CURLAUTH_DIGEST);
    // An escaped blank in the path: the digest covers the target exactly as sent.
    HttpsReply ok = client.get("/api/v1//repository/0/folder/path/Velmora/:items?hidden=true");
    ASSERT_EQ(ok.code, CURLE_OK);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(client.get("/api/v1//repository/0/folder/path/no%20such?hidden=true").status, 404);
    auto journal = Journal(emulator);
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back().get("auth").to_str(), "digest");
    EXPECT_EQ(journal.back().get("user").to_str(), kUser);

    client.setCredentials(kUser, "wrong", CURLAUTH_DIGEST);
    HttpsReply refused = client.get("/api/v1//currentUser");
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.headers.find("WWW-Authenticate: Digest realm=\"TORVAL2\", qop=\"auth\""),
              std::string::npos);
    EXPECT_EQ(Journal(emulator).back().get("authFailure").to_str(), "wrong user or password");

    client.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
    EXPECT_EQ(client.get("/api/v1//currentUser").status, 401);
}

TEST(StorageEmulatorAuthTest, DigestRefusesAReplayedOrMovedAuthorization) {
    EmulatorProcess emulator("digest");
    ASSERT_TRUE(emulator.started());
    HttpsClient client(emulator);
    client.setCredentials(kUser, kPassword, CURLAUTH_DIGEST);
    ASSERT_EQ(client.get("/api/v1//currentUser").status, 200);
    const std::string authorization = Header(Journal(emulator).back(), "Authorization");
    ASSERT_NE(authorization.find("Digest "), std::string::npos);

    HttpsClient replay(emulator);
    EXPECT_EQ(replay.get("/api/v1//currentUser", {"Authorization: " + authorization}).status, 401);
    EXPECT_EQ(Journal(emulator).back().get("authFailure").to_str(), "nonce count replayed");
    EXPECT_EQ(replay.get("/api/v1//currentPortal", {"Authorization: " + authorization}).status,
              401);
    EXPECT_EQ(Journal(emulator).back().get("authFailure").to_str(),
              "digest uri does not match the request");
}

TEST_F(StorageEmulatorTest, OffersBothSchemesAndTheClientPicksDigest) {
    HttpsClient anonymous(emulator_);
    HttpsReply challenge = anonymous.get("/api/v1//currentPortal");
    EXPECT_EQ(challenge.status, 401);
    EXPECT_NE(challenge.headers.find("WWW-Authenticate: Digest"), std::string::npos);
    EXPECT_NE(challenge.headers.find("WWW-Authenticate: Basic"), std::string::npos);

    HttpsReply portal = client_.get("/api/v1//currentPortal");
    EXPECT_EQ(portal.status, 200);
    EXPECT_EQ(Json(portal.body).get("portalCode").to_str(), "velmora");
    EXPECT_EQ(Journal(emulator_).back().get("auth").to_str(), "digest");
    // The base path with and without the client's double slash.
    EXPECT_EQ(client_.get("/api/v1/currentPortal").status, 200);
}

TEST_F(StorageEmulatorTest, TrustsTheCertificateUnderTheNameLocalhost) {
    client_.useHostName("localhost");
    HttpsReply reply = client_.get("/api/v1//currentUser");
    EXPECT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    EXPECT_EQ(reply.status, 200);
}

TEST_F(StorageEmulatorTest, CreatesAFolderAndAnswers409WhenItExists) {
    const std::string body = "name=Docs%202024&parentFolderPath=%2F&exclude=all";
    const std::vector<std::string> form = {
        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8"};
    HttpsReply created = client_.post(kFolderPath, body, form);
    EXPECT_EQ(created.status, 204);
    EXPECT_TRUE(fs::is_directory(emulator_.repository() / "Docs 2024"));
    const auto fields = Pairs(Journal(emulator_).back(), "form");
    EXPECT_EQ(fields, (decltype(fields){
                          {"name", "Docs 2024"}, {"parentFolderPath", "/"}, {"exclude", "all"}}));

    HttpsReply again = client_.post(kFolderPath, body, form);
    EXPECT_EQ(again.status, 409);
    EXPECT_EQ(Json(again.body).get("statusCode").to_str(), "409");

    HttpsReply orphan =
        client_.post(kFolderPath, "name=x&parentFolderPath=%2Fmissing&exclude=all", form);
    EXPECT_EQ(orphan.status, 404);
}

TEST_F(StorageEmulatorTest, UploadLandsOnDiskWithTheSameBytesAndIsJournalled) {
    const std::string data = RandomBytes(300 * 1024 + 7, 1);
    HttpsReply reply =
        client_.postMultipart(kUploadPath + "a%20b.bin/:entity", UploadFields(data, "a b.bin"),
                              {"Expect: 100-continue", "X-Device-ID: dev", "Pragma: no-cache",
                               "Cache-Control: no-cache"});
    ASSERT_EQ(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 204);
    EXPECT_EQ(ReadFile(emulator_.repository() / "a b.bin"), data);

    auto entry = Journal(emulator_).back();
    EXPECT_EQ(entry.get("status").to_str(), "204");
    EXPECT_EQ(entry.get("path").to_str(),
              "/api/v1//experimental/repository/0/file/path/a b.bin/:entity");
    const auto& parts = entry.get("parts").get<picojson::array>();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Str(parts[0], "name") + "|" + Str(parts[0], "size") + "|" + Str(parts[1], "name") +
                  "|" + Str(parts[1], "filename") + "|" + Str(parts[1], "contentType") + "|" +
                  Str(parts[1], "size"),
              "exclude|3|entity|a b.bin|application/octet-stream|" + std::to_string(data.size()));
    EXPECT_GT(std::stod(entry.get("bodySize").to_str()), static_cast<double>(data.size()));
    EXPECT_EQ(entry.get("headersOrdered").to_str(), "true");
    auto names = HeaderNames(entry);
    EXPECT_LT(IndexOf(names, "Expect"), IndexOf(names, "X-Device-ID"));
    EXPECT_LT(IndexOf(names, "X-Device-ID"), IndexOf(names, "Pragma"));
    EXPECT_LT(IndexOf(names, "Pragma"), IndexOf(names, "Cache-Control"));
    EXPECT_LT(IndexOf(names, "Cache-Control"), names.size());
}

TEST_F(StorageEmulatorTest, JournalKeepsHeadersInWireOrderNotSorted) {
    client_.get("/api/v1//currentUser", {"X-Zeta: 1", "X-Alpha: 2", "X-Middle: a%20b"});
    auto entry = Journal(emulator_).back();
    auto names = HeaderNames(entry);
    ASSERT_LT(IndexOf(names, "X-Middle"), names.size());
    EXPECT_LT(IndexOf(names, "X-Zeta"), IndexOf(names, "X-Alpha"));
    EXPECT_LT(IndexOf(names, "X-Alpha"), IndexOf(names, "X-Middle"));
    EXPECT_EQ(Header(entry, "X-Middle"), "a%20b") << "values as sent, not percent-decoded";
}

TEST_F(StorageEmulatorTest, FaultIsHonouredOnceThenTheNormalReplyReturns) {
    HttpsReply added = addFault(
        R"({"path": ":entity$", "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})");
    ASSERT_EQ(added.status, 200) << added.body;

    HttpsReply first =
        client_.postMultipart(kUploadPath + "f.txt/:entity", UploadFields("x", "f.txt"));
    EXPECT_EQ(first.status, 500);
    picojson::value error = Json(first.body);
    EXPECT_EQ(error.get("errorCode").to_str(), "PORTAL_INSUFFICIENT_STORAGE");
    EXPECT_EQ(error.get("statusCode").to_str(), "500");
    EXPECT_FALSE(fs::exists(emulator_.repository() / "f.txt"));
    EXPECT_NE(Journal(emulator_).back().get("fault").to_str(), "0");

    HttpsReply second =
        client_.postMultipart(kUploadPath + "f.txt/:entity", UploadFields("x", "f.txt"));
    EXPECT_EQ(second.status, 204);
    EXPECT_TRUE(fs::exists(emulator_.repository() / "f.txt"));
}

TEST_F(StorageEmulatorTest, CountedFaultStartsAtTheNthMatchingRequest) {
    ASSERT_EQ(addFault(R"({"method": "GET", "path": "/currentPortal$", "nth": 2, "times": 2,
                          "status": 409})")
                  .status,
              200);
    std::vector<long> statuses;
    for (int i = 0; i < 4; ++i)
        statuses.push_back(client_.get("/api/v1//currentPortal").status);
    EXPECT_EQ(statuses, (std::vector<long>{200, 409, 409, 200}));
    // Other paths are not counted.
    EXPECT_EQ(client_.get("/api/v1//currentUser").status, 200);
}

TEST_F(StorageEmulatorTest, FaultCanAnswerAnUploadWith200AndAnEmptyBody) {
    ASSERT_EQ(addFault(R"({"path": ":entity$", "status": 200, "body": "", "times": 0})").status,
              200);
    for (int i = 0; i < 2; ++i) {
        HttpsReply reply =
            client_.postMultipart(kUploadPath + "e.txt/:entity", UploadFields("x", "e.txt"));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "");
    }
    {
        HttpsClient control(emulator_);
        EXPECT_EQ(control.del("/_emulator/faults").status, 204);
    }
    EXPECT_EQ(
        client_.postMultipart(kUploadPath + "e.txt/:entity", UploadFields("x", "e.txt")).status,
        204);
}

TEST_F(StorageEmulatorTest, DroppedConnectionFailsTheTransferOnly) {
    ASSERT_EQ(addFault(R"({"path": "/currentUser$", "kind": "drop"})").status, 200);
    // A fresh connection and credentials sent at once: libcurl silently repeats a request
    // once when a reused connection closes without a reply.
    HttpsClient fresh(emulator_);
    fresh.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
    HttpsReply dropped = fresh.get("/api/v1//currentUser");
    EXPECT_NE(dropped.code, CURLE_OK);
    EXPECT_EQ(Journal(emulator_).back().get("status").to_str(), "0");
    HttpsReply next = fresh.get("/api/v1//currentUser");
    EXPECT_EQ(next.code, CURLE_OK);
    EXPECT_EQ(next.status, 200);

    ASSERT_EQ(addFault(R"({"path": "/currentPortal$", "kind": "truncate"})").status, 200);
    HttpsReply truncated = fresh.get("/api/v1//currentPortal");
    EXPECT_EQ(truncated.code, CURLE_PARTIAL_FILE) << curl_easy_strerror(truncated.code);
}

TEST_F(StorageEmulatorTest, DelayFaultHoldsTheReplyThenAnswersNormally) {
    ASSERT_EQ(addFault(R"({"path": "/currentUser$", "delayMs": 300})").status, 200);
    HttpsReply delayed = client_.get("/api/v1//currentUser");
    EXPECT_EQ(delayed.status, 200);
    EXPECT_GE(delayed.seconds, 0.3);
    EXPECT_EQ(Json(delayed.body).get("userCode").to_str(), "taro");
}

TEST_F(StorageEmulatorTest, NotJsonAutoBlockAndPragmaFaults) {
    HttpsReply normal = client_.get("/api/v1//portal/1/autoBlock");
    EXPECT_EQ(Json(normal.body).get("reason").get("blocked").to_str(), "false");
    EXPECT_EQ(client_.get("/api/v1//portal/7/autoBlock").status, 404);

    ASSERT_EQ(addFault(R"({"autoBlock": {"userAgent": "Agent/1"}})").status, 200);
    picojson::value blocked = Json(client_.get("/api/v1//portal/1/autoBlock").body);
    EXPECT_EQ(blocked.get("reason").get("blocked").to_str(), "true");
    EXPECT_EQ(blocked.get("reason").get("userAgent").to_str(), "Agent/1");

    ASSERT_EQ(addFault(R"({"pragma": {"files": ["a.txt"]}})").status, 200);
    picojson::value pragma =
        Json(client_.get("/client-tool/pragma.cgi?boxId=taro@velmora&jobId=1").body);
    EXPECT_EQ(pragma.get("retransmission").to_str(), "true");
    EXPECT_EQ(pragma.get("files").get<picojson::array>().at(0).to_str(), "a.txt");
    EXPECT_EQ(Json(client_.get("/client-tool/pragma.cgi?boxId=b&jobId=1").body)
                  .get("retransmission")
                  .to_str(),
              "false");

    ASSERT_EQ(addFault(R"({"path": "/options$", "kind": "notJson"})").status, 200);
    HttpsReply html = client_.get("/api/v1//portal/1/options");
    EXPECT_EQ(html.status, 200);
    picojson::value ignored;
    EXPECT_NE(picojson::parse(ignored, html.body), "");
    picojson::value options = Json(client_.get("/api/v1//portal/1/options").body);
    EXPECT_EQ(options.get("options").get<picojson::array>().size(), 10u);

    EXPECT_EQ(addFault(R"({"path": "(", "status": 500})").status, 400);
}

TEST_F(StorageEmulatorTest, ExpectContinueIsAnsweredAtOnce) {
    // A server that never answers 100 would hold each body back for the whole wait.
    client_.setExpectTimeoutMs(10000);
    const std::string data = RandomBytes(256 * 1024, 2);
    client_.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
    HttpsReply basic = client_.postMultipart(
        kUploadPath + "c1.bin/:entity", UploadFields(data, "c1.bin"), {"Expect: 100-continue"});
    EXPECT_EQ(basic.status, 204);
    EXPECT_LT(basic.seconds, 1.0);
    // With both schemes allowed the first attempt carries no credentials; it is refused
    // before the body, and the digest attempt that follows must not stall either.
    client_.setCredentials(kUser, kPassword, kAnyAuth);
    HttpsReply negotiated = client_.postMultipart(
        kUploadPath + "c2.bin/:entity", UploadFields(data, "c2.bin"), {"Expect: 100-continue"});
    EXPECT_EQ(negotiated.status, 204);
    EXPECT_LT(negotiated.seconds, 1.0);
    EXPECT_EQ(ReadFile(emulator_.repository() / "c2.bin"), data);
    auto journal = Journal(emulator_);
    ASSERT_GE(journal.size(), 3u);
    EXPECT_EQ(journal[journal.size() - 2].get("status").to_str(), "401");
    EXPECT_EQ(journal[journal.size() - 2].get("bodySize").to_str(), "0");
}

TEST_F(StorageEmulatorTest, HiddenSettingsFileAndGuestFolderAreItemsWithPermissions) {
    const std::string entity =
        "/api/v1//repository/0/file/path/Velmora/.settings/share-config.ini/:entity";
    std::ofstream(emulator_.repository() / "Velmora/.settings/share-config.ini")
        << "password = 1\r\nemail=0\n";
    HttpsReply settings = client_.get(entity + "?hidden=true");
    EXPECT_EQ(settings.status, 200);
    EXPECT_EQ(settings.body, "password = 1\r\nemail=0\n");
    EXPECT_EQ(client_.get(entity).status, 404);

    const std::string guest = "/api/v1//repository/0/folder/path/Velmora/.guest?hidden=true";
    picojson::value folder = Json(client_.get(guest).body);
    EXPECT_EQ(folder.get("itemType").to_str(), "folder");
    EXPECT_EQ(folder.get("path").to_str(), "/Velmora/.guest");
    EXPECT_EQ(folder.get("hidden").to_str(), "true");
    EXPECT_EQ(folder.get("accessPermission").get("canCreate").to_str(), "true");
    EXPECT_EQ(folder.get("accessPermission").get("canDelete").to_str(), "true");

    HttpsClient control(emulator_);
    EXPECT_EQ(
        control.post("/_emulator/permissions", R"({"path": "/Velmora/.guest", "canCreate": false})")
            .status,
        204);
    folder = Json(client_.get(guest).body);
    EXPECT_EQ(folder.get("accessPermission").get("canCreate").to_str(), "false");
    EXPECT_EQ(folder.get("accessPermission").get("canDelete").to_str(), "true");
    HttpsReply denied =
        client_.post(kFolderPath, "name=share1&parentFolderPath=%2FVelmora%2F.guest&exclude=all",
                     {"Content-Type: application/x-www-form-urlencoded; charset=UTF-8"});
    EXPECT_EQ(denied.status, 403);
}

TEST_F(StorageEmulatorTest, DeletesFilesAndFoldersAndCreatesShares) {
    const std::vector<std::string> form = {
        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8"};
    ASSERT_EQ(client_.post(kFolderPath, "name=s&parentFolderPath=%2F&exclude=all", form).status,
              204);
    ASSERT_EQ(
        client_
            .postMultipart(kUploadPath + "s/%E6%97%A5.txt/:entity", UploadFields("data", "x.txt"))
            .status,
        204);
    EXPECT_TRUE(fs::exists(emulator_.repository() / "s" / "日.txt"));

    HttpsReply share =
        client_.post("/api/v1//share",
                     "dummy=dummy&path=%2Fs%2F%E6%97%A5.txt&mailAddress=a%40example.com"
                     "&expire=2024-02-08T23%3A59%3A59.000%2B09%3A00",
                     form);
    EXPECT_EQ(share.status, 200);
    EXPECT_EQ(Json(share.body).get("shareId").to_str().size(), 32u);
    HttpsReply badShare = client_.post("/api/v1//share", "dummy=dummy&path=%2Fnone", form);
    EXPECT_EQ(badShare.status, 400);
    EXPECT_EQ(Json(badShare.body).get("errorParameters").get<picojson::array>().at(0).to_str(),
              "/none");

    EXPECT_EQ(client_.del("/api/v1//repository/0/file/path/s/%E6%97%A5.txt").status, 204);
    EXPECT_FALSE(fs::exists(emulator_.repository() / "s" / "日.txt"));
    EXPECT_EQ(client_.del("/api/v1//repository/0/file/path/s/%E6%97%A5.txt").status, 404);
    EXPECT_EQ(client_.del("/api/v1//repository/0/folder/path/s").status, 204);
    EXPECT_FALSE(fs::exists(emulator_.repository() / "s"));
}

TEST_F(StorageEmulatorTest, JournalControlEndpointServesAndClearsTheJournal) {
    client_.get("/api/v1//currentUser?x=1");
    HttpsClient control(emulator_);
    HttpsReply journal = control.get("/_emulator/journal");
    EXPECT_EQ(journal.status, 200);
    EXPECT_EQ(journal.body, ReadFile(emulator_.dataFolder() / "journal.jsonl"));
    EXPECT_NE(journal.body.find("\"query\":\"x=1\""), std::string::npos);
    EXPECT_EQ(control.del("/_emulator/journal").status, 204);
    EXPECT_EQ(control.get("/_emulator/journal").body, "");
}

TEST_F(StorageEmulatorTest, LargeUploadIsStreamedWithoutGrowingMemory) {
    const uint64_t size = 256ull * 1024 * 1024;
    ASSERT_EQ(client_.get("/api/v1//currentUser").status, 200);
    const long before = PeakResidentKiB(emulator_.pid());
    ASSERT_GT(before, 0);
    MultipartField entity{"entity", "", "", size, "big.bin", "application/octet-stream"};
    HttpsReply reply = client_.postMultipart(kUploadPath + "big.bin/:entity",
                                             {{"exclude", "all", "", 0, "", ""}, entity},
                                             {"Expect: 100-continue"});
    ASSERT_EQ(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 204);
    const long after = PeakResidentKiB(emulator_.pid());
    EXPECT_LT(after - before, 64 * 1024) << "peak grew from " << before << " KiB to " << after;

    const fs::path stored = emulator_.repository() / "big.bin";
    ASSERT_EQ(fs::file_size(stored), size);
    std::ifstream in(stored, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    uint64_t offset = 0;
    bool same = true;
    while (same && in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
        for (size_t i = 0; i < chunk.size(); i += 4093)
            same = same && chunk[i] == PatternByte(offset + i);
        offset += chunk.size();
    }
    EXPECT_TRUE(same) << "mismatch near offset " << offset;
}

TEST_F(StorageEmulatorTest, SigtermEndsAStalledReplyAndExitsWithZero) {
    ASSERT_EQ(addFault(R"({"path": "/currentUser$", "kind": "stall", "stallMs": 600000})").status,
              200);
    std::thread stalled([this] { client_.get("/api/v1//currentUser"); });
    // Waits (bounded) until the stalled request is in the journal.
    bool arrived = false;
    for (int i = 0; i < 500 && !arrived; ++i) {
        auto journal = Journal(emulator_);
        arrived = !journal.empty() && journal.back().get("status").to_str() == "0";
        if (!arrived)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(emulator_.stop(), 0);
    stalled.join();
}
