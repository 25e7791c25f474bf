#include "EventLog.h"

#include "EventLogSupport.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

// One "record|type|source|id|message" each.
QStringList rows(const QList<EventRecord>& records) {
    QStringList out;
    for (const EventRecord& r : records)
        out << QStringList{QString::number(r.recordNumber), QString::number(r.type), r.source,
                           QString::number(r.eventId), r.message}
                   .join('|');
    return out;
}

class EventLogTest : public ::testing::Test {
protected:
    TempDataHome home;
    QString path = home.file(QStringLiteral("EventLog.sqlite"));
    EventLog log{path};
};

// Reading a missing store fails and creates nothing; the first event creates
// the folders (0700) and the store (0600).
TEST_F(EventLogTest, ReadingCreatesNothingAndTheFirstEventMakesAnOwnerOnlyStore) {
    EXPECT_EQ(EventLog::defaultStorePath(), path);
    const QString nested = home.path() + QStringLiteral("/new/deeper/EventLog.sqlite");
    EventLog store(nested);
    bool ok = true;
    QString error;
    EXPECT_TRUE(store.readNewestFirst(&ok).isEmpty());
    EXPECT_FALSE(ok || store.visitNewestFirst([](const EventRecord&) { return true; }, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(log.visitNewestFirst([](const EventRecord&) { return true; }));
    EXPECT_FALSE(QFileInfo::exists(home.path() + QStringLiteral("/new")) ||
                 QFileInfo::exists(path));
    ASSERT_TRUE(store.report(4, QStringLiteral("S"), 1000, QStringLiteral("m"), &error))
        << error.toStdString();
    // The write-ahead files, there while the writer stays open, carry the
    // same data and must be as private.
    for (const char* part : {"/new", "/new/deeper"})
        EXPECT_EQ(statOf(home.path() + QLatin1String(part)).st_mode & 07777, 0700u) << part;
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(statOf(nested + QLatin1String(suffix)).st_mode & 07777, 0600u) << suffix;
}

// Events come back newest first with every field. A second writer's lock
// fails a write within milliseconds (not a blocked thread), never keeps
// readers (the viewer) out, and the store works once it is released.
TEST_F(EventLogTest, EventsComeBackNewestFirstAndALockFailsWritesFast) {
    const QString longText(100000, QLatin1Char('x'));
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(log.report(1, QStringLiteral("TORVAL クライアントツール"), 1000,
                           QStringLiteral("アップロード\r\n二行目")));
    ASSERT_TRUE(log.report(16, QStringLiteral("other"), 7, QString()));
    ASSERT_TRUE(log.report(0, QStringLiteral("S"), -1, longText));
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    RawStore other(path);
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    ASSERT_TRUE(
        other.exec("INSERT INTO events(time_generated, type, source, event_id, message)"
                   " VALUES(0, 4, 'S', 1, 'held')"));
    QElapsedTimer timer;
    timer.start();
    QString error;
    EXPECT_FALSE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("while locked"), &error));
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_FALSE(error.isEmpty());
    bool ok = false;
    const QList<EventRecord> records = log.readNewestFirst(&ok);
    EXPECT_TRUE(ok);
    const QStringList written = {"3|0|S|-1|" + longText, "2|16|other|7|",
                                 "1|1|TORVAL クライアントツール|1000|アップロード\r\n二行目"};
    EXPECT_EQ(rows(records), written);
    for (const EventRecord& r : records) {
        EXPECT_GE(r.timeGenerated, before);
        EXPECT_LE(r.timeGenerated, after);
    }
    ASSERT_TRUE(other.exec("COMMIT"));
    EXPECT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("after")));
    EXPECT_EQ(rows(log.readNewestFirst()),
              QStringList({"5|4|S|1|after", "4|4|S|1|held"}) + written);
    QStringList seen;  // the visitor can stop early
    EXPECT_TRUE(log.visitNewestFirst([&seen](const EventRecord& r) {
        seen << r.message;
        return seen.size() < 2;
    }));
    EXPECT_EQ(seen, QStringList({"after", "held"}));
}

// A store that cannot be used fails the write rather than being repaired by
// overwriting it: it may be someone's file. One deleted under an open writer
// is made again; one replaced by garbage is refused, not written blindly.
TEST_F(EventLogTest, UnusableStoreIsRefusedAndKeptAndADeletedOneMadeAgain) {
    const QByteArray garbage = QByteArrayLiteral("\x01\xfe not a database \xff").repeated(200);
    const struct {
        const char* what;
        bool openFirst;
        QByteArray put;  // empty: a folder
        bool written;
    } cases[] = {{"garbage", false, garbage, false},
                 {"folder", false, {}, false},
                 {"replaced by garbage while open", true, garbage, false},
                 {"deleted while open", true, "<deleted>", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        removeStore(path);
        ASSERT_TRUE(!c.openFirst || log.report(4, QStringLiteral("S"), 1, QStringLiteral("old")));
        removeStore(path);
        ASSERT_TRUE(c.put.isEmpty() ? QDir().mkpath(path)
                                    : c.put == "<deleted>" || putFile(path, c.put));
        QString error;
        EXPECT_EQ(log.report(4, QStringLiteral("S"), 1, QStringLiteral("new"), &error), c.written);
        EXPECT_EQ(error.isEmpty(), c.written);
        bool ok = !c.written;
        EXPECT_EQ(rows(log.readNewestFirst(&ok)),
                  c.written ? QStringList{"1|4|S|1|new"} : QStringList());
        EXPECT_EQ(ok, c.written);
        EXPECT_EQ(QFileInfo(path).isDir(), c.put.isEmpty());
        EXPECT_TRUE(c.written || c.put.isEmpty() || fileBytes(path) == c.put);
        QDir(path).removeRecursively();
    }
}

TEST_F(EventLogTest, CapDropsTheOldestRows) {
    ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("first")));
    RawStore raw(path);
    ASSERT_TRUE(raw.exec("BEGIN"));
    for (qint64 i = 1; i < EventLog::kMaxRecords; ++i)
        ASSERT_TRUE(
            raw.exec("INSERT INTO events(time_generated, type, source, event_id, message)"
                     " VALUES(0, 4, 'S', 1, 'filler')"));
    ASSERT_TRUE(raw.exec("COMMIT"));
    ASSERT_EQ(raw.value("SELECT count(*) FROM events"), EventLog::kMaxRecords);
    // Each write over the cap drops exactly the oldest row.
    for (int i = 0; i < 11; ++i)
        ASSERT_TRUE(log.report(4, QStringLiteral("S"), 1, QStringLiteral("over")));
    const QList<EventRecord> records = log.readNewestFirst();
    ASSERT_EQ(records.size(), EventLog::kMaxRecords);
    EXPECT_EQ(records.last().recordNumber, 12);
}

TEST(EventLogFailureCommand, StartsLoggerWithTheTextsAsPlainArgumentsOrReportsItMissing) {
    QTemporaryDir cwd;
    const QString marker = cwd.filePath(QStringLiteral("shell-ran"));
    {
        FakeLoggerInPath fake;
        // Texts a shell would expand or an option parser would take as options.
        const QString text =
            QStringLiteral("-n 失敗 \"quoted\" $(touch %1); `touch %1`").arg(marker);
        ASSERT_TRUE(
            EventLog::startFailureCommand(text, QStringLiteral("TORVAL2 クライアントツール")));
        EXPECT_EQ(fake.waitForCalls(),
                  QStringList{"<-t><TORVAL2 クライアントツール><-p><user.err><--><" + text + ">"});
        EXPECT_FALSE(QFileInfo::exists(marker));
    }
    EnvGuard emptyPath("PATH", QFile::encodeName(cwd.path()));
    EXPECT_FALSE(EventLog::startFailureCommand(QStringLiteral("t"), QStringLiteral("s")));
}

}  // namespace
