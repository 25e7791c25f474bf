// What the client's tests rely on in the storage emulator without checking it
// themselves: Digest refusals, both challenges at once, streaming of large
// uploads and a clean stop during a stalled reply, over real HTTPS with libcurl.
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "JournalEntry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "taro@velmora";
constexpr const char* kPassword = "pa:ss word";
const std::string kApi = "/api/v1//";

long PeakResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

}  // namespace

// --help: the usage once, on stdout, with how accounts are made and where the
// certificate goes.
TEST(StorageEmulatorHelpTest, HelpTellsAccountsAndCertificateOnce) {
    FILE* out = ::popen(TORVAL2_EMULATOR " --help 2>/dev/null", "r");
    std::string text(8192, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    EXPECT_EQ(::pclose(out), 0);
    EXPECT_EQ(text.find("usage: "), text.rfind("usage: ")) << text;
    for (const char* part : {"usage: ", "DIR/accounts.txt", "DIR/emulator-cert.pem"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
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

    EmulatorProcess emulator_;
    HttpsClient client_{emulator_};
};

// The client's tests run against both schemes at once; a lost challenge would
// leave one of them silently untried.
TEST_F(StorageEmulatorTest, BothModeChallengesWithBothSchemes) {
    const HttpsReply reply = HttpsClient(emulator_).get(kApi + "currentUser");
    EXPECT_EQ(reply.status, 401);
    for (const char* scheme : {"WWW-Authenticate: Digest", "WWW-Authenticate: Basic"})
        EXPECT_NE(reply.headers.find(scheme), std::string::npos) << reply.headers;
}

TEST_F(StorageEmulatorTest, LargeUploadIsStreamedWithoutGrowingMemory) {
    const uint64_t size = 256ull * 1024 * 1024;
    ASSERT_EQ(client_.get(kApi + "currentUser").status, 200);
    const long before = PeakResidentKiB(emulator_.pid());
    ASSERT_GT(before, 0);
    MultipartField entity{"entity", "", size, "big.bin", "application/octet-stream"};
    HttpsReply reply =
        client_.postMultipart(kApi + "experimental/repository/0/file/path/big.bin/:entity",
                              {{"exclude", "all", 0, "", ""}, entity}, {"Expect: 100-continue"});
    ASSERT_EQ(reply.status, 204) << curl_easy_strerror(reply.code) << reply.body;
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
    ASSERT_EQ(HttpsClient(emulator_)
                  .post("/_emulator/faults",
                        R"({"path": "/currentUser$", "kind": "stall", "stallMs": 600000})")
                  .status,
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
