#include "HeaderCapture.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <dlfcn.h>

namespace {

constexpr size_t kMaxKept = 256 * 1024;
constexpr size_t kKeepAfterTrim = 64 * 1024;

thread_local std::string tlsRecent;
thread_local bool tlsCapturing = true;
thread_local bool tlsEndAtNextRead = false;

using SslReadFn = int (*)(SSL*, void*, int);

SslReadFn RealSslRead() {
    static const SslReadFn real = reinterpret_cast<SslReadFn>(dlsym(RTLD_NEXT, "SSL_read"));
    return real;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool IsLibraryHeader(const std::string& name) {
    // Added by the library itself, never sent by the client.
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

}  // namespace

// Interposes the library's calls; the executable exports this symbol (see CMakeLists.txt).
extern "C" int SSL_read(SSL* ssl, void* buf, int num) {
    if (tlsEndAtNextRead) {
        tlsEndAtNextRead = false;
        return 0;
    }
    int n = RealSslRead()(ssl, buf, num);
    if (n > 0 && tlsCapturing) {
        tlsRecent.append(static_cast<const char*>(buf), static_cast<size_t>(n));
        if (tlsRecent.size() > kMaxKept)
            tlsRecent.erase(0, tlsRecent.size() - kKeepAfterTrim);
    }
    return n;
}

HeaderList HeaderCapture::take(const httplib::Request& req, bool& ordered) {
    HeaderList headers;
    const std::string requestLine = req.method + " " + req.target + " ";
    size_t pos = tlsRecent.rfind(requestLine);
    while (pos != std::string::npos && pos != 0 && tlsRecent[pos - 1] != '\n')
        pos = pos == 0 ? std::string::npos : tlsRecent.rfind(requestLine, pos - 1);
    size_t end = pos == std::string::npos ? pos : tlsRecent.find("\n\r\n", pos);
    if (end == std::string::npos && pos != std::string::npos)
        end = tlsRecent.find("\n\n", pos);
    if (pos == std::string::npos || end == std::string::npos) {
        ordered = false;
        for (const auto& [name, value] : req.headers)
            if (!IsLibraryHeader(name))
                headers.emplace_back(name, value);
        return headers;
    }
    ordered = true;
    size_t lineStart = tlsRecent.find('\n', pos) + 1;
    while (lineStart <= end) {
        size_t lineEnd = tlsRecent.find('\n', lineStart);
        std::string line = tlsRecent.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            lineStart = lineEnd + 1;
            break;
        }
        auto colon = line.find(':');
        if (colon != std::string::npos)
            headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
        lineStart = lineEnd + 1;
    }
    tlsRecent.erase(0, lineStart);
    return headers;
}

void HeaderCapture::pause() {
    tlsCapturing = false;
}

void HeaderCapture::resume() {
    tlsCapturing = true;
}

void HeaderCapture::endConnectionAfterReply() {
    tlsEndAtNextRead = true;
}
