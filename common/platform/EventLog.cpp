#include "EventLog.h"

#include "LocalAppData.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QStringList>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A writer that finds the store locked gives up after this long instead of
// blocking its thread; callers retry on their own terms.
constexpr int kWriteBusyTimeoutMs = 10;
// Readers in WAL mode only wait while another connection recovers the log.
constexpr int kReadBusyTimeoutMs = 250;
constexpr int kSchemaVersion = 1;

QString errnoText(const QString& what, const QString& path) {
    return what + QLatin1Char(' ') + path + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(errno));
}

QString sqliteText(sqlite3* db, const QString& what, const QString& path) {
    const char* message = db ? sqlite3_errmsg(db) : "out of memory";
    return what + QLatin1Char(' ') + path + QStringLiteral(": ") + QString::fromUtf8(message);
}

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// Creates the missing parts of folder owner-only; the events may name the
// user's files and folders.
bool makeFolder(const QString& folder, QString* error) {
    const QByteArray path = QFile::encodeName(folder);
    for (qsizetype i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const QByteArray part = path.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            return fail(error, errnoText(QStringLiteral("cannot create the folder"), folder));
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(error, QStringLiteral("not a folder: ") + folder);
    return true;
}

// SQLite creates a new file with the umask's permissions and gives its -wal
// and -shm files the same; creating it first keeps all three owner-only.
// O_EXCL matters: closing a descriptor of a file this process already has
// open would drop SQLite's POSIX locks on it.
bool createStoreFile(const QString& path, struct stat* st, QString* error) {
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    else if (errno != EEXIST)
        return fail(error, errnoText(QStringLiteral("cannot create the event store"), path));
    if (::stat(file.constData(), st) != 0)
        return fail(error, errnoText(QStringLiteral("cannot open the event store"), path));
    if (!S_ISREG(st->st_mode))
        return fail(error, QStringLiteral("the event store is not a file: ") + path);
    return true;
}

void bindText(sqlite3_stmt* stmt, int index, const QString& text) {
    if (text.isEmpty())
        sqlite3_bind_text(stmt, index, "", 0, SQLITE_STATIC);
    else
        sqlite3_bind_text16(stmt, index, text.utf16(), static_cast<int>(text.size() * 2),
                            SQLITE_STATIC);
}

QString columnText(sqlite3_stmt* stmt, int index) {
    const void* text = sqlite3_column_text16(stmt, index);
    if (!text)
        return {};
    return QString(static_cast<const QChar*>(text), sqlite3_column_bytes16(stmt, index) / 2);
}

// One writing connection per store, kept open between events: opening costs
// far more than an insert.
struct Connection {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    dev_t device = 0;
    ino_t inode = 0;

    void close() {
        sqlite3_finalize(insert);
        sqlite3_close_v2(db);
        insert = nullptr;
        db = nullptr;
    }

    // A store deleted or replaced behind our back would otherwise swallow
    // events into a file nobody can read any more.
    bool stillAt(const QString& path) const {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_dev == device &&
               st.st_ino == inode;
    }

    bool exec(const char* sql, const QString& path, QString* error) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
            return true;
        return fail(error, sqliteText(db, QStringLiteral("cannot prepare the event store"), path));
    }

    bool ensureSchema(const QString& path, QString* error) {
        sqlite3_stmt* stmt = nullptr;
        int version = -1;
        if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            version = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
        if (version < 0)
            return fail(error, sqliteText(db, QStringLiteral("cannot read the event store"), path));
        if (version >= kSchemaVersion)
            return true;
        // Ids only grow (the newest row holds the largest), so the oldest
        // rows beyond the cap are one range of the primary key.
        const QByteArray schema =
            QStringLiteral(
                "BEGIN IMMEDIATE;"
                "CREATE TABLE IF NOT EXISTS events("
                " id INTEGER PRIMARY KEY,"
                " time_generated INTEGER NOT NULL,"
                " type INTEGER NOT NULL,"
                " source TEXT NOT NULL,"
                " event_id INTEGER NOT NULL,"
                " message TEXT NOT NULL);"
                "CREATE TRIGGER IF NOT EXISTS events_cap AFTER INSERT ON events"
                " WHEN NEW.id > %1 BEGIN"
                " DELETE FROM events WHERE id <= NEW.id - %1;"
                " END;"
                "PRAGMA user_version = %2;"
                "COMMIT;")
                .arg(EventLog::kMaxRecords)
                .arg(kSchemaVersion)
                .toUtf8();
        if (exec(schema.constData(), path, error))
            return true;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

    bool open(const QString& path, QString* error) {
        struct stat st {};
        if (!makeFolder(QFileInfo(path).path(), error) || !createStoreFile(path, &st, error))
            return false;
        device = st.st_dev;
        inode = st.st_ino;
        const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK)
            return fail(error, sqliteText(db, QStringLiteral("cannot open the event store"), path));
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kWriteBusyTimeoutMs);
        // WAL lets the viewer read while both programs write; NORMAL sync
        // may lose the last events on power loss, never the store itself.
        if (!exec("PRAGMA journal_mode = WAL", path, error) ||
            !exec("PRAGMA synchronous = NORMAL", path, error) || !ensureSchema(path, error))
            return false;
        if (sqlite3_prepare_v3(db,
                               "INSERT INTO events(time_generated, type, source, event_id, message)"
                               " VALUES(?, ?, ?, ?, ?)",
                               -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr) != SQLITE_OK)
            return fail(error,
                        sqliteText(db, QStringLiteral("cannot prepare the event store"), path));
        return true;
    }
};

struct ConnectionCache {
    QMutex mutex;
    QHash<QString, Connection> connections;

    ~ConnectionCache() {
        for (Connection& c : connections)
            c.close();
    }
};

ConnectionCache& connectionCache() {
    static ConnectionCache cache;
    return cache;
}

}  // namespace

EventLog::EventLog(QString storePath) : storePath_(std::move(storePath)) {}

QString EventLog::defaultStorePath() {
    return LocalAppData::productFolder() + QStringLiteral("/EventLog.sqlite");
}

bool EventLog::report(int type, const QString& source, int eventId, const QString& message,
                      QString* error) {
    ConnectionCache& cache = connectionCache();
    QMutexLocker lock(&cache.mutex);
    Connection& c = cache.connections[storePath_];
    if (c.db && !c.stillAt(storePath_))
        c.close();
    if (!c.db && !c.open(storePath_, error)) {
        c.close();
        cache.connections.remove(storePath_);
        return false;
    }
    sqlite3_stmt* insert = c.insert;
    sqlite3_bind_int64(insert, 1, QDateTime::currentSecsSinceEpoch());
    sqlite3_bind_int(insert, 2, type);
    bindText(insert, 3, source);
    sqlite3_bind_int(insert, 4, eventId);
    bindText(insert, 5, message);
    const int rc = sqlite3_step(insert);
    if (rc != SQLITE_DONE) {
        fail(error,
             sqliteText(c.db, QStringLiteral("cannot write to the event store"), storePath_));
        // A fresh connection on the next event gets over a replaced or
        // repaired store and any state this failure left behind.
        c.close();
        cache.connections.remove(storePath_);
        return false;
    }
    sqlite3_reset(insert);
    return true;
}

bool EventLog::visitNewestFirst(const std::function<bool(const EventRecord&)>& visit,
                                QString* error) const {
    const QByteArray file = QFile::encodeName(storePath_);
    struct stat st {};
    if (::stat(file.constData(), &st) != 0)
        return fail(error, errnoText(QStringLiteral("cannot open the event store"), storePath_));
    if (!S_ISREG(st.st_mode))
        return fail(error, QStringLiteral("the event store is not a file: ") + storePath_);

    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    const auto finish = [&](bool ok, const QString& what) {
        if (!ok)
            fail(error, sqliteText(db, what, storePath_));
        sqlite3_finalize(stmt);
        sqlite3_close_v2(db);
        return ok;
    };
    if (sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return finish(false, QStringLiteral("cannot open the event store"));
    sqlite3_busy_timeout(db, kReadBusyTimeoutMs);
    if (sqlite3_prepare_v2(db,
                           "SELECT id, time_generated, type, source, event_id, message"
                           " FROM events ORDER BY id DESC",
                           -1, &stmt, nullptr) != SQLITE_OK)
        return finish(false, QStringLiteral("cannot read the event store"));

    EventRecord record;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        record.recordNumber = sqlite3_column_int64(stmt, 0);
        record.timeGenerated = sqlite3_column_int64(stmt, 1);
        record.type = sqlite3_column_int(stmt, 2);
        record.source = columnText(stmt, 3);
        record.eventId = sqlite3_column_int(stmt, 4);
        record.message = columnText(stmt, 5);
        if (!visit(record))
            return finish(true, {});
    }
    return finish(rc == SQLITE_DONE, QStringLiteral("cannot read the event store"));
}

QList<EventRecord> EventLog::readNewestFirst(bool* ok) const {
    QList<EventRecord> records;
    const bool read = visitNewestFirst([&records](const EventRecord& r) {
        records.append(r);
        return true;
    });
    if (ok)
        *ok = read;
    if (!read)
        records.clear();
    return records;
}

bool EventLog::startFailureCommand(const QString& failureText, const QString& source) {
    // An argument list, not a command line: neither text passes a shell.
    return QProcess::startDetached(QStringLiteral("logger"),
                                   {QStringLiteral("-t"), source, QStringLiteral("-p"),
                                    QStringLiteral("user.err"), QStringLiteral("--"), failureText});
}
