#include "TextCodec.h"

#include "CTorval2Exception.h"
#include "Fields.h"
#include "SystemTime.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <limits>
#include <ostream>

void PrintTo(const QByteArray& b, std::ostream* os) {
    *os << '"' << b.toStdString() << '"';
}

namespace {

// Bytes from a literal, embedded NULs included.
template <qsizetype N>
QByteArray Bytes(const char (&s)[N]) {
    return QByteArray(s, N - 1);
}

QString Units(std::initializer_list<char16_t> units) {
    QString s;
    for (char16_t u : units)
        s.append(QChar(u));
    return s;
}

void ExpectConversionFailure(const std::function<void()>& convert) {
    try {
        convert();
        ADD_FAILURE() << "no exception";
    } catch (const CTorval2Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("文字コードの変換に失敗しました。"));
        EXPECT_EQ(e.code(), QStringLiteral("CONVERT_ENCODING_ERROR"));
        EXPECT_STREQ(e.what(), "文字コードの変換に失敗しました。");
    }
}

bool IsLowerHex(const QString& s, qsizetype length) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]*$"));
    return s.size() == length && hex.match(s).hasMatch();
}

class FixedClock : public Clock {
public:
    explicit FixedClock(QDateTime t) : t_(std::move(t)) {}
    QDateTime now() const override { return t_; }

private:
    QDateTime t_;
};

// Puts the process in another time zone so that a result depending on the
// zone differs from one that reads the wall-clock parts, even on a UTC machine.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz)
        : had_(qEnvironmentVariableIsSet("TZ")), saved_(qgetenv("TZ")) {
        qputenv("TZ", tz);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_)
            qputenv("TZ", saved_);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    bool had_;
    QByteArray saved_;
};

TEST(TextCodecUtf8ToWide, ConvertsValidText) {
    const struct {
        QByteArray in;
        QString out;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {Bytes("\xE6\x97\xA5\xE6\x9C\xAC"), QStringLiteral("日本")},
        {Bytes("\xF0\x9F\x98\x80"), Units({0xD83D, 0xDE00})},
        {Bytes("\xF4\x8F\xBF\xBF"), Units({0xDBFF, 0xDFFF})},  // U+10FFFF, the last code point
        {Bytes("\xEF\xBB\xBF"
               "a"),
         Units({0xFEFF, 'a'})},                    // a leading BOM is kept
        {Bytes("\xEF\xBF\xBD"), Units({0xFFFD})},  // an encoded U+FFFD is valid text
        // Conversion stops at the first NUL; what follows, even invalid, is not looked at.
        {Bytes("ab\0cd"), "ab"},
        {Bytes("\0abc"), ""},
        {Bytes("ab\0\xFF"), "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.toHex(' ').toStdString());
        EXPECT_EQ(Utf8ToWide(c.in), c.out);
    }
}

TEST(TextCodecUtf8ToWide, RejectsInvalidBytes) {
    const struct {
        const char* what;
        QByteArray in;
    } cases[] = {
        {"lone continuation byte", Bytes("a\x80")},
        {"byte FE", Bytes("\xFE")},
        {"byte FF", Bytes("a\xFF"
                          "b")},
        {"lead byte F5", Bytes("\xF5\x80\x80\x80")},
        {"overlong NUL", Bytes("\xC0\x80")},
        {"overlong 2-byte", Bytes("\xC1\xBF")},
        {"overlong 3-byte", Bytes("\xE0\x80\x80")},
        {"overlong 3-byte, largest", Bytes("\xE0\x9F\xBF")},
        {"overlong 4-byte", Bytes("\xF0\x80\x80\x80")},
        {"overlong 4-byte, largest", Bytes("\xF0\x8F\xBF\xBF")},
        {"encoded high surrogate", Bytes("\xED\xA0\x80")},
        {"encoded low surrogate", Bytes("\xED\xBF\xBF")},
        {"encoded surrogate pair", Bytes("\xED\xA0\xBD\xED\xB8\x80")},
        {"beyond U+10FFFF", Bytes("\xF4\x90\x80\x80")},
        {"3-byte sequence cut at the end", Bytes("a\xE6\x97")},
        {"4-byte sequence cut at the end", Bytes("\xF0\x9F\x98")},
        {"2-byte sequence cut at the end", Bytes("\xC3")},
        {"sequence cut by an ASCII byte", Bytes("\xE6"
                                                "A")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectConversionFailure([&] { Utf8ToWide(c.in); });
    }
}

TEST(TextCodecWideToUtf8, ConvertsValidText) {
    const struct {
        QString in;
        QByteArray out;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {QStringLiteral("日本"), Bytes("\xE6\x97\xA5\xE6\x9C\xAC")},
        {Units({0xD83D, 0xDE00}), Bytes("\xF0\x9F\x98\x80")},
        {Units({0xFEFF, 'a'}), Bytes("\xEF\xBB\xBF"
                                     "a")},
        // Conversion stops at the first NUL, even before a lone surrogate.
        {Units({'a', 'b', 0, 'c'}), "ab"},
        {Units({0, 'a'}), ""},
        {Units({'a', 0, 0xD800}), "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.toStdString());
        EXPECT_EQ(WideToUtf8(c.in), c.out);
    }
}

TEST(TextCodecWideToUtf8, RejectsLoneSurrogates) {
    const struct {
        const char* what;
        QString in;
    } cases[] = {
        {"lone high surrogate", Units({0xD800})},
        {"lone low surrogate", Units({0xDC00})},
        {"high surrogate at the end", Units({'a', 0xD83D})},
        {"high surrogate before a letter", Units({0xD83D, 'a'})},
        {"pair in the wrong order", Units({0xDE00, 0xD83D})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectConversionFailure([&] { WideToUtf8(c.in); });
    }
}

TEST(TextCodecConversion, RoundTripsJapaneseAndAstralText) {
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
    for (const auto& c : cases) {
        SCOPED_TRACE((c.text + QStringLiteral(" | ") + c.delimiter).toStdString());
        EXPECT_EQ(SplitText(c.text, c.delimiter), c.pieces);
    }
}

TEST(TextCodecEscapePath, EscapesEachSegment) {
    const struct {
        QString path;
        QByteArray escaped;
    } cases[] = {
        {"/a b/c", "/a%20b/c"},
        {QStringLiteral("/日本"), "/%E6%97%A5%E6%9C%AC"},
        {"//a//b/", "/a/b"},
        {"file.txt", "file.txt"},
        {"/", ""},
        {"", ""},
        {"a/b", "/a/b"},
        {"/AZaz09-._~", "/AZaz09-._~"},
        {"/a+b&c=d?e#f%g", "/a%2Bb%26c%3Dd%3Fe%23f%25g"},
        {"/x\\y:z", "/x%5Cy%3Az"},
        {Units({'/', 0xD83D, 0xDE00}), "/%F0%9F%98%80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        EXPECT_EQ(EscapePath(c.path), c.escaped);
    }
}

TEST(TextCodecEscapePath, RejectsLoneSurrogate) {
    ExpectConversionFailure([] { EscapePath(Units({'/', 'a', 0xD800})); });
}

TEST(TextCodecNumbers, TextForFlagsAndNumbers) {
    EXPECT_EQ(Fields(BoolText(true), BoolText(false), NumberText(qint32{0}), NumberText(qint32{-7}),
                     NumberText(std::numeric_limits<qint32>::min()),
                     NumberText(std::numeric_limits<qint32>::max()), NumberText(quint64{0}),
                     NumberText(std::numeric_limits<quint64>::max())),
              "true|false|0|-7|-2147483648|2147483647|0|18446744073709551615");
    EXPECT_EQ(NarrowNumberText(443), QByteArray("443"));
    EXPECT_EQ(NarrowNumberText(65535), QByteArray("65535"));
}

TEST(TextCodecNumbers, TextToIntReadsLeadingNumber) {
    const struct {
        QByteArray text;
        qint32 value;
    } cases[] = {
        {"500", 500},
        {" 42a", 42},
        {"null", 0},
        {"-7", -7},
        {"+8", 8},
        {"", 0},
        {"007", 7},
        {" \t\n\v\f\r9", 9},
        {"- 5", 0},
        {"+-5", 0},
        {"1.5", 1},
        {"1e5", 1},
        {Bytes("12\0"
               "34"),
         12},
        {Bytes("\xA0"
               "5"),
         0},  // only ASCII white space is skipped
        {"2147483647", std::numeric_limits<qint32>::max()},
        {"2147483648", std::numeric_limits<qint32>::max()},
        {"99999999999999999999999", std::numeric_limits<qint32>::max()},
        {"-2147483648", std::numeric_limits<qint32>::min()},
        {"-2147483649", std::numeric_limits<qint32>::min()},
        {"-99999999999999999999999", std::numeric_limits<qint32>::min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(TextToInt(c.text), c.value);
    }
}

TEST(TextCodecNumbers, TextToLongUsesSixtyFourBits) {
    const struct {
        QByteArray text;
        qint64 value;
    } cases[] = {
        {"500", 500},
        {" 42a", 42},
        {"null", 0},
        {"", 0},
        {"4294967296", 4294967296LL},
        {"-2147483649", -2147483649LL},
        {"9223372036854775807", std::numeric_limits<qint64>::max()},
        {"9223372036854775808", std::numeric_limits<qint64>::max()},
        {"-9223372036854775808", std::numeric_limits<qint64>::min()},
        {"-9223372036854775809", std::numeric_limits<qint64>::min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(TextToLong(c.text), c.value);
    }
}

TEST(TextCodecDigest, Md5Vectors) {
    const struct {
        QByteArray in;
        QString hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {Bytes("a\0b"), "70350f6027bce3713f6b76473084309b"},  // all bytes, NUL included
        {Bytes("\xE6\x97\xA5\xE6\x9C\xAC"), "4dbed2e657457884e67137d3514119b3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.toStdString());
        EXPECT_EQ(Md5Hex(c.in), c.hex);
    }
}

TEST(TextCodecIdentifiers, DeviceIdFromMacText) {
    EXPECT_EQ(DeviceIdFromMac(QString()), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(DeviceIdFromMac(QStringLiteral("00:11:22:33:44:55:00:00")),
              QStringLiteral("5d23845ace19b153d18c2db5ec623a05"));
}

TEST(TextCodecIdentifiers, AdapterAddressOfThisMachine) {
    const QString mac = ReadAdapterAddress();
    if (mac.isEmpty()) {
        EXPECT_EQ(MakeDeviceId(), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        return;
    }
    static const QRegularExpression shape(QStringLiteral("^([0-9a-f]{2}:){7}[0-9a-f]{2}$"));
    EXPECT_TRUE(shape.match(mac).hasMatch()) << mac.toStdString();
    EXPECT_NE(mac, QStringLiteral("00:00:00:00:00:00:00:00"));
    EXPECT_EQ(ReadAdapterAddress(), mac);
    EXPECT_TRUE(IsLowerHex(MakeDeviceId(), 32));
}

TEST(TextCodecIdentifiers, UuidShape) {
    static const QRegularExpression shape(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    const QString first = MakeUuid();
    const QString second = MakeUuid();
    EXPECT_TRUE(shape.match(first).hasMatch()) << first.toStdString();
    EXPECT_TRUE(shape.match(second).hasMatch()) << second.toStdString();
    EXPECT_NE(first, second);
}

TEST(TextCodecIdentifiers, FormatUniqueId) {
    EXPECT_EQ(Fields(FormatUniqueId(1386321845, 42, 17765), FormatUniqueId(0, 0, 0),
                     FormatUniqueId(4102444800LL, 999, 32767)),
              "1386321845_042_17765|0_000_0|4102444800_999_32767");
}

TEST(TextCodecIdentifiers, UniqueIdCountsWallClockAsUtc) {
    ScopedTimeZone zone("JST-9");
    const QDateTime local(QDate(2013, 12, 6), QTime(9, 24, 5, 42), Qt::LocalTime);
    // Guard: the zone change must be visible, or this test would not tell
    // wall-clock seconds from real epoch seconds.
    ASSERT_EQ(local.toSecsSinceEpoch(), 1386321845 - 9 * 3600);

    const FixedClock clock(local);
    static const QRegularExpression shape(QStringLiteral("^1386321845_042_(\\d+)$"));
    QSet<int> randoms;
    for (int i = 0; i < 200; ++i) {
        const QString id = MakeUniqueIdText(clock);
        const QRegularExpressionMatch m = shape.match(id);
        ASSERT_TRUE(m.hasMatch()) << id.toStdString();
        const int random = m.captured(1).toInt();
        EXPECT_GE(random, 0);
        EXPECT_LE(random, 32767);
        randoms.insert(random);
    }
    EXPECT_GT(randoms.size(), 1);
}

TEST(TextCodecIdentifiers, UniqueIdPadsMilliseconds) {
    const FixedClock clock(QDateTime(QDate(1970, 1, 1), QTime(0, 0, 1, 7), Qt::LocalTime));
    EXPECT_TRUE(MakeUniqueIdText(clock).startsWith(QStringLiteral("1_007_")));
}

TEST(TextCodecIdentifiers, UploaderSessionIdIsFreshDigest) {
    const FixedClock clock(QDateTime(QDate(2013, 12, 6), QTime(9, 24, 5, 42), Qt::LocalTime));
    QSet<QString> ids;
    for (int i = 0; i < 10; ++i) {
        const QString id = MakeUploaderSessionId(clock);
        EXPECT_TRUE(IsLowerHex(id, 32)) << id.toStdString();
        ids.insert(id);
    }
    // Same millisecond, different random numbers.
    EXPECT_GT(ids.size(), 1);
}

}  // namespace
