#include "StorageEmulator.h"
#include "StorageEmulatorCall.h"

#include "ErrorReply.h"
#include "HeaderCapture.h"

#include <httplib.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <picojson.h>
#include <sys/socket.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using namespace emulator_detail;

namespace {

// Form and control bodies are small; anything beyond this is counted, not kept.
constexpr size_t kMaxKeptBody = 1024 * 1024;

// Authentication done in the 100-continue hook is handed to the request handler, which
// runs next on the same thread for the same request, so a Digest nonce count is checked
// only once.
thread_local const httplib::Request* tlsCheckedRequest = nullptr;
thread_local AuthOutcome tlsCheckedOutcome;
thread_local HeaderList tlsCheckedHeaders;
thread_local bool tlsCheckedOrdered = false;
thread_local std::string tlsCheckedLine;  // method and target, against a reused address

struct CaptureResumer {
    ~CaptureResumer() { HeaderCapture::resume(); }
};

std::vector<std::string> Decode(std::vector<std::string>::const_iterator begin,
                                std::vector<std::string>::const_iterator end) {
    std::vector<std::string> out;
    for (auto it = begin; it != end; ++it)
        out.push_back(httplib::detail::decode_url(*it, false));
    return out;
}

void DropConnection(const httplib::Request& req) {
    if (req.ssl != nullptr)
        ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
}

}  // namespace

StorageEmulator::StorageEmulator(const EmulatorOptions& options, const AccountStore& accounts,
                                 const std::string& certificatePath, const std::string& keyPath)
    : options_(options),
      accounts_(accounts),
      authenticator_(options.authMode, options.authPaths, accounts),
      server_(std::make_unique<httplib::SSLServer>(certificatePath.c_str(), keyPath.c_str())) {}

StorageEmulator::~StorageEmulator() = default;

bool StorageEmulator::bind(std::string& error) {
    if (!server_->is_valid()) {
        error = "cannot load the certificate or key";
        return false;
    }
    if (!repository_.open(options_.dataFolder, error))
        return false;
    const std::string journalPath = (fs::path(options_.dataFolder) / "journal.jsonl").string();
    if (!journal_.open(journalPath)) {
        error = "cannot write " + journalPath;
        return false;
    }

    auto& svr = *server_;
    const int threads = options_.threads;
    // Each keep-alive connection holds a worker; stalled replies hold one too.
    svr.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Without it small requests wait for delayed ACKs (about 22 requests a second).
    svr.set_tcp_nodelay(true);
    svr.set_keep_alive_max_count(1000000);
    svr.set_keep_alive_timeout(5);
    svr.set_read_timeout(60);
    svr.set_write_timeout(60);
    svr.set_expect_100_continue_handler(
        [this](const httplib::Request& req, httplib::Response& res) {
            return expectContinue(req, res);
        });
    const std::string any = "[\\s\\S]*";
    svr.Get(any, [this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res, nullptr);
    });
    auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { handle(req, res, &reader); };
    svr.Post(any, withBody);
    svr.Put(any, withBody);
    svr.Patch(any, withBody);
    svr.Delete(any, withBody);
    svr.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            SetErrorReply(res, 500, "INTERNAL_SERVER_ERROR", what);
        });

    if (options_.port == 0) {
        port_ = svr.bind_to_any_port(options_.address);
    } else {
        port_ = svr.bind_to_port(options_.address, options_.port) ? options_.port : -1;
    }
    if (port_ <= 0) {
        error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port);
        return false;
    }
    return true;
}

bool StorageEmulator::run() {
    bool served = server_->listen_after_bind();
    runReturned_ = true;
    return served;
}

void StorageEmulator::stop() {
    stopSignal_.stop();
    // The library ignores stop() until its accept loop runs; a signal that arrives right
    // after start-up must still end it.
    while (!server_->is_running() && !runReturned_)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server_->stop();
}

int StorageEmulator::expectContinue(const httplib::Request& req, httplib::Response& res) {
    if (StartsWith(req.path, kControlPrefix))
        return 100;
    bool ordered = false;
    HeaderList headers = HeaderCapture::take(req, ordered);
    AuthOutcome outcome = authenticator_.check(req, headers);
    // Only a request without credentials is refused before its body: clients skip the body
    // of such a probe, while after a refused password some send it anyway, and that body
    // must then be read as a body, not as the next request.
    if (outcome.account != nullptr || outcome.failure != "missing") {
        tlsCheckedRequest = &req;
        tlsCheckedOutcome = outcome;
        tlsCheckedHeaders = std::move(headers);
        tlsCheckedOrdered = ordered;
        tlsCheckedLine = req.method + " " + req.target;
        return 100;
    }
    // Refused before the body is sent, so a large upload is not transferred twice. The
    // connection ends after this reply, so a body sent regardless is never parsed.
    HeaderCapture::endConnectionAfterReply();
    JournalEntry entry;
    entry.headers = std::move(headers);
    entry.headersOrdered = ordered;
    entry.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
    entry.method = req.method;
    entry.target = req.target;
    entry.path = req.path;
    entry.auth = outcome.scheme;
    entry.authFailure = outcome.failure;
    entry.status = 401;
    authenticator_.challenge(req, res, outcome);
    res.set_header("Connection", "close");
    journal_.write(entry);
    return 401;
}

void StorageEmulator::handle(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader* reader) {
    Call call{req, res, reader, {}, nullptr, reader == nullptr, {}};
    const bool checked =
        tlsCheckedRequest == &req && tlsCheckedLine == req.method + " " + req.target;
    tlsCheckedRequest = nullptr;
    if (checked) {
        call.entry.headers = std::move(tlsCheckedHeaders);
        call.entry.headersOrdered = tlsCheckedOrdered;
    } else {
        call.entry.headers = HeaderCapture::take(req, call.entry.headersOrdered);
    }
    HeaderCapture::pause();
    CaptureResumer resumer;

    auto& e = call.entry;
    e.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
    e.method = req.method;
    e.target = req.target;
    e.path = req.path;
    if (auto q = req.target.find('?'); q != std::string::npos)
        e.query = req.target.substr(q + 1);
    for (const auto& [k, v] : req.params)
        e.params.emplace_back(k, v);
    if (reader == nullptr)
        e.bodySize = req.body.size();

    if (StartsWith(req.path, kControlPrefix)) {
        control(call);
        return;
    }

    // A plain download server beside the service: no authentication, faults still apply.
    if (!options_.filesFolder.empty() && StartsWith(req.path, kFilesPrefix)) {
        if (auto fault = faults_.match(req.method, req.path); fault && delayOrAnswer(call, *fault))
            return;
        serveFile(call);
        journal_.write(e);
        return;
    }

    const AuthOutcome outcome =
        checked ? tlsCheckedOutcome : authenticator_.check(req, call.entry.headers);
    e.auth = outcome.scheme;
    e.authFailure = outcome.failure;
    if (outcome.account == nullptr) {
        consumeBody(call, nullptr);
        authenticator_.challenge(req, res, outcome);
        e.status = 401;
        journal_.write(e);
        return;
    }
    call.account = outcome.account;
    e.user = outcome.account->login;

    if (auto fault = faults_.match(req.method, req.path)) {
        if (fault->kind == FaultKind::Delay && fault->afterBody) {
            // A server still working on a request whose body it has received.
            e.fault = fault->id;
            route(call);
            stopSignal_.waitFor(std::chrono::milliseconds(fault->delayMs));
            journal_.write(e);
            return;
        }
        if (delayOrAnswer(call, *fault))
            return;
    }
    route(call);
    journal_.write(e);
}

bool StorageEmulator::delayOrAnswer(Call& call, const FaultAction& fault) {
    if (fault.delayMs > 0)
        stopSignal_.waitFor(std::chrono::milliseconds(fault.delayMs));
    if (fault.kind == FaultKind::Delay)
        return false;
    call.entry.fault = fault.id;
    if (applyFault(call, fault))
        journal_.write(call.entry);
    return true;
}

bool StorageEmulator::applyFault(Call& call, const FaultAction& fault) {
    consumeBody(call, nullptr);
    auto& res = call.res;
    switch (fault.kind) {
        case FaultKind::Delay:
        case FaultKind::Respond:
            res.status = fault.status;
            for (const auto& [k, v] : fault.headers)
                res.set_header(k, v);
            if (fault.status != 204 && fault.status != 304)
                res.set_content(fault.body, fault.contentType);
            call.entry.status = fault.status;
            return true;
        case FaultKind::Drop:
            call.entry.status = 0;
            journal_.write(call.entry);
            DropConnection(call.req);
            return false;
        case FaultKind::Stall:
            call.entry.status = 0;
            journal_.write(call.entry);
            stopSignal_.waitFor(std::chrono::milliseconds(fault.stallMs));
            DropConnection(call.req);
            return false;
        case FaultKind::Truncate: {
            std::string body =
                fault.body.empty() ? MakeErrorBody(fault.status, "TRUNCATED", "") : fault.body;
            res.status = fault.status;
            const size_t half = body.size() / 2;
            res.set_content_provider(body.size(), fault.contentType,
                                     [body, half](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset < half)
                                             sink.write(body.data() + offset, half - offset);
                                         return offset <
                                                half;  // false closes the connection mid-body
                                     });
            call.entry.status = fault.status;
            return true;
        }
    }
    return true;
}

bool StorageEmulator::consumeBody(Call& call, std::string* keep) {
    if (call.bodyConsumed)
        return true;
    call.bodyConsumed = true;
    auto& e = call.entry;
    const auto& req = call.req;
    uint64_t received = 0;
    bool ok = true;
    if (req.is_multipart_form_data()) {
        ok = (*call.reader)(
            [&](const httplib::MultipartFormData& part) {
                e.parts.push_back({part.name, part.filename, part.content_type, 0});
                return true;
            },
            [&](const char*, size_t n) {
                received += n;
                if (!e.parts.empty())
                    e.parts.back().size += n;
                return true;
            });
    } else {
        std::string body;
        ok = (*call.reader)([&](const char* data, size_t n) {
            received += n;
            if (body.size() + n <= kMaxKeptBody)
                body.append(data, n);
            return true;
        });
        if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) ==
                0 &&
            received == body.size()) {
            // The multimap sorts by key; keep the body's order instead.
            for (const auto& field : SplitNonEmpty(body, '&')) {
                auto eq = field.find('=');
                e.form.emplace_back(httplib::detail::decode_url(field.substr(0, eq), true),
                                    eq == std::string::npos
                                        ? std::string()
                                        : httplib::detail::decode_url(field.substr(eq + 1), true));
            }
        }
        if (keep != nullptr)
            *keep = std::move(body);
    }
    e.bodySize = req.has_header("Content-Length") ? req.get_header_value<uint64_t>("Content-Length")
                                                  : received;
    return ok;
}

void StorageEmulator::replyJson(Call& call, int status, const std::string& body) {
    call.res.status = status;
    call.res.set_content(body, kJsonType);
    call.entry.status = status;
}

void StorageEmulator::replyError(Call& call, int status, const std::string& code,
                                 const std::string& message,
                                 const std::vector<std::string>& parameters) {
    replyJson(call, status, MakeErrorBody(status, code, message, parameters));
}

void StorageEmulator::replyRepoError(Call& call, RepoStatus status, const std::string& path) {
    switch (status) {
        case RepoStatus::Ok:
            break;
        case RepoStatus::NotFound:
            replyError(call, 404, "ITEM_NOT_FOUND", "指定されたアイテムが見つかりません。", {path});
            break;
        case RepoStatus::Exists:
            replyError(call, 409, "ITEM_ALREADY_EXISTS", "同じ名前のアイテムが既に存在します。",
                       {path});
            break;
        case RepoStatus::Invalid:
            replyError(call, 400, "INVALID_PATH", "パスが正しくありません。", {path});
            break;
        case RepoStatus::Denied:
            replyError(call, 403, "ACCESS_DENIED", "アクセス権限がありません。", {path});
            break;
        case RepoStatus::NotAFolder:
            replyError(call, 400, "NOT_A_FOLDER", "フォルダではありません。", {path});
            break;
        case RepoStatus::IoError:
            replyError(call, 500, "INTERNAL_SERVER_ERROR", "保存に失敗しました。", {path});
            break;
    }
}

void StorageEmulator::route(Call& call) {
    const auto& req = call.req;
    const std::string rawPath = req.target.substr(0, req.target.find('?'));
    const std::string& method = req.method;

    if (rawPath == "/client-tool/pragma.cgi" && method == "GET") {
        replyJson(call, 200, R"({"retransmission":false,"files":[]})");
        return;
    }
    if (rawPath == "/client-tool/result_log.php" && method == "GET") {
        replyJson(call, 200, R"({"result":"OK"})");
        return;
    }
    // The client joins "/api/v1/" and paths that start with "/", giving "/api/v1//...".
    if (!StartsWith(rawPath, std::string(kBasePath) + "/")) {
        consumeBody(call, nullptr);
        replyError(call, 404, "NOT_FOUND", "Not Found", {req.path});
        return;
    }
    const auto s = SplitNonEmpty(rawPath.substr(std::string(kBasePath).size()), '/');
    auto is = [&](std::initializer_list<const char*> prefix) {
        if (s.size() < prefix.size())
            return false;
        size_t i = 0;
        for (const char* p : prefix)
            if (s[i++] != p)
                return false;
        return true;
    };
    const bool entity = !s.empty() && s.back() == ":entity";
    const bool itemsSuffix = !s.empty() && s.back() == ":items";

    if (method == "GET") {
        if (s.size() == 1 && s[0] == "currentPortal")
            return getPortal(call);
        if (s.size() == 1 && s[0] == "currentUser")
            return getUser(call);
        if (s.size() == 3 && s[0] == "portal")
            return getPortalRecord(call, s[1], s[2]);
        if (is({"repository", "0", "folder", "path"}))
            return getFolder(call, Decode(s.begin() + 4, s.end() - (itemsSuffix ? 1 : 0)),
                             itemsSuffix);
        if (is({"repository", "0", "file", "path"}) && s.size() > 4)
            return getFile(call, Decode(s.begin() + 4, s.end() - (entity ? 1 : 0)), entity);
    } else if (method == "POST") {
        if (s.size() == 5 && is({"experimental", "repository", "0", "folder", "path"}))
            return createFolder(call);
        if (is({"experimental", "repository", "0", "file", "path"}) && entity && s.size() > 6)
            return uploadFile(call, Decode(s.begin() + 5, s.end() - 1));
        if (s.size() == 1 && s[0] == "share")
            return createShare(call);
    } else if (method == "DELETE") {
        if (is({"repository", "0", "folder", "path"}))
            return deleteItem(call, Decode(s.begin() + 4, s.end()), true);
        if (is({"repository", "0", "file", "path"}))
            return deleteItem(call, Decode(s.begin() + 4, s.end()), false);
    }
    consumeBody(call, nullptr);
    replyError(call, 404, "NOT_FOUND", "Not Found", {req.path});
}
