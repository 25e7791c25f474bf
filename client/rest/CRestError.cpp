#include "CRestError.h"

#include "CRestJsonParser.h"
#include "TextCodec.h"

#include <string>

CRestError CRestError::FromBody(const QByteArray& body) {
    picojson::value root;
    CRestJsonParser().Parse(body, root);
    const picojson::object& o = root.get<picojson::object>();

    std::string parameters;
    const picojson::value& list = CRestJsonParser::Member(o, "errorParameters");
    if (list.is<picojson::array>()) {
        for (const picojson::value& element : list.get<picojson::array>()) {
            parameters += element.to_str();
            parameters += ',';
        }
    }

    CRestError error;
    error.statusCode = CRestJsonParser::FieldInt(o, "statusCode");
    error.errorCode_ = CRestJsonParser::FieldWideText(o, "errorCode");
    error.errorMessage = CRestJsonParser::FieldWideText(o, "errorMessage");
    error.errorParameters_ = Utf8ToWide(QByteArray::fromStdString(parameters));
    error.resultDetails = CRestJsonParser::FieldWideText(o, "resultDetails");
    return error;
}
