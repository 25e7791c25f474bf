#include "StorageEmulator.h"

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

namespace {

constexpr const char* kBasePath = "/api/v1";
constexpr const char* kControlPrefix = "/_emulator/";
constexpr const char* kFilesPrefix = "/files/";
constexpr const char* kJsonType = "application/json;charset=UTF-8";
// Form and control bodies are small; anything beyond this is counted, not kept.
constexpr size_t kMaxKeptBody = 1024 * 1024;
constexpr int kStorageQuota = 2000000000;

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

std::vector<std::string> SplitNonEmpty(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> Decode(std::vector<std::string>::const_iterator begin,
                                std::vector<std::string>::const_iterator end) {
    std::vector<std::string> out;
    for (auto it = begin; it != end; ++it)
        out.push_back(httplib::detail::decode_url(*it, false));
    return out;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    RAND_bytes(raw.data(), static_cast<int>(bytes));
    std::string out;
    char two[3];
    for (auto b : raw) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      const std::string& key, bool& present) {
    for (const auto& [k, v] : form)
        if (k == key) {
            present = true;
            return v;
        }
    present = false;
    return {};
}

void DropConnection(const httplib::Request& req) {
    if (req.ssl != nullptr)
        ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
}

}  // namespace

struct StorageEmulator::Call {
    const httplib::Request& req;
    httplib::Response& res;
    const httplib::ContentReader* reader;
    JournalEntry entry;
    const Account* account = nullptr;
    bool bodyConsumed = false;
    std::vector<std::string> segments;  // escaped names of the path below the base path
};

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

void StorageEmulator::serveFile(Call& call) {
    consumeBody(call, nullptr);
    const auto names = SplitNonEmpty(call.req.path.substr(std::string(kFilesPrefix).size()), '/');
    fs::path file = options_.filesFolder;
    bool valid = call.req.method == "GET" && !names.empty();
    for (const auto& name : names) {
        valid = valid && name != "." && name != "..";
        file /= name;
    }
    std::ifstream in(file, std::ios::binary);
    if (!valid || !fs::is_regular_file(file) || !in) {
        replyError(call, 404, "NOT_FOUND", "Not Found", {call.req.path});
        return;
    }
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    call.res.status = 200;
    call.res.set_content(body, "application/octet-stream");
    call.entry.status = 200;
}

void StorageEmulator::getPortal(Call& call) {
    const Account& a = *call.account;
    picojson::object o;
    o["portalId"] = picojson::value(static_cast<double>(a.portalId));
    o["portalCode"] = picojson::value(a.portalCode);
    o["name"] = picojson::value(a.portalCode);
    o["storageQuotaSize"] = picojson::value(static_cast<double>(kStorageQuota));
    // The client reads sizes into 32-bit fields.
    uint64_t used = std::min<uint64_t>(repository_.usedSize(), INT_MAX);
    o["storageUsedSize"] = picojson::value(static_cast<double>(used));
    o["locked"] = picojson::value(false);
    replyJson(call, 200, picojson::value(o).serialize());
}

void StorageEmulator::getUser(Call& call) {
    const Account& a = *call.account;
    picojson::object o;
    o["portalId"] = picojson::value(static_cast<double>(a.portalId));
    o["userId"] = picojson::value(static_cast<double>(a.userId));
    o["userType"] = picojson::value(std::string("USER"));
    o["userCode"] = picojson::value(a.userCode);
    o["familyName"] = picojson::value(std::string("検証"));
    o["firstName"] = picojson::value(a.userCode);
    o["familyNameKana"] = picojson::value(std::string("ケンショウ"));
    o["firstNameKana"] = picojson::value(a.userCode);
    o["mailAddress"] = picojson::value(a.userCode + "@" + a.portalCode + ".example");
    o["phone1"] = picojson::value(std::string());
    o["phone2"] = picojson::value(std::string());
    o["phone3"] = picojson::value(std::string());
    o["hidden"] = picojson::value(false);
    o["locked"] = picojson::value(false);
    replyJson(call, 200, picojson::value(o).serialize());
}

void StorageEmulator::getPortalRecord(Call& call, const std::string& portalId,
                                      const std::string& what) {
    if (portalId != std::to_string(call.account->portalId)) {
        replyError(call, 404, "PORTAL_NOT_FOUND", "ポータルが見つかりません。", {portalId});
        return;
    }
    if (what == "options") {
        static const std::pair<const char*, bool> kOptions[] = {
            {"sharedFolder", true}, {"mailUpload", false}, {"auditExtension", false},
            {"document", true},     {"schedule", true},    {"bulletin", true},
            {"chat", false},        {"task", true},        {"mailUploadBody", false},
            {"autoBlock", true}};
        picojson::array list;
        for (const auto& [name, enabled] : kOptions) {
            picojson::object o;
            o["name"] = picojson::value(std::string(name));
            o["enabled"] = picojson::value(enabled);
            list.emplace_back(o);
        }
        picojson::object root;
        root["options"] = picojson::value(list);
        replyJson(call, 200, picojson::value(root).serialize());
    } else if (what == "autoBlock") {
        replyJson(call, 200, R"({"reason":{"blockCount":0,"blocked":false}})");
    } else {
        replyError(call, 404, "NOT_FOUND", "Not Found", {call.req.path});
    }
}

void StorageEmulator::getFolder(Call& call, const std::vector<std::string>& names, bool listItems) {
    const bool hidden = call.req.get_param_value("hidden") == "true";
    const std::string path = Repository::text(names);
    if (listItems) {
        picojson::array items;
        RepoStatus status = repository_.items(names, *call.account, hidden, items);
        if (status != RepoStatus::Ok)
            return replyRepoError(call, status, path);
        picojson::object root;
        root["items"] = picojson::value(items);
        return replyJson(call, 200, picojson::value(root).serialize());
    }
    picojson::object item;
    RepoStatus status = repository_.item(names, *call.account, hidden, item);
    if (status == RepoStatus::Ok && item["itemType"].get<std::string>() != "folder")
        status = RepoStatus::NotAFolder;
    if (status != RepoStatus::Ok)
        return replyRepoError(call, status, path);
    replyJson(call, 200, picojson::value(item).serialize());
}

void StorageEmulator::getFile(Call& call, const std::vector<std::string>& names, bool entity) {
    const bool hidden = call.req.get_param_value("hidden") == "true";
    const std::string path = Repository::text(names);
    if (Repository::hidden(names) && !hidden)
        return replyRepoError(call, RepoStatus::NotFound, path);
    if (!entity) {
        picojson::object item;
        RepoStatus status = repository_.item(names, *call.account, hidden, item);
        if (status == RepoStatus::Ok && item["itemType"].get<std::string>() != "file")
            status = RepoStatus::NotFound;
        if (status != RepoStatus::Ok)
            return replyRepoError(call, status, path);
        return replyJson(call, 200, picojson::value(item).serialize());
    }
    fs::path disk;
    RepoStatus status = repository_.fileOnDisk(names, disk);
    if (status != RepoStatus::Ok)
        return replyRepoError(call, status, path);
    auto file = std::make_shared<std::ifstream>(disk, std::ios::binary);
    std::error_code ec;
    const auto size = static_cast<size_t>(fs::file_size(disk, ec));
    call.res.status = 200;
    call.entry.status = 200;
    // Streamed, so downloads of large files do not grow memory either.
    call.res.set_content_provider(
        size, "application/octet-stream",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[64 * 1024];
            file->seekg(static_cast<std::streamoff>(offset));
            file->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
            if (file->gcount() <= 0)
                return false;
            sink.write(buffer, static_cast<size_t>(file->gcount()));
            return true;
        });
}

void StorageEmulator::createFolder(Call& call) {
    if (!consumeBody(call, nullptr))
        return replyError(call, 400, "INVALID_REQUEST", "本文を受信できませんでした。");
    bool hasName = false;
    bool hasParent = false;
    const std::string name = FormValue(call.entry.form, "name", hasName);
    const std::string parent = FormValue(call.entry.form, "parentFolderPath", hasParent);
    if (!hasName || name.empty() || !hasParent)
        return replyError(call, 400, "INVALID_PARAMETER", "パラメータが正しくありません。",
                          {hasName && !name.empty() ? "parentFolderPath" : "name"});
    const auto parentNames = SplitNonEmpty(parent, '/');
    RepoStatus status = repository_.createFolder(parentNames, name);
    if (status != RepoStatus::Ok) {
        auto names = parentNames;
        names.push_back(name);
        return replyRepoError(call, status, Repository::text(names));
    }
    call.res.status = 204;
    call.entry.status = 204;
}

void StorageEmulator::uploadFile(Call& call, const std::vector<std::string>& names) {
    const std::string path = Repository::text(names);
    fs::path temporary;
    RepoStatus status = repository_.beginUpload(names, temporary);
    if (status == RepoStatus::Ok && !call.req.is_multipart_form_data())
        status = RepoStatus::Invalid;
    if (status != RepoStatus::Ok) {
        consumeBody(call, nullptr);
        return replyRepoError(call, status, path);
    }
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        consumeBody(call, nullptr);
        return replyRepoError(call, RepoStatus::IoError, path);
    }
    static thread_local std::vector<char> fileBuffer(1024 * 1024);
    std::setvbuf(out, fileBuffer.data(), _IOFBF, fileBuffer.size());
    auto& e = call.entry;
    bool inEntity = false;
    int entityParts = 0;
    bool writeFailed = false;
    uint64_t received = 0;
    call.bodyConsumed = true;
    // The entity part goes straight to disk; the content reader hands it over in pieces.
    bool ok = (*call.reader)(
        [&](const httplib::MultipartFormData& part) {
            e.parts.push_back({part.name, part.filename, part.content_type, 0});
            inEntity = part.name == "entity";
            entityParts += inEntity;
            return true;
        },
        [&](const char* data, size_t n) {
            received += n;
            if (!e.parts.empty())
                e.parts.back().size += n;
            if (inEntity && entityParts == 1 && std::fwrite(data, 1, n, out) != n)
                writeFailed = true;
            return true;
        });
    writeFailed = std::fclose(out) != 0 || writeFailed;
    e.bodySize = call.req.has_header("Content-Length")
                     ? call.req.get_header_value<uint64_t>("Content-Length")
                     : received;
    if (!ok || entityParts != 1 || writeFailed) {
        repository_.abortUpload(temporary);
        if (writeFailed)
            return replyRepoError(call, RepoStatus::IoError, path);
        return replyError(call, 400, "INVALID_PARAMETER", "パラメータが正しくありません。",
                          {"entity"});
    }
    status = repository_.commitUpload(temporary, names);
    if (status != RepoStatus::Ok)
        return replyRepoError(call, status, path);
    call.res.status = 204;
    e.status = 204;
}

void StorageEmulator::deleteItem(Call& call, const std::vector<std::string>& names, bool folder) {
    consumeBody(call, nullptr);
    RepoStatus status = repository_.remove(names, folder);
    if (status != RepoStatus::Ok)
        return replyRepoError(call, status, Repository::text(names));
    call.res.status = 204;
    call.entry.status = 204;
}

void StorageEmulator::createShare(Call& call) {
    if (!consumeBody(call, nullptr))
        return replyError(call, 400, "INVALID_REQUEST", "本文を受信できませんでした。");
    picojson::array paths;
    picojson::array mails;
    picojson::object share;
    static const std::regex kExpire(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}[+-]\d{2}:\d{2})");
    for (const auto& [key, value] : call.entry.form) {
        if (key == "path") {
            std::vector<std::string> names = SplitNonEmpty(value, '/');
            fs::path disk;
            if (repository_.fileOnDisk(names, disk) != RepoStatus::Ok)
                return replyError(call, 400, "SHARE_TARGET_NOT_FOUND",
                                  "共有するファイルが見つかりません。", {value});
            paths.emplace_back(value);
        } else if (key == "mailAddress") {
            if (value.find('@') == std::string::npos)
                return replyError(call, 400, "INVALID_MAIL_ADDRESS",
                                  "メールアドレスが正しくありません。", {value});
            mails.emplace_back(value);
        } else if (key == "expire") {
            if (!std::regex_match(value, kExpire))
                return replyError(call, 400, "INVALID_PARAMETER", "有効期限が正しくありません。",
                                  {"expire"});
            share["expire"] = picojson::value(value);
        } else if (key == "accessKey" || key == "text" || key == "sendAccessKey") {
            share[key] = picojson::value(value);
        }
    }
    if (paths.empty())
        return replyError(call, 400, "INVALID_PARAMETER", "パラメータが正しくありません。",
                          {"path"});
    const std::string id = RandomHex(16);
    share["shareId"] = picojson::value(id);
    share["paths"] = picojson::value(paths);
    share["mailAddresses"] = picojson::value(mails);
    {
        std::lock_guard lock(sharesMutex_);
        shares_.push_back(picojson::value(share).serialize());
    }
    picojson::object reply;
    reply["shareId"] = picojson::value(id);
    replyJson(call, 200, picojson::value(reply).serialize());
}

void StorageEmulator::control(Call& call) {
    const auto& req = call.req;
    const std::string what = req.path.substr(std::string(kControlPrefix).size());
    const std::string& method = req.method;
    std::string body;
    if (call.reader != nullptr)
        consumeBody(call, &body);
    else
        body = req.body;
    auto reply = [&](int status, const std::string& text, const char* type = kJsonType) {
        call.res.status = status;
        if (status != 204)
            call.res.set_content(text, type);
    };
    auto bad = [&](const std::string& message) {
        picojson::object o;
        o["error"] = picojson::value(message);
        reply(400, picojson::value(o).serialize());
    };

    if (what == "journal" && method == "GET")
        return reply(200, journal_.contents(), "application/x-ndjson");
    if (what == "journal" && method == "DELETE") {
        journal_.clear();
        return reply(204, "");
    }
    if (what == "faults" && method == "GET")
        return reply(200, faults_.describe());
    if (what == "faults" && method == "DELETE") {
        faults_.clear();
        return reply(204, "");
    }
    if (what == "faults" && method == "POST") {
        std::vector<int> ids;
        std::string error;
        if (!faults_.add(body, ids, error))
            return bad(error);
        picojson::array list;
        for (int id : ids)
            list.emplace_back(static_cast<double>(id));
        picojson::object o;
        o["ids"] = picojson::value(list);
        return reply(200, picojson::value(o).serialize());
    }
    if (what == "permissions" && method == "POST") {
        picojson::value v;
        std::string error = picojson::parse(v, body);
        if (!error.empty() || !v.is<picojson::object>() || !v.get("path").is<std::string>())
            return bad(error.empty() ? "expected {\"path\": ..., \"canCreate\": ...}" : error);
        Permissions p;
        auto flag = [&](const char* key, bool& out) {
            if (v.get(key).is<bool>())
                out = v.get(key).get<bool>();
        };
        flag("canCreate", p.canCreate);
        flag("canRead", p.canRead);
        flag("canUpdate", p.canUpdate);
        flag("canDelete", p.canDelete);
        flag("canAdminister", p.canAdminister);
        repository_.setPermissions(
            Repository::text(SplitNonEmpty(v.get("path").get<std::string>(), '/')), p);
        return reply(204, "");
    }
    if (what == "permissions" && method == "DELETE") {
        repository_.clearPermissions();
        return reply(204, "");
    }
    if (what == "shares" && method == "GET") {
        std::lock_guard lock(sharesMutex_);
        std::string out = "[";
        for (size_t i = 0; i < shares_.size(); ++i)
            out += (i ? "," : "") + shares_[i];
        return reply(200, out + "]");
    }
    reply(404, R"({"error":"unknown control path"})");
}
