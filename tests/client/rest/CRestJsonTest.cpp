#include "CLogWriter.h"
#include "CRestError.h"
#include "CRestJsonParser.h"
#include "CTorval2Exception.h"
#include "TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>

static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

static_assert(std::is_base_of_v<std::runtime_error, JsonParseError>);

const QString kFailurePrefix = QStringLiteral("結果の解析に失敗しました（");
const QString kFailureSuffix = QStringLiteral("）");

// Bytes from a literal, embedded NULs included.
template <qsizetype N>
QByteArray Bytes(const char (&s)[N]) {
    return QByteArray(s, N - 1);
}

QByteArray Repeat(const QByteArray& piece, int count) {
    return piece.repeated(count);
}

// The events written so far, oldest first, each as its type label and text.
QStringList LoggedEvents() {
    static const QRegularExpression time(
        QStringLiteral("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\n"));
    QString text = CLogWriter().ReadLogText();
    text.remove(time);
    QStringList events = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    std::reverse(events.begin(), events.end());
    return events;
}

QString ErrorEvent(const QString& errorText) {
    return QStringLiteral(" [異常] ") + kFailurePrefix + errorText + kFailureSuffix;
}

class JsonTest : public ::testing::Test {
protected:
    // Parses body that must be a JSON object.
    picojson::object Object(const QByteArray& body) {
        picojson::value v;
        CRestJsonParser().Parse(body, v);
        return v.get<picojson::object>();
    }

    // Runs Parse expecting the parse failure; returns the events it logged.
    QStringList ParseFailure(const QByteArray& body) {
        picojson::value v;
        try {
            CRestJsonParser().Parse(body, v);
            ADD_FAILURE() << "no exception for " << body.left(80).toStdString();
        } catch (const JsonParseError& e) {
            EXPECT_STREQ(e.what(), "failed to parse json.");
        }
        return LoggedEvents();
    }

    TempDataHome home;
};

// ---------------------------------------------------------------------------
// Parse

struct FailureCase {
    const char* label;
    QByteArray body;
    QString errorText;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.label;
}

class ParseFailureTest : public JsonTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ParseFailureTest, LogsOneErrorEventAndThrows) {
    const QStringList events = ParseFailure(GetParam().body);
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events[0], ErrorEvent(GetParam().errorText));
}

INSTANTIATE_TEST_SUITE_P(
    NotAnObject, ParseFailureTest,
    ::testing::Values(
        // A value that parsed but is no object: nothing between the brackets.
        FailureCase{"EmptyArray", "[]", ""}, FailureCase{"BareString", "\"x\"", ""},
        FailureCase{"Number", "42", ""}, FailureCase{"True", "true", ""},
        FailureCase{"Null", "null", ""}, FailureCase{"ArrayOfObject", "[{}]", ""},
        FailureCase{"Empty", "", "syntax error at line 1 near: "},
        FailureCase{"Blanks", " \r\n\t", "syntax error at line 2 near: "},
        FailureCase{"Html", "<html><body>502</body></html>",
                    "syntax error at line 1 near: <html><body>502</body></html>"},
        FailureCase{"Truncated", "{\"a\":", "syntax error at line 1 near: "},
        FailureCase{"MissingBrace", "{\"a\":1", "syntax error at line 1 near: "},
        // The near text runs to the end of the line and skips control bytes.
        FailureCase{"SecondLine", "{\"a\":1,\n\"b\":x}\ny", "syntax error at line 2 near: x}"},
        FailureCase{"ControlByte", "{\x01}", "syntax error at line 1 near: }"},
        FailureCase{"TrailingComma", "{\"a\":1,}", "syntax error at line 1 near: }"},
        FailureCase{"SingleQuotes", "{'a':1}", "syntax error at line 1 near: 'a':1}"},
        FailureCase{"RawNulInString", Bytes("{\"a\":\"b\0c\"}"),
                    "syntax error at line 1 near: c\"}"},
        FailureCase{"LoneLowSurrogate", "{\"a\":\"\\udc00\"}", "syntax error at line 1 near: \"}"},
        FailureCase{"NaN", "{\"a\":NaN}", "syntax error at line 1 near: NaN}"},
        // strtod would take these; picojson must not.
        FailureCase{"HexNumber", "{\"a\":0x10}", "syntax error at line 1 near: x10}"},
        FailureCase{"BareMinus", "{\"a\":-}", "syntax error at line 1 near: }"},
        FailureCase{"HugeNumber", "{\"a\":1e999}", "number out of range"},
        FailureCase{"HugeNegativeNumber", "{\"a\":-1e400}", "number out of range"},
        FailureCase{"DeepArrays", Repeat("[", 100000), "nesting deeper than 512 levels"},
        FailureCase{"DeepObjects", Repeat("{\"a\":", 100000), "nesting deeper than 512 levels"},
        FailureCase{"DeepClosedArrays", "{\"a\":" + Repeat("[", 100000) + Repeat("]", 100000) + "}",
                    "nesting deeper than 512 levels"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(JsonTest, ParseReadsObjects) {
    const picojson::object o = Object("{\"a\":1, \"b\":[true,{}], \"a\":\"x\"}");
    ASSERT_EQ(o.size(), 2u);
    // A repeated key keeps the later value.
    EXPECT_EQ(CRestJsonParser::FieldText(o, "a"), "x");
    EXPECT_EQ(CRestJsonParser::FieldText(o, "b"), "array");
    EXPECT_TRUE(LoggedEvents().isEmpty());
}

TEST_F(JsonTest, ParseUsesTheBufferLengthNotATerminator) {
    // The byte behind the data would complete the object.
    static const char full[] = "{\"a\":1}";
    const QByteArray cut = QByteArray::fromRawData(full, 6);
    EXPECT_EQ(ParseFailure(cut).size(), 1);
    EXPECT_EQ(Object(QByteArray::fromRawData(full, 7)).size(), 1u);
}

TEST_F(JsonTest, ParseIgnoresBytesBehindTheObject) {
    EXPECT_EQ(CRestJsonParser::FieldText(Object(Bytes("{\"a\":2}\0 trailing ]")), "a"), "2");
}

TEST_F(JsonTest, InvalidUtf8InTheNearTextStillGivesTheParseFailure) {
    const QStringList events = ParseFailure("{\"a\":\"\xff\xfe");
    ASSERT_EQ(events.size(), 1);
    EXPECT_TRUE(events[0].startsWith(QStringLiteral(" [異常] ") + kFailurePrefix));
    EXPECT_TRUE(events[0].endsWith(kFailureSuffix));
}

TEST_F(JsonTest, LoggedParseFailureQuotesAtMostFourKilobytes) {
    const QByteArray body = "{\"a\": x" + QByteArray(1 << 20, 'y');
    const QStringList events = ParseFailure(body);
    ASSERT_EQ(events.size(), 1);
    EXPECT_LT(events[0].size(), 4096 + 200);
    EXPECT_TRUE(events[0].endsWith(QStringLiteral("…") + kFailureSuffix));
}

TEST_F(JsonTest, DepthLimitCountsEveryOpenContainer) {
    const std::size_t limit = CRestJsonParser::kMaxDepth;
    const int inner = int(limit) - 1;  // the top-level object is one level
    // Arrays and objects alike, at the limit and one past it.
    const QByteArray arrays = "{\"a\":" + Repeat("[", inner) + Repeat("]", inner) + "}";
    const QByteArray objects = Repeat("{\"a\":", int(limit)) + "1" + Repeat("}", int(limit));
    const QByteArray mixed = Repeat("{\"a\":[", int(limit) / 2) + Repeat("]}", int(limit) / 2);
    EXPECT_EQ(Object(arrays).size(), 1u);
    EXPECT_EQ(Object(objects).size(), 1u);
    EXPECT_EQ(Object(mixed).size(), 1u);
    EXPECT_TRUE(LoggedEvents().isEmpty());

    const QByteArray deeperArrays =
        "{\"a\":" + Repeat("[", inner + 1) + Repeat("]", inner + 1) + "}";
    const QByteArray deeperObjects =
        Repeat("{\"a\":", int(limit) + 1) + "1" + Repeat("}", int(limit) + 1);
    const QByteArray deeperMixed =
        Repeat("{\"a\":[", int(limit) / 2) + "{}" + Repeat("]}", int(limit) / 2);
    ParseFailure(deeperArrays);
    ParseFailure(deeperObjects);
    EXPECT_EQ(ParseFailure(deeperMixed).size(), 3);
}

TEST_F(JsonTest, ClosedContainersGiveTheirLevelBack) {
    // Many siblings each close to the limit: only nesting counts, not totals.
    const int inner = int(CRestJsonParser::kMaxDepth) - 2;
    const QByteArray deep = Repeat("[", inner) + Repeat("]", inner);
    QByteArray body = "{\"a\":[";
    for (int i = 0; i < 50; ++i)
        body += (i ? "," : "") + deep;
    body += "], \"b\":" + Repeat("{\"c\":", inner) + "0" + Repeat("}", inner) + "}";
    const picojson::object o = Object(body);
    EXPECT_EQ(CRestJsonParser::Member(o, "a").get<picojson::array>().size(), 50u);
}

TEST_F(JsonTest, LargeBodyParses) {
    // 71 MB: a long Japanese string and a long array of numbers.
    const QByteArray text = Repeat("日本語テキスト", 3'000'000);  // 63 MB
    QByteArray body = "{\"name\":\"" + text + "\",\"pad\":[";
    body.reserve(body.size() + 8'000'000);
    for (int i = 0; i < 1'000'000; ++i)
        body += "1234567,";
    body += "0]}";
    ASSERT_GT(body.size(), 70'000'000);
    const picojson::object o = Object(body);
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "name").size(), 7 * 3'000'000);
    EXPECT_EQ(CRestJsonParser::Member(o, "pad").get<picojson::array>().size(), 1'000'001u);
}

// ---------------------------------------------------------------------------
// Field text and the conversions built on it

struct TextCase {
    const char* json;  // the member's value
    std::string text;
};

class FieldTextTest : public JsonTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(FieldTextTest, GivesPicojsonTextForm) {
    const picojson::object o = Object(QByteArray("{\"k\":") + GetParam().json + "}");
    EXPECT_EQ(CRestJsonParser::FieldText(o, "k"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FieldTextTest,
    ::testing::Values(TextCase{"null", "null"}, TextCase{"true", "true"},
                      TextCase{"false", "false"}, TextCase{"7", "7"}, TextCase{"-7", "-7"},
                      TextCase{"7.0", "7"}, TextCase{"-0", "-0"}, TextCase{"3.5", "3.5"},
                      TextCase{"0.1", "0.10000000000000001"}, TextCase{"1e20", "1e+20"},
                      TextCase{"5e9", "5000000000"},
                      // Below 2^53 integral numbers print whole; from 2^53 on "%.17g".
                      TextCase{"9007199254740991", "9007199254740991"},
                      TextCase{"-9007199254740991", "-9007199254740991"},
                      TextCase{"9007199254740993", "9007199254740992"}, TextCase{"1e17", "1e+17"},
                      TextCase{"123456789012345678", "1.2345678901234568e+17"},
                      TextCase{"1e-7", "9.9999999999999995e-08"}, TextCase{"\"\"", ""},
                      TextCase{"\"404\"", "404"}, TextCase{"\"a\\\"b\\\\c\\/\"", "a\"b\\c/"},
                      TextCase{"\"\\u65e5\\u672c\"", "日本"}, TextCase{"\"日本\"", "日本"},
                      TextCase{"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"}, TextCase{"[]", "array"},
                      TextCase{"[1,2]", "array"}, TextCase{"{}", "object"},
                      TextCase{"{\"k\":1}", "object"}));

TEST_F(JsonTest, MissingMemberIsNull) {
    const picojson::object o = Object("{\"K\":1, \"k \":2}");
    EXPECT_EQ(CRestJsonParser::FieldText(o, "k"), "null");
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "k"), QStringLiteral("null"));
    EXPECT_TRUE(CRestJsonParser::Member(o, "k").is<picojson::null>());
}

TEST_F(JsonTest, WideTextConvertsUtf8Strictly) {
    const picojson::object o = Object(
        "{\"ja\":\"ディスク\", \"nul\":\"ab\\u0000cd\", \"num\":1e20,"
        " \"bad\":\"\xff\", \"overlong\":\"\xc0\xaf\", \"cut\":\"\xe6\x97\","
        " \"surrogate\":\"\xed\xa0\x80\"}");
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "ja"), QStringLiteral("ディスク"));
    // Like every conversion of wire text, it ends at a NUL.
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "nul"), QStringLiteral("ab"));
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "num"), QStringLiteral("1e+20"));
    for (const char* key : {"bad", "overlong", "cut", "surrogate"}) {
        SCOPED_TRACE(key);
        try {
            CRestJsonParser::FieldWideText(o, key);
            ADD_FAILURE() << "no exception";
        } catch (const CTorval2Exception& e) {
            EXPECT_EQ(e.code(), QStringLiteral("CONVERT_ENCODING_ERROR"));
        }
        // The byte text itself stays available.
        EXPECT_FALSE(CRestJsonParser::FieldText(o, key).empty());
    }
}

struct NumberCase {
    const char* json;
    qint32 asInt;
    qint64 asLong;
    double number;
    qint32 intNumber;
};

class FieldNumberTest : public JsonTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(FieldNumberTest, ReadsTextAndNumberKinds) {
    const NumberCase& c = GetParam();
    const picojson::object o = Object(QByteArray("{\"k\":") + c.json + "}");
    EXPECT_EQ(CRestJsonParser::FieldInt(o, "k"), c.asInt);
    EXPECT_EQ(CRestJsonParser::FieldLong(o, "k"), c.asLong);
    EXPECT_EQ(CRestJsonParser::FieldNumber(o, "k"), c.number);
    EXPECT_EQ(CRestJsonParser::FieldIntNumber(o, "k"), c.intNumber);
}

constexpr qint32 kIntMax = std::numeric_limits<qint32>::max();
constexpr qint32 kIntMin = std::numeric_limits<qint32>::min();

INSTANTIATE_TEST_SUITE_P(
    Values, FieldNumberTest,
    ::testing::Values(NumberCase{"404", 404, 404, 404, 404},
                      // Text kinds read the text form; number kinds only numbers.
                      NumberCase{"\"404\"", 404, 404, 0, 0}, NumberCase{"\" 42x\"", 42, 42, 0, 0},
                      NumberCase{"\"x42\"", 0, 0, 0, 0}, NumberCase{"null", 0, 0, 0, 0},
                      NumberCase{"true", 0, 0, 0, 0}, NumberCase{"[7]", 0, 0, 0, 0},
                      NumberCase{"-0", 0, 0, 0, 0}, NumberCase{"3.9", 3, 3, 3.9, 3},
                      NumberCase{"-3.9", -3, -3, -3.9, -3},
                      NumberCase{"5000000000", kIntMax, 5000000000, 5e9, kIntMax},
                      NumberCase{"-5000000000", kIntMin, -5000000000, -5e9, kIntMin},
                      NumberCase{"2147483647", kIntMax, kIntMax, 2147483647.0, kIntMax},
                      NumberCase{"-2147483648", kIntMin, kIntMin, -2147483648.0, kIntMin},
                      // "1e+20" reads as 1.
                      NumberCase{"1e20", 1, 1, 1e20, kIntMax},
                      NumberCase{"-1e20", -1, -1, -1e20, kIntMin}));

TEST_F(JsonTest, MissingNumbersAreZero) {
    const picojson::object o = Object("{}");
    EXPECT_EQ(CRestJsonParser::FieldInt(o, "k"), 0);
    EXPECT_EQ(CRestJsonParser::FieldLong(o, "k"), 0);
    EXPECT_EQ(CRestJsonParser::FieldNumber(o, "k"), 0.0);
    EXPECT_EQ(CRestJsonParser::FieldIntNumber(o, "k"), 0);
}

struct FlagCase {
    const char* json;
    bool flag;
};

class FieldFlagTest : public JsonTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FieldFlagTest, TakesTheTruthValue) {
    const picojson::object o = Object(QByteArray("{\"k\":") + GetParam().json + "}");
    EXPECT_EQ(CRestJsonParser::FieldFlag(o, "k"), GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FieldFlagTest,
    ::testing::Values(FlagCase{"null", false}, FlagCase{"false", false}, FlagCase{"true", true},
                      FlagCase{"0", false}, FlagCase{"-0", false}, FlagCase{"0.0", false},
                      FlagCase{"0e5", false}, FlagCase{"1", true}, FlagCase{"-1", true},
                      FlagCase{"1e-300", true}, FlagCase{"0.5", true}, FlagCase{"\"\"", false},
                      FlagCase{"\"0\"", true}, FlagCase{"\"false\"", true},
                      FlagCase{"\"no\"", true}, FlagCase{"\"NaN\"", true},
                      FlagCase{"\"\\u0000\"", true}, FlagCase{"[]", true}, FlagCase{"{}", true}));

TEST_F(JsonTest, MissingFlagIsFalse) {
    EXPECT_FALSE(CRestJsonParser::FieldFlag(Object("{\"K\":true}"), "k"));
}

TEST_F(JsonTest, SubObjectOfAnythingButAnObjectIsEmpty) {
    const picojson::object o =
        Object("{\"num\":5, \"arr\":[{\"a\":1}], \"str\":\"{}\", \"obj\":{\"a\":1}}");
    for (const char* key : {"num", "arr", "str", "null", "missing"})
        EXPECT_TRUE(CRestJsonParser::SubObject(o, key).empty()) << key;
    EXPECT_EQ(CRestJsonParser::FieldText(CRestJsonParser::SubObject(o, "obj"), "a"), "1");
}

// ---------------------------------------------------------------------------
// Error record

TEST_F(JsonTest, ErrorWithOnlyStatusAndCode) {
    const CRestError e =
        CRestError::FromBody("{\"statusCode\":500,\"errorCode\":\"PORTAL_INSUFFICIENT_STORAGE\"}");
    EXPECT_EQ(e.statusCode, 500);
    EXPECT_EQ(e.errorCode(), QStringLiteral("PORTAL_INSUFFICIENT_STORAGE"));
    EXPECT_EQ(e.errorMessage, QStringLiteral("null"));
    EXPECT_EQ(e.errorParameters(), QString());
    EXPECT_EQ(e.resultDetails, QStringLiteral("null"));
}

TEST_F(JsonTest, ErrorWithEveryMember) {
    const CRestError e = CRestError::FromBody(
        "{\"statusCode\":\"404\",\"errorCode\":\"NOT_FOUND\",\"errorMessage\":\"見つかりません\","
        "\"errorParameters\":[\"x\",\"y\"],\"resultDetails\":{\"a\":1},\"other\":1}");
    EXPECT_EQ(e.statusCode, 404);
    EXPECT_EQ(e.errorCode(), QStringLiteral("NOT_FOUND"));
    EXPECT_EQ(e.errorMessage, QStringLiteral("見つかりません"));
    EXPECT_EQ(e.errorParameters(), QStringLiteral("x,y,"));
    EXPECT_EQ(e.resultDetails, QStringLiteral("object"));
}

TEST_F(JsonTest, ErrorWithoutMembers) {
    const CRestError e = CRestError::FromBody("{}");
    EXPECT_EQ(e.statusCode, 0);
    EXPECT_EQ(e.errorCode(), QStringLiteral("null"));
    EXPECT_EQ(e.errorMessage, QStringLiteral("null"));
    EXPECT_EQ(e.errorParameters(), QString());
    EXPECT_EQ(e.resultDetails, QStringLiteral("null"));
}

struct StatusCase {
    const char* json;
    qint32 status;
};

class ErrorStatusTest : public JsonTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ErrorStatusTest, ReadsStatusCodeFromItsText) {
    const CRestError e =
        CRestError::FromBody(QByteArray("{\"statusCode\":") + GetParam().json + "}");
    EXPECT_EQ(e.statusCode, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Values, ErrorStatusTest,
                         ::testing::Values(StatusCase{"404", 404}, StatusCase{"\"404\"", 404},
                                           StatusCase{"\" 409 Conflict\"", 409},
                                           StatusCase{"404.7", 404}, StatusCase{"-1", -1},
                                           StatusCase{"\"abc\"", 0}, StatusCase{"null", 0},
                                           StatusCase{"true", 0}, StatusCase{"1e20", 1},
                                           StatusCase{"99999999999", kIntMax}));

struct ParametersCase {
    const char* json;  // "errorParameters" member, or nullptr for none
    QString text;
};

class ErrorParametersTest : public JsonTest,
                            public ::testing::WithParamInterface<ParametersCase> {};

TEST_P(ErrorParametersTest, JoinsElementsEachFollowedByAComma) {
    QByteArray body = "{\"statusCode\":400";
    if (GetParam().json)
        body += QByteArray(",\"errorParameters\":") + GetParam().json;
    body += "}";
    EXPECT_EQ(CRestError::FromBody(body).errorParameters(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ErrorParametersTest,
    ::testing::Values(ParametersCase{"[\"a\",\"b\"]", QStringLiteral("a,b,")},
                      ParametersCase{"[\"a\"]", QStringLiteral("a,")},
                      ParametersCase{"[]", QString()}, ParametersCase{nullptr, QString()},
                      ParametersCase{"[\"\"]", QStringLiteral(",")},
                      ParametersCase{"[\"a,b\",\"c\"]", QStringLiteral("a,b,c,")},
                      ParametersCase{"[\"日本\",\"語\"]", QStringLiteral("日本,語,")},
                      // Not an array: nothing.
                      ParametersCase{"\"a\"", QString()},
                      ParametersCase{"{\"0\":\"a\"}", QString()}, ParametersCase{"null", QString()},
                      // Other kinds of elements give their text form.
                      ParametersCase{"[1,true,null,1e20,[],{}]",
                                     QStringLiteral("1,true,null,1e+20,array,object,")}));

TEST_F(JsonTest, ErrorReaderFailsLikeParse) {
    for (const char* body : {"", "[]", "\"x\"", "{\"statusCode\":"}) {
        SCOPED_TRACE(body);
        EXPECT_THROW(CRestError::FromBody(body), JsonParseError);
    }
    const QStringList events = LoggedEvents();
    ASSERT_EQ(events.size(), 4);
    EXPECT_EQ(events[0], ErrorEvent("syntax error at line 1 near: "));
    EXPECT_EQ(events[1], ErrorEvent(""));
    EXPECT_EQ(events[2], ErrorEvent(""));
}

TEST_F(JsonTest, ErrorReaderRaisesTheConversionFailure) {
    for (const char* body :
         {"{\"errorCode\":\"\xff\"}", "{\"errorMessage\":\"a\xc3\"}",
          "{\"resultDetails\":\"\x80\"}", "{\"errorParameters\":[\"ok\",\"\xfe\"]}"}) {
        SCOPED_TRACE(body);
        EXPECT_THROW(CRestError::FromBody(body), CTorval2Exception);
    }
    // Invalid text in members that are not read is no failure.
    EXPECT_EQ(CRestError::FromBody("{\"statusCode\":1,\"other\":\"\xff\"}").statusCode, 1);
    EXPECT_TRUE(LoggedEvents().isEmpty());
}

}  // namespace
