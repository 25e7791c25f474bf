// 10,000 messages through CLogWriter from four threads into a fresh data
// folder, against a baseline measured in the same run: the same 10,000 rows
// inserted into a fresh SQLite file from one thread in one transaction.
// Prints rates and their ratio; asserts only that no message was lost.
#include "CLogWriter.h"
#include "EventLog.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kTotal = 10000;
constexpr int kEach = kTotal / kThreads;

QString messageText(int thread, int i) {
    return QStringLiteral("アップロードを開始しました: thread %1 message %2").arg(thread).arg(i);
}

qint64 countRows(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    qint64 rows = -1;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        rows = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    return rows;
}

// Nanoseconds for kTotal inserts in one transaction; -1 on failure.
qint64 baseline(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK ||
        sqlite3_exec(db,
                     "CREATE TABLE events(id INTEGER PRIMARY KEY, time_generated INTEGER NOT NULL,"
                     " type INTEGER NOT NULL, source TEXT NOT NULL, event_id INTEGER NOT NULL,"
                     " message TEXT NOT NULL)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return -1;
    }
    const QString source = QStringLiteral("TORVAL クライアントツール");
    QElapsedTimer timer;
    timer.start();
    bool ok =
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "INSERT INTO events(time_generated, type, source, event_id, message)"
                           " VALUES(?, 4, ?, 1000, ?)",
                           -1, &insert, nullptr) == SQLITE_OK;
    for (int i = 0; ok && i < kTotal; ++i) {
        const QString message = messageText(i % kThreads, i / kThreads);
        sqlite3_bind_int64(insert, 1, QDateTime::currentSecsSinceEpoch());
        sqlite3_bind_text16(insert, 2, source.utf16(), static_cast<int>(source.size() * 2),
                            SQLITE_STATIC);
        sqlite3_bind_text16(insert, 3, message.utf16(), static_cast<int>(message.size() * 2),
                            SQLITE_STATIC);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    const qint64 elapsed = timer.nsecsElapsed();
    sqlite3_close(db);
    return ok ? elapsed : -1;
}

double perSecond(int count, qint64 ns) {
    return ns > 0 ? count * 1e9 / static_cast<double>(ns) : 0;
}

}  // namespace

int main() {
    TempDataHome home;

    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    QElapsedTimer timer;
    timer.start();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failed] {
            CLogWriter log;
            for (int i = 0; i < kEach; ++i) {
                if (!log.Log(CLogWriter::LogInfo, messageText(t, i)))
                    ++failed;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    const qint64 logNs = timer.nsecsElapsed();
    const qint64 rows = countRows(EventLog::defaultStorePath());

    const qint64 baseNs = baseline(home.path() + QStringLiteral("/baseline.sqlite"));

    std::printf(
        "CLogWriter::Log, %d threads: %d messages in %.1f ms = %.0f events/s"
        " (%d failed, %lld rows stored)\n",
        kThreads, kTotal, logNs / 1e6, perSecond(kTotal, logNs), failed.load(),
        static_cast<long long>(rows));
    if (baseNs < 0) {
        std::printf("baseline failed\n");
        return 1;
    }
    std::printf("baseline, 1 thread, 1 transaction: %d rows in %.1f ms = %.0f rows/s\n", kTotal,
                baseNs / 1e6, perSecond(kTotal, baseNs));
    std::printf("ratio logger/baseline time: %.1f (logger reaches %.1f%% of the baseline rate)\n",
                static_cast<double>(logNs) / static_cast<double>(baseNs),
                100.0 * static_cast<double>(baseNs) / static_cast<double>(logNs));
    if (rows != kTotal || failed.load() != 0) {
        std::printf("LOST MESSAGES: expected %d rows\n", kTotal);
        return 1;
    }
    return 0;
}
