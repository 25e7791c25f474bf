#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <utility>

// The program's own failure for conditions that a true/false result cannot
// carry (text conversion, unparsable reply, unusable URL). Throw by value and
// catch by const reference; each background task catches it at its top.
class CTorval2Exception : public std::exception {
public:
    CTorval2Exception(QString message, QString code)
        : message_(std::move(message)), code_(std::move(code)), what_(message_.toUtf8()) {}

    const QString& message() const noexcept { return message_; }
    const QString& code() const noexcept { return code_; }
    // The message as UTF-8, for handlers that only know std::exception.
    const char* what() const noexcept override { return what_.constData(); }

private:
    QString message_;
    QString code_;
    QByteArray what_;
};
