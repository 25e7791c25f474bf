#include "HttpsClient.h"

#include "EmulatorProcess.h"

#include <algorithm>
#include <memory>

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

}  // namespace

HttpsClient::HttpsClient(const EmulatorProcess& emulator)
    : curl_(curl_easy_init()),
      base_(emulator.baseUrl()),
      caFile_(emulator.certificate().string()) {}

HttpsClient::~HttpsClient() {
    curl_easy_cleanup(curl_);
}

void HttpsClient::setCredentials(const std::string& user, const std::string& password,
                                 long authMask) {
    user_ = user;
    password_ = password;
    authMask_ = authMask;
}

HttpsReply HttpsClient::postMultipart(const std::string& path,
                                      const std::vector<MultipartField>& fields,
                                      const std::vector<std::string>& headers) {
    curl_mime* mime = curl_mime_init(curl_);
    std::vector<std::unique_ptr<Generated>> generated;  // read while the request runs
    for (const auto& f : fields) {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, f.name.c_str());
        if (f.generatedSize > 0) {
            generated.push_back(std::make_unique<Generated>(Generated{f.generatedSize}));
            curl_mime_data_cb(part, static_cast<curl_off_t>(f.generatedSize), ReadGenerated,
                              SeekGenerated, nullptr, generated.back().get());
        } else {
            curl_mime_data(part, f.data.data(), f.data.size());
        }
        if (!f.filename.empty())
            curl_mime_filename(part, f.filename.c_str());
        if (!f.contentType.empty())
            curl_mime_type(part, f.contentType.c_str());
    }
    HttpsReply reply = perform(path, headers, nullptr, mime, false);
    curl_mime_free(mime);
    return reply;
}

HttpsReply HttpsClient::perform(const std::string& path, const std::vector<std::string>& headers,
                                const std::string* body, curl_mime* mime, bool isDelete) {
    HttpsReply reply;
    curl_easy_reset(curl_);
    const std::string url = base_ + path;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
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
    if (isDelete)
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "DELETE");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.headers);
    reply.code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    return reply;
}
