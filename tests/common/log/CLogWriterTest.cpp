#include "CLogWriter.h"

#include "ConfigPaths.h"
#include "EnvGuard.h"
#include "EventLog.h"
#include "ProfileFile.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include "EventLogSupport.h"

#include <atomic>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

namespace {

const QString kSource = QStringLiteral("TORVAL クライアントツール");
const QString kFallbackLine = QStringLiteral(
    "<-t><TORVAL2 クライアントツール><-p><user.err><--><ログの書き込みに失敗しました>");

// The viewer text without the time lines, which the caller cannot know.
QString withoutTimes(const QString& text) {
    static const QRegularExpression time(
        QStringLiteral("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\n"));
    QString rest = text;
    return rest.remove(time);
}

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
    QList<EventRecord> events() const { return EventLog(store).readNewestFirst(); }
    QStringList messages() const {
        QStringList result;
        for (const EventRecord& r : events())
            result << r.message;
        return result;
    }
};

// --- The debug switch -------------------------------------------------------

// One logger reads the switch again at every call; only "ON", exactly, turns it on.
TEST_F(LogWriterTest, DebugIsWrittenOnlyWhileTheSwitchIsExactlyOn) {
    CLogWriter log(settings);
    EXPECT_TRUE(log.Log(CLogWriter::LogDebug, QStringLiteral("no file")));
    ASSERT_TRUE(putBytes(settings, "[Config]\r\nID=user\r\n[Other]\r\nDebug=ON\r\n"));
    EXPECT_TRUE(log.Log(CLogWriter::LogDebug, QStringLiteral("no key in Config")));
    EXPECT_FALSE(QFileInfo::exists(store)) << "nothing written means no store either";
    ASSERT_TRUE(putBytes(settings, "[config]\r\ndebug=ON\r\n"));
    EXPECT_TRUE(log.Log(CLogWriter::LogDebug, QStringLiteral("section and key in any case")));
    QStringList expected{QStringLiteral("section and key in any case")};
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
    EXPECT_EQ(messages(), expected);
}

TEST_F(LogWriterTest, DefaultLoggerReadsTheUserSettingsFile) {
    setDebug(QStringLiteral("ON"));
    EXPECT_TRUE(CLogWriter().Log(CLogWriter::LogDebug, QStringLiteral("default")));
    // An empty path is a file that never says "ON".
    EXPECT_TRUE(CLogWriter(QString()).Log(CLogWriter::LogDebug, QStringLiteral("empty path")));
    EXPECT_EQ(messages(), QStringList{QStringLiteral("default")});
}

// --- Levels, types and labels -------------------------------------------------

TEST_F(LogWriterTest, LevelGivesTheEventType) {
    setDebug(QStringLiteral("ON"));
    CLogWriter log(settings);
    // Unknown levels are kept as information rather than lost.
    const int levelAndType[][2] = {{CLogWriter::LogError, 1},
                                   {CLogWriter::LogWarning, 2},
                                   {CLogWriter::LogInfo, 4},
                                   {CLogWriter::LogDebug, 16},
                                   {7, 4},
                                   {-1, 4}};
    for (const auto& [level, type] : levelAndType) {
        ASSERT_TRUE(log.Log(level, QStringLiteral("本文")));
        const EventRecord newest = events().first();
        EXPECT_EQ(newest.type, type) << level;
        EXPECT_EQ(newest.source, kSource);
        EXPECT_EQ(newest.eventId, 1000);
        EXPECT_EQ(newest.message, QStringLiteral("本文"));
    }
}

TEST_F(LogWriterTest, ViewerLabelsEveryEventType) {
    EventLog other(store);
    for (int type : {0, 8, 3, 32, 1, 2, 4, 16})
        ASSERT_TRUE(other.report(type, kSource, 1000, QString::number(type)));
    EXPECT_EQ(withoutTimes(CLogWriter(settings).ReadLogText()),
              QStringLiteral(" [監査失敗] 16\r\n [通知] 4\r\n [警告] 2\r\n [異常] 1\r\n"
                             "不明32\r\n不明3\r\n [監査成功] 8\r\n [成功] 0\r\n"));
}

// --- The viewer text ----------------------------------------------------------

TEST_F(LogWriterTest, TimeIsShownAsLocalTime) {
    CLogWriter log(settings);
    ASSERT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("later")));
    ASSERT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("epoch")));
    {
        RawStore raw(store);
        ASSERT_TRUE(
            raw.exec("UPDATE events SET time_generated = 1700000000 WHERE message = 'later'"));
        ASSERT_TRUE(raw.exec("UPDATE events SET time_generated = 0 WHERE message = 'epoch'"));
    }
    {
        EnvGuard utc("TZ", "UTC0");
        EXPECT_EQ(log.ReadLogText(), QStringLiteral("1970/01/01 00:00:00\n [通知] epoch\r\n"
                                                    "2023/11/14 22:13:20\n [通知] later\r\n"));
    }
    {
        // Nine hours ahead: the date moves on too.
        EnvGuard tokyo("TZ", "JST-9");
        EXPECT_EQ(log.ReadLogText(), QStringLiteral("1970/01/01 09:00:00\n [通知] epoch\r\n"
                                                    "2023/11/15 07:13:20\n [通知] later\r\n"));
    }
}

TEST_F(LogWriterTest, OnlyThisLoggersSourceIsShownInAnyLetterCase) {
    EventLog other(store);
    CLogWriter log(settings);
    ASSERT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("mine")));
    // The fallback's source is the application title, not the logger's.
    ASSERT_TRUE(other.report(1, QStringLiteral("TORVAL2 クライアントツール"), 1000, "title"));
    ASSERT_TRUE(other.report(4, QStringLiteral("torval クライアントツール"), 1000, "lower"));
    ASSERT_TRUE(other.report(4, QStringLiteral("Other"), 1000, "other"));
    ASSERT_TRUE(other.report(4, QString(), 1000, "empty"));
    ASSERT_TRUE(other.report(4, kSource + QLatin1Char(' '), 1000, "blank"));
    ASSERT_TRUE(other.report(2, QStringLiteral("ToRvAl クライアントツール"), 5, "mixed"));
    EXPECT_EQ(withoutTimes(log.ReadLogText()),
              QStringLiteral(" [警告] mixed\r\n [通知] lower\r\n [通知] mine\r\n"));
}

TEST_F(LogWriterTest, MessageTextIsKeptAsLogged) {
    CLogWriter log(settings);
    const QString message = QStringLiteral("一行目\r\n二行目\t\"引用\" %s %d");
    ASSERT_TRUE(log.Log(CLogWriter::LogWarning, message));
    ASSERT_TRUE(log.Log(CLogWriter::LogWarning, QString()));
    EXPECT_EQ(withoutTimes(log.ReadLogText()),
              QStringLiteral(" [警告] \r\n [警告] ") + message + QStringLiteral("\r\n"));
}

TEST_F(LogWriterTest, NoEventsGiveAnEmptyText) {
    CLogWriter log(settings);
    EXPECT_EQ(log.ReadLogText(), QString());
    EXPECT_FALSE(QFileInfo::exists(store));  // the viewer never creates a store

    ASSERT_TRUE(EventLog(store).report(4, QStringLiteral("Other"), 1, QStringLiteral("x")));
    EXPECT_EQ(log.ReadLogText(), QString());
    {
        RawStore raw(store);
        ASSERT_TRUE(raw.exec("DELETE FROM events"));
    }
    EXPECT_EQ(log.ReadLogText(), QString());

    removeStore(store);
    ASSERT_TRUE(putBytes(store, QByteArray(2048, '\x5a')));
    EXPECT_EQ(log.ReadLogText(), QString());
}

// --- Fallback -----------------------------------------------------------------

enum class Breakage { Garbage, Folder, Locked };
void PrintTo(Breakage b, std::ostream* os) {
    *os << (b == Breakage::Garbage ? "Garbage" : b == Breakage::Folder ? "Folder" : "Locked");
}

class LogFallbackTest : public LogWriterTest, public ::testing::WithParamInterface<Breakage> {
protected:
    std::unique_ptr<RawStore> holder;
    QByteArray garbage{QByteArrayLiteral("this is no database, only text\n").repeated(100)};

    void breakStore() {
        switch (GetParam()) {
            case Breakage::Garbage:
                ASSERT_TRUE(putBytes(store, garbage));
                break;
            case Breakage::Folder:
                ASSERT_TRUE(QDir().mkpath(store + QStringLiteral("/inside")));
                break;
            case Breakage::Locked:
                ASSERT_TRUE(
                    CLogWriter(settings).Log(CLogWriter::LogInfo, QStringLiteral("before")));
                holder = std::make_unique<RawStore>(store);
                ASSERT_TRUE(holder->exec("BEGIN EXCLUSIVE"));
                break;
        }
    }
    void repairStore() {
        switch (GetParam()) {
            case Breakage::Garbage:
                EXPECT_EQ(contentOf(store), garbage);  // never overwritten
                ASSERT_TRUE(QFile::remove(store));
                break;
            case Breakage::Folder:
                ASSERT_TRUE(QDir(store).removeRecursively());
                break;
            case Breakage::Locked:
                ASSERT_TRUE(holder->exec("ROLLBACK"));
                holder.reset();
                break;
        }
    }
};

TEST_P(LogFallbackTest, TenFailedAttemptsStartOneFallbackWithoutTheMessage) {
    const QByteArray settingsBytes("[Config]\r\nDebug=ON\r\nID=user\r\n");
    ASSERT_TRUE(putBytes(settings, settingsBytes));
    breakStore();
    CLogWriter log(settings);

    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(log.Log(CLogWriter::LogError, QStringLiteral("秘密のメッセージ")));
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(elapsed, 400);  // nine pauses of 50 ms between ten attempts
    EXPECT_LT(elapsed, 2000);

    const QStringList calls = fake.waitForCalls();
    ASSERT_EQ(calls.size(), 1) << calls.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(calls[0], kFallbackLine);
    EXPECT_FALSE(QString::fromUtf8(contentOf(fake.callsFile())).contains(QStringLiteral("秘密")));
    EXPECT_EQ(contentOf(settings), settingsBytes);

    // Once the store works again the next message goes in, with no fallback.
    repairStore();
    EXPECT_TRUE(log.Log(CLogWriter::LogInfo, QStringLiteral("after")));
    EXPECT_EQ(fake.waitForCalls().size(), 1);
    const QStringList written = messages();
    ASSERT_FALSE(written.isEmpty());
    EXPECT_EQ(written.first(), QStringLiteral("after"));
    EXPECT_FALSE(written.contains(QStringLiteral("秘密のメッセージ")));
}

INSTANTIATE_TEST_SUITE_P(UnusableStore, LogFallbackTest,
                         ::testing::Values(Breakage::Garbage, Breakage::Folder, Breakage::Locked));

TEST_F(LogWriterTest, SkippedDebugMessageDoesNotWaitForAnotherThreadsWrite) {
    ASSERT_TRUE(CLogWriter(settings).Log(CLogWriter::LogInfo, QStringLiteral("before")));
    RawStore other(store);
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        CLogWriter(settings).Log(CLogWriter::LogError, QStringLiteral("retrying"));
        done = true;
    });
    QThread::msleep(100);  // the writer now holds the lock through its retries
    ASSERT_FALSE(done.load());
    EXPECT_TRUE(CLogWriter(settings).Log(CLogWriter::LogDebug, QStringLiteral("skipped")));
    EXPECT_FALSE(done.load()) << "the skipped message waited for the writer's lock";
    writer.join();
    EXPECT_EQ(fake.waitForCalls().size(), 1);
}

// --- Concurrency --------------------------------------------------------------

// Checks that messages "<tag><n>" of each tag are all present, once, in order.
void expectAllInOrder(const QStringList& newestFirst, const QStringList& tags, int each) {
    QHash<QString, int> next;
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it) {
        const QString tag = it->section(QLatin1Char('-'), 0, 0) + QLatin1Char('-');
        ASSERT_TRUE(tags.contains(tag)) << it->toStdString();
        EXPECT_EQ(*it, tag + QString::number(next[tag]++));
    }
    for (const QString& tag : tags)
        EXPECT_EQ(next.value(tag), each) << tag.toStdString();
}

TEST_F(LogWriterTest, FourThreadsLoseNothing) {
    constexpr int kEach = 250;
    const QStringList tags{"a-", "b-", "c-", "d-"};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const QString& tag : tags) {
        threads.emplace_back([&, tag] {
            CLogWriter log(settings);
            for (int i = 0; i < kEach; ++i) {
                if (!log.Log(CLogWriter::LogInfo, tag + QString::number(i)))
                    ++failures;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    const QStringList written = messages();
    EXPECT_EQ(written.size(), tags.size() * kEach);
    expectAllInOrder(written, tags, kEach);
}

TEST_F(LogWriterTest, TwoProcessesLoseNothing) {
    constexpr int kEach = 500;
    // The children find the same data folder through the inherited environment.
    QProcess first, second;
    first.start(QStringLiteral(LOG_WRITER), {QStringLiteral("p-"), QString::number(kEach)});
    second.start(QStringLiteral(LOG_WRITER), {QStringLiteral("q-"), QString::number(kEach)});
    ASSERT_TRUE(first.waitForStarted(30000));
    ASSERT_TRUE(second.waitForStarted(30000));
    // Closing their input is the start signal; this process writes too.
    first.closeWriteChannel();
    second.closeWriteChannel();
    CLogWriter log;
    int failures = 0;
    for (int i = 0; i < kEach; ++i) {
        if (!log.Log(CLogWriter::LogInfo, QStringLiteral("r-") + QString::number(i)))
            ++failures;
    }
    ASSERT_TRUE(first.waitForFinished(120000));
    ASSERT_TRUE(second.waitForFinished(120000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();
    EXPECT_EQ(failures, 0);

    const QStringList written = messages();
    EXPECT_EQ(written.size(), 3 * kEach);
    expectAllInOrder(written, {"p-", "q-", "r-"}, kEach);
    EXPECT_FALSE(QFileInfo::exists(fake.callsFile()));
}

}  // namespace
