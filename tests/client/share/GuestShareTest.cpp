// The guest share check and run against the real storage emulator over
// HTTPS, their worker entry points, and the share-completed texts.
#include "GuestShare.h"
#include "GuestShareTask.h"

#include "EventLog.h"

#include <QDir>
#include <QRegularExpression>

#include <thread>
#include <vector>

#include "Fields.h"
#include "RestEmulatorTest.h"

namespace {

const QString kGuest = QStringLiteral("/Velmora/.guest");
const QString kDownload = QStringLiteral("https://www.torval2.jp/document/file/share/download");
const QString kDone = QStringLiteral("ゲスト共有可否チェックが完了しました。");
const QRegularExpression kUuid(QStringLiteral(
    "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));

// The access key and mail address flags the check raises, as they stand
// before any test runs.
const bool kFlagsStartLowered = !AccessKeyRequired && !MailAddressRequired;

// A clock that moves five seconds on at every reading, so start and end of a
// check are told apart. Read on the test's thread only.
struct SteppingClock : Clock {
    QDateTime now() const override { return start.addSecs(5 * readings++); }
    QDateTime start{QDate(2024, 3, 9), QTime(23, 59, 58)};
    mutable int readings = 0;
};

// Also the sink the tasks hand their blocks back to.
class GuestShareTest : public RestEmulatorTest, public TaskResultSink {
protected:
    GuestShareTest() : RestEmulatorTest("basic") {}
    void SetUp() override {
        RestEmulatorTest::SetUp();
        // As at program start; the program itself never lowers them.
        AccessKeyRequired = MailAddressRequired = false;
        // No retries, so the journal holds each request once.
        setProgram("AutoUpload", "Retry", "0");
        reload();
    }
    // Read after the worker is joined.
    void taskFinished(TaskBlock block) override {
        blocks.emplace_back(std::move(block), std::this_thread::get_id());
    }

    // The emulator as it starts (rules, permissions, journal, an empty guest
    // folder), with this share-config.ini (nullptr: none) and, unless endpoint
    // is empty, rule posted to a control endpoint.
    void reset(const char* config, const std::string& endpoint, const std::string& rule) {
        HttpsClient client(emulator);
        for (const char* what : {"permissions", "faults", "journal"})
            client.del(std::string("/_emulator/") + what);
        QDir(repository(kGuest)).removeRecursively();
        QDir().mkpath(repository(kGuest));
        const QString path = repository("/Velmora/.settings/share-config.ini");
        QFile::remove(path);
        EXPECT_TRUE(!config || putFile(path, config));
        EXPECT_TRUE(endpoint.empty() ||
                    client.post("/_emulator/" + endpoint, rule).status / 100 == 2)
            << rule;
    }
    // The share folder name the run sent with its folder creation.
    QString createdFolderName() {
        for (const picojson::value& e : journal())
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
        for (const picojson::value& e : journal())
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
    // Everything logged in this test, oldest first, as "type message".
    QStringList logLines() {
        QStringList lines;
        for (const EventRecord& r : EventLog(EventLog::defaultStorePath()).readNewestFirst())
            lines.prepend(QString::number(r.type) + " " + r.message);
        return anonymous(lines);
    }
    GuestShareRequest threeFiles() {
        GuestShareRequest request{.files = {},
                                  .mailAddresses = {"guest@example.com"},
                                  .noticeText = "資料です",
                                  .accessKey = "Key123",
                                  .expiry = "2030/01/31",
                                  .sendAccessKey = true};
        for (const QString name : {"a", "b", "c"}) {
            request.files << home.path() + "/local/" + name + ".txt";
            EXPECT_TRUE(putFile(request.files.back(), name.repeated(3).toUtf8()));
        }
        return request;
    }

    SteppingClock clock;
    std::vector<std::pair<TaskBlock, std::thread::id>> blocks;
};

TEST_F(GuestShareTest, CheckReadsConfigLinesExactlyAndTheFolderStateApart) {
    EXPECT_TRUE(kFlagsStartLowered);
    EXPECT_TRUE(CheckGuestShareAvailability(rest, logger, clock));
    // Start before the requests, end after them: the clock is read twice.
    EXPECT_EQ(logLines(),
              QStringList{"4 " + kDone + "開始：2024-03-09T23:59:58 終了：2024-03-10T00:00:03"});

    const QString folder = "4 ゲスト共有用フォルダ（/Velmora/.guest）";
    const QString noRights = folder + "にフォルダの作成/削除権限がありませんでした。\n";
    const char* both = "password=1\nemail=1\n";
    const std::string guest = R"({"path": "/Velmora/.guest", ")";
    // Each row starts from a usable guest folder with the flags lowered, or
    // raised; "logged" is what the check writes before its completion line.
    const struct {
        const char* content;
        std::string control;  // a control endpoint and what it gets
        std::string rule;
        bool raised;
        QString outcome;  // access key|mail address|available
        QString logged;
    } cases[] = {
        // Blanks around "=", CR before LF: still the key and value; each key
        // raises its own flag.
        {"password = 1\r\nemail=0\r\n", "", "", false, "1|0|1", ""},
        // Keys are case-sensitive; lines without "=" and unknown keys count
        // for nothing; values are "1" only.
        {"Password=1\nEMAIL=1\nSuppress-File-Share=1\npassword 1\nemail\n\nmail=1\n"
         "password=11\nemail=01\nsuppress-file-share=true\n",
         "", "", false, "0|0|1", ""},
        {"suppress-file-share = 1\r\nemail=1", "", "", false, "0|1|0", ""},
        // An unusable folder fails the check, yet the config is still read.
        {both, "permissions", guest + "canCreate\": false}", false, "1|1|0", noRights},
        {both, "permissions", guest + "canDelete\": false}", false, "1|1|0", noRights},
        {both, "faults", R"({"path": "/folder/path/Velmora/\\.guest$", "status": 404})", false,
         "1|1|0", folder + "が見付かりませんでした。\n"},
        // A config that cannot be read changes no flag, the suppression neither;
        // "0" never lowers a raised flag.
        {"password=1\nemail=1\nsuppress-file-share=1\n", "faults",
         R"({"path": "share-config\\.ini/:entity$", "status": 404})", false, "0|0|1", ""},
        {"password=0\nemail=0\n", "", "", true, "1|1|1", ""},
        {nullptr, "", "", true, "1|1|1", ""},
    };
    const QRegularExpression times(QStringLiteral("開始：.*"));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content ? c.content : "no config") + c.rule);
        reset(c.content, c.control, c.rule);
        AccessKeyRequired = MailAddressRequired = c.raised;
        const qsizetype before = logLines().size();
        const bool available = CheckGuestShareAvailability(rest, logger, clock);
        EXPECT_EQ(Fields(AccessKeyRequired.load(), MailAddressRequired.load(), available),
                  c.outcome);
        EXPECT_EQ(logLines().mid(before).join('\n').remove(times), c.logged + "4 " + kDone);
    }
}

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
        // A control endpoint and what it gets.
        std::pair<std::string, std::string> setup;
        QStringList calls;
        QStringList logged;
    } cases[] = {
        {{"permissions", R"({"path": "/Velmora/.guest", "canCreate": false})"},
         {"POST folder/path"},
         {"1 共有ファイルを保存するためのフォルダ（" + folder + "）の作成に失敗しました。"}},
        {{"faults",
          R"({"method": "POST", "path": "/share$", "status": 500, "errorCode": "SHARE_DOWN"})"},
         uploads +
             QStringList{"POST share", del + "a.txt", del + "b.txt", del + "c.txt", delFolder},
         {"1 " + shareError}},
        // The last upload fails, and so do the removals: a.txt answered 200,
        // not 204, so it is not removed as far as the run can tell.
        {{"faults", R"([{"method": "POST", "path": "/c\\.txt/:entity$", "status": 500},
             {"method": "DELETE", "path": "/a\\.txt$", "status": 200, "body": ""},
             {"method": "DELETE", "path": "/\\.guest/[^/]+$", "status": 500}])"},
         uploads + QStringList{del + "a.txt", del + "b.txt", delFolder},
         {"1 共有ファイル（" + folder + "/c.txt）の保存に失敗しました。",
          "1 共有ファイル（" + folder + "/a.txt）の削除に失敗しました。",
          "1 共有ファイルを保存するためのフォルダ（" + folder + "）の削除に失敗しました。"}},
        {{}, uploads + QStringList{"POST share"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup.second);
        reset(nullptr, c.setup.first, c.setup.second);
        const GuestShareRequest request = threeFiles();
        const qsizetype before = logLines().size();
        GuestShareResult result;
        EXPECT_EQ(RunGuestShareUpload(rest, logger, request, result), c.logged.isEmpty());
        EXPECT_TRUE(kUuid.match(createdFolderName()).hasMatch());
        EXPECT_EQ(calls(), c.calls);
        EXPECT_EQ(logLines().mid(before), c.logged);
        // The service's error text is the result's too.
        EXPECT_EQ(result.errorText, c.logged == QStringList{"1 " + shareError} ? shareError : "");
    }
    // The share the last row made, with what the request asked for (the
    // task test checks its download address).
    picojson::value s = shares().at(0);
    s.get<picojson::object>().erase("shareId");
    // picojson writes "/" as "\/".
    EXPECT_EQ(
        anonymous({QString::fromStdString(s.serialize()).replace("\\/", "/")}),
        QStringList{R"({"accessKey":"Key123","expire":"2030-01-31T23:59:59.000+09:00",)"
                    R"("mailAddresses":["guest@example.com"],"paths":["/Velmora/.guest/ID/a.txt",)"
                    R"("/Velmora/.guest/ID/b.txt","/Velmora/.guest/ID/c.txt"],)"
                    R"("sendAccessKey":"true","text":"資料です"})"});

    // A share reply that cannot be read ends the run by exception, after what
    // was stored is removed as for a refused share.
    reset(nullptr, "faults", R"({"method": "POST", "path": "/share$", "kind": "notJson"})");
    GuestShareResult result;
    EXPECT_ANY_THROW(RunGuestShareUpload(rest, logger, threeFiles(), result));
    EXPECT_EQ(calls(), cases[1].calls);
}

// Each row runs one task on its own thread; its outcome, the job's flag,
// the download address and the last line logged are what it hands back,
// with the same debug lines around the hand-back as the upload run. (The
// tray's tests run a successful check task.)
TEST_F(GuestShareTest, TasksHandBackTheirOutcome) {
    setConfig("Debug", "ON");
    const auto request = std::make_shared<const GuestShareRequest>(threeFiles());
    const struct {
        void (*task)(TaskBlock);
        std::shared_ptr<const GuestShareRequest> request;
        std::string rule;
        QString outcome;  // result|job's flag|flags raised|the share's address given
        QString lastLogged;
    } cases[] = {
        {RunGuestShareTask, request, "", "1|成功|0|0|1", ""},
        // A block that lost its request fails instead of crashing.
        {RunGuestShareTask, nullptr, "", "0|失敗|0|0|0",
         "1 NO_GUEST_SHARE_REQUEST : ゲスト共有の依頼がありません。"},
        // The check's folder reply is garbled.
        {RunGuestShareCheckTask, nullptr,
         R"({"path": "/folder/path/Velmora/\\.guest$", "kind": "notJson"})", "0|-|0|0|0",
         "1 UNEXPECTED_ERROR : failed to parse json."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome.toStdString());
        reset(nullptr, c.rule.empty() ? "" : "faults", c.rule);
        AccessKeyRequired = MailAddressRequired = false;
        const qsizetype linesBefore = logLines().size();
        // On its own thread, as the tray runs it; the block must come back
        // whole, from that thread.
        TaskBlock given;
        std::tie(given.sink, given.guestRequest, given.taskId, given.logger) =
            std::tuple(this, c.request, 41, &logger);
        if (c.task == RunGuestShareTask)
            given.job.emplace();
        std::thread worker(c.task, given);
        const std::thread::id id = worker.get_id();
        worker.join();
        ASSERT_EQ(blocks.size(), 1u);
        const auto [done, thread] = std::move(blocks[0]);
        blocks.clear();
        // The first row makes the only share.
        const QString url =
            kDownload + "?shareId=" + QString::fromStdString(Str(shares().at(0), "shareId"));
        EXPECT_EQ(Fields(thread == id, done.taskId, done.guestRequest == c.request, done.result,
                         done.job ? done.job->LastUploadFlag : "-", AccessKeyRequired.load(),
                         MailAddressRequired.load(), done.shareDownloadUrl == url),
                  "1|41|1|" + c.outcome);
        const QStringList logged = logLines().mid(linesBefore);
        EXPECT_EQ(
            logged.mid(logged.size() - 3),
            (QStringList{"16 before SendMessage", "16 after SendMessage", "16 dwResult : 1"}));
        const QStringList others = logged.filter(QRegularExpression("^[^1]|^1 "));
        EXPECT_TRUE(c.lastLogged.isEmpty()
                        ? others.isEmpty()
                        : others.value(others.size() - 1).startsWith(c.lastLogged))
            << logged.join('\n').toStdString();
    }
}

}  // namespace
