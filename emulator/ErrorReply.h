#pragma once

#include <string>
#include <vector>

namespace httplib {
struct Response;
}

// The service's error body: statusCode, errorCode, errorMessage, errorParameters,
// resultDetails.
std::string MakeErrorBody(int status, const std::string& code, const std::string& message,
                          const std::vector<std::string>& parameters = {});
// Sets status and an error body of content type application/json.
void SetErrorReply(httplib::Response& res, int status, const std::string& code,
                   const std::string& message, const std::vector<std::string>& parameters = {});
