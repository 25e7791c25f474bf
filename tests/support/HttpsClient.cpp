#include "HttpsClient.h"

#include "EmulatorProcess.h"

#include <algorithm>
#include <cstring>

namespace {

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct Generated {
    uint64_t size;
    uint64_t offset = 0;
};

size_t ReadGenerated(char* buffer, size_t size, size_t count, void* arg) {
    auto* g = static_cast<Generated*>(arg);
    size_t n = static_cast<size_t>(std::min<uint64_t>(size * count, g->size - g->offset));
    for (size_t i = 0; i < n; ++i)
        buffer[i] = PatternByte(g->offset + i);
    g->offset += n;
    return n;
}

int SeekGenerated(void* arg, curl_off_t offset, int origin) {
    auto* g = static_cast<Generated*>(arg);
    if (origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    g->offset = static_cast<uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

void FreeGenerated(void* arg) {
    delete static_cast<Generated*>(arg);
}

}  // namespace

HttpsClient::HttpsClient(const EmulatorProcess& emulator)
    : curl_(curl_easy_init()),
      base_(emulator.baseUrl()),
      caFile_(emulator.certificate().string()) {}

HttpsClient::~HttpsClient() {
    curl_easy_cleanup(curl_);
    curl_slist_free_all(resolve_);
}

void HttpsClient::setCredentials(const std::string& user, const std::string& password,
                                 long authMask) {
    user_ = user;
    password_ = password;
    authMask_ = authMask;
}

void HttpsClient::useHostName(const std::string& host) {
    const std::string port = base_.substr(base_.rfind(':') + 1);
    curl_slist_free_all(resolve_);
    resolve_ = curl_slist_append(nullptr, (host + ":" + port + ":127.0.0.1").c_str());
    base_ = "https://" + host + ":" + port;
}

HttpsReply HttpsClient::get(const std::string& path, const std::vector<std::string>& headers) {
    return perform("GET", path, headers, nullptr, nullptr);
}

HttpsReply HttpsClient::del(const std::string& path, const std::vector<std::string>& headers) {
    return perform("DELETE", path, headers, nullptr, nullptr);
}

HttpsReply HttpsClient::post(const std::string& path, const std::string& body,
                             const std::vector<std::string>& headers) {
    return perform("POST", path, headers, &body, nullptr);
}

HttpsReply HttpsClient::postMultipart(const std::string& path,
                                      const std::vector<MultipartField>& fields,
                                      const std::vector<std::string>& headers) {
    curl_mime* mime = curl_mime_init(curl_);
    for (const auto& f : fields) {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, f.name.c_str());
        if (!f.filePath.empty()) {
            curl_mime_filedata(part, f.filePath.c_str());
        } else if (f.generatedSize > 0) {
            curl_mime_data_cb(part, static_cast<curl_off_t>(f.generatedSize), ReadGenerated,
                              SeekGenerated, FreeGenerated, new Generated{f.generatedSize});
        } else {
            curl_mime_data(part, f.data.data(), f.data.size());
        }
        if (!f.filename.empty())
            curl_mime_filename(part, f.filename.c_str());
        if (!f.contentType.empty())
            curl_mime_type(part, f.contentType.c_str());
    }
    HttpsReply reply = perform("POST", path, headers, nullptr, mime);
    curl_mime_free(mime);
    return reply;
}

HttpsReply HttpsClient::perform(const std::string& method, const std::string& path,
                                const std::vector<std::string>& headers, const std::string* body,
                                curl_mime* mime) {
    HttpsReply reply;
    curl_easy_reset(curl_);
    const std::string url = base_ + path;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl_, CURLOPT_EXPECT_100_TIMEOUT_MS, expectTimeoutMs_);
    if (resolve_ != nullptr)
        curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve_);
    if (authMask_ != 0) {
        curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, authMask_);
        curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
        curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
    }
    curl_slist* list = nullptr;
    for (const auto& h : headers)
        list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
    if (body != nullptr) {
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    if (mime != nullptr)
        curl_easy_setopt(curl_, CURLOPT_MIMEPOST, mime);
    if (method == "DELETE")
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "DELETE");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.headers);
    reply.code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl_, CURLINFO_TOTAL_TIME, &reply.seconds);
    curl_slist_free_all(list);
    return reply;
}
