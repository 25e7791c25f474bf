// What the client's tests rely on in the storage emulator without checking it
// themselves: Digest refusals, counted fault rules, streaming of large uploads
// and a clean stop during a stalled reply, over real HTTPS with libcurl.
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "JournalEntry.h"

#include <gtest/gtest.h>
#include <picojson.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "taro@velmora";
constexpr const char* kPassword = "pa:ss word";
const std::string kApi = "/api/v1//";
const std::string kUpload = kApi + "experimental/repository/0/file/path/";

long PeakResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A reply in a few words: the status and its error code, or libcurl's error.
std::string Outcome(const HttpsReply& r) {
    if (r.code != CURLE_OK)
        return curl_easy_strerror(r.code);
    picojson::value v;
    if (!r.body.empty() && picojson::parse(v, r.body).empty() && v.contains("errorCode"))
        return std::to_string(r.status) + " " + v.get("errorCode").to_str();
    return std::to_string(r.status);
}

// A GET below the base path, or an upload when the path ends in ":entity".
HttpsReply Send(HttpsClient& client, const std::string& path) {
    if (!path.ends_with(":entity"))
        return client.get(kApi + path);
    return client.postMultipart(kUpload + path, {{"exclude", "all", "", 0, "", ""},
                                                 {"entity", "x", "", 0, "x", "text/plain"}});
}

}  // namespace

// Each row: one request to an emulator in the given mode; "seen" is looked
// for in the reply's headers.
TEST(StorageEmulatorAuthTest, EachModeRefusesTheOtherSchemeAndBothOffersBoth) {
    const struct {
        const char* mode;
        long scheme;  // 0: no credentials
        std::string seen;
    } cases[] = {
        {"basic", CURLAUTH_DIGEST, "WWW-Authenticate: Basic realm="},
        {"digest", CURLAUTH_BASIC, "WWW-Authenticate: Digest"},
        {"both", 0, "WWW-Authenticate: Digest"},
        {"both", 0, "WWW-Authenticate: Basic"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.seen);
        EmulatorProcess emulator(c.mode);
        ASSERT_TRUE(emulator.started());
        HttpsClient client(emulator);
        if (c.scheme)
            client.setCredentials(kUser, kPassword, c.scheme);
        const HttpsReply reply = Send(client, "currentUser");
        EXPECT_EQ(Outcome(reply), "401 AUTHENTICATION_FAILED");
        EXPECT_NE(reply.headers.find(c.seen), std::string::npos) << reply.headers;
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

class StorageEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.started()) << "first line: " << emulator_.firstLine();
        client_.setCredentials(kUser, kPassword, CURLAUTH_BASIC);
    }
    HttpsReply addFault(const std::string& json) {
        return HttpsClient(emulator_).post("/_emulator/faults", json,
                                           {"Content-Type: application/json"});
    }

    EmulatorProcess emulator_;
    HttpsClient client_{emulator_};
};

// Each row adds one rule and sends its requests in turn, then clears the
// rules, after which the last request is answered normally.
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
         {"200", "200", "409 EMULATED_ERROR", "409 EMULATED_ERROR", "200"}},
        {R"({"path": "/currentUser$", "status": 201, "body": "", "times": 0})",
         {"currentUser", "currentUser", "currentUser"},
         {"201", "201", "201"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        ASSERT_EQ(addFault(c.rule).status, 200);
        std::vector<std::string> outcomes;
        for (const std::string& path : c.paths)
            outcomes.push_back(Outcome(Send(client_, path)));
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_EQ(HttpsClient(emulator_).del("/_emulator/faults").status, 204);
        EXPECT_EQ(Outcome(Send(client_, c.paths.back())),
                  c.paths.back().ends_with(":entity") ? "204" : "200");
    }
    // A rule's reply replaces the handler: the faulted upload stored nothing.
    EXPECT_FALSE(fs::exists(emulator_.repository() / "f.txt"));
    EXPECT_TRUE(fs::exists(emulator_.repository() / "g.txt"));
    EXPECT_EQ(Str(ReadJournal(emulator_).front(), "fault"), "1");
    EXPECT_EQ(addFault(R"({"path": "(", "status": 500})").status, 400);
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
