#include "StorageEmulatorCall.h"

#include <picojson.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace emulator_detail;

namespace {
constexpr int kStorageQuota = 2000000000;
}  // namespace

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
