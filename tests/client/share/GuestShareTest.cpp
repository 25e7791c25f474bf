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
#include "Fields.h"
#include "HttpsClient.h"
#include "JournalEntry.h"
#include "TestSupport.h"

namespace {

const QString kGuest = QStringLiteral("/Velmora/.guest");
const QString kDownload = QStringLiteral("https://www.torval2.jp/document/file/share/download");
const QString kDone = QStringLiteral("ゲスト共有可否チェックが完了しました。");
const QRegularExpression kUuid(QStringLiteral(
    "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));

// The access key and mail address flags the check raises, and as they stand
// before any test runs.
std::pair<bool, bool> flags() {
    return {AccessKeyRequired, MailAddressRequired};
}
const std::pair<bool, bool> kInitialFlags = flags();

// A clock that moves five seconds on at every reading, so start and end of a
// check are told apart.
class SteppingClock : public Clock {
public:
    QDateTime now() const override {
        std::lock_guard lock(mutex_);
        return start_.addSecs(5 * readings_++);
    }

private:
    QDateTime start_{QDate(2024, 3, 9), QTime(23, 59, 58)};
    mutable int readings_ = 0;
    mutable std::mutex mutex_;
};

// Also the sink the tasks hand their blocks back to.
class GuestShareTest : public ::testing::Test, public TaskResultSink {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator.started()) << emulator.firstLine();
        // As at program start; the program itself never lowers them.
        AccessKeyRequired = MailAddressRequired = false;
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        // No retries, so the journal holds each request once.
        ASSERT_TRUE(ProfileFile::writeString("AutoUpload", "Retry", "0", ProgramSettingsPath()));
        settings = LoadSettings();
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }
    void taskFinished(TaskBlock block) override {
        std::lock_guard lock(mutex);
        blocks.emplace_back(std::move(block), std::this_thread::get_id());
    }

    std::filesystem::path repo(const QString& path) const {
        return emulator.repository() / path.mid(1).toStdString();
    }
    // A share-config.ini with this content; nullptr: none.
    void writeShareConfig(const char* content) {
        const auto path = repo("/Velmora/.settings/share-config.ini");
        std::filesystem::remove(path);
        if (content)
            std::ofstream(path, std::ios::binary) << content;
    }
    // Posts to a control endpoint: "faults", "permissions".
    void control(const std::string& what, const std::string& json) {
        const HttpsReply reply = HttpsClient(emulator).post("/_emulator/" + what, json);
        ASSERT_TRUE(reply.status == 200 || reply.status == 204) << reply.body;
    }
    // Rules, permissions, journal and guest folder as the emulator starts.
    void resetEmulator() {
        HttpsClient client(emulator);
        for (const char* what : {"permissions", "faults", "journal"})
            client.del(std::string("/_emulator/") + what);
        std::filesystem::remove_all(repo(kGuest));
        std::filesystem::create_directory(repo(kGuest));
    }
    // The share folder name the run sent with its folder creation.
    QString createdFolderName() {
        for (const picojson::value& e : ReadJournal(emulator))
            for (const auto& [name, value] : Pairs(e, "form"))
                if (name == "name")
                    return QString::fromStdString(value);
        return {};
    }
    // The texts with the share folder's name read as ID.
    QStringList anonymous(QStringList texts) {
        const QString name = createdFolderName();
        return name.isEmpty() ? texts : texts.replaceInStrings(name, QStringLiteral("ID"));
    }
    // Requests that passed authentication, as "METHOD path" from below "repository/0/".
    QStringList calls() {
        QStringList out;
        const QRegularExpression base(QStringLiteral(" /api/v1/+(experimental/)?(repository/0/)?"));
        for (const picojson::value& e : ReadJournal(emulator))
            if (Str(e, "status") != "401")
                out << QString::fromStdString(Str(e, "method") + " " + Str(e, "path"))
                           .replace(base, " ");
        return anonymous(out);
    }
    picojson::array shares() {
        picojson::value v;
        picojson::parse(v, HttpsClient(emulator).get("/_emulator/shares").body);
        return v.is<picojson::array>() ? v.get<picojson::array>() : picojson::array{};
    }
    // Names below the guest folder on the emulator's disk.
    QStringList guestTree() {
        QStringList names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(repo(kGuest)))
            names << QString::fromStdString(std::filesystem::relative(e.path(), repo(kGuest)));
        names.sort();
        return anonymous(names);
    }
    // Everything logged in this test, oldest first, as "type message".
    QStringList logLines() {
        QStringList lines;
        for (const EventRecord& r : EventLog(EventLog::defaultStorePath()).readNewestFirst())
            lines.prepend(QString::number(r.type) + " " + r.message);
        return anonymous(lines);
    }
    GuestShareRequest threeFiles() {
        GuestShareRequest request;
        QDir().mkpath(home.path() + "/local");
        for (const QString name : {"a", "b", "c"}) {
            request.files << home.path() + "/local/" + name + ".txt";
            QFile f(request.files.back());
            EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(name.repeated(3).toUtf8()) == 3);
        }
        request.mailAddresses = {"guest@example.com"};
        request.accessKey = "Key123";
        request.sendAccessKey = true;
        request.expiry = "2030/01/31";
        request.noticeText = "資料です";
        return request;
    }
    bool check() {
        CRestControl rest(&settings, &logger);
        return CheckGuestShareAvailability(rest, logger, clock);
    }
    TempDataHome home;
    EmulatorProcess emulator{"basic"};
    CRestSettings settings;
    CLogWriter logger;
    SteppingClock clock;
    std::mutex mutex;
    std::vector<std::pair<TaskBlock, std::thread::id>> blocks;
};

// ---- CheckGuestShareAvailability ----

TEST_F(GuestShareTest, CheckReadsConfigLinesExactlyAndTheFolderStateApart) {
    // Both flags start lowered: nothing is demanded before the first check.
    EXPECT_EQ(kInitialFlags, std::pair(false, false));
    EXPECT_TRUE(check());
    EXPECT_EQ(flags(), std::pair(false, false));
    // Start before the requests, end after them: the clock is read twice.
    EXPECT_EQ(logLines(),
              QStringList{"4 " + kDone + "開始：2024-03-09T23:59:58 終了：2024-03-10T00:00:03"});
    EXPECT_EQ(calls(), (QStringList{"GET folder/path/Velmora/.guest",
                                    "GET file/path/Velmora/.settings/share-config.ini/:entity"}));

    const QString folder = "4 ゲスト共有用フォルダ（/Velmora/.guest）";
    const QString done = "4 " + kDone;
    const QString noRights = folder + "にフォルダの作成/削除権限がありませんでした。";
    const std::string config = R"({"path": "share-config\\.ini/:entity$", "status": )";
    const std::string guest = R"({"path": "/Velmora/.guest", ")";
    // Each row starts from a usable guest folder with the flags lowered, or
    // raised; "logged" is the first line the check writes.
    const struct {
        const char* content;
        std::pair<std::string, std::string> setup;  // a control endpoint and what it gets
        bool raised;
        QString outcome;  // access key|mail address|available
        QString logged;
    } cases[] = {
        // Blanks and tabs around "=", CR before LF: still the key and value.
        {"password = 1\r\nemail=0\r\n", {}, false, "1|0|1", done},
        {"\temail\t=\t1 \r\n", {}, false, "0|1|1", done},
        // Keys and values are case-sensitive and "1" only.
        {"Password=1\nEMAIL=1\nSuppress-File-Share=1\n", {}, false, "0|0|1", done},
        {"password=yes\nemail=on\nsuppress-file-share=true\n", {}, false, "0|0|1", done},
        {"password=11\nemail=01\n", {}, false, "0|0|1", done},
        // Lines without "=" and unknown keys count for nothing.
        {"password 1\nemail\n\nmail=1\n", {}, false, "0|0|1", done},
        {"suppress-file-share=1\n", {}, false, "0|0|0", done},
        {"suppress-file-share = 1\r\npassword=1\r\nemail=1", {}, false, "1|1|0", done},
        // An unusable folder fails the check, yet the config is still read.
        {"password=1\nemail=1\n",
         {"permissions", guest + "canCreate\": false}"},
         false,
         "1|1|0",
         noRights},
        {"password=1\nemail=1\n",
         {"permissions", guest + "canDelete\": false}"},
         false,
         "1|1|0",
         noRights},
        {"password=1\nemail=1\n", {"-", ""}, false, "1|1|0", folder + "が見付かりませんでした。"},
        // A config that cannot be read changes no flag, the suppression neither;
        // "0" never lowers a raised flag.
        {"password=1\nemail=1\nsuppress-file-share=1\n",
         {"faults", config + "404}"},
         false,
         "0|0|1",
         done},
        {"password=0\nemail=0\n", {}, true, "1|1|1", done},
        {"password=0\n", {"faults", config + "500}"}, true, "1|1|1", done},
        {nullptr, {}, true, "1|1|1", done},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content ? c.content : "no config") + c.setup.second);
        resetEmulator();
        AccessKeyRequired = MailAddressRequired = c.raised;
        writeShareConfig(c.content);
        if (c.setup.first == "-")
            std::filesystem::remove_all(repo(kGuest));
        else if (!c.setup.first.empty())
            control(c.setup.first, c.setup.second);
        const qsizetype before = logLines().size();
        const bool available = check();
        EXPECT_EQ(Fields(AccessKeyRequired.load(), MailAddressRequired.load(), available),
                  c.outcome);
        const QStringList lines = logLines().mid(before);
        ASSERT_EQ(lines.size(), c.logged == done ? 1 : 2);
        EXPECT_TRUE(lines[0].startsWith(c.logged)) << lines[0].toStdString();
        EXPECT_TRUE(lines.back().startsWith(done));
    }
}

// ---- RunGuestShareUpload ----

// Each row makes one step of the run fail, but the last; whatever was stored
// is removed again, and the removal goes on past a failure.
TEST_F(GuestShareTest, RunsShareTheFilesOrRemoveWhatTheyStored) {
    const QString up = "POST file/path/Velmora/.guest/ID/";
    const QString del = "DELETE file/path/Velmora/.guest/ID/";
    const QString folder = "/Velmora/.guest/ID";
    const QString delFolder = "DELETE folder/path" + folder;
    const QStringList uploads = {"POST folder/path", up + "a.txt/:entity", up + "b.txt/:entity",
                                 up + "c.txt/:entity"};
    const QString shareError =
        "ゲスト共有に失敗しました。（statusCode=500 errorCode=SHARE_DOWN,errorParameters=）";
    const struct {
        const char* what;
        // A control endpoint and what it gets; "-": the local file is missing.
        std::pair<std::string, std::string> setup;
        QStringList calls;
        QStringList logged;
        QStringList left;
    } cases[] = {
        {"folder creation refused",
         {"permissions", R"({"path": "/Velmora/.guest", "canCreate": false})"},
         {"POST folder/path"},
         {"1 共有ファイルを保存するためのフォルダ（" + folder + "）の作成に失敗しました。"},
         {}},
        {"local file missing",
         {"-", ""},
         {"POST folder/path", delFolder},
         {"1 共有ファイル（" + folder + "/gone.txt）の保存に失敗しました。"},
         {}},
        {"second upload fails",
         {"faults",
          R"({"method": "POST", "path": "/b\\.txt/:entity$", "status": 500, "times": 0})"},
         uploads.mid(0, 3) + QStringList{del + "a.txt", delFolder},
         {"1 共有ファイル（" + folder + "/b.txt）の保存に失敗しました。"},
         {}},
        {"share creation fails",
         {"faults",
          R"({"method": "POST", "path": "/share$", "status": 500, "errorCode": "SHARE_DOWN"})"},
         uploads +
             QStringList{"POST share", del + "a.txt", del + "b.txt", del + "c.txt", delFolder},
         {"1 " + shareError},
         {}},
        // a.txt answered 200, not 204: not removed as far as the run can tell.
        {"removals fail",
         {"faults", R"([{"method": "POST", "path": "/c\\.txt/:entity$", "status": 500},
             {"method": "DELETE", "path": "/a\\.txt$", "status": 200, "body": ""},
             {"method": "DELETE", "path": "/\\.guest/[^/]+$", "status": 500}])"},
         uploads + QStringList{del + "a.txt", del + "b.txt", delFolder},
         {"1 共有ファイル（" + folder + "/c.txt）の保存に失敗しました。",
          "1 共有ファイル（" + folder + "/a.txt）の削除に失敗しました。",
          "1 共有ファイルを保存するためのフォルダ（" + folder + "）の削除に失敗しました。"},
         {"ID", "ID/a.txt"}},
        {"shared",
         {},
         uploads + QStringList{"POST share"},
         {},
         {"ID", "ID/a.txt", "ID/b.txt", "ID/c.txt"}},
    };
    GuestShareResult result;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetEmulator();
        GuestShareRequest request = threeFiles();
        if (c.setup.first == "-")
            request.files = {home.path() + "/local/gone.txt"};
        else if (!c.setup.first.empty())
            control(c.setup.first, c.setup.second);
        const qsizetype before = logLines().size();
        result = {};
        CRestControl rest(&settings, &logger);
        EXPECT_EQ(RunGuestShareUpload(rest, logger, request, result), c.logged.isEmpty());
        EXPECT_TRUE(kUuid.match(createdFolderName()).hasMatch());
        EXPECT_EQ(calls(), c.calls);
        EXPECT_EQ(guestTree(), c.left);
        EXPECT_EQ(shares().size(), c.logged.isEmpty() ? 1u : 0u);
        EXPECT_EQ(logLines().mid(before), c.logged);
        // The service's error text is the result's too.
        EXPECT_EQ(result.errorText, c.logged == QStringList{"1 " + shareError} ? shareError : "");
    }
    // The share the last row made, with what the request asked for.
    const picojson::value s = shares().at(0);
    EXPECT_EQ(result.downloadUrl,
              kDownload + "?shareId=" + QString::fromStdString(Str(s, "shareId")));
    const std::string folderPath = "/Velmora/.guest/" + createdFolderName().toStdString();
    std::string paths;
    for (const picojson::value& p : s.get("paths").get<picojson::array>())
        paths += p.to_str() + " ";
    EXPECT_EQ(paths, folderPath + "/a.txt " + folderPath + "/b.txt " + folderPath + "/c.txt ");
    EXPECT_EQ(s.get("mailAddresses").serialize() + Str(s, "accessKey") + "|" +
                  Str(s, "sendAccessKey") + "|" + Str(s, "text") + "|" + Str(s, "expire"),
              R"(["guest@example.com"]Key123|true|資料です|2030-01-31T23:59:59.000+09:00)");
    std::ifstream stored(repo(QString::fromStdString(folderPath) + "/c.txt"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), "ccc");
}

// ---- Share-completed texts ----

TEST(ShareCompletedTextTest, BuildsHeaderAndLinesFromTheRequest) {
    const QString url = kDownload + "?shareId=ab12";
    const QString mailed = "登録メールアドレスにファイルダウンロード情報を送信しました。|";
    const QString pass = "以下のダウンロード専用URLをご案内ください。|" + url + "\r\n\r\n";
    const QString key = "アクセスキー：k9k9\r\n", expiry = "有効期限：2030/01/31\r\n";
    const struct {
        QStringList mail;
        QString key;
        QString expiry;
        QString texts;  // header|text
    } cases[] = {
        {{"a@example.com"}, "k9k9", "", mailed + key},
        {{"a@example.com"}, "", "", mailed},
        {{}, "k9k9", "2030/01/31", pass + key + expiry},
        {{}, "", "2030/01/31", pass + expiry},
    };
    for (const auto& c : cases) {
        const ShareCompletedText out = BuildShareCompletedText({.files = {},
                                                                .mailAddresses = c.mail,
                                                                .noticeText = {},
                                                                .accessKey = c.key,
                                                                .expiry = c.expiry},
                                                               url);
        EXPECT_EQ(Fields(out.header, out.text), c.texts);
    }
}

// ---- Worker entry points ----

using GuestShareTaskTest = GuestShareTest;

// Each row runs one task on its own thread; its outcome, the job's flag,
// the download address and the last line logged are what it hands back,
// with the same debug lines around the hand-back as the upload run.
TEST_F(GuestShareTaskTest, TasksHandBackTheirOutcome) {
    ASSERT_TRUE(ProfileFile::writeString("Config", "Debug", "ON", ConfigPath()));
    const QStringList handBack = {"16 before SendMessage", "16 after SendMessage",
                                  "16 dwResult : 1"};
    const auto request = std::make_shared<const GuestShareRequest>(threeFiles());
    const QString parseError = "1 UNEXPECTED_ERROR : failed to parse json.";
    const struct {
        const char* what;
        TaskBlock::Kind kind;
        std::shared_ptr<const GuestShareRequest> request;
        std::string rule;
        const char* config;
        bool serviceGone;
        QString outcome;  // result|job's flag|flags raised
        QString lastLogged;
    } cases[] = {
        {"run", TaskBlock::UploadRun, request, "", "", false, "1|成功|0|0", ""},
        // The REST layer reports the reply; the task reports what ended the run.
        {"run, share refused", TaskBlock::UploadRun, request,
         R"({"method": "POST", "path": "/share$", "status": 400})", "", false, "0|失敗|0|0",
         "1 ゲスト共有に失敗しました。"},
        {"run, share reply garbled", TaskBlock::UploadRun, request,
         R"({"method": "POST", "path": "/share$", "kind": "notJson"})", "", false, "0|失敗|0|0",
         parseError},
        // A block that lost its request fails the same way instead of crashing.
        {"run without request", TaskBlock::UploadRun, nullptr, "", "", false, "0|失敗|0|0",
         "1 NO_GUEST_SHARE_REQUEST : ゲスト共有の依頼がありません。"},
        {"check", TaskBlock::GuestShareCheck, nullptr, "", "password=1\n", false, "1|-|1|0",
         "4 " + kDone},
        {"check, suppressed", TaskBlock::GuestShareCheck, nullptr, "",
         "suppress-file-share=1\nemail=1\n", false, "0|-|0|1", "4 " + kDone},
        {"check, folder reply garbled", TaskBlock::GuestShareCheck, nullptr,
         R"({"path": "/folder/path/Velmora/\\.guest$", "kind": "notJson"})", "", false, "0|-|0|0",
         parseError},
        {"check, no service", TaskBlock::GuestShareCheck, nullptr, "", "", true, "0|-|0|0",
         "4 " + kDone},
        {"run, no service", TaskBlock::UploadRun, request, "", "", true, "0|失敗|0|0",
         "1 共有ファイルを保存するためのフォルダ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.serviceGone)
            emulator.stop();
        else
            resetEmulator();
        AccessKeyRequired = MailAddressRequired = false;
        writeShareConfig(c.config);
        if (!c.rule.empty())
            control("faults", c.rule);
        const size_t sharesBefore = shares().size();
        const qsizetype linesBefore = logLines().size();
        // On its own thread, as the tray runs it; the block must come back
        // whole, from that thread.
        TaskBlock given;
        std::tie(given.sink, given.guestRequest, given.kind, given.taskId, given.logger) =
            std::tuple(this, c.request, c.kind, 41, &logger);
        given.startTime = {2024, 3, 6, 9, 10, 11, 12, 345};
        if (c.kind == TaskBlock::UploadRun)
            given.job.emplace().UniqueId = "1710000000_345_7";
        const TaskBlock copy = given;
        std::thread worker(
            c.kind == TaskBlock::UploadRun ? RunGuestShareTask : RunGuestShareCheckTask, given);
        const std::thread::id id = worker.get_id();
        worker.join();
        ASSERT_EQ(blocks.size(), 1u);
        const auto [done, thread] = std::move(blocks[0]);
        blocks.clear();
        EXPECT_EQ(
            Fields(thread == id, int(done.kind), done.taskId,
                   done.guestRequest == copy.guestRequest, done.startTime == copy.startTime,
                   done.job ? done.job->UniqueId : "-"),
            Fields(true, int(copy.kind), 41, true, true, copy.job ? copy.job->UniqueId : "-"));
        EXPECT_EQ(Fields(done.result, done.job ? done.job->LastUploadFlag : "-", flags().first,
                         flags().second),
                  c.outcome);
        const picojson::array list = shares();
        const bool shared = list.size() > sharesBefore;
        EXPECT_EQ(
            done.shareDownloadUrl,
            shared ? kDownload + "?shareId=" + QString::fromStdString(Str(list.back(), "shareId"))
                   : "");
        EXPECT_EQ(guestTree().size(), shared ? 4 : 0);
        const QStringList logged = logLines().mid(linesBefore);
        EXPECT_EQ(logged.mid(logged.size() - 3), handBack);
        const QStringList others = logged.filter(QRegularExpression("^[^1]|^1 "));
        EXPECT_TRUE(c.lastLogged.isEmpty()
                        ? others.isEmpty()
                        : others.value(others.size() - 1).startsWith(c.lastLogged))
            << logged.join('\n').toStdString();
    }
}

}  // namespace
