#include "TextCodec.h"

#include "CTorval2Exception.h"
#include "NetworkAdapter.h"
#include "SystemTime.h"

#include <QCryptographicHash>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QUuid>

#include <limits>

namespace {

[[noreturn]] void ThrowConversionFailure() {
    throw CTorval2Exception(QStringLiteral("文字コードの変換に失敗しました。"),
                            QStringLiteral("CONVERT_ENCODING_ERROR"));
}

// Stateless: a sequence cut off at the end of the input is an error instead
// of being held back (and silently dropped) for a next call that never comes.
constexpr auto kStrict = QStringConverter::Flag::Stateless;

template <typename Int>
Int LeadingNumber(const QByteArray& text) {
    const char* p = text.constData();
    const char* const end = p + text.size();
    // The C locale's white space, whatever locale the application set.
    while (p != end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate towards the sign's side so the most negative value fits.
    Int value = 0;
    constexpr Int max = std::numeric_limits<Int>::max();
    constexpr Int min = std::numeric_limits<Int>::min();
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (negative) {
            if (value < (min + digit) / 10)
                return min;
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10)
                return max;
            value = value * 10 + digit;
        }
    }
    return value;
}

}  // namespace

QString ReadAdapterAddress() {
    const QByteArray field = NetworkAdapter::firstHardwareAddress();
    if (field.size() != NetworkAdapter::AddressFieldSize)
        return {};
    return QString::fromLatin1(field.toHex(':'));
}

QString Md5Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString DeviceIdFromMac(const QString& macText) {
    return Md5Hex(macText.toLocal8Bit());
}

QString MakeDeviceId() {
    return DeviceIdFromMac(ReadAdapterAddress());
}

QString MakeUuid() {
    const QUuid uuid = QUuid::createUuid();
    if (uuid.isNull())
        return {};
    return uuid.toString(QUuid::WithoutBraces);
}

QString Utf8ToWide(const QByteArray& utf8) {
    const qsizetype nul = utf8.indexOf('\0');
    const QByteArrayView input(utf8.constData(), nul < 0 ? utf8.size() : nul);
    if (input.isEmpty())
        return {};
    // A leading byte-order mark is text like any other and is kept.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           kStrict | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(input);
    if (decoder.hasError())
        ThrowConversionFailure();
    return text;
}

QByteArray WideToUtf8(const QString& text) {
    const qsizetype nul = text.indexOf(QChar(0));
    const QStringView input = QStringView(text).left(nul < 0 ? text.size() : nul);
    if (input.isEmpty())
        return {};
    QStringEncoder encoder(QStringEncoder::Utf8, kStrict);
    QByteArray bytes = encoder.encode(input);
    if (encoder.hasError())
        ThrowConversionFailure();
    return bytes;
}

QStringList SplitText(const QString& text, const QString& delimiter) {
    if (delimiter.isEmpty())
        return {text};
    return text.split(delimiter, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

QByteArray EscapePath(const QString& path) {
    const QStringList pieces = SplitText(path, QStringLiteral("/"));
    const bool hasSlash = pieces.size() > 1;
    QByteArray escaped;
    for (const QString& piece : pieces) {
        if (piece.isEmpty())
            continue;
        if (hasSlash)
            escaped += '/';
        // Qt's unreserved set is exactly letters, digits and "-._~"; hex is upper-case.
        escaped += WideToUtf8(piece).toPercentEncoding();
    }
    return escaped;
}

QString BoolText(bool flag) {
    return flag ? QStringLiteral("true") : QStringLiteral("false");
}

QString NumberText(qint32 value) {
    return QString::number(value);
}

QString NumberText(quint64 value) {
    return QString::number(value);
}

QByteArray NarrowNumberText(qint32 value) {
    return QByteArray::number(value);
}

qint32 TextToInt(const QByteArray& text) {
    return LeadingNumber<qint32>(text);
}

qint64 TextToLong(const QByteArray& text) {
    return LeadingNumber<qint64>(text);
}

QString MakeUploaderSessionId(const Clock& clock) {
    return Md5Hex(MakeUniqueIdText(clock).toLatin1());
}
