#include "SystemTime.h"

#include <QRandomGenerator>
#include <QTimeZone>

SystemTime SystemTime::fromDateTime(const QDateTime& local) {
    const QDate d = local.date();
    const QTime t = local.time();
    SystemTime s;
    s.year = static_cast<quint16>(d.year());
    s.month = static_cast<quint16>(d.month());
    s.dayOfWeek = static_cast<quint16>(d.dayOfWeek() % 7);  // Qt: Monday 1 .. Sunday 7
    s.day = static_cast<quint16>(d.day());
    s.hour = static_cast<quint16>(t.hour());
    s.minute = static_cast<quint16>(t.minute());
    s.second = static_cast<quint16>(t.second());
    s.millisecond = static_cast<quint16>(t.msec());
    return s;
}

QDateTime SystemTime::toDateTime() const {
    const QDate d(year, month, day);
    const QTime t(hour, minute, second, millisecond);
    if (!d.isValid() || !t.isValid())
        return {};
    return QDateTime(d, t);
}

const Clock& Clock::system() {
    static const Clock clock;
    return clock;
}

qint64 SecondsSince1970(const SystemTime& t) {
    const QDate d(t.year, t.month, t.day);
    const QTime time(t.hour, t.minute, t.second);
    if (!d.isValid() || !time.isValid())
        return 0;
    return QDateTime(d, time, QTimeZone::utc()).toSecsSinceEpoch();
}

QString FormatUniqueId(qint64 seconds, int millisecond, int random) {
    return QString::asprintf("%lld_%03d_%d", static_cast<long long>(seconds), millisecond, random);
}

QString MakeUniqueIdText(const Clock& clock) {
    const SystemTime now = clock.localTime();
    return FormatUniqueId(SecondsSince1970(now), now.millisecond,
                          QRandomGenerator::global()->bounded(32768));
}
