#pragma once

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
inline QString FieldText(bool b) {
    return b ? QStringLiteral("1") : QStringLiteral("0");
}
template <class N>
requires std::is_arithmetic_v<N> QString FieldText(N n) {
    return QString::number(n);
}

template <class... T>
QString Fields(const T&... values) {
    return QStringList{FieldText(values)...}.join(QLatin1Char('|'));
}

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
