// The guest share check and run against the real storage emulator over
// HTTPS, their worker entry points, and the share-completed texts.
#include "GuestShare.h"
#include "GuestShareTask.h"

#include "CLogWriter.h"
#include "CRestControl.h"
#include "ConfigPaths.h"
#include "EventLog.h"
#include "ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>
#include <picojson.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "EmulatorClient.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

namespace {

using Entry = picojson::value;

const QString kGuest = QStringLiteral("/Velmora/.guest");
const QRegularExpression kUuid(QStringLiteral(
    "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));

// The access key and mail address flags the check raises.
std::pair<bool, bool> flags() {
    return {AccessKeyRequired, MailAddressRequired};
}

// A clock that moves five seconds on at every reading, so start and end of a
// check are told apart.
class SteppingClock : public Clock {
public:
    QDateTime now() const override {
        std::lock_guard lock(mutex_);
        const QDateTime t = start_.addSecs(5 * readings_++);
        return t;
    }

private:
    QDateTime start_{QDate(2024, 3, 9), QTime(23, 59, 58)};
    mutable int readings_ = 0;
    mutable std::mutex mutex_;
};

struct LogLine {
    int type;
    QString message;
    friend bool operator==(const LogLine&, const LogLine&) = default;
};

void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "{" << line.type << ", " << line.message.toStdString() << "}";
}

constexpr int kError = 1;
constexpr int kInfo = 4;

class GuestShareTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator.started()) << emulator.firstLine();
        // As at program start; the program itself never lowers them.
        AccessKeyRequired = false;
        MailAddressRequired = false;
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        // No retries, so the journal holds each request once.
        ASSERT_TRUE(ProfileFile::writeString("AutoUpload", "Retry", "0", ProgramSettingsPath()));
        settings = LoadSettings();
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    std::filesystem::path repo(const QString& path) const {
        return emulator.repository() / path.mid(1).toStdString();
    }
    void writeShareConfig(const QByteArray& content) {
        QFile f(QString::fromStdString(repo("/Velmora/.settings/share-config.ini").string()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    void control(const std::string& path, const std::string& json) {
        HttpsClient client(emulator);
        const HttpsReply reply = client.post(path, json);
        ASSERT_TRUE(reply.status == 200 || reply.status == 204) << reply.body;
    }
    void fault(const std::string& json) { control("/_emulator/faults", json); }
    void permissions(const std::string& json) { control("/_emulator/permissions", json); }
    void resetEmulator() {
        HttpsClient client(emulator);
        client.del("/_emulator/permissions");
        client.del("/_emulator/faults");
        client.del("/_emulator/journal");
    }

    // Requests that passed authentication, as "METHOD path" with the base path left out.
    std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (const Entry& e : ReadJournal(emulator)) {
            if (e.get("status").get<double>() == 401)
                continue;
            std::string path = e.get("path").to_str();
            const size_t base = path.find_first_not_of('/', std::string("/api/v1/").size());
            if (path.rfind("/api/v1/", 0) == 0 && base != std::string::npos)
                path = path.substr(base);
            out.push_back(e.get("method").to_str() + " " + path);
        }
        return out;
    }
    // The share folder name the run sent with its folder creation.
    QString createdFolderName() {
        for (const Entry& e : ReadJournal(emulator)) {
            if (!e.get("form").is<picojson::array>())
                continue;
            for (const Entry& pair : e.get("form").get<picojson::array>()) {
                const auto& a = pair.get<picojson::array>();
                if (a[0].to_str() == "name")
                    return QString::fromStdString(a[1].to_str());
            }
        }
        return {};
    }
    picojson::array shares() {
        HttpsClient client(emulator);
        Entry v;
        const HttpsReply reply = client.get("/_emulator/shares");
        EXPECT_TRUE(picojson::parse(v, reply.body).empty()) << reply.body;
        return v.is<picojson::array>() ? v.get<picojson::array>() : picojson::array{};
    }
    // Names below the guest folder on the emulator's disk.
    std::vector<std::string> guestTree() {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(repo(kGuest)))
            names.push_back(std::filesystem::relative(e.path(), repo(kGuest)).string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Everything logged in this test, oldest first.
    std::vector<LogLine> logLines() {
        std::vector<LogLine> lines;
        for (const EventRecord& r : EventLog(EventLog::defaultStorePath()).readNewestFirst())
            lines.push_back(LogLine{r.type, r.message});
        std::reverse(lines.begin(), lines.end());
        return lines;
    }
    QString localFile(const QString& name, const QByteArray& content) {
        const QString path = home.path() + QStringLiteral("/local/") + name;
        QDir().mkpath(home.path() + QStringLiteral("/local"));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    GuestShareRequest threeFiles() {
        GuestShareRequest request;
        request.files = {localFile("a.txt", "alpha"), localFile("b.txt", "bravo"),
                         localFile("c.txt", "charlie")};
        request.accessKey = "Key123";
        request.expiry = "2030/01/31";
        request.noticeText = "資料です";
        return request;
    }
    bool check() {
        CRestControl rest(&settings, &logger);
        return CheckGuestShareAvailability(rest, logger, clock);
    }
    bool share(const GuestShareRequest& request, GuestShareResult& result) {
        CRestControl rest(&settings, &logger);
        return RunGuestShareUpload(rest, logger, request, result);
    }

    TempDataHome home;
    EmulatorProcess emulator{"basic"};
    CRestSettings settings;
    CLogWriter logger;
    SteppingClock clock;
};

LogLine Done(const QString& start, const QString& end) {
    return {kInfo, "ゲスト共有可否チェックが完了しました。開始：" + start + " 終了：" + end};
}

// ---- CheckGuestShareAvailability ----

TEST_F(GuestShareTest, CheckPassesOnUsableFolderAndDefaultConfig) {
    EXPECT_TRUE(check());
    EXPECT_EQ(flags(), std::pair(false, false));
    // Start before the requests, end after them: the clock is read twice.
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{Done("2024-03-09T23:59:58", "2024-03-10T00:00:03")}));
    EXPECT_EQ(calls(),
              (std::vector<std::string>{
                  "GET repository/0/folder/path/Velmora/.guest",
                  "GET repository/0/file/path/Velmora/.settings/share-config.ini/:entity"}));
}

// An unusable guest folder fails the check, yet the config is still read.
TEST_F(GuestShareTest, CheckWithUnusableGuestFolderStillRaisesFlags) {
    const QString folder = "ゲスト共有用フォルダ（/Velmora/.guest）";
    writeShareConfig("password=1\nemail=1\n");
    for (const std::string refused : {"canCreate", "canDelete", ""}) {  // "": no folder at all
        SCOPED_TRACE(refused);
        resetEmulator();
        AccessKeyRequired = MailAddressRequired = false;
        if (refused.empty())
            std::filesystem::remove_all(repo(kGuest));
        else
            permissions(R"({"path": "/Velmora/.guest", ")" + refused + R"(": false})");
        const size_t before = logLines().size();
        EXPECT_FALSE(check());
        EXPECT_EQ(flags(), std::pair(true, true));
        const std::vector<LogLine> lines = logLines();
        ASSERT_EQ(lines.size(), before + 2);
        EXPECT_EQ(lines[before].message,
                  folder + (refused.empty() ? "が見付かりませんでした。"
                                            : "にフォルダの作成/削除権限がありませんでした。"));
        EXPECT_EQ(lines[before].type, kInfo);
        EXPECT_TRUE(lines[before + 1].message.startsWith("ゲスト共有可否チェックが完了しました。"));
    }
}

TEST_F(GuestShareTest, CheckReadsConfigLinesExactly) {
    struct Case {
        const char* content;
        bool accessKey;
        bool mailAddress;
        bool available;
    };
    const Case cases[] = {
        // Blanks and tabs around "=", CR before LF: still the key and value.
        {"password = 1\r\nemail=0\r\n", true, false, true},
        {"\temail\t=\t1 \r\n", false, true, true},
        // Keys and values are case-sensitive and "1" only.
        {"Password=1\nEMAIL=1\nSuppress-File-Share=1\n", false, false, true},
        {"password=yes\nemail=on\nsuppress-file-share=true\n", false, false, true},
        {"password=11\nemail=01\n", false, false, true},
        // Lines without "=" and unknown keys count for nothing.
        {"password 1\nemail\n\nmail=1\n", false, false, true},
        {"suppress-file-share=1\n", false, false, false},
        {"suppress-file-share = 1\r\npassword=1\r\nemail=1", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        AccessKeyRequired = MailAddressRequired = false;
        writeShareConfig(c.content);
        EXPECT_EQ(check(), c.available);
        EXPECT_EQ(flags(), std::pair(c.accessKey, c.mailAddress));
    }
    // The folder was usable throughout, so only completion lines were logged.
    for (const LogLine& line : logLines())
        EXPECT_TRUE(line.message.startsWith("ゲスト共有可否チェックが完了しました。"))
            << line.message.toStdString();
}

TEST_F(GuestShareTest, CheckNeverLowersRaisedFlags) {
    // A config that cannot be read changes no flag, the suppression neither.
    writeShareConfig("password=1\nemail=1\nsuppress-file-share=1\n");
    fault(R"({"path": "share-config\\.ini/:entity$", "status": 404})");
    EXPECT_TRUE(check());
    EXPECT_EQ(flags(), std::pair(false, false));
    resetEmulator();

    writeShareConfig("password=1\nemail=1\n");
    EXPECT_TRUE(check());
    ASSERT_EQ(flags(), std::pair(true, true));
    writeShareConfig("password=0\nemail=0\n");
    EXPECT_TRUE(check());
    EXPECT_EQ(flags(), std::pair(true, true));
    // Unreadable, then missing: flags stay and sharing stays possible.
    fault(R"({"path": "share-config\\.ini/:entity$", "status": 500})");
    EXPECT_TRUE(check());
    std::filesystem::remove(repo("/Velmora/.settings/share-config.ini"));
    EXPECT_TRUE(check());
    EXPECT_EQ(flags(), std::pair(true, true));
}

// ---- RunGuestShareUpload ----

TEST_F(GuestShareTest, ShareUploadsFilesAndCreatesTheShare) {
    GuestShareRequest request = threeFiles();
    request.mailAddresses = {"guest@example.com"};
    request.sendAccessKey = true;
    GuestShareResult result;
    ASSERT_TRUE(share(request, result));

    const QString name = createdFolderName();
    ASSERT_TRUE(kUuid.match(name).hasMatch()) << name.toStdString();
    const std::string folder = "/Velmora/.guest/" + name.toStdString();
    EXPECT_EQ(guestTree(), (std::vector<std::string>{
                               name.toStdString(), name.toStdString() + "/a.txt",
                               name.toStdString() + "/b.txt", name.toStdString() + "/c.txt"}));
    std::ifstream stored(repo(QString::fromStdString(folder + "/c.txt")));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), "charlie");

    const picojson::array list = shares();
    ASSERT_EQ(list.size(), 1u);
    const Entry& s = list[0];
    EXPECT_EQ(
        result.downloadUrl.toStdString(),
        "https://www.torval2.jp/document/file/share/download?shareId=" + s.get("shareId").to_str());
    EXPECT_TRUE(result.errorText.isEmpty());
    std::vector<std::string> paths;
    for (const Entry& p : s.get("paths").get<picojson::array>())
        paths.push_back(p.to_str());
    EXPECT_EQ(paths,
              (std::vector<std::string>{folder + "/a.txt", folder + "/b.txt", folder + "/c.txt"}));
    EXPECT_EQ(s.get("mailAddresses").serialize(), R"(["guest@example.com"])");
    EXPECT_EQ(s.get("accessKey").to_str(), "Key123");
    EXPECT_EQ(s.get("sendAccessKey").to_str(), "true");
    EXPECT_EQ(s.get("text").to_str(), "資料です");
    EXPECT_EQ(s.get("expire").to_str(), "2030-01-31T23:59:59.000+09:00");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(GuestShareTest, SecondUploadFailingRemovesFirstFileThenFolder) {
    fault(R"({"method": "POST", "path": "/b\\.txt/:entity$", "status": 500, "times": 0})");
    GuestShareResult result;
    EXPECT_FALSE(share(threeFiles(), result));

    const std::string name = createdFolderName().toStdString();
    const std::string files = "repository/0/file/path/Velmora/.guest/" + name;
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "POST experimental/repository/0/folder/path",
                           "POST experimental/" + files + "/a.txt/:entity",
                           "POST experimental/" + files + "/b.txt/:entity",
                           "DELETE " + files + "/a.txt",
                           "DELETE repository/0/folder/path/Velmora/.guest/" + name,
                       }));
    EXPECT_TRUE(guestTree().empty());
    EXPECT_TRUE(shares().empty());
    EXPECT_TRUE(result.downloadUrl.isEmpty());
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{
                  {kError, QString::fromStdString("共有ファイル（/Velmora/.guest/" + name +
                                                  "/b.txt）の保存に失敗しました。")}}));
}

TEST_F(GuestShareTest, MissingLocalFileFailsLikeAFailedUpload) {
    GuestShareRequest request;
    request.files = {home.path() + "/local/gone.txt"};
    GuestShareResult result;
    EXPECT_FALSE(share(request, result));
    const std::string name = createdFolderName().toStdString();
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"POST experimental/repository/0/folder/path",
                                        "DELETE repository/0/folder/path/Velmora/.guest/" + name}));
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{
                  {kError, QString::fromStdString("共有ファイル（/Velmora/.guest/" + name +
                                                  "/gone.txt）の保存に失敗しました。")}}));
}

TEST_F(GuestShareTest, ShareCreationFailingRemovesEveryUpload) {
    fault(R"({"method": "POST", "path": "/share$", "status": 500, "errorCode": "SHARE_DOWN"})");
    GuestShareResult result;
    EXPECT_FALSE(share(threeFiles(), result));

    const std::string name = createdFolderName().toStdString();
    const std::string files = "repository/0/file/path/Velmora/.guest/" + name;
    const std::vector<std::string> all = calls();
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(all[4], "POST share");
    EXPECT_EQ(std::vector<std::string>(all.begin() + 5, all.end()),
              (std::vector<std::string>{"DELETE " + files + "/a.txt", "DELETE " + files + "/b.txt",
                                        "DELETE " + files + "/c.txt",
                                        "DELETE repository/0/folder/path/Velmora/.guest/" + name}));
    EXPECT_TRUE(guestTree().empty());
    EXPECT_TRUE(shares().empty());
    EXPECT_TRUE(result.errorText.startsWith("ゲスト共有に失敗しました。（statusCode=500"))
        << result.errorText.toStdString();
    EXPECT_TRUE(result.errorText.contains("SHARE_DOWN"));
    EXPECT_EQ(logLines(), (std::vector<LogLine>{{kError, result.errorText}}));
}

TEST_F(GuestShareTest, FolderCreationFailingUploadsNothing) {
    permissions(R"({"path": "/Velmora/.guest", "canCreate": false})");
    GuestShareResult result;
    EXPECT_FALSE(share(threeFiles(), result));
    const QString name = createdFolderName();
    EXPECT_TRUE(kUuid.match(name).hasMatch());
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST experimental/repository/0/folder/path"}));
    EXPECT_EQ(
        logLines(),
        (std::vector<LogLine>{{kError, "共有ファイルを保存するためのフォルダ（/Velmora/.guest/" +
                                           name + "）の作成に失敗しました。"}}));
}

TEST_F(GuestShareTest, RemovalCountsOnlyNoContentAndGoesOnAfterAFailure) {
    fault(R"([{"method": "POST", "path": "/c\\.txt/:entity$", "status": 500},
              {"method": "DELETE", "path": "/a\\.txt$", "status": 200, "body": ""},
              {"method": "DELETE", "path": "/\\.guest/[^/]+$", "status": 500}])");
    GuestShareResult result;
    EXPECT_FALSE(share(threeFiles(), result));
    const QString folder = kGuest + "/" + createdFolderName();
    // a.txt answered 200: not removed as far as the run can tell, and b.txt was still tried.
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{
                  {kError, "共有ファイル（" + folder + "/c.txt）の保存に失敗しました。"},
                  {kError, "共有ファイル（" + folder + "/a.txt）の削除に失敗しました。"},
                  {kError, "共有ファイルを保存するためのフォルダ（" + folder +
                               "）の削除に失敗しました。"}}));
    const std::string name = createdFolderName().toStdString();
    EXPECT_EQ(guestTree(), (std::vector<std::string>{name, name + "/a.txt"}));
}

// ---- Share-completed texts ----

TEST(ShareCompletedTextTest, BuildsHeaderAndLinesFromTheRequest) {
    const QString url = "https://www.torval2.jp/document/file/share/download?shareId=ab12";
    GuestShareRequest request;
    request.mailAddresses = {"a@example.com"};
    request.accessKey = "abcd";
    ShareCompletedText out = BuildShareCompletedText(request, url);
    EXPECT_EQ(out.header, "登録メールアドレスにファイルダウンロード情報を送信しました。");
    EXPECT_EQ(out.text, "アクセスキー：abcd\r\n");

    request.accessKey.clear();
    EXPECT_EQ(BuildShareCompletedText(request, url).text, "");

    request.mailAddresses.clear();
    request.accessKey = "k9k9";
    request.expiry = "2030/01/31";
    out = BuildShareCompletedText(request, url);
    EXPECT_EQ(out.header, "以下のダウンロード専用URLをご案内ください。");
    EXPECT_EQ(out.text, url + "\r\n\r\nアクセスキー：k9k9\r\n有効期限：2030/01/31\r\n");

    request.accessKey.clear();
    EXPECT_EQ(BuildShareCompletedText(request, url).text, url + "\r\n\r\n有効期限：2030/01/31\r\n");
}

// ---- Worker entry points ----

class RecordingSink : public TaskResultSink {
public:
    void taskFinished(TaskBlock block) override {
        std::lock_guard lock(mutex_);
        blocks.push_back(std::move(block));
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<TaskBlock> blocks;
    std::vector<std::thread::id> threads;

private:
    std::mutex mutex_;
};

class GuestShareTaskTest : public GuestShareTest {
protected:
    TaskBlock runBlock(std::shared_ptr<const GuestShareRequest> request) {
        TaskBlock block;
        block.sink = &sink;
        block.logger = &logger;
        block.kind = TaskBlock::UploadRun;
        block.startTime = {2024, 3, 6, 9, 10, 11, 12, 345};
        block.job.emplace();
        block.job->UniqueId = "1710000000_345_7";
        block.guestRequest = std::move(request);
        return block;
    }
    TaskBlock checkBlock() {
        TaskBlock block;
        block.sink = &sink;
        block.logger = &logger;
        block.kind = TaskBlock::GuestShareCheck;
        block.startTime = {2024, 3, 6, 9, 10, 12, 0, 1};
        return block;
    }
    // Runs entry on its own thread, as the tray does, and returns the one block handed back.
    TaskBlock finish(void (*entry)(TaskBlock), TaskBlock block) {
        std::thread worker(entry, std::move(block));
        const std::thread::id id = worker.get_id();
        worker.join();
        EXPECT_EQ(sink.blocks.size(), 1u);
        if (sink.blocks.size() != 1u)
            return {};
        EXPECT_EQ(sink.threads[0], id);
        TaskBlock done = std::move(sink.blocks[0]);
        sink.blocks.clear();
        sink.threads.clear();
        return done;
    }

    RecordingSink sink;
};

TEST_F(GuestShareTaskTest, ShareRunHandsBackSuccessWithTheDownloadAddress) {
    auto request = std::make_shared<const GuestShareRequest>(threeFiles());
    const TaskBlock done = finish(RunGuestShareTask, runBlock(request));
    EXPECT_EQ(done.result, 1);
    ASSERT_TRUE(done.job);
    EXPECT_EQ(done.job->LastUploadFlag, "成功");
    EXPECT_EQ(done.job->UniqueId, "1710000000_345_7");
    EXPECT_EQ(done.startTime, (SystemTime{2024, 3, 6, 9, 10, 11, 12, 345}));
    EXPECT_EQ(done.guestRequest, request);
    const picojson::array list = shares();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(done.shareDownloadUrl.endsWith(
        QString::fromStdString("?shareId=" + list[0].get("shareId").to_str())));
}

// A refused and an unreadable reply: the run fails, and the stored files were
// removed before the error reached the task.
TEST_F(GuestShareTaskTest, ShareRunHandsBackFailureAndCleansUp) {
    for (const std::string reply : {R"("status": 400)", R"("kind": "notJson")"}) {
        SCOPED_TRACE(reply);
        resetEmulator();
        fault(R"({"method": "POST", "path": "/share$", )" + reply + "}");
        const TaskBlock failed = finish(
            RunGuestShareTask, runBlock(std::make_shared<const GuestShareRequest>(threeFiles())));
        EXPECT_EQ(failed.result, 0);
        ASSERT_TRUE(failed.job);
        EXPECT_EQ(failed.job->LastUploadFlag, "失敗");
        EXPECT_TRUE(failed.shareDownloadUrl.isEmpty());
        EXPECT_TRUE(guestTree().empty());
        ASSERT_FALSE(logLines().empty());
        EXPECT_EQ(logLines().back().type, kError);
    }
    // The REST layer reports the reply; the task reports what ended the run.
    EXPECT_EQ(logLines().back(), (LogLine{kError, "UNEXPECTED_ERROR : failed to parse json."}));

    // A block that lost its request fails the same way instead of crashing.
    const TaskBlock empty = finish(RunGuestShareTask, runBlock(nullptr));
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.job->LastUploadFlag, "失敗");
    EXPECT_EQ(logLines().back().type, kError);
}

TEST_F(GuestShareTaskTest, CheckTaskHandsBackResultAndRaisesFlags) {
    writeShareConfig("password=1\n");
    TaskBlock done = finish(RunGuestShareCheckTask, checkBlock());
    EXPECT_EQ(done.result, 1);
    EXPECT_EQ(done.kind, TaskBlock::GuestShareCheck);
    EXPECT_FALSE(done.job);
    EXPECT_EQ(done.startTime, (SystemTime{2024, 3, 6, 9, 10, 12, 0, 1}));
    EXPECT_EQ(flags(), std::pair(true, false));

    writeShareConfig("suppress-file-share=1\nemail=1\n");
    done = finish(RunGuestShareCheckTask, checkBlock());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(flags(), std::pair(true, true));
}

TEST_F(GuestShareTaskTest, CheckTaskSurvivesGarbageAndAnAbsentService) {
    fault(R"({"path": "/folder/path/Velmora/\\.guest$", "kind": "notJson"})");
    EXPECT_EQ(finish(RunGuestShareCheckTask, checkBlock()).result, 0);
    const std::vector<LogLine> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().type, kError);

    ASSERT_EQ(emulator.stop(), 0);
    EXPECT_EQ(finish(RunGuestShareCheckTask, checkBlock()).result, 0);
    EXPECT_EQ(
        finish(RunGuestShareTask, runBlock(std::make_shared<const GuestShareRequest>(threeFiles())))
            .result,
        0);
}

// Both tasks hand their block back as the upload run does, with the same
// debug lines around it.
TEST_F(GuestShareTaskTest, RunAndCheckLogTheHandBack) {
    ASSERT_TRUE(ProfileFile::writeString("Config", "Debug", "ON", ConfigPath()));
    constexpr int kDebug = 16;
    const std::vector<LogLine> handBack = {
        {kDebug, "before SendMessage"}, {kDebug, "after SendMessage"}, {kDebug, "dwResult : 1"}};
    const struct {
        const char* what;
        void (*entry)(TaskBlock);
        TaskBlock block;
    } tasks[] = {
        {"share run", RunGuestShareTask,
         runBlock(std::make_shared<const GuestShareRequest>(threeFiles()))},
        {"check", RunGuestShareCheckTask, checkBlock()},
    };
    for (const auto& task : tasks) {
        SCOPED_TRACE(task.what);
        finish(task.entry, task.block);
        const std::vector<LogLine> lines = logLines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<LogLine>(lines.end() - 3, lines.end()), handBack);
    }
}

}  // namespace
