#include "ProcessTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <signal.h>
#include <unistd.h>

namespace {

QByteArray readProcFile(pid_t pid, const char* name) {
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The real user id from the "Uid:" line of /proc/PID/status; -1 when unknown.
long realUid(pid_t pid) {
    const QByteArray status = readProcFile(pid, "status");
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return -1;
    const QList<QByteArray> fields =
        status.mid(at + 5, status.indexOf('\n', at + 1) - at - 5).simplified().split(' ');
    bool ok = false;
    const long uid = fields.value(0).toLong(&ok);
    return ok ? uid : -1;
}

// Gone, or a zombie that only waits for its parent.
bool ended(pid_t pid) {
    const QByteArray stat = readProcFile(pid, "stat");
    if (stat.isEmpty())
        return true;
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && stat.size() > close + 2 && stat.at(close + 2) == 'Z';
}

}  // namespace

QList<pid_t> ProcessTable::findOwnByName(const QByteArray& name) {
    QList<pid_t> out;
    const long self = static_cast<long>(::getuid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&ok));
        if (!ok || pid == ::getpid())
            continue;
        if (readProcFile(pid, "comm").trimmed() != name)
            continue;
        if (realUid(pid) == self)
            out.append(pid);
    }
    return out;
}

bool ProcessTable::killAndWait(const QList<pid_t>& pids, int waitMs) {
    for (pid_t pid : pids)
        ::kill(pid, SIGKILL);
    QElapsedTimer timer;
    timer.start();
    for (pid_t pid : pids) {
        while (!ended(pid)) {
            if (timer.elapsed() > waitMs)
                return false;
            QThread::msleep(10);
        }
    }
    return true;
}
