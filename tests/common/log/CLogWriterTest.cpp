#include "CLogWriter.h"

#include "EventLogSupport.h"
#include "ProfileFile.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class LogWriterTest : public ::testing::Test {
protected:
    TempDataHome home;
    FakeLoggerInPath fake;
    QString settings = home.file(QStringLiteral("QuillonConfig.ini"));
    QString store = home.file(QStringLiteral("EventLog.sqlite"));

    void setDebug(const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString(QStringLiteral("Config"), QStringLiteral("Debug"),
                                             value, settings));
    }
};

// One logger reads the switch again at every call; only "ON", exactly, turns it on.
TEST_F(LogWriterTest, DebugIsWrittenOnlyWhileTheSwitchIsExactlyOn) {
    CLogWriter log(settings);
    EXPECT_TRUE(log.Log(CLogWriter::LogDebug, QStringLiteral("no file")));
    EXPECT_FALSE(QFileInfo::exists(store)) << "nothing written means no store either";
    QStringList expected;
    for (const char* value : {"on", "ON", "On", "oN", "ON", "OFF", "", "1", "ONN", "ＯＮ"}) {
        setDebug(QString::fromUtf8(value));
        const QString message = QString::number(expected.size()) + QString::fromUtf8(value);
        EXPECT_TRUE(log.Log(CLogWriter::LogDebug, message));
        if (qstrcmp(value, "ON") == 0)
            expected.prepend(message);
    }
    ASSERT_TRUE(
        ProfileFile::removeKey(QStringLiteral("Config"), QStringLiteral("Debug"), settings));
    EXPECT_TRUE(log.Log(CLogWriter::LogDebug, QStringLiteral("key removed")));
    // The default logger reads the user's settings file; an empty path never says "ON".
    setDebug(QStringLiteral("ON"));
    EXPECT_TRUE(CLogWriter().Log(CLogWriter::LogDebug, QStringLiteral("default")));
    EXPECT_TRUE(CLogWriter(QString()).Log(CLogWriter::LogDebug, QStringLiteral("empty path")));
    EXPECT_EQ(eventMessages(store), QStringList{QStringLiteral("default")} + expected);
}

TEST_F(LogWriterTest, ViewerShowsThisLoggersEventsLabelledInLocalTime) {
    CLogWriter log(settings);
    setDebug(QStringLiteral("ON"));
    const QString text = QStringLiteral("一行目\r\n二行目\t\"引用\" %s %d");
    // Unknown levels are kept as information rather than lost.
    const std::pair<int, QString> levels[] = {{CLogWriter::LogError, "e"},
                                              {CLogWriter::LogWarning, text},
                                              {CLogWriter::LogInfo, "i"},
                                              {CLogWriter::LogDebug, "d"},
                                              {-1, QString()}};
    for (const auto& [level, message] : levels)
        ASSERT_TRUE(log.Log(level, message));
    // Other writers: every type this source can show, and sources shown only in
    // another letter case; the fallback's source is the title, not the logger's.
    EventLog other(store);
    const std::pair<int, QString> foreign[] = {
        {0, "TORVAL クライアントツール"},  {8, "TORVAL クライアントツール"},
        {3, "TORVAL クライアントツール"},  {2, "ToRvAl クライアントツール"},
        {1, "TORVAL2 クライアントツール"}, {4, "TORVAL クライアントツール "}};
    for (const auto& [type, source] : foreign)
        ASSERT_TRUE(other.report(type, source, 5, QString::number(type)));
    RawStore raw(store);
    EXPECT_EQ(raw.value("SELECT count(*) FROM events WHERE event_id = 1000 AND source = "
                        "'TORVAL クライアントツール'"),
              5);
    ASSERT_TRUE(raw.exec("UPDATE events SET time_generated = 1700000000"));
    EnvGuard tokyo("TZ", "JST-9");  // nine hours ahead: the date moves on too
    const QString later = QStringLiteral("2023/11/15 07:13:20\n");
    const QStringList shown = {" [警告] 2", "不明3",           " [監査成功] 8",
                               " [成功] 0", " [通知] ",        " [監査失敗] d",
                               " [通知] i", " [警告] " + text, " [異常] e"};
    EXPECT_EQ(log.ReadLogText(), later + shown.join("\r\n" + later) + "\r\n");
}

// A store that cannot be used (any failure of the store is the same case
// here) gets ten attempts 50 ms apart, then one system-log line that leaves
// the message out; the next message goes in once it works again. A skipped
// debug message meanwhile never waits for the retrying thread's lock.
TEST_F(LogWriterTest, LockedStoreGetsTenAttemptsThenOneFallbackWithoutTheMessage) {
    const QByteArray settingsBytes("[Config]\r\nDebug=ON\r\nID=user\r\n");
    ASSERT_TRUE(putFile(settings, settingsBytes));
    CLogWriter log(settings);
    ASSERT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("before")));
    RawStore holder(store);
    ASSERT_TRUE(holder.exec("BEGIN EXCLUSIVE"));
    QElapsedTimer timer;
    timer.start();
    std::atomic<bool> done{false};
    bool written = true;
    std::thread writer([&] {
        written = log.Log(CLogWriter::LogError, QStringLiteral("秘密のメッセージ"));
        done = true;
    });
    QThread::msleep(100);  // the writer now holds the lock through its retries
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(CLogWriter(home.file(QStringLiteral("none.ini")))
                    .Log(CLogWriter::LogDebug, QStringLiteral("skipped")));
    EXPECT_FALSE(done.load()) << "the skipped message waited for the writer's lock";
    writer.join();
    EXPECT_FALSE(written);
    EXPECT_GE(timer.elapsed(), 400);  // nine pauses of 50 ms between ten attempts
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(fake.waitForCalls(), QStringList{"<-t><TORVAL2 クライアントツール><-p><user.err><--><"
                                               "ログの書き込みに失敗しました>"});
    EXPECT_EQ(fileBytes(settings), settingsBytes);
    ASSERT_TRUE(holder.exec("ROLLBACK"));
    EXPECT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("after")));
    EXPECT_EQ(fake.waitForCalls().size(), 1);
    EXPECT_EQ(eventMessages(store), QStringList({"after", "before"}));
}

// Two real processes and two threads of this one write at once, each its own
// debug messages and settings keys, into the same store and settings file;
// every message also reads the Debug switch from the file being rewritten.
TEST_F(LogWriterTest, ConcurrentWritersLoseNoMessageAndNoKey) {
    constexpr int kEach = 400;
    const QStringList tags = {"p-", "q-", "r-", "s-"};
    setDebug(QStringLiteral("ON"));
    // The children find the same data folder through the inherited environment;
    // closing their input is the start signal.
    QProcess children[2];
    for (int k = 0; k < 2; ++k)
        children[k].start(QStringLiteral(CONCURRENT_WRITER), {tags[k], QString::number(kEach)});
    for (QProcess& child : children) {
        ASSERT_TRUE(child.waitForStarted(30000));
        child.closeWriteChannel();
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const QString& tag : tags.mid(2)) {
        threads.emplace_back([this, &failures, tag] {
            CLogWriter log;
            for (int i = 0; i < kEach; ++i) {
                const QString n = QString::number(i);
                failures += !log.Log(CLogWriter::LogDebug, tag + n);
                failures += !ProfileFile::writeString(QStringLiteral("Race"), tag + n, n, settings);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (QProcess& child : children) {
        // Bounded by the test timeout: a loaded sanitizer build needs minutes.
        ASSERT_TRUE(child.waitForFinished(-1));
        EXPECT_TRUE(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
            << child.readAllStandardError().constData();
    }
    EXPECT_EQ(failures.load(), 0);
    // Each writer's messages all there, once and in order; each key with its value.
    const QStringList messages = eventMessages(store);
    EXPECT_EQ(messages.size(), tags.size() * kEach);
    for (const QString& tag : tags) {
        QStringList expected;
        int missing = 0;
        for (int i = 0; i < kEach; ++i) {
            const QString n = QString::number(i);
            expected.prepend(tag + n);
            missing +=
                ProfileFile::readString(QStringLiteral("Race"), tag + n, QString(), settings) != n;
        }
        EXPECT_EQ(messages.filter(tag), expected);
        EXPECT_EQ(missing, 0) << tag.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(fake.callsFile()));
}

}  // namespace
