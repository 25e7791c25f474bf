#include "CLogWriter.h"
#include "CRestError.h"
#include "CRestJsonParser.h"
#include "CTorval2Exception.h"
#include "Fields.h"
#include "TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

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

TEST_F(JsonTest, ParseFailureLogsOneErrorEventAndThrows) {
    // The first rows parsed but are no object: nothing between the brackets.
    const struct {
        QByteArray body;
        QString errorText;
    } cases[] = {{"[]", ""},
                 {"\"x\"", ""},
                 {"42", ""},
                 {"true", ""},
                 {"null", ""},
                 {"[{}]", ""},
                 {"", "syntax error at line 1 near: "},
                 {" \r\n\t", "syntax error at line 2 near: "},
                 {"<html><body>502</body></html>",
                  "syntax error at line 1 near: <html><body>502</body></html>"},
                 {"{\"a\":", "syntax error at line 1 near: "},
                 {"{\"a\":1", "syntax error at line 1 near: "},
                 // The near text runs to the end of the line and skips control bytes.
                 {"{\"a\":1,\n\"b\":x}\ny", "syntax error at line 2 near: x}"},
                 {"{\x01}", "syntax error at line 1 near: }"},
                 {"{\"a\":1,}", "syntax error at line 1 near: }"},
                 {"{'a':1}", "syntax error at line 1 near: 'a':1}"},
                 {Bytes("{\"a\":\"b\0c\"}"), "syntax error at line 1 near: c\"}"},
                 {"{\"a\":\"\\udc00\"}", "syntax error at line 1 near: \"}"},
                 {"{\"a\":NaN}", "syntax error at line 1 near: NaN}"},
                 // strtod would take these; picojson must not.
                 {"{\"a\":0x10}", "syntax error at line 1 near: x10}"},
                 {"{\"a\":-}", "syntax error at line 1 near: }"},
                 {"{\"a\":1e999}", "number out of range"},
                 {"{\"a\":-1e400}", "number out of range"},
                 {Repeat("[", 100000), "nesting deeper than 512 levels"},
                 {Repeat("{\"a\":", 100000), "nesting deeper than 512 levels"},
                 {"{\"a\":" + Repeat("[", 100000) + Repeat("]", 100000) + "}",
                  "nesting deeper than 512 levels"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.left(40).toStdString());
        const TempDataHome rowHome;  // a log of this row's own
        const QStringList events = ParseFailure(c.body);
        ASSERT_EQ(events.size(), 1);
        EXPECT_EQ(events[0], ErrorEvent(c.errorText));
    }
}

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
    // Bytes behind the object are ignored.
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

TEST_F(JsonTest, FieldTextGivesPicojsonTextForm) {
    const struct {
        const char* json;  // the member's value
        std::string text;
    } cases[] = {{"null", "null"},
                 {"true", "true"},
                 {"false", "false"},
                 {"7", "7"},
                 {"-7", "-7"},
                 {"7.0", "7"},
                 {"-0", "-0"},
                 {"3.5", "3.5"},
                 {"0.1", "0.10000000000000001"},
                 {"1e20", "1e+20"},
                 {"5e9", "5000000000"},
                 // Below 2^53 integral numbers print whole; from 2^53 on "%.17g".
                 {"9007199254740991", "9007199254740991"},
                 {"-9007199254740991", "-9007199254740991"},
                 {"9007199254740993", "9007199254740992"},
                 {"1e17", "1e+17"},
                 {"123456789012345678", "1.2345678901234568e+17"},
                 {"1e-7", "9.9999999999999995e-08"},
                 {"\"\"", ""},
                 {"\"404\"", "404"},
                 {"\"a\\\"b\\\\c\\/\"", "a\"b\\c/"},
                 {"\"\\u65e5\\u672c\"", "日本"},
                 {"\"日本\"", "日本"},
                 {"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"},
                 {"[]", "array"},
                 {"[1,2]", "array"},
                 {"{}", "object"},
                 {"{\"k\":1}", "object"}};
    for (const auto& c : cases) {
        const picojson::object o = Object(QByteArray("{\"k\":") + c.json + "}");
        EXPECT_EQ(CRestJsonParser::FieldText(o, "k"), c.text) << c.json;
    }
}

TEST_F(JsonTest, MissingMembersReadAsNullZeroOrFalse) {
    // Keys match exactly.
    const picojson::object o = Object("{\"K\":true, \"k \":2}");
    EXPECT_EQ(CRestJsonParser::FieldText(o, "k"), "null");
    EXPECT_EQ(CRestJsonParser::FieldWideText(o, "k"), QStringLiteral("null"));
    EXPECT_TRUE(CRestJsonParser::Member(o, "k").is<picojson::null>());
    EXPECT_EQ(Fields(CRestJsonParser::FieldInt(o, "k"), CRestJsonParser::FieldLong(o, "k"),
                     CRestJsonParser::FieldNumber(o, "k"), CRestJsonParser::FieldIntNumber(o, "k"),
                     CRestJsonParser::FieldFlag(o, "k")),
              "0|0|0|0|0");
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

constexpr qint32 kIntMax = std::numeric_limits<qint32>::max();
constexpr qint32 kIntMin = std::numeric_limits<qint32>::min();

TEST_F(JsonTest, FieldNumbersReadTextAndNumberKinds) {
    const struct {
        const char* json;
        qint32 asInt;
        qint64 asLong;
        double number;
        qint32 intNumber;
    } cases[] = {{"404", 404, 404, 404, 404},
                 // Text kinds read the text form; number kinds only numbers.
                 {"\"404\"", 404, 404, 0, 0},
                 {"\" 42x\"", 42, 42, 0, 0},
                 {"\"x42\"", 0, 0, 0, 0},
                 {"null", 0, 0, 0, 0},
                 {"true", 0, 0, 0, 0},
                 {"[7]", 0, 0, 0, 0},
                 {"-0", 0, 0, 0, 0},
                 {"3.9", 3, 3, 3.9, 3},
                 {"-3.9", -3, -3, -3.9, -3},
                 {"5000000000", kIntMax, 5000000000, 5e9, kIntMax},
                 {"-5000000000", kIntMin, -5000000000, -5e9, kIntMin},
                 {"2147483647", kIntMax, kIntMax, 2147483647.0, kIntMax},
                 {"-2147483648", kIntMin, kIntMin, -2147483648.0, kIntMin},
                 // "1e+20" reads as 1.
                 {"1e20", 1, 1, 1e20, kIntMax},
                 {"-1e20", -1, -1, -1e20, kIntMin}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const picojson::object o = Object(QByteArray("{\"k\":") + c.json + "}");
        EXPECT_EQ(CRestJsonParser::FieldInt(o, "k"), c.asInt);
        EXPECT_EQ(CRestJsonParser::FieldLong(o, "k"), c.asLong);
        EXPECT_EQ(CRestJsonParser::FieldNumber(o, "k"), c.number);
        EXPECT_EQ(CRestJsonParser::FieldIntNumber(o, "k"), c.intNumber);
    }
}

TEST_F(JsonTest, FieldFlagTakesTheTruthValue) {
    const struct {
        const char* json;
        bool flag;
    } cases[] = {{"null", false},       {"false", false},    {"true", true},   {"0", false},
                 {"-0", false},         {"0.0", false},      {"0e5", false},   {"1", true},
                 {"-1", true},          {"1e-300", true},    {"0.5", true},    {"\"\"", false},
                 {"\"0\"", true},       {"\"false\"", true}, {"\"no\"", true}, {"\"NaN\"", true},
                 {"\"\\u0000\"", true}, {"[]", true},        {"{}", true}};
    for (const auto& c : cases) {
        const picojson::object o = Object(QByteArray("{\"k\":") + c.json + "}");
        EXPECT_EQ(CRestJsonParser::FieldFlag(o, "k"), c.flag) << c.json;
    }
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

TEST_F(JsonTest, ErrorRecordReadsEveryMember) {
    const struct {
        const char* body;
        QString fields;  // statusCode|errorCode|errorMessage|errorParameters|resultDetails
    } cases[] = {
        {"{\"statusCode\":500,\"errorCode\":\"PORTAL_INSUFFICIENT_STORAGE\"}",
         "500|PORTAL_INSUFFICIENT_STORAGE|null||null"},
        {"{\"statusCode\":\"404\",\"errorCode\":\"NOT_FOUND\",\"errorMessage\":\"見つかりません\","
         "\"errorParameters\":[\"x\",\"y\"],\"resultDetails\":{\"a\":1},\"other\":1}",
         "404|NOT_FOUND|見つかりません|x,y,|object"},
        {"{}", "0|null|null||null"},
    };
    for (const auto& c : cases) {
        const CRestError e = CRestError::FromBody(c.body);
        EXPECT_EQ(Fields(e.statusCode, e.errorCode(), e.errorMessage, e.errorParameters(),
                         e.resultDetails),
                  c.fields)
            << c.body;
    }
}

TEST_F(JsonTest, ErrorStatusCodeIsReadFromItsText) {
    const struct {
        const char* json;
        qint32 status;
    } cases[] = {{"404", 404},
                 {"\"404\"", 404},
                 {"\" 409 Conflict\"", 409},
                 {"404.7", 404},
                 {"-1", -1},
                 {"\"abc\"", 0},
                 {"null", 0},
                 {"true", 0},
                 {"1e20", 1},
                 {"99999999999", kIntMax}};
    for (const auto& c : cases) {
        const QByteArray body = QByteArray("{\"statusCode\":") + c.json + "}";
        EXPECT_EQ(CRestError::FromBody(body).statusCode, c.status) << c.json;
    }
}

TEST_F(JsonTest, ErrorParametersJoinEachElementFollowedByAComma) {
    const struct {
        const char* json;  // "errorParameters" member, or nullptr for none
        QString text;
    } cases[] = {{"[\"a\",\"b\"]", "a,b,"},
                 {"[\"a\"]", "a,"},
                 {"[]", ""},
                 {nullptr, ""},
                 {"[\"\"]", ","},
                 {"[\"a,b\",\"c\"]", "a,b,c,"},
                 {"[\"日本\",\"語\"]", "日本,語,"},
                 // Not an array: nothing.
                 {"\"a\"", ""},
                 {"{\"0\":\"a\"}", ""},
                 {"null", ""},
                 // Other kinds of elements give their text form.
                 {"[1,true,null,1e20,[],{}]", "1,true,null,1e+20,array,object,"}};
    for (const auto& c : cases) {
        QByteArray body = "{\"statusCode\":400";
        if (c.json)
            body += QByteArray(",\"errorParameters\":") + c.json;
        EXPECT_EQ(CRestError::FromBody(body + "}").errorParameters(), c.text) << body.constData();
    }
}

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
