#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

class EmulatorProcess;

struct HttpsReply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
};

struct MultipartField {
    std::string name;
    std::string data;            // used unless generatedSize is set
    uint64_t generatedSize = 0;  // this many bytes of PatternByte(offset), made on the fly
    std::string filename;
    std::string contentType;
};

// The byte at an offset of a generated upload, so the receiver's copy can be checked.
inline char PatternByte(uint64_t offset) {
    return static_cast<char>((offset * 2654435761u) >> 13);
}

// A libcurl handle that trusts the emulator's certificate through CURLOPT_CAINFO, with
// peer and host verification on, and keeps its connection between requests.
class HttpsClient {
public:
    explicit HttpsClient(const EmulatorProcess& emulator);
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    void setCredentials(const std::string& user, const std::string& password, long authMask);

    HttpsReply get(const std::string& path, const std::vector<std::string>& headers = {}) {
        return perform(path, headers, nullptr, nullptr, false);
    }
    HttpsReply del(const std::string& path, const std::vector<std::string>& headers = {}) {
        return perform(path, headers, nullptr, nullptr, true);
    }
    HttpsReply post(const std::string& path, const std::string& body,
                    const std::vector<std::string>& headers = {}) {
        return perform(path, headers, &body, nullptr, false);
    }
    HttpsReply postMultipart(const std::string& path, const std::vector<MultipartField>& fields,
                             const std::vector<std::string>& headers = {});

private:
    HttpsReply perform(const std::string& path, const std::vector<std::string>& headers,
                       const std::string* body, curl_mime* mime, bool isDelete);

    CURL* curl_;
    std::string base_;
    std::string caFile_;
    std::string user_;
    std::string password_;
    long authMask_ = 0;
};
