#include "ErrorReply.h"

#include <httplib.h>
#include <picojson.h>

std::string MakeErrorBody(int status, const std::string& code, const std::string& message,
                          const std::vector<std::string>& parameters) {
    picojson::array params;
    for (const auto& p : parameters)
        params.emplace_back(p);
    picojson::object body;
    body["statusCode"] = picojson::value(static_cast<double>(status));
    body["errorCode"] = picojson::value(code);
    body["errorMessage"] = picojson::value(message);
    body["errorParameters"] = picojson::value(params);
    body["resultDetails"] = picojson::value(std::string());
    return picojson::value(body).serialize();
}

void SetErrorReply(httplib::Response& res, int status, const std::string& code,
                   const std::string& message, const std::vector<std::string>& parameters) {
    res.status = status;
    res.set_content(MakeErrorBody(status, code, message, parameters), "application/json");
}
