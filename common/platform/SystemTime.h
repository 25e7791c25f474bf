#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// A local wall-clock time in the eight parts the settings files and the
// scheduler use. dayOfWeek counts from Sunday = 0. An all-zero value stands
// for "never".
struct SystemTime {
    quint16 year = 0;
    quint16 month = 0;
    quint16 dayOfWeek = 0;
    quint16 day = 0;
    quint16 hour = 0;
    quint16 minute = 0;
    quint16 second = 0;
    quint16 millisecond = 0;

    bool isZero() const { return year == 0 && month == 0 && day == 0; }
    static SystemTime fromDateTime(const QDateTime& local);
    // Invalid for a zero or impossible date.
    QDateTime toDateTime() const;

    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// The source of "now". Code that decides by the time of day takes a Clock so
// tests can move through days and midnights without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const { return QDateTime::currentDateTime(); }
    SystemTime localTime() const { return SystemTime::fromDateTime(now()); }

    // The process's real clock.
    static const Clock& system();
};

// Whole seconds from 1970-01-01 00:00 to t, reading t's wall-clock parts as
// if they were UTC (so the result does not depend on the time zone);
// 0 for a zero or impossible date.
qint64 SecondsSince1970(const SystemTime& t);

// "%lld_%03d_%d" of seconds since 1970, millisecond and a random number.
QString FormatUniqueId(qint64 seconds, int millisecond, int random);
// Unique id of a job or a session: the clock's local wall-clock time counted
// as if it were UTC, its millisecond and a random number 0..32767.
QString MakeUniqueIdText(const Clock& clock);
