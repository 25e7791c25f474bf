#include "EventLog.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include "EventLogSupport.h"

#include <sys/stat.h>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QByteArray garbage(int size) {
    std::mt19937 random(12345);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xff);
    return bytes;
}

class EventLogTest : public ::testing::Test {
protected:
    TempDataHome home;
    QString path = home.file(QStringLiteral("EventLog.sqlite"));
    EventLog log{path};
};

TEST_F(EventLogTest, DefaultStoreLivesInTheDataFolder) {
    EXPECT_EQ(EventLog::defaultStorePath(), home.file(QStringLiteral("EventLog.sqlite")));
}

TEST_F(EventLogTest, FirstEventCreatesOwnerOnlyFolderAndStore) {
    const QString nested = home.path() + QStringLiteral("/new/deeper/EventLog.sqlite");
    EventLog store(nested);
    QString error;
    ASSERT_TRUE(store.report(4, QStringLiteral("S"), 1000, QStringLiteral("m"), &error))
        << error.toStdString();
    EXPECT_EQ(modeOf(home.path() + QStringLiteral("/new")), 0700u);
    EXPECT_EQ(modeOf(home.path() + QStringLiteral("/new/deeper")), 0700u);
    EXPECT_EQ(modeOf(nested), 0600u);
    // The write-ahead files, there while the writer stays open, carry the
    // same data and must be as private.
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString side = nested + QLatin1String(suffix);
        ASSERT_TRUE(QFileInfo::exists(side)) << suffix;
        EXPECT_EQ(modeOf(side), 0600u) << suffix;
    }
    RawStore raw(nested);
    EXPECT_EQ(raw.text("PRAGMA journal_mode"), QStringLiteral("wal"));
}

TEST_F(EventLogTest, ReadingAMissingStoreFailsAndCreatesNothing) {
    const QString missingFolder = home.path() + QStringLiteral("/absent");
    EventLog absent(missingFolder + QStringLiteral("/EventLog.sqlite"));
    bool ok = true;
    EXPECT_TRUE(absent.readNewestFirst(&ok).isEmpty());
    EXPECT_FALSE(ok);
    QString error;
    EXPECT_FALSE(absent.visitNewestFirst([](const EventRecord&) { return true; }, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(missingFolder));

    EXPECT_FALSE(log.visitNewestFirst([](const EventRecord&) { return true; }));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(EventLogTest, EventsComeBackNewestFirstWithEveryField) {
    const QString longText(100000, QLatin1Char('x'));
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(log.report(1, QStringLiteral("TORVAL クライアントツール"), 1000,
                           QStringLiteral("アップロード\r\n二行目")));
    ASSERT_TRUE(log.report(16, QStringLiteral("other"), 7, QString()));
    ASSERT_TRUE(log.report(0, QStringLiteral("S"), -1, longText));
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    bool ok = false;
    const QList<EventRecord> records = log.readNewestFirst(&ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(records.size(), 3);
    EXPECT_EQ(records[0].type, 0);
    EXPECT_EQ(records[0].eventId, -1);
    EXPECT_EQ(records[0].message, longText);
    EXPECT_EQ(records[1].type, 16);
    EXPECT_EQ(records[1].source, QStringLiteral("other"));
    EXPECT_EQ(records[1].eventId, 7);
    EXPECT_TRUE(records[1].message.isEmpty());
    EXPECT_EQ(records[2].type, 1);
    EXPECT_EQ(records[2].source, QStringLiteral("TORVAL クライアントツール"));
    EXPECT_EQ(records[2].eventId, 1000);
    EXPECT_EQ(records[2].message, QStringLiteral("アップロード\r\n二行目"));
    EXPECT_GT(records[0].recordNumber, records[1].recordNumber);
    EXPECT_GT(records[1].recordNumber, records[2].recordNumber);
    for (const EventRecord& r : records) {
        EXPECT_GE(r.timeGenerated, before);
        EXPECT_LE(r.timeGenerated, after);
    }
}

TEST_F(EventLogTest, VisitorCanStopEarly) {
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QString::number(i)));
    QStringList seen;
    EXPECT_TRUE(log.visitNewestFirst([&seen](const EventRecord& r) {
        seen << r.message;
        return seen.size() < 2;
    }));
    EXPECT_EQ(seen, QStringList({QStringLiteral("4"), QStringLiteral("3")}));
}

// A store that cannot be used must fail the write, not be repaired by
// overwriting it: it may be someone's file.
TEST_F(EventLogTest, GarbageOrAFolderInPlaceOfTheStoreIsRefusedAndKept) {
    const QByteArray bytes = garbage(4096);
    ASSERT_TRUE(putBytes(path, bytes));
    QString error;
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("m"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("m")));
    EXPECT_EQ(contentOf(path), bytes);
    bool ok = true;
    EXPECT_TRUE(log.readNewestFirst(&ok).isEmpty());
    EXPECT_FALSE(ok);

    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkpath(path));
    error.clear();
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("m"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(path).isDir());
    EXPECT_FALSE(log.visitNewestFirst([](const EventRecord&) { return true; }));
}

TEST_F(EventLogTest, LockedStoreFailsFastAndWorksOnceReleased) {
    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("before")));
    RawStore other(path);
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    ASSERT_TRUE(
        other.exec("INSERT INTO events(time_generated, type, source, event_id, message)"
                   " VALUES(0, 4, 'S', 1, 'held')"));

    QElapsedTimer timer;
    timer.start();
    QString error;
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("while locked"), &error));
    EXPECT_LT(timer.elapsed(), 1000);  // a few milliseconds, not a blocked thread
    EXPECT_FALSE(error.isEmpty());
    // A second writer's lock never keeps readers (the viewer) out.
    bool ok = false;
    EXPECT_EQ(log.readNewestFirst(&ok).size(), 1);
    EXPECT_TRUE(ok);

    ASSERT_TRUE(other.exec("COMMIT"));
    EXPECT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("after")));
    QStringList messages;
    for (const EventRecord& r : log.readNewestFirst())
        messages << r.message;
    EXPECT_EQ(messages, QStringList({"after", "held", "before"}));
}

// Deleted under an open writer, the store is made again; replaced by
// garbage, it is refused rather than written blindly.
TEST_F(EventLogTest, StoreDeletedOrReplacedWhileOpenIsCheckedAgain) {
    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("old")));
    removeStore(path);
    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("new")));
    const QList<EventRecord> records = log.readNewestFirst();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].message, QStringLiteral("new"));

    const QByteArray bytes = garbage(1000);
    removeStore(path);
    ASSERT_TRUE(putBytes(path, bytes));
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("lost")));
    EXPECT_EQ(contentOf(path), bytes);
}

TEST_F(EventLogTest, CapDropsTheOldestRows) {
    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("first")));
    {
        RawStore raw(path);
        ASSERT_TRUE(raw.exec("BEGIN"));
        for (qint64 i = 1; i < EventLog::kMaxRecords; ++i)
            ASSERT_TRUE(
                raw.exec("INSERT INTO events(time_generated, type, source, event_id, message)"
                         " VALUES(0, 4, 'S', 1, 'filler')"));
        ASSERT_TRUE(raw.exec("COMMIT"));
        ASSERT_EQ(raw.value("SELECT count(*) FROM events"), EventLog::kMaxRecords);
        ASSERT_EQ(raw.value("SELECT min(id) FROM events"), 1);
    }

    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("one over")));
    RawStore raw(path);
    EXPECT_EQ(raw.value("SELECT count(*) FROM events"), EventLog::kMaxRecords);
    EXPECT_EQ(raw.value("SELECT count(*) FROM events WHERE message = 'first'"), 0);
    EXPECT_EQ(raw.value("SELECT min(id) FROM events"), 2);

    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("more")));
    EXPECT_EQ(raw.value("SELECT count(*) FROM events"), EventLog::kMaxRecords);
    EXPECT_EQ(raw.value("SELECT min(id) FROM events"), 12);
    const QList<EventRecord> records = log.readNewestFirst();
    ASSERT_EQ(records.size(), EventLog::kMaxRecords);
    EXPECT_EQ(records.first().message, QStringLiteral("more"));
    EXPECT_EQ(records[10].message, QStringLiteral("one over"));
}

TEST_F(EventLogTest, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kEach = 250;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            // Each thread its own object, as every caller constructs one.
            EventLog mine(path);
            for (int i = 0; i < kEach; ++i) {
                if (!mine.report(4, QStringLiteral("S"), t, QString::number(i)))
                    ++failures;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);

    const QList<EventRecord> records = log.readNewestFirst();
    ASSERT_EQ(records.size(), kThreads * kEach);
    // Oldest first per thread, each thread's messages in the order written.
    std::vector<int> next(kThreads, 0);
    for (auto it = records.crbegin(); it != records.crend(); ++it) {
        ASSERT_GE(it->eventId, 0);
        ASSERT_LT(it->eventId, kThreads);
        EXPECT_EQ(it->message, QString::number(next[it->eventId]++));
    }
    for (int n : next)
        EXPECT_EQ(n, kEach);
}

TEST(EventLogFailureCommand, StartsLoggerWithTheTextsAsPlainArguments) {
    FakeLoggerInPath fake;
    QTemporaryDir cwd;
    const QString marker = cwd.filePath(QStringLiteral("shell-ran"));
    // Texts a shell would expand or an option parser would take as options.
    const QString text = QStringLiteral("-n 失敗 \"quoted\" $(touch %1); `touch %1`").arg(marker);
    ASSERT_TRUE(EventLog::startFailureCommand(text, QStringLiteral("TORVAL2 クライアントツール")));
    const QStringList calls = fake.waitForCalls();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0], QStringLiteral("<-t><TORVAL2 クライアントツール><-p><user.err><--><") +
                            text + QLatin1Char('>'));
    EXPECT_FALSE(QFileInfo::exists(marker));
}

TEST(EventLogFailureCommand, MissingLoggerIsReportedNotFatal) {
    QTemporaryDir empty;
    const QByteArray saved = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(empty.path()));
    const bool started = EventLog::startFailureCommand(QStringLiteral("t"), QStringLiteral("s"));
    qputenv("PATH", saved);
    EXPECT_FALSE(started);
}

}  // namespace
