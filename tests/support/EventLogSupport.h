#pragma once

// Helpers of the event store and logger tests.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include "EventLog.h"
#include "TestSupport.h"

// Deletes a store with its write-ahead files, as a user cleaning up would.
inline void removeStore(const QString& path) {
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

// The messages in a store, newest first.
inline QStringList eventMessages(const QString& store = EventLog::defaultStorePath()) {
    QStringList result;
    for (const EventRecord& r : EventLog(store).readNewestFirst())
        result << r.message;
    return result;
}

// A connection of the test's own, as another program would hold one.
class RawStore {
public:
    explicit RawStore(const QString& path) {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~RawStore() { sqlite3_close_v2(db_); }
    RawStore(const RawStore&) = delete;
    RawStore& operator=(const RawStore&) = delete;

    bool exec(const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    qint64 value(const char* sql) { return text(sql).toLongLong(); }
    QString text(const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        QString result;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return result;
    }

private:
    sqlite3* db_ = nullptr;
};

// Puts a fake `logger` first in PATH that records each call's arguments as
// one line "<arg1><arg2>...".
class FakeLoggerInPath {
public:
    FakeLoggerInPath() {
        putFile(dir_.filePath(QStringLiteral("logger")),
                "#!/bin/sh\nline=\nfor a in \"$@\"; do line=\"$line<$a>\"; done\n"
                "printf '%s\\n' \"$line\" >> '" +
                    QFile::encodeName(callsFile()) + "'\n");
        QFile::setPermissions(dir_.filePath(QStringLiteral("logger")),
                              QFile::ReadOwner | QFile::ExeOwner);
    }

    QString callsFile() const { return dir_.filePath(QStringLiteral("calls.txt")); }

    // Waits for a first call, then a little longer so that a second one
    // started by mistake has also written its line.
    QStringList waitForCalls() const {
        QElapsedTimer timer;
        timer.start();
        while (!fileBytes(callsFile()).contains('\n') && timer.elapsed() < 10000)
            QThread::msleep(10);
        QThread::msleep(300);
        if (!QFile::exists(callsFile()))
            return {};
        return QString::fromUtf8(fileBytes(callsFile()))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir dir_;
    EnvGuard path_{"PATH", QFile::encodeName(dir_.path()) + ':' + qgetenv("PATH")};
};
