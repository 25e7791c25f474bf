#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

// One event as the store keeps it.
struct EventRecord {
    qint64 recordNumber = 0;   // grows with each event; never reused
    qint64 timeGenerated = 0;  // seconds since 1970-01-01 00:00 UTC
    int type = 0;              // 0 success, 1 error, 2 warning, 4 information,
                               // 8 audit success, 16 audit failure
    QString source;
    int eventId = 0;
    QString message;
};

// Stand-in for the Windows Application event log: an SQLite file in the
// per-user data folder shared by both programs.
//
// Table `events` (id INTEGER PRIMARY KEY, time_generated, type, source,
// event_id, message); the store runs in WAL mode so readers never wait for
// writers, and keeps at most kMaxRecords rows: a trigger drops the oldest
// ones as new ones arrive, like an event log that overwrites as needed.
//
// Safe from any thread and against writers in other processes. A store that
// another writer holds locked makes report() fail within a few milliseconds
// rather than block; the caller decides whether to try again.
class EventLog {
public:
    static constexpr qint64 kMaxRecords = 50000;

    explicit EventLog(QString storePath);

    // EventLog.sqlite in the per-user data folder.
    static QString defaultStorePath();
    const QString& storePath() const { return storePath_; }

    // Appends one event stamped with the current time; creates the folder
    // (0700) and the store (0600) when missing. False on any failure of the
    // store: it cannot be created or opened, is not a database or is
    // corrupt, is read-only, locked by another writer, or an I/O error.
    bool report(int type, const QString& source, int eventId, const QString& message,
                QString* error = nullptr);

    // Calls visit for each event, newest first, until it returns false.
    // False when the store cannot be opened or read; a missing store is
    // never created by reading it.
    bool visitNewestFirst(const std::function<bool(const EventRecord&)>& visit,
                          QString* error = nullptr) const;
    // All events, newest first; empty when the store cannot be read.
    QList<EventRecord> readNewestFirst(bool* ok = nullptr) const;

    // Stand-in for "eventcreate": starts the system's `logger` command found
    // in PATH to put failureText into the system log under source. Neither
    // waits for it nor looks at its result; false only when it cannot start.
    static bool startFailureCommand(const QString& failureText, const QString& source);

private:
    QString storePath_;
};
