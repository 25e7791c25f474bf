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

namespace {

using P = CRestJsonParser;

// The events written so far, oldest first, each as its type label and text.
QStringList LoggedEvents() {
    static const QRegularExpression time(
        QStringLiteral("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\n"));
    QStringList events = CLogWriter().ReadLogText().remove(time).split("\r\n", Qt::SkipEmptyParts);
    std::reverse(events.begin(), events.end());
    return events;
}

QString ErrorEvent(const QString& errorText) {
    return " [異常] 結果の解析に失敗しました（" + errorText + "）";
}

class JsonTest : public ::testing::Test {
protected:
    // Parses body that must be a JSON object.
    picojson::object Object(const QByteArray& body) {
        picojson::value v;
        P().Parse(body, v);
        return v.get<picojson::object>();
    }

    // Runs Parse expecting the parse failure; returns the events logged so far.
    QStringList ParseFailure(const QByteArray& body) {
        picojson::value v;
        try {
            P().Parse(body, v);
            ADD_FAILURE() << "no exception for " << body.left(80).toStdString();
        } catch (const JsonParseError& e) {
            EXPECT_STREQ(e.what(), "failed to parse json.");
        }
        return LoggedEvents();
    }

    TempDataHome home;
};

TEST_F(JsonTest, ParseFailureLogsOneErrorEventAndThrows) {
    // The first row parsed but is no object: nothing between the brackets.
    const struct {
        QByteArray body;
        QString errorText;
    } cases[] = {{"[]", ""},
                 {"", "syntax error at line 1 near: "},
                 {" \r\n\t", "syntax error at line 2 near: "},
                 // The near text runs to the end of the line and skips control bytes.
                 {"{\"a\":1,\n\"b\":x}\ny", "syntax error at line 2 near: x}"},
                 {"{\x01}", "syntax error at line 1 near: }"},
                 {Bytes("{\"a\":\"b\0c\"}"), "syntax error at line 1 near: c\"}"},
                 // strtod would take this; picojson must not.
                 {"{\"a\":0x10}", "syntax error at line 1 near: x10}"},
                 {"{\"a\":1e999}", "number out of range"},
                 {QByteArray("[").repeated(100000), "nesting deeper than 512 levels"},
                 // The byte behind the data would complete the object.
                 {QByteArray::fromRawData("{\"a\":1}", 6), "syntax error at line 1 near: "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.left(40).toStdString());
        const TempDataHome rowHome;  // a log of this row's own
        EXPECT_EQ(ParseFailure(c.body), QStringList{ErrorEvent(c.errorText)});
    }
    // Invalid UTF-8 in the near text still gives the failure event.
    const TempDataHome rowHome;
    const QStringList invalid = ParseFailure("{\"a\":\"\xff\xfe");
    ASSERT_EQ(invalid.size(), 1);
    EXPECT_TRUE(invalid[0].startsWith(ErrorEvent("syntax error").chopped(1)))
        << invalid[0].toStdString();
    // The quoted text is cut at four kilobytes.
    const QStringList cut = ParseFailure("{\"a\": x" + QByteArray(1 << 20, 'y'));
    ASSERT_EQ(cut.size(), 2);
    EXPECT_LT(cut[1].size(), 4096 + 200);
    EXPECT_TRUE(cut[1].endsWith("…）"));
}

TEST_F(JsonTest, ParseReadsObjects) {
    const picojson::object o = Object("{\"a\":1, \"b\":[true,{}], \"a\":\"x\"}");
    // A repeated key keeps the later value.
    EXPECT_EQ(Fields(o.size(), P::FieldWideText(o, "a"), P::FieldWideText(o, "b")), "2|x|array");
    // Exactly the buffer's bytes; bytes behind the object are ignored.
    EXPECT_EQ(Object(QByteArray::fromRawData("{\"a\":1}xx", 7)).size(), 1u);
    EXPECT_EQ(P::FieldText(Object(Bytes("{\"a\":2}\0 trailing ]")), "a"), "2");
    EXPECT_TRUE(LoggedEvents().isEmpty());
}

TEST_F(JsonTest, DepthLimitCountsEveryOpenContainer) {
    const int limit = int(P::kMaxDepth);
    const auto arrays = [](int n) {
        return "{\"a\":" + QByteArray("[").repeated(n) + QByteArray("]").repeated(n) + "}";
    };
    const auto objects = [](int n) {
        return QByteArray("{\"a\":").repeated(n) + "1" + QByteArray("}").repeated(n);
    };
    const QByteArray mixed = QByteArray("{\"a\":[").repeated(limit / 2);
    const QByteArray mixedEnd = QByteArray("]}").repeated(limit / 2);
    // Arrays and objects alike, at the limit and one past it (the top-level object is one).
    EXPECT_EQ(Object(arrays(limit - 1)).size(), 1u);
    EXPECT_EQ(Object(objects(limit)).size(), 1u);
    EXPECT_EQ(Object(mixed + mixedEnd).size(), 1u);
    EXPECT_TRUE(LoggedEvents().isEmpty());
    ParseFailure(arrays(limit));
    ParseFailure(objects(limit + 1));
    EXPECT_EQ(ParseFailure(mixed + "{}" + mixedEnd).size(), 3);

    // Many siblings each close to the limit: only nesting counts, not totals.
    const int inner = limit - 2;
    QByteArray body = "{\"a\":[";
    for (int i = 0; i < 50; ++i)
        body += (i ? "," : "") + QByteArray("[").repeated(inner) + QByteArray("]").repeated(inner);
    body += "], \"b\":" + objects(inner) + "}";
    EXPECT_EQ(P::Member(Object(body), "a").get<picojson::array>().size(), 50u);
}

// Every reading of one member: text|int|long|number|intNumber|flag.
TEST_F(JsonTest, MemberReadings) {
    const char* kMax = "2147483647";
    const char* kMin = "-2147483648";
    const struct {
        const char* json;  // the member's value, or nullptr for no member
        QString readings;
    } cases[] = {
        {nullptr, "null|0|0|0|0|0"},  // keys match exactly
        {"true", "true|0|0|0|0|1"},
        {"false", "false|0|0|0|0|0"},
        {"7", "7|7|7|7|7|1"},
        {"-0", "-0|0|0|0|0|0"},
        {"-3.9", "-3.8999999999999999|-3|-3|-3.9|-3|1"},
        {"1e-7", "9.9999999999999995e-08|9|9|1e-07|0|1"},
        // "1e+20" reads as 1 as text, and is clamped as a number.
        {"1e20", QString("1e+20|1|1|1e+20|") + kMax + "|1"},
        {"5e9", QString("5000000000|") + kMax + "|5000000000|5e+09|" + kMax + "|1"},
        {"-5000000000", QString("-5000000000|") + kMin + "|-5000000000|-5e+09|" + kMin + "|1"},
        {kMax, QString(kMax) + "|" + kMax + "|" + kMax + "|" + kMax + "|" + kMax + "|1"},
        {kMin, QString(kMin) + "|" + kMin + "|" + kMin + "|" + kMin + "|" + kMin + "|1"},
        // Below 2^53 integral numbers print whole; from 2^53 on "%.17g".
        {"9007199254740991",
         QString("9007199254740991|") + kMax + "|9007199254740991|9007199254740991|" + kMax + "|1"},
        {"123456789012345678",
         QString("1.2345678901234568e+17|1|1|123456789012345680|") + kMax + "|1"},
        // Text kinds read the text form; number kinds only numbers.
        {"\"\"", "|0|0|0|0|0"},
        {"\" 42x\"", " 42x|42|42|0|0|1"},
        {"\"0\"", "0|0|0|0|0|1"},
        {"\"\\u0000\"", QChar(0) + QString("|0|0|0|0|1")},
        {"\"日本\"", "日本|0|0|0|0|1"},
        {"\"\\ud83d\\ude00\"", "😀|0|0|0|0|1"},
        {"[]", "array|0|0|0|0|1"},
    };
    for (const auto& c : cases) {
        const picojson::object o =
            Object(c.json ? QByteArray("{\"k\":") + c.json + "}" : "{\"K\":true, \"k \":2}");
        EXPECT_EQ(Fields(QString::fromStdString(P::FieldText(o, "k")), P::FieldInt(o, "k"),
                         P::FieldLong(o, "k"), P::FieldNumber(o, "k"), P::FieldIntNumber(o, "k"),
                         P::FieldFlag(o, "k")),
                  c.readings)
            << (c.json ? c.json : "none");
    }
    EXPECT_TRUE(P::Member(Object("{}"), "k").is<picojson::null>());
}

TEST_F(JsonTest, WideTextConvertsUtf8StrictlyAndSubObjectsAreObjectsOnly) {
    const picojson::object o = Object(
        "{\"ja\":\"ディスク\", \"nul\":\"ab\\u0000cd\", \"num\":1e20, \"bad\":\"\xff\","
        " \"overlong\":\"\xc0\xaf\", \"cut\":\"\xe6\x97\", \"surrogate\":\"\xed\xa0\x80\","
        " \"arr\":[{\"a\":1}], \"str\":\"{}\", \"obj\":{\"a\":1}}");
    // Like every conversion of wire text, it ends at a NUL.
    EXPECT_EQ(Fields(P::FieldWideText(o, "ja"), P::FieldWideText(o, "nul"),
                     P::FieldWideText(o, "num"), P::FieldWideText(o, "missing")),
              "ディスク|ab|1e+20|null");
    for (const char* key : {"bad", "overlong", "cut", "surrogate"}) {
        EXPECT_THROW(P::FieldWideText(o, key), CTorval2Exception) << key;
        EXPECT_FALSE(P::FieldText(o, key).empty()) << "the byte text stays available";
    }
    for (const char* key : {"num", "arr", "str", "missing"})
        EXPECT_TRUE(P::SubObject(o, key).empty()) << key;
    EXPECT_EQ(P::FieldText(P::SubObject(o, "obj"), "a"), "1");
}

TEST_F(JsonTest, ErrorRecordReadsEveryMember) {
    const struct {
        const char* members;
        QString fields;  // statusCode|errorCode|errorMessage|errorParameters|resultDetails
    } cases[] = {
        {"\"statusCode\":\"404\",\"errorCode\":\"NOT_FOUND\",\"errorMessage\":\"見つかりません\","
         "\"errorParameters\":[\"x\",\"y\"],\"resultDetails\":{\"a\":1},\"other\":\"\xff\"",
         "404|NOT_FOUND|見つかりません|x,y,|object"},
        {"", "0|null|null||null"},
        // Each parameter followed by a comma; anything but an array gives nothing.
        {"\"errorParameters\":[\"\"]", "0|null|null|,|null"},
        {"\"errorParameters\":\"a\"", "0|null|null||null"},
        {"\"errorParameters\":[1,true,null,1e20,[],{}]",
         "0|null|null|1,true,null,1e+20,array,object,|null"},
    };
    for (const auto& c : cases) {
        const CRestError e = CRestError::FromBody(QByteArray("{") + c.members + "}");
        EXPECT_EQ(Fields(e.statusCode, e.errorCode(), e.errorMessage, e.errorParameters(),
                         e.resultDetails),
                  c.fields)
            << c.members;
    }
    EXPECT_TRUE(LoggedEvents().isEmpty());
}

// Parse failures: as every reader, see the records test.
TEST_F(JsonTest, ErrorReaderFailsOnInvalidText) {
    for (const char* body :
         {"{\"errorCode\":\"\xff\"}", "{\"errorMessage\":\"a\xc3\"}",
          "{\"resultDetails\":\"\x80\"}", "{\"errorParameters\":[\"ok\",\"\xfe\"]}"}) {
        EXPECT_THROW(CRestError::FromBody(body), CTorval2Exception) << body;
    }
    EXPECT_TRUE(LoggedEvents().isEmpty());
}

}  // namespace
