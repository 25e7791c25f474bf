#include "CLogWriter.h"

#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "EventLog.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QThread>

#include <utility>

namespace {

const QString kEventSource = QStringLiteral("TORVAL クライアントツール");
constexpr int kEventId = 1000;
constexpr int kAttempts = 10;
constexpr unsigned long kRetryPauseMs = 50;
const QString kFailureText = QStringLiteral("ログの書き込みに失敗しました");
// The application title, not the event source: the failure is reported in
// the program's name.
const QString kFailureSource = QStringLiteral("TORVAL2 クライアントツール");

// Serialises the writes of every CLogWriter of the process. Recursive so
// that a thread that logs while already logging cannot deadlock itself.
QRecursiveMutex& logLock() {
    static QRecursiveMutex lock;
    return lock;
}

}  // namespace

CLogWriter::CLogWriter() : CLogWriter(ConfigPath()) {}

CLogWriter::CLogWriter(QString settingsPath) : settingsPath_(std::move(settingsPath)) {}

int CLogWriter::eventType(int level) {
    // A level outside the four is written as information rather than lost.
    switch (level) {
        case LogError:
            return 1;
        case LogWarning:
            return 2;
        case LogDebug:
            return 16;
        case LogInfo:
        default:
            return 4;
    }
}

QString CLogWriter::typeLabel(int eventType) {
    switch (eventType) {
        case 0:
            return QStringLiteral(" [成功] ");
        case 1:
            return QStringLiteral(" [異常] ");
        case 2:
            return QStringLiteral(" [警告] ");
        case 4:
            return QStringLiteral(" [通知] ");
        case 8:
            return QStringLiteral(" [監査成功] ");
        case 16:
            return QStringLiteral(" [監査失敗] ");
        default:
            return QStringLiteral("不明");
    }
}

bool CLogWriter::Log(int level, const QString& message) {
    // Read on every call so that switching it takes effect at the next
    // message; a skipped message costs no lock.
    if (level == LogDebug && !IsSwitchOn(ReadSetting(UserConfig::Debug, settingsPath_)))
        return true;

    QMutexLocker lock(&logLock());
    // Any failure of the store (it cannot be created or opened, is not a
    // database, is read-only, locked by another writer, or an I/O error)
    // stands for an attempt that failed by an exception on Windows: it is
    // tried again after a pause. The Windows failure to register the event
    // source, which lost the message silently, has no counterpart: the store
    // needs no registration.
    EventLog store(EventLog::defaultStorePath());
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0)
            QThread::msleep(kRetryPauseMs);
        if (store.report(eventType(level), kEventSource, kEventId, message))
            return true;
    }
    // The failure text leaves the message out on purpose.
    EventLog::startFailureCommand(kFailureText, kFailureSource);
    return false;
}

QString CLogWriter::ReadLogText() const {
    QString text;
    EventLog(EventLog::defaultStorePath()).visitNewestFirst([&text](const EventRecord& record) {
        if (QString::compare(record.source, kEventSource, Qt::CaseInsensitive) != 0)
            return true;
        const QDateTime t = QDateTime::fromSecsSinceEpoch(record.timeGenerated);
        const QDate d = t.date();
        const QTime tm = t.time();
        text += QString::asprintf("%04d/%02d/%02d %02d:%02d:%02d\n", d.year(), d.month(), d.day(),
                                  tm.hour(), tm.minute(), tm.second());
        text += typeLabel(record.type);
        text += record.message;
        text += QStringLiteral("\r\n");
        return true;
    });
    return text;
}
