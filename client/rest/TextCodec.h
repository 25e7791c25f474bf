#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "SystemTime.h"

// Identifiers and the text conversions between the program's UTF-16 text and
// the UTF-8 of the wire. Utf8ToWide, WideToUtf8 and EscapePath throw
// CTorval2Exception (code "CONVERT_ENCODING_ERROR") on text that is not valid
// in its encoding.

// The first adapter's 8-byte address field as "xx:xx:xx:xx:xx:xx:xx:xx"
// (23 characters), or empty text when no adapter can be read.
QString ReadAdapterAddress();

// 32 lower-case hexadecimal digits of the MD5 digest of bytes.
QString Md5Hex(const QByteArray& bytes);

// DeviceId for a MAC text: the digest of the text in the local 8-bit
// encoding. An empty MAC text gives the digest of empty input.
QString DeviceIdFromMac(const QString& macText);
// DeviceIdFromMac(ReadAdapterAddress()).
QString MakeDeviceId();

// A fresh random UUID as 36 characters without braces, or empty text when
// none can be made.
QString MakeUuid();

// Strict UTF-8 to UTF-16. Only the bytes before the first NUL are converted.
QString Utf8ToWide(const QByteArray& utf8);
// Strict UTF-16 to UTF-8. Only the characters before the first NUL are
// converted; a lone surrogate is a failure.
QByteArray WideToUtf8(const QString& text);

// Pieces of text between occurrences of delimiter, empty pieces included;
// empty text gives one empty piece. An empty delimiter gives the whole text.
QStringList SplitText(const QString& text, const QString& delimiter);

// A repository path for a URL: each non-empty "/"-separated segment in UTF-8
// and percent-encoded (all but ASCII letters, digits and "-._~"), each
// preceded by "/" when the path contains one. "/" and "" give "".
QByteArray EscapePath(const QString& path);

// "true" or "false".
QString BoolText(bool flag);

// Decimal digits for query values.
QString NumberText(qint32 value);
QString NumberText(quint64 value);
// Decimal digits for the narrow parts of a URL (the port).
QByteArray NarrowNumberText(qint32 value);

// The leading decimal number of text after optional white space and an
// optional sign; 0 when the text does not begin with one. Values beyond the
// result type's range are clamped to its limits.
qint32 TextToInt(const QByteArray& text);
qint64 TextToLong(const QByteArray& text);

// UploaderSessionId: the digest of a fresh MakeUniqueIdText.
QString MakeUploaderSessionId(const Clock& clock);
