#pragma once

#include "SystemTime.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <ostream>
#include <type_traits>

// Joins record members into one "a|b|c" text, so that a test compares a whole
// record in one assertion and a failure shows every member side by side.
// Flags read 1 or 0; empty and null texts both read empty.
inline QString FieldText(const QString& s) {
    return s;
}
inline QString FieldText(const char* s) {
    return QString::fromUtf8(s);
}
inline QString FieldText(bool b) {
    return b ? QStringLiteral("1") : QStringLiteral("0");
}
// Numbers in full: the shortest text that reads back as the same value.
template <class N>
requires std::is_arithmetic_v<N> QString FieldText(N n) {
    if constexpr (std::is_floating_point_v<N>)
        return QString::number(n, 'g', QLocale::FloatingPointShortest);
    else
        return QString::number(n);
}
template <class... T>
QString Fields(const T&... values) {
    return QStringList{FieldText(values)...}.join(QLatin1Char('|'));
}

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// Bytes from a literal, embedded NULs included.
template <qsizetype N>
QByteArray Bytes(const char (&s)[N]) {
    return QByteArray(s, N - 1);
}

class FixedClock : public Clock {
public:
    explicit FixedClock(QDateTime t) : t_(std::move(t)) {}
    QDateTime now() const override { return t_; }

private:
    QDateTime t_;
};
