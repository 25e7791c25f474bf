// Upload runs of one job from its checks to its outcome, against the real
// storage emulator over HTTPS.
#include "UploadTask.h"

#include "CLogWriter.h"
#include "CRestUpload.h"
#include "ConfigPaths.h"
#include "LocalSnapshot.h"
#include "ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>
#include <picojson.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <atomic>
#include <fstream>
#include <thread>

#include "EmulatorClient.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "TestSupport.h"

namespace {

using Entry = picojson::value;

class UploadRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator.started()) << emulator.firstLine();
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        hot = home.path() + "/hot";
        QDir().mkpath(hot);
        job.Name = "job";
        job.HotFolder = hot;
        job.OrrinPortalFolder = "/Velmora/";
        job.UniqueId = "1700000000_001_42";
        job.JobNumber = 1;
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    void file(const QString& relative, const QByteArray& content, qint64 mtime = 1700000000) {
        const QString path = hot + "/" + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        setTime(relative, mtime);
    }
    void setTime(const QString& relative, qint64 mtime) {
        const timeval times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimes(QFile::encodeName(hot + "/" + relative).constData(), times), 0);
    }
    TaskBlock run() { return RunUploadAndWait(job, 0, stop, logger); }

    std::vector<Entry> journal() { return ReadJournal(emulator); }
    void clearJournal() {
        HttpsClient control(emulator);
        control.del("/_emulator/journal");
    }
    // Uploads that reached the emulator, by remote path.
    QStringList uploads() {
        QStringList paths;
        for (const Entry& e : journal()) {
            const std::string path = e.get("target").to_str();
            if (e.get("method").to_str() == "POST" && e.get("status").get<double>() != 401 &&
                path.ends_with("/:entity"))
                paths << QString::fromStdString(path);
        }
        return paths;
    }
    void fault(const std::string& json) {
        HttpsClient control(emulator);
        ASSERT_EQ(control.post("/_emulator/faults", json).status, 200);
    }
    QString stored(const QString& remote) {
        QFile f(QString::fromStdString(emulator.repository().string()) + remote);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : "<missing>";
    }
    QString previousFile() {
        return LocalSnapshot::MakeNames(LocalSnapshot::WorkFolder(), job.UniqueId, "x").previous;
    }
    QString log() { return logger.ReadLogText(); }
    // The "end" report query as the web tool received it.
    std::map<std::string, std::string> endReport() {
        std::map<std::string, std::string> params;
        for (const Entry& e : journal()) {
            if (e.get("path").to_str() != "/client-tool/result_log.php")
                continue;
            std::map<std::string, std::string> p;
            for (const auto& pair : e.get("params").get<picojson::array>()) {
                const auto& a = pair.get<picojson::array>();
                p[a[0].get<std::string>()] = a[1].get<std::string>();
            }
            if (p["type"] == "end")
                params = p;
        }
        return params;
    }

    TempDataHome home;
    EmulatorProcess emulator{"basic"};
    CLogWriter logger;
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
    EXPECT_EQ(stored("/Velmora/sub/deeper/c.txt"), "gamma");
    EXPECT_EQ(uploads().size(), 3);
    auto report = endReport();
    EXPECT_EQ(report["uploadedFileCount"], "3");
    EXPECT_EQ(report["createdFolderCount"], "2");
    EXPECT_EQ(report["totalFileSize"], "14");
    EXPECT_TRUE(QFile::exists(previousFile()));

    clearJournal();
    TaskBlock second = run();
    EXPECT_EQ(second.job->LastUploadFlag, "成功");
    EXPECT_TRUE(uploads().isEmpty());
    report = endReport();
    EXPECT_EQ(report["skipFileCount"], "3");
    EXPECT_EQ(report["createdFolderCount"], "2")
        << "folders are asked for on every run (409 counts)";

    // A new time is sent again; a new size with the same time is not; a
    // renamed file is sent under its new name.
    clearJournal();
    setTime("a.txt", 1700000100);
    file("sub/b.txt", "beta, longer now", 1700000000);
    ASSERT_TRUE(QFile::rename(hot + "/sub/deeper/c.txt", hot + "/sub/deeper/renamed.txt"));
    run();
    QStringList sent = uploads();
    sent.sort();
    EXPECT_EQ(sent.join(' ').toStdString(),
              "/api/v1//experimental/repository/0/file/path/Velmora/a.txt/:entity "
              "/api/v1//experimental/repository/0/file/path/Velmora/sub/deeper/renamed.txt/:entity")
        << "only the changed and the renamed file";
}

TEST_F(UploadRunTest, FailedFileIsLeftOutOfPreviousAndSentAgain) {
    file("good.txt", "g");
    file("bad.txt", "b");
    fault(R"({"path": "bad\\.txt/:entity$", "status": 500, "times": 3})");
    TaskBlock first = run();
    EXPECT_EQ(first.job->LastUploadFlag, "失敗");
    EXPECT_TRUE(log().contains("ファイル更新 失敗(500)(リトライ2回) /Velmora/bad.txt"));
    auto report = endReport();
    EXPECT_EQ(report["errorFileCount"], "1");
    EXPECT_EQ(report["retryCount"], "2");
    EXPECT_EQ(report["retryFileSize"], "2");

    clearJournal();
    TaskBlock second = run();
    EXPECT_EQ(second.job->LastUploadFlag, "成功");
    EXPECT_EQ(uploads().size(), 1);
    EXPECT_TRUE(uploads().value(0).contains("bad.txt"));
}

TEST_F(UploadRunTest, ConflictCountsForFoldersButNotForFiles) {
    file("dir/x.txt", "x");
    fault(R"({"path": "x\\.txt/:entity$", "status": 409, "times": 0})");
    TaskBlock result = run();
    EXPECT_EQ(result.job->LastUploadFlag, "失敗");
    auto report = endReport();
    EXPECT_EQ(report["createdFolderCount"], "1");
    EXPECT_EQ(report["errorFileCount"], "1");
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
    auto report = endReport();
    EXPECT_EQ(report["abortCause"], "Interrupt");
    EXPECT_EQ(report["uploadedFileCount"], "5");
    EXPECT_EQ(report["abortFileCount"], "5");
    EXPECT_EQ(report["skipFileCount"], "1") << "unchanged files stay in the result";
    EXPECT_TRUE(log().contains("アップロード処理を中断しました。"));
}

TEST_F(UploadRunTest, FullStorageStopsTheRun) {
    for (int i = 1; i <= 5; ++i)
        file(QStringLiteral("f%1.txt").arg(i), "data");
    fault(
        R"({"path": ":entity$", "nth": 3, "status": 500, "errorCode": "PORTAL_INSUFFICIENT_STORAGE"})");
    TaskBlock result = run();
    EXPECT_EQ(result.job->LastUploadFlag, "失敗");
    EXPECT_EQ(uploads().size(), 3);
    auto report = endReport();
    EXPECT_EQ(report["abortCause"], "DiskQuota");
    EXPECT_EQ(report["errorFileCount"], "1");
    EXPECT_EQ(report["abortFileCount"], "2") << "the rest is drained as interrupted";
    EXPECT_TRUE(log().contains(" [異常] ファイル更新 失敗(500:ディスククォータ違反です。)"));
}

TEST_F(UploadRunTest, ResendInstructionSendsEverythingAgain) {
    file("a.txt", "a");
    file("b.txt", "b");
    run();
    clearJournal();
    fault(R"({"pragma": {}})");
    run();
    EXPECT_EQ(uploads().size(), 2);
    EXPECT_EQ(endReport()["isRetransmission"], "true");
    EXPECT_TRUE(log().contains("サーバから再送指示を受信しました。"));
}

// A reply that cannot be read (not JSON) fails its own step like any other
// failure of it; only the instruction check lets the run go on.
TEST_F(UploadRunTest, FailedChecksCountTheWholeTreeAsFailed) {
    file("a.txt", "aa");
    file("sub/b.txt", "bbb");
    const QString portal = "ポータル情報を取得出来ませんでした。";
    const QString user = "ユーザ情報を取得出来ませんでした。";
    const QString folder = "パックアップ先情報を取得出来ませんでした。";
    struct Case {
        std::string fault;
        QString message;
        bool tallied;
        bool goesOn;
    } cases[] = {
        {R"({"path": "/currentPortal$", "status": 500})", portal, false, false},
        {R"({"path": "/currentUser$", "status": 500})", user, true, false},
        {R"({"path": "/folder/path/Velmora$", "method": "GET", "status": 404})", folder, true,
         false},
        {R"({"path": "/currentPortal$", "kind": "notJson"})", portal, false, false},
        {R"({"path": "/currentUser$", "kind": "notJson"})", user, true, false},
        {R"({"path": "/folder/path/Velmora$", "method": "GET", "kind": "notJson"})", folder, true,
         false},
        {R"({"path": "pragma\\.cgi$", "kind": "notJson"})",
         "サーバ指示情報を取得出来ませんでした。", true, true},
    };
    for (const Case& c : cases) {
        clearJournal();
        fault(c.fault);
        const qsizetype before = log().count(c.message);
        TaskBlock result = run();
        const std::string what = c.fault;
        EXPECT_EQ(result.job->LastUploadFlag, c.goesOn ? "成功" : "失敗") << what;
        EXPECT_EQ(log().count(c.message), before + 1) << what;
        EXPECT_EQ(result.filesFlag, c.tallied ? 3 : 0) << what;
        if (c.goesOn) {
            EXPECT_EQ(endReport()["isRetransmission"], "false") << what;
            EXPECT_EQ(uploads().size(), 2) << what;
        } else {
            EXPECT_TRUE(endReport().empty()) << "no report without the checks: " << what;
            EXPECT_TRUE(uploads().isEmpty()) << what;
        }
    }
    HttpsClient control(emulator);
    control.post("/_emulator/permissions", R"({"path": "/Velmora", "canUpdate": false})");
    TaskBlock refused = run();
    EXPECT_EQ(refused.job->LastUploadFlag, "失敗");
    EXPECT_TRUE(log().contains("パックアップ先に書き込み権限がありません。"));
}

TEST_F(UploadRunTest, EmptyHotFolderSucceedsWithNothingToDo) {
    TaskBlock result = run();
    EXPECT_EQ(result.job->LastUploadFlag, "成功");
    EXPECT_EQ(result.filesFlag, 0);
    auto report = endReport();
    EXPECT_EQ(report["totalFileCount"], "0");
    EXPECT_EQ(report["abortCause"], "");
    EXPECT_EQ(report["isZipUpload"], "false");
    const QString text = log();
    EXPECT_TRUE(text.contains(" 状態:start "));
    EXPECT_TRUE(text.contains(" 状態:end "));
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
    EXPECT_EQ(
        QFileInfo(QString::fromStdString(emulator.repository().string()) + "/Velmora/exact.bin")
            .size(),
        4294967296ll);
    EXPECT_TRUE(log().contains("ファイル更新 失敗(601:ファイルサイズが大きすぎます。" + hot +
                               "/over.bin)"));
    QFile::remove(QString::fromStdString(emulator.repository().string()) + "/Velmora/exact.bin");
}

}  // namespace
