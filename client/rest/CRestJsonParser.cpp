#include "CRestJsonParser.h"

#include <algorithm>

#include "TextCodec.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace {

struct DepthBudget {
    std::size_t left;
    bool exceeded = false;
};

// picojson's default context with a depth limit that also counts objects
// (its own only counts arrays) and that says when the limit was the reason.
class BoundedParseContext {
public:
    BoundedParseContext(picojson::value* out, DepthBudget* budget) : out_(out), budget_(budget) {}
    BoundedParseContext(const BoundedParseContext&) = delete;
    BoundedParseContext& operator=(const BoundedParseContext&) = delete;

    bool set_null() {
        *out_ = picojson::value();
        return true;
    }
    bool set_bool(bool b) {
        *out_ = picojson::value(b);
        return true;
    }
    bool set_number(double f) {
        *out_ = picojson::value(f);
        return true;
    }
    template <typename Iter>
    bool parse_string(picojson::input<Iter>& in) {
        *out_ = picojson::value(picojson::string_type, false);
        return picojson::_parse_string(out_->get<std::string>(), in);
    }
    bool parse_array_start() {
        if (!enter())
            return false;
        *out_ = picojson::value(picojson::array_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
        picojson::array& a = out_->get<picojson::array>();
        a.push_back(picojson::value());
        BoundedParseContext item(&a.back(), budget_);
        return picojson::_parse(item, in);
    }
    bool parse_array_stop(std::size_t) {
        ++budget_->left;
        return true;
    }
    bool parse_object_start() {
        if (!enter())
            return false;
        *out_ = picojson::value(picojson::object_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
        picojson::object& o = out_->get<picojson::object>();
        BoundedParseContext member(&o[key], budget_);
        return picojson::_parse(member, in);
    }
    bool parse_object_stop() {
        ++budget_->left;
        return true;
    }

private:
    bool enter() {
        if (budget_->left == 0) {
            budget_->exceeded = true;
            return false;
        }
        --budget_->left;
        return true;
    }

    picojson::value* out_;
    DepthBudget* budget_;
};

const picojson::value& NullValue() {
    static const picojson::value null;
    return null;
}

const picojson::object& EmptyObject() {
    static const picojson::object empty;
    return empty;
}

}  // namespace

CRestJsonParser::CRestJsonParser(CLogWriter logger) : logger_(std::move(logger)) {}

void CRestJsonParser::Parse(const QByteArray& body, picojson::value& out) {
    const char* const first = body.constData();
    const char* const last = first + body.size();
    DepthBudget budget{kMaxDepth};
    BoundedParseContext context(&out, &budget);
    std::string error;
    try {
        picojson::_parse(context, first, last, &error);
    } catch (const std::overflow_error&) {
        // picojson refuses numbers beyond the double range (1e999) by
        // throwing instead of reporting a syntax error.
        error = "number out of range";
    }
    if (budget.exceeded) {
        char text[64];
        std::snprintf(text, sizeof text, "nesting deeper than %zu levels", kMaxDepth);
        error = text;
    }
    if (!error.empty())
        Fail(error);
    if (!out.is<picojson::object>())
        Fail(std::string());
}

void CRestJsonParser::Fail(const std::string& errorText) {
    // Lenient on purpose: the error text quotes arbitrary reply bytes, and a
    // conversion failure here would replace the parse failure callers expect.
    // The text quotes the rest of the reply; a reply of megabytes must not
    // become an event of megabytes.
    constexpr std::size_t kMaxQuoted = 4096;
    const std::size_t quoted = std::min(errorText.size(), kMaxQuoted);
    QString text = QString::fromUtf8(errorText.data(), qsizetype(quoted));
    if (quoted < errorText.size())
        text += QStringLiteral("…");
    logger_.Log(CLogWriter::LogError,
                QStringLiteral("結果の解析に失敗しました（") + text + QStringLiteral("）"));
    throw JsonParseError();
}

const picojson::value& CRestJsonParser::Member(const picojson::object& object,
                                               const std::string& key) {
    const auto it = object.find(key);
    return it == object.end() ? NullValue() : it->second;
}

const picojson::object& CRestJsonParser::SubObject(const picojson::object& object,
                                                   const std::string& key) {
    const picojson::value& v = Member(object, key);
    return v.is<picojson::object>() ? v.get<picojson::object>() : EmptyObject();
}

std::string CRestJsonParser::FieldText(const picojson::object& object, const std::string& key) {
    return Member(object, key).to_str();
}

QString CRestJsonParser::WideText(const picojson::value& v) {
    if (v.is<std::string>()) {
        // Strings can be the bulk of a large reply: convert without a copy.
        const std::string& s = v.get<std::string>();
        return Utf8ToWide(QByteArray::fromRawData(s.data(), qsizetype(s.size())));
    }
    return Utf8ToWide(QByteArray::fromStdString(v.to_str()));
}

QString CRestJsonParser::FieldWideText(const picojson::object& object, const std::string& key) {
    return WideText(Member(object, key));
}

qint32 CRestJsonParser::FieldInt(const picojson::object& object, const std::string& key) {
    return TextToInt(QByteArray::fromStdString(FieldText(object, key)));
}

qint64 CRestJsonParser::FieldLong(const picojson::object& object, const std::string& key) {
    return TextToLong(QByteArray::fromStdString(FieldText(object, key)));
}

bool CRestJsonParser::FieldFlag(const picojson::object& object, const std::string& key) {
    return Member(object, key).evaluate_as_boolean();
}

double CRestJsonParser::FieldNumber(const picojson::object& object, const std::string& key) {
    const picojson::value& v = Member(object, key);
    return v.is<double>() ? v.get<double>() : 0.0;
}

qint32 CRestJsonParser::FieldIntNumber(const picojson::object& object, const std::string& key) {
    const double d = std::trunc(FieldNumber(object, key));
    // Converting an out-of-range double is undefined; clamp instead.
    if (std::isnan(d))
        return 0;
    if (d >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (d <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(d);
}
