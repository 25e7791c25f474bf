#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The body of an error reply of the storage service.
class CRestError {
public:
    // "statusCode" of the body (not the HTTP status), read as text so that
    // both 404 and "404" give 404.
    qint32 statusCode = 0;
    QString errorMessage;
    QString resultDetails;

    // "errorCode"; "null" when the body has none.
    QString errorCode() const { return errorCode_; }
    // Every element of "errorParameters" followed by ",": "a,b," for [a, b],
    // empty for an empty or missing array.
    QString errorParameters() const { return errorParameters_; }

    // Parses body (CRestJsonParser::Parse) and reads the record. Throws
    // JsonParseError for a body that is not a JSON object and
    // CTorval2Exception for text that is not UTF-8.
    static CRestError FromBody(const QByteArray& body);

private:
    QString errorCode_;
    QString errorParameters_;
};
