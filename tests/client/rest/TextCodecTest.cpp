#include "TextCodec.h"

#include "CTorval2Exception.h"
#include "Fields.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <limits>

void PrintTo(const QByteArray& b, std::ostream* os) {
    *os << '"' << b.toStdString() << '"';
}

namespace {

QString Units(std::initializer_list<char16_t> units) {
    return QString(reinterpret_cast<const QChar*>(units.begin()), qsizetype(units.size()));
}

// What a conversion gave, or "<error>" when it threw the encoding failure.
template <class F>
auto Converted(F convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const CTorval2Exception& e) {
        EXPECT_EQ(Fields(e.message(), e.code(), QString::fromUtf8(e.what())),
                  "文字コードの変換に失敗しました。|CONVERT_ENCODING_ERROR|"
                  "文字コードの変換に失敗しました。");
        return "<error>";
    }
}

bool Matches(const char* pattern, const QString& s) {
    return QRegularExpression(QString::fromLatin1(pattern)).match(s).hasMatch();
}

TEST(TextCodecUtf8ToWide, ConvertsValidTextAndRejectsInvalidBytes) {
    const struct {
        QByteArray in;
        QString out;
    } cases[] = {
        {"", ""},
        {Bytes("\xF4\x8F\xBF\xBF"), Units({0xDBFF, 0xDFFF})},  // U+10FFFF, the last code point
        {Bytes("\xEF\xBB\xBF") + "a", Units({0xFEFF, 'a'})},   // a leading BOM is kept
        {Bytes("\xEF\xBF\xBD"), Units({0xFFFD})},              // an encoded U+FFFD is valid text
        // Conversion stops at the first NUL; what follows, even invalid, is not looked at.
        {Bytes("ab\0cd"), "ab"},
        {Bytes("\0abc"), ""},
        {Bytes("ab\0\xFF"), "ab"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Converted([&] { return Utf8ToWide(c.in); }), c.out) << c.in.toHex(' ').data();
    // Lone continuation, FE, overlong form, encoded surrogate, beyond U+10FFFF, a
    // sequence cut inside the text and at its end (the decoder keeps no state).
    for (const QByteArray& in : {QByteArray("a\x80"), QByteArray("\xFE"), QByteArray("\xC0\x80"),
                                 QByteArray("\xED\xA0\x80"), QByteArray("\xF4\x90\x80\x80"),
                                 Bytes("\xE6") + "A", QByteArray("a\xE6\x97")})
        EXPECT_EQ(Converted([&] { return Utf8ToWide(in); }), "<error>") << in.toHex(' ').data();
}

TEST(TextCodecWideToUtf8, ConvertsValidTextAndRejectsLoneSurrogates) {
    const struct {
        QString in;
        QByteArray out;
    } cases[] = {
        {"", ""},
        {Units({0xFEFF, 'a'}), Bytes("\xEF\xBB\xBF") + "a"},
        // Conversion stops at the first NUL, even before a lone surrogate.
        {Units({'a', 'b', 0, 'c'}), "ab"},
        {Units({0, 'a'}), ""},
        {Units({'a', 0, 0xD800}), "a"},
        {Units({'a', 0xD83D}), "<error>"},
        {Units({0xDE00, 0xD83D}), "<error>"},  // a pair in the wrong order
    };
    for (const auto& c : cases)
        EXPECT_EQ(Converted([&] { return WideToUtf8(c.in); }), c.out) << c.in.toStdString();
    const QString text = QStringLiteral("写真/2024年 𠮷野家 😀 é ~");
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    EXPECT_EQ(WideToUtf8(text), text.toUtf8());
}

TEST(TextCodecSplitText, KeepsEmptyPieces) {
    const struct {
        QString text;
        QString delimiter;
        QStringList pieces;
    } cases[] = {
        {"a/b", "/", {"a", "b"}}, {"/a/b", "/", {"", "a", "b"}},
        {"a/", "/", {"a", ""}},   {"", "/", {""}},
        {"/", "/", {"", ""}},     {"//", "/", {"", "", ""}},
        {"abc", "/", {"abc"}},    {"a::b::", "::", {"a", "b", ""}},
        {"aaa", "aa", {"", "a"}},  // the search resumes behind a match
        {"abc", "", {"abc"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitText(c.text, c.delimiter), c.pieces) << c.text.toStdString();
}

TEST(TextCodecEscapePath, EscapesEachSegment) {
    const struct {
        QString path;
        QByteArray escaped;
    } cases[] = {
        {"//a//b/", "/a/b"},
        {"file.txt", "file.txt"},
        {"/", ""},
        {"/AZaz09-._~", "/AZaz09-._~"},
        {"/a+b&c=d?e#f%g", "/a%2Bb%26c%3Dd%3Fe%23f%25g"},
        {Units({'/', 0xD83D, 0xDE00}), "/%F0%9F%98%80"},
        {Units({'/', 'a', 0xD800}), "<error>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Converted([&] { return EscapePath(c.path); }), c.escaped) << c.path.toStdString();
}

TEST(TextCodecNumbers, TextToIntAndLongReadTheLeadingNumber) {
    constexpr qint32 kIntMax = std::numeric_limits<qint32>::max();
    constexpr qint32 kIntMin = std::numeric_limits<qint32>::min();
    constexpr qint64 kLongMax = std::numeric_limits<qint64>::max();
    constexpr qint64 kLongMin = std::numeric_limits<qint64>::min();
    const struct {
        QByteArray text;
        qint32 asInt;
        qint64 asLong;
    } cases[] = {{" 42a", 42, 42},
                 {"-7", -7, -7},
                 {"+8", 8, 8},
                 {"", 0, 0},
                 {" \t\n\v\f\r9", 9, 9},
                 {"- 5", 0, 0},
                 {Bytes("12\0") + "34", 12, 12},
                 {Bytes("\xA0") + "5", 0, 0},  // only ASCII white space is skipped
                 {"2147483647", kIntMax, kIntMax},
                 {"2147483640", 2147483640, 2147483640},  // one step below the bound
                 {"-2147483640", -2147483640, -2147483640},
                 {"9223372036854775800", kIntMax, 9223372036854775800LL},
                 {"2147483648", kIntMax, 2147483648LL},
                 {"99999999999999999999999", kIntMax, kLongMax},
                 {"-2147483648", kIntMin, kIntMin},
                 {"-2147483649", kIntMin, -2147483649LL},
                 {"-99999999999999999999999", kIntMin, kLongMin},
                 {"9223372036854775807", kIntMax, kLongMax},
                 {"9223372036854775808", kIntMax, kLongMax},
                 {"-9223372036854775808", kIntMin, kLongMin},
                 {"-9223372036854775809", kIntMin, kLongMin}};
    for (const auto& c : cases)
        EXPECT_EQ(Fields(TextToInt(c.text), TextToLong(c.text)), Fields(c.asInt, c.asLong))
            << c.text.toStdString();
}

TEST(TextCodecIdentifiers, DigestsAndDeviceIds) {
    // The MD5 digest of the MAC text in lower-case hex.
    EXPECT_EQ(Fields(DeviceIdFromMac(QString()), DeviceIdFromMac("00:11:22:33:44:55:00:00")),
              "d41d8cd98f00b204e9800998ecf8427e|5d23845ace19b153d18c2db5ec623a05");

    // This machine's adapter: none gives the digest of nothing.
    const QString mac = ReadAdapterAddress();
    EXPECT_EQ(MakeDeviceId(), DeviceIdFromMac(mac));
    if (!mac.isEmpty()) {
        EXPECT_TRUE(Matches("^([0-9a-f]{2}:){7}[0-9a-f]{2}$", mac)) << mac.toStdString();
        EXPECT_NE(mac, "00:00:00:00:00:00:00:00");
    }

    const QString first = MakeUuid();
    const QString second = MakeUuid();
    for (const QString& uuid : {first, second}) {
        EXPECT_TRUE(
            Matches("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$", uuid))
            << uuid.toStdString();
    }
    EXPECT_NE(first, second);
}

TEST(TextCodecIdentifiers, UniqueIdCountsWallClockAsUtc) {
    EXPECT_EQ(Fields(FormatUniqueId(1386321845, 42, 17765), FormatUniqueId(0, 0, 0),
                     FormatUniqueId(4102444800LL, 999, 32767)),
              "1386321845_042_17765|0_000_0|4102444800_999_32767");
    EXPECT_TRUE(
        MakeUniqueIdText(FixedClock({QDate(1970, 1, 1), QTime(0, 0, 1, 7)})).startsWith("1_007_"));

    // In another time zone a result depending on the zone differs from one that
    // reads the wall-clock parts, even on a UTC machine.
    const EnvGuard zone("TZ", "JST-9");
    const QDateTime local(QDate(2013, 12, 6), QTime(9, 24, 5, 42), Qt::LocalTime);
    ASSERT_EQ(local.toSecsSinceEpoch(), 1386321845 - 9 * 3600) << "the zone change must show";
    const FixedClock clock(local);
    static const QRegularExpression shape(QStringLiteral("^1386321845_042_(\\d+)$"));
    QSet<int> randoms;
    for (int i = 0; i < 200; ++i) {
        const QString id = MakeUniqueIdText(clock);
        const QRegularExpressionMatch m = shape.match(id);
        ASSERT_TRUE(m.hasMatch()) << id.toStdString();
        const int random = m.captured(1).toInt();
        EXPECT_TRUE(random >= 0 && random <= 32767) << random;
        randoms.insert(random);
    }
    EXPECT_GT(randoms.size(), 1);

    // The uploader session: a fresh digest in the same millisecond.
    QSet<QString> sessions;
    for (int i = 0; i < 10; ++i) {
        const QString id = MakeUploaderSessionId(clock);
        EXPECT_TRUE(Matches("^[0-9a-f]{32}$", id)) << id.toStdString();
        sessions.insert(id);
    }
    EXPECT_GT(sessions.size(), 1);
}

}  // namespace
