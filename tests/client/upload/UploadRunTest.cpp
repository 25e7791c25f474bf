// Upload runs of one job from its checks to its outcome, against the real
// storage emulator over HTTPS.
#include "UploadTask.h"

#include "LocalSnapshot.h"

#include <sys/statvfs.h>
#include <sys/time.h>
#include <atomic>
#include <thread>

#include "Fields.h"
#include "RestEmulatorTest.h"
#include "UploadTestFiles.h"

namespace {

using Entry = picojson::value;

class UploadRunTest : public RestEmulatorTest {
protected:
    UploadRunTest() : RestEmulatorTest("basic") {}
    void SetUp() override {
        RestEmulatorTest::SetUp();
        hot = home.path() + "/hot";
        QDir().mkpath(hot);
        job.Name = "job";
        job.HotFolder = hot;
        job.OrrinPortalFolder = "/Velmora/";
        job.UniqueId = "1700000000_001_42";
        job.JobNumber = 1;
    }

    void file(const QString& relative, const QByteArray& content, qint64 mtime = 1700000000) {
        PutFile(hot + "/" + relative, content);
        setTime(relative, mtime);
    }
    void setTime(const QString& relative, qint64 mtime) { SetMtime(hot + "/" + relative, mtime); }
    TaskBlock run() { return RunUploadAndWait(job, 0, stop, logger); }

    void clearJournal() { HttpsClient(emulator).del("/_emulator/journal"); }
    // Uploads that reached the emulator, by remote path in sorted order.
    QStringList uploads() {
        QStringList paths;
        for (const Entry& e : journal()) {
            const std::string path = e.get("target").to_str();
            if (e.get("method").to_str() == "POST" && e.get("status").get<double>() != 401 &&
                path.ends_with("/:entity"))
                paths << QString::fromStdString(path);
        }
        paths.sort();
        return paths;
    }
    QString previousFile() {
        return LocalSnapshot::MakeNames(LocalSnapshot::WorkFolder(), job.UniqueId, "x").previous;
    }
    QString log() { return logger.ReadLogText(); }
    // Chosen fields of the last "end" report query the web tool received,
    // joined by commas; empty without such a report.
    std::string endReport(std::initializer_list<const char*> keys) {
        std::string out;
        for (const Entry& e : journal()) {
            if (Str(e, "path") != "/client-tool/result_log.php")
                continue;
            const auto pairs = Pairs(e, "params");
            const std::map<std::string, std::string> p(pairs.begin(), pairs.end());
            if (p.count("type") && p.at("type") == "end") {
                out.clear();
                for (const char* key : keys)
                    out += (key == *keys.begin() ? "" : ",") + (p.count(key) ? p.at(key) : "");
            }
        }
        return out;
    }

    std::atomic<int> stop{0};
    UploadJob job;
    QString hot;
};

TEST_F(UploadRunTest, FirstRunSendsAllAndSecondOnlyAsksForFolders) {
    file("a.txt", "alpha");
    file("sub/b.txt", "beta");
    file("sub/deeper/c.txt", "gamma");
    TaskBlock first = run();
    EXPECT_EQ(first.job->LastUploadFlag, "成功");
    EXPECT_EQ(first.filesFlag, 5);
    EXPECT_EQ(repositoryFile("/Velmora/sub/deeper/c.txt"), "gamma");
    EXPECT_EQ(uploads().size(), 3);
    EXPECT_EQ(endReport({"uploadedFileCount", "createdFolderCount", "totalFileSize"}), "3,2,14");

    // Nothing is sent again, yet folders are asked for on every run (409 counts).
    clearJournal();
    EXPECT_EQ(run().job->LastUploadFlag, "成功");
    EXPECT_TRUE(uploads().isEmpty());
    EXPECT_EQ(endReport({"skipFileCount", "createdFolderCount"}), "3,2");

    // A new time is sent again; a new size with the same time is not; a
    // renamed file is sent under its new name.
    clearJournal();
    setTime("a.txt", 1700000100);
    file("sub/b.txt", "beta, longer now", 1700000000);
    ASSERT_TRUE(QFile::rename(hot + "/sub/deeper/c.txt", hot + "/sub/deeper/renamed.txt"));
    run();
    const QString entity = "/api/v1//experimental/repository/0/file/path/Velmora/%1/:entity";
    EXPECT_EQ(uploads(), QStringList({entity.arg("a.txt"), entity.arg("sub/deeper/renamed.txt")}));

    clearJournal();
    fault(R"({"pragma": {}})");
    run();
    EXPECT_EQ(uploads().size(), 3) << "the resend instruction sends everything again";
    EXPECT_EQ(endReport({"isRetransmission"}), "true");
    EXPECT_TRUE(log().contains("サーバから再送指示を受信しました。"));
}

// Each row starts from a fresh hot folder without a previous run: its files
// and fault give the outcome, the uploads that reached the storage, the end
// report and a log line; a second run without the fault sends again exactly
// what failed or was left.
TEST_F(UploadRunTest, FaultsDecideTheOutcomeAndWhatIsSentAgain) {
    const struct {
        const char* files;
        std::string fault;
        const char* flag;
        int uploads;
        std::string report;
        QString logged;
        int resent;
    } cases[] = {
        {"", "", "成功", 0, "0,,false,0,0,0,0,0", " 状態:start ", 0},
        {"good.txt bad.txt", R"({"path": "bad\\.txt/:entity$", "status": 500, "times": 3})", "失敗",
         4, "2,,false,1,0,2,14,0", "ファイル更新 失敗(500)(リトライ2回) /Velmora/bad.txt", 1},
        // A conflict counts for a folder but not for a file.
        {"dir/x.txt", R"({"path": "x\\.txt/:entity$", "status": 409, "times": 0})", "失敗", 3,
         "1,,false,1,0,2,18,1", " 状態:end ", 1},
        // Full storage stops the run: the rest is drained as interrupted.
        {"f1.txt f2.txt f3.txt f4.txt f5.txt",
         R"({"path": ":entity$", "nth": 3, "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})",
         "失敗", 3, "5,DiskQuota,false,1,2,0,0,0",
         " [異常] ファイル更新 失敗(500:ディスククォータ違反です。)", 3},
    };
    for (const auto& c : cases) {
        QDir(hot).removeRecursively();
        QDir().mkpath(hot);
        QFile::remove(previousFile());
        for (const QString& name : QString(c.files).split(' ', Qt::SkipEmptyParts))
            file(name, name.toUtf8());
        clearJournal();
        if (!c.fault.empty())
            fault(c.fault);
        const qsizetype before = log().count(c.logged);
        const TaskBlock result = run();
        EXPECT_EQ(result.job->LastUploadFlag, c.flag) << c.fault;
        EXPECT_EQ(uploads().size(), c.uploads) << c.fault;
        EXPECT_EQ(
            endReport({"totalFileCount", "abortCause", "isZipUpload", "errorFileCount",
                       "abortFileCount", "retryCount", "retryFileSize", "createdFolderCount"}),
            c.report)
            << c.fault;
        EXPECT_EQ(log().count(c.logged), before + 1) << c.fault;
        HttpsClient(emulator).del("/_emulator/faults");
        clearJournal();
        EXPECT_EQ(run().job->LastUploadFlag, "成功") << c.fault;
        EXPECT_EQ(uploads().size(), c.resent) << c.fault;
    }
}

TEST_F(UploadRunTest, StopWhileTheFifthOfTenIsSent) {
    for (int i = 1; i <= 10; ++i)
        file(QStringLiteral("f%1.txt").arg(i, 2, 10, QLatin1Char('0')), "data");
    file("same.txt", "unchanged");
    // A first run makes "same.txt" known; then every fNN file changes.
    run();
    for (int i = 1; i <= 10; ++i)
        setTime(QStringLiteral("f%1.txt").arg(i, 2, 10, QLatin1Char('0')), 1700000500);
    clearJournal();
    fault(R"({"path": ":entity$", "nth": 5, "delayMs": 1500})");

    std::thread stopper([this] {
        // The rule disappears when it fires: the fifth upload is then held
        // in the emulator's delay, and the stop request arrives during it.
        HttpsClient control(emulator);
        for (int i = 0; i < 2000 && stop == 0; ++i) {
            picojson::value v;
            if (picojson::parse(v, control.get("/_emulator/faults").body).empty() &&
                v.get("faults").get<picojson::array>().empty()) {
                stop = 1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    TaskBlock result = run();
    stopper.join();
    EXPECT_EQ(result.job->LastUploadFlag, "失敗");
    EXPECT_EQ(uploads().size(), 5) << "the fifth finishes, the sixth is never sent";
    // Unchanged files stay in the result.
    EXPECT_EQ(endReport({"abortCause", "uploadedFileCount", "abortFileCount", "skipFileCount"}),
              "Interrupt,5,5,1");
    EXPECT_TRUE(log().contains("アップロード処理を中断しました。"));
}

// A reply that cannot be read (not JSON) fails its own step like any other
// failure of it; only the instruction check lets the run go on.
TEST_F(UploadRunTest, FailedChecksCountTheWholeTreeAsFailed) {
    file("a.txt", "aa");
    file("sub/b.txt", "bbb");
    const QString portal = "ポータル情報を取得出来ませんでした。";
    const QString user = "ユーザ情報を取得出来ませんでした。";
    const QString folder = "パックアップ先情報を取得出来ませんでした。";
    const QString unread = "サーバの応答を読み取れませんでした。";
    // emulator control, its request, logged message, whether the tree is
    // counted, whether the run goes on, the reason for the user
    const std::tuple<std::string, std::string, QString, bool, bool, QString> cases[] = {
        // Both kinds of failure meet in one check shared by every step.
        {"faults", R"({"path": "/currentPortal$", "status": 500})", portal, false, false,
         "サーバがエラーを返しました（HTTP 500）。"},
        {"faults", R"({"path": "/currentUser$", "kind": "notJson"})", user, true, false, unread},
        {"faults", R"({"path": "/folder/path/Velmora$", "method": "GET", "kind": "notJson"})",
         folder, true, false, unread},
        {"faults", R"({"path": "pragma\\.cgi$", "kind": "notJson"})",
         "サーバ指示情報を取得出来ませんでした。", true, true, ""},
        {"permissions", R"({"path": "/Velmora", "canUpdate": false})",
         "パックアップ先に書き込み権限がありません。", true, false, ""},
    };
    for (const auto& [control, what, message, tallied, goesOn, reason] : cases) {
        clearJournal();
        ASSERT_EQ(HttpsClient(emulator).post("/_emulator/" + control, what).status / 100, 2);
        const qsizetype before = log().count(message);
        TaskBlock result = run();
        EXPECT_EQ(result.job->LastUploadFlag, goesOn ? "成功" : "失敗") << what;
        EXPECT_EQ(log().count(message), before + 1) << what;
        EXPECT_EQ(result.filesFlag, tallied ? 3 : 0) << what;
        EXPECT_EQ(result.failureReason, reason) << what;
        // No report and no upload without the checks.
        EXPECT_EQ(endReport({"isRetransmission"}), goesOn ? "false" : "") << what;
        EXPECT_EQ(uploads().size(), goesOn ? 2 : 0) << what;
    }
}

TEST_F(UploadRunTest, FileLargerThanFourGibibytesIsRefused) {
    struct statvfs fs {};
    ::statvfs(QFile::encodeName(hot).constData(), &fs);
    // The emulator keeps what it receives: the boundary file needs that room.
    if (static_cast<quint64>(fs.f_bavail) * fs.f_frsize < 6ull << 30)
        GTEST_SKIP() << "slow test skipped: less than 6 GiB free for a 4 GiB upload";
    for (const auto& [name, size] :
         {std::pair{"exact.bin", 4294967296ll}, {"over.bin", 4294967297ll}}) {
        QFile f(hot + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(size));  // sparse
    }
    TaskBlock result = run();
    EXPECT_EQ(result.job->LastUploadFlag, "失敗");
    EXPECT_EQ(uploads().size(), 1);
    EXPECT_EQ(QFileInfo(repository("/Velmora/exact.bin")).size(), 4294967296ll);
    EXPECT_TRUE(log().contains("ファイル更新 失敗(601:ファイルサイズが大きすぎます。" + hot +
                               "/over.bin)"));
    QFile::remove(repository("/Velmora/exact.bin"));
}

}  // namespace

// The record counts exactly what is sent and moves while the run goes; an
// unchanged file is not among what is to be sent.
TEST_F(UploadRunTest, ProgressCountsWhatIsSent) {
    file("a.txt", QByteArray(3000, 'a'));
    file("sub/b.txt", QByteArray(5000, 'b'));
    file("c.txt", "c");
    for (const int pass : {0, 1}) {
        auto progress = std::make_shared<TaskProgress>();
        clearJournal();
        // The second upload waits: the sampler sees the first one counted.
        fault(R"({"path": ":entity$", "nth": 2, "delayMs": 1500})");
        std::vector<ProgressSnapshot> seen;
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                seen.push_back(progress->snapshot());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        RunUploadAndWait(job, 0, stop, logger, nullptr, Clock::system(), progress);
        done = true;
        sampler.join();
        const ProgressSnapshot end = progress->snapshot();
        const quint64 sent = pass == 0 ? 8001 : 3000;
        EXPECT_EQ(Fields(end.filesTotal, end.filesDone, end.bytesTotal, end.bytesDone),
                  Fields(uploads().size(), uploads().size(), sent, sent));
        bool between = false;
        for (size_t i = 1; i < seen.size(); ++i) {
            EXPECT_GE(seen[i].filesDone, seen[i - 1].filesDone);
            between |= seen[i].phase == UploadPhase::Uploading && seen[i].filesDone == 1 &&
                       seen[i].bytesDone > 0 && seen[i].bytesDone < sent;
        }
        EXPECT_EQ(between, pass == 0) << "only the first pass sends two files";
        setTime("a.txt", 1700000100);
        HttpsClient(emulator).del("/_emulator/faults");
    }
}
