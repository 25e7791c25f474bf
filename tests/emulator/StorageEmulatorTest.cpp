// The storage emulator as the client's tests rely on it: its authentication
// modes, fault rules, journal and streaming, over real HTTPS with libcurl.
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "JournalEntry.h"

#include <gtest/gtest.h>
#include <picojson.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "taro@velmora";
constexpr const char* kPassword = "pa:ss word";
constexpr long kAnyAuth = CURLAUTH_BASIC | CURLAUTH_DIGEST;
const std::string kApi = "/api/v1//";
const std::string kUpload = kApi + "experimental/repository/0/file/path/";
const std::string kForm = "Content-Type: application/x-www-form-urlencoded; charset=UTF-8";

long PeakResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

std::vector<MultipartField> UploadFields(const std::string& data, const std::string& name) {
    return {{"exclude", "all", "", 0, "", ""},
            {"entity", data, "", 0, name, "application/octet-stream"}};
}

// A reply in a few words: the status and what its body holds, or libcurl's error.
std::string Outcome(const HttpsReply& r) {
    if (r.code != CURLE_OK)
        return curl_easy_strerror(r.code);
    const std::string status = std::to_string(r.status);
    picojson::value v;
    if (r.body.empty())
        return status;
    if (!picojson::parse(v, r.body).empty())
        return status + " not json";
    if (v.is<picojson::object>() && v.contains("errorCode"))
        return status + " " + v.get("errorCode").to_str();
    return status + " json";
}

// A GET below the base path (or of a path from "/"), or an upload when the
// path ends in ":entity".
HttpsReply Send(HttpsClient& client, const std::string& path) {
    if (path.ends_with(":entity"))
        return client.postMultipart(kUpload + path, UploadFields("x", "x"));
    return client.get(path.starts_with('/') ? path : kApi + path);
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

// Each row: one request to an emulator in the given mode; "seen" is looked
// for in the reply's headers and body and in the request's journal line.
TEST(StorageEmulatorAuthTest, EachModeChallengesAcceptsAndRefusesAsConfigured) {
    const long basic = CURLAUTH_BASIC, digest = CURLAUTH_DIGEST;
    const struct {
        const char* mode;
        const char* user;  // nullptr: no credentials
        const char* password;
        long scheme;
        std::string path;
        std::string outcome;
        std::string seen;
        std::string unseen;
    } cases[] = {
        // The second account of the accounts file.
        {"basic", "hanako@other", "secret2", basic, "currentPortal", "200 json", "other", ""},
        {"basic", kUser, "pa:ss wore", basic, "currentUser", "401 AUTHENTICATION_FAILED",
         "WWW-Authenticate: Basic realm=", "Digest"},
        {"basic", kUser, kPassword, digest, "currentUser", "401 AUTHENTICATION_FAILED", "", ""},
        // An escaped blank in the path: the digest covers the target exactly as sent.
        {"digest", kUser, kPassword, digest, "repository/0/folder/path/no%20such",
         "404 ITEM_NOT_FOUND", R"("user":"taro@velmora")", ""},
        {"digest", kUser, "wrong", digest, "currentUser", "401 AUTHENTICATION_FAILED",
         R"("authFailure":"wrong user or password")", "Basic realm"},
        {"digest", kUser, kPassword, basic, "currentUser", "401 AUTHENTICATION_FAILED", "", ""},
        // Both offered, Digest first; a client allowing both picks Digest.
        {"both", nullptr, nullptr, 0, "currentPortal", "401 AUTHENTICATION_FAILED",
         "WWW-Authenticate: Digest", ""},
        {"both", nullptr, nullptr, 0, "currentPortal", "401 AUTHENTICATION_FAILED",
         "WWW-Authenticate: Basic", ""},
        // Also the base path without the client's double slash.
        {"both", kUser, kPassword, kAnyAuth, "/api/v1/currentPortal", "200 json",
         R"("auth":"digest")", ""},
    };
    std::map<std::string, std::unique_ptr<EmulatorProcess>> emulators;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + (c.user ? c.user : "-") + " " + c.seen);
        auto& emulator = emulators[c.mode];
        if (!emulator)
            emulator = std::make_unique<EmulatorProcess>(c.mode);
        ASSERT_TRUE(emulator->started());
        HttpsClient client(*emulator);
        if (c.user)
            client.setCredentials(c.user, c.password, c.scheme);
        const HttpsReply reply = Send(client, c.path);
        EXPECT_EQ(Outcome(reply), c.outcome);
        const std::string seen =
            reply.headers + reply.body + ReadJournal(*emulator).back().serialize();
        EXPECT_NE(seen.find(c.seen), std::string::npos) << seen;
        EXPECT_TRUE(c.unseen.empty() || seen.find(c.unseen) == std::string::npos) << seen;
    }
}

TEST(StorageEmulatorAuthTest, DigestRefusesAReplayedOrMovedAuthorization) {
    EmulatorProcess emulator("digest");
    ASSERT_TRUE(emulator.started());
    HttpsClient client(emulator);
    client.setCredentials(kUser, kPassword, CURLAUTH_DIGEST);
    ASSERT_EQ(client.get(kApi + "currentUser").status, 200);
    const std::string authorization =
        "Authorization: " + Header(ReadJournal(emulator).back(), "Authorization");
    ASSERT_NE(authorization.find("Digest "), std::string::npos);

    HttpsClient replay(emulator);
    EXPECT_EQ(replay.get(kApi + "currentUser", {authorization}).status, 401);
    EXPECT_EQ(Str(ReadJournal(emulator).back(), "authFailure"), "nonce count replayed");
    EXPECT_EQ(replay.get(kApi + "currentPortal", {authorization}).status, 401);
    EXPECT_EQ(Str(ReadJournal(emulator).back(), "authFailure"),
              "digest uri does not match the request");
}

// Each row adds one rule, sends its requests in turn on a fresh connection,
// then clears the rules, after which the last request is answered normally.
TEST_F(StorageEmulatorTest, FaultRulesFireAsCountedAndReplaceTheHandling) {
    const struct {
        const char* rule;
        std::vector<std::string> paths;
        std::vector<std::string> outcomes;
    } cases[] = {
        {R"({"path": ":entity$", "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})",
         {"f.txt/:entity", "g.txt/:entity"},
         {"500 PORTAL_INSUFFICIENT_STORAGE", "204"}},
        // Requests on other paths do not count towards "nth".
        {R"({"method": "GET", "path": "/currentPortal$", "nth": 2, "times": 2, "status": 409})",
         {"currentPortal", "currentUser", "currentPortal", "currentPortal", "currentPortal"},
         {"200 json", "200 json", "409 EMULATED_ERROR", "409 EMULATED_ERROR", "200 json"}},
        {R"({"path": "/currentUser$", "status": 200, "body": "", "times": 0})",
         {"currentUser", "currentUser", "currentUser"},
         {"200", "200", "200"}},
        {R"({"path": "/currentUser$", "kind": "drop"})",
         {"currentUser", "currentUser"},
         {curl_easy_strerror(CURLE_GOT_NOTHING), "200 json"}},
        {R"({"path": "/options$", "kind": "notJson"})",
         {"portal/1/options", "portal/1/options"},
         {"200 not json", "200 json"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        ASSERT_EQ(addFault(c.rule).status, 200);
        // Credentials sent at once: libcurl silently repeats a request once when
        // a reused connection closes without a reply.
        HttpsClient client(emulator_);
        client.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
        std::vector<std::string> outcomes;
        for (const std::string& path : c.paths)
            outcomes.push_back(Outcome(Send(client, path)));
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_EQ(HttpsClient(emulator_).del("/_emulator/faults").status, 204);
        EXPECT_EQ(Outcome(Send(client, c.paths.back())),
                  c.paths.back().ends_with(":entity") ? "204" : "200 json");
    }
    // A rule's reply replaces the handler: the faulted upload stored nothing.
    EXPECT_FALSE(fs::exists(emulator_.repository() / "f.txt"));
    EXPECT_TRUE(fs::exists(emulator_.repository() / "g.txt"));
    EXPECT_EQ(Str(ReadJournal(emulator_).front(), "fault"), "1");
    EXPECT_EQ(addFault(R"({"path": "(", "status": 500})").status, 400);
}

// Steps in turn on one repository, each with the reply it must get (the
// client's own tests cover existing folders and hidden items).
TEST_F(StorageEmulatorTest, RepositoryAnswersAsTheService) {
    const std::string folder = kApi + "experimental/repository/0/folder/path";
    const std::string file = kApi + "repository/0/file/path/s/%E6%97%A5.txt";
    const struct {
        const char* method;  // UPLOAD: a multipart POST
        std::string path;
        std::string body;
        std::string outcome;
    } steps[] = {
        {"POST", folder, "name=Docs%202024&parentFolderPath=%2F&exclude=all", "204"},
        {"POST", folder, "name=x&parentFolderPath=%2Fmissing&exclude=all", "404 ITEM_NOT_FOUND"},
        {"POST", folder, "name=s&parentFolderPath=%2F&exclude=all", "204"},
        {"UPLOAD", kUpload + "s/%E6%97%A5.txt/:entity", "data", "204"},
        {"POST", kApi + "share",
         "dummy=dummy&path=%2Fs%2F%E6%97%A5.txt&mailAddress=a%40example.com"
         "&expire=2024-02-08T23%3A59%3A59.000%2B09%3A00",
         "200 json"},
        {"POST", kApi + "share", "dummy=dummy&path=%2Fnone", "400 SHARE_TARGET_NOT_FOUND"},
        {"DELETE", file, "", "204"},
        {"DELETE", file, "", "404 ITEM_NOT_FOUND"},
        {"DELETE", kApi + "repository/0/folder/path/s", "", "204"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.method) + " " + s.path + " " + s.body);
        const std::string method = s.method;
        HttpsReply reply = method == "GET"      ? client_.get(s.path)
                           : method == "DELETE" ? client_.del(s.path)
                           : method == "UPLOAD"
                               ? client_.postMultipart(s.path, UploadFields(s.body, "x"))
                               : client_.post(s.path, s.body, {kForm});
        EXPECT_EQ(Outcome(reply), s.outcome);
    }
    std::vector<std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(emulator_.repository()))
        tree.push_back(fs::relative(e.path(), emulator_.repository()).string());
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, (std::vector<std::string>{"Docs 2024", "Velmora", "Velmora/.guest",
                                              "Velmora/.settings",
                                              "Velmora/.settings/share-config.ini"}));
}

TEST_F(StorageEmulatorTest, UploadLandsOnDiskAtOnceAndHeadersAreJournalledAsSent) {
    std::string data(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = PatternByte(i);
    // A server that never answers 100 would hold each body back for the whole wait.
    client_.setExpectTimeoutMs(10000);
    // With both schemes allowed the first attempt carries no credentials; it is
    // refused before the body, and the digest attempt that follows must not stall.
    for (long scheme : {long(CURLAUTH_BASIC), kAnyAuth}) {
        client_.setCredentials(kUser, kPassword, scheme);
        HttpsReply reply =
            client_.postMultipart(kUpload + "a%20b.bin/:entity", UploadFields(data, "a b.bin"),
                                  {"Expect: 100-continue", "X-Alpha: a%20b"});
        EXPECT_EQ(Outcome(reply), "204");
        EXPECT_LT(reply.seconds, 1.0);
    }
    std::ifstream stored(emulator_.repository() / "a b.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), data);

    const std::vector<picojson::value> journal = ReadJournal(emulator_);
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(Str(journal[1], "status") + " " + Str(journal[1], "bodySize"), "401 0");
    // Header values as sent, not decoded; the client's tests check the parts
    // and the headers' wire order.
    EXPECT_EQ(Header(journal[2], "X-Alpha"), "a%20b");
}

TEST_F(StorageEmulatorTest, LargeUploadIsStreamedWithoutGrowingMemory) {
    const uint64_t size = 256ull * 1024 * 1024;
    ASSERT_EQ(client_.get(kApi + "currentUser").status, 200);
    const long before = PeakResidentKiB(emulator_.pid());
    ASSERT_GT(before, 0);
    MultipartField entity{"entity", "", "", size, "big.bin", "application/octet-stream"};
    HttpsReply reply = client_.postMultipart(kUpload + "big.bin/:entity",
                                             {{"exclude", "all", "", 0, "", ""}, entity},
                                             {"Expect: 100-continue"});
    ASSERT_EQ(Outcome(reply), "204");
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
    std::thread stalled([this] { client_.get(kApi + "currentUser"); });
    // Waits (bounded) until the stalled request is in the journal.
    bool arrived = false;
    for (int i = 0; i < 500 && !arrived; ++i) {
        auto journal = ReadJournal(emulator_);
        arrived = !journal.empty() && Str(journal.back(), "status") == "0";
        if (!arrived)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(emulator_.stop(), 0);
    stalled.join();
}
