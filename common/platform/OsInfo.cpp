#include "OsInfo.h"

#include <QFile>

#include <sys/utsname.h>

QString OsInfo::prettyNameFrom(const QString& osReleasePath) {
    QFile file(osReleasePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The file is small by definition; anything past 64 KiB is not os-release.
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("PRETTY_NAME="))
            continue;
        QString value = QString::fromUtf8(line.mid(12));
        if (value.size() >= 2 && value.front() == value.back() &&
            (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))) {
            value = value.mid(1, value.size() - 2);
            // Shell-style escapes allowed inside double quotes.
            value.replace(QStringLiteral("\\\""), QStringLiteral("\""))
                .replace(QStringLiteral("\\$"), QStringLiteral("$"))
                .replace(QStringLiteral("\\`"), QStringLiteral("`"))
                .replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
        }
        return value.trimmed();
    }
    return {};
}

QString OsInfo::prettyName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        const QString name = prettyNameFrom(QString::fromLatin1(path));
        if (!name.isEmpty())
            return name;
    }
    struct utsname u {};
    if (::uname(&u) != 0)
        return {};
    return QString::fromLocal8Bit(u.sysname) + QLatin1Char(' ') + QString::fromLocal8Bit(u.release);
}
