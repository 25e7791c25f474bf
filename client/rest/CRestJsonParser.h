#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <picojson.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "CLogWriter.h"

// A reply body that is not a JSON object. what() is "failed to parse json.".
class JsonParseError : public std::runtime_error {
public:
    JsonParseError() : std::runtime_error("failed to parse json.") {}
};

// Turns reply bodies into JSON objects and reads their members by the rules
// every reply reader shares.
class CRestJsonParser {
public:
    // Containers nested deeper than this are refused before the recursive
    // parser can exhaust the stack; real replies nest a few levels.
    static constexpr std::size_t kMaxDepth = 512;

    CRestJsonParser() = default;
    explicit CRestJsonParser(CLogWriter logger);
    virtual ~CRestJsonParser() = default;

    // Parses exactly body's bytes into out. Returns only when the value is an
    // object; otherwise logs "結果の解析に失敗しました（…）" at error level and
    // throws JsonParseError. Bytes behind a complete value are not examined.
    void Parse(const QByteArray& body, picojson::value& out);

    // The text form of object[key] in UTF-8: "null" for null or a missing
    // key, "true"/"false", "%.f" for integral numbers below 2^53 in magnitude
    // and "%.17g" for other numbers, strings as they are, "array", "object".
    static std::string FieldText(const picojson::object& object, const std::string& key);
    // The text form of value (as FieldText) converted with Utf8ToWide;
    // throws CTorval2Exception on invalid UTF-8.
    static QString WideText(const picojson::value& value);
    // WideText of object[key].
    static QString FieldWideText(const picojson::object& object, const std::string& key);
    // FieldText read as a leading decimal number (TextToInt, TextToLong): 0
    // for missing or non-numeric members.
    static qint32 FieldInt(const picojson::object& object, const std::string& key);
    static qint64 FieldLong(const picojson::object& object, const std::string& key);
    // The truth value: null/missing false, a boolean itself, a number unless
    // it is 0, a string unless it is empty, arrays and objects true.
    static bool FieldFlag(const picojson::object& object, const std::string& key);
    // A number member's value; 0 for anything that is not a number.
    static double FieldNumber(const picojson::object& object, const std::string& key);
    // FieldNumber truncated toward zero, clamped to the 32-bit range.
    static qint32 FieldIntNumber(const picojson::object& object, const std::string& key);

    // object[key], or a null value when the key is missing.
    static const picojson::value& Member(const picojson::object& object, const std::string& key);
    // object[key] when it is an object, otherwise an empty object.
    static const picojson::object& SubObject(const picojson::object& object,
                                             const std::string& key);

private:
    [[noreturn]] void Fail(const std::string& errorText);

    CLogWriter logger_;
};
