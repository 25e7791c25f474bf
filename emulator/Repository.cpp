#include "Repository.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace fs = std::filesystem;

namespace {

picojson::value Num(double v) {
    return picojson::value(v);
}
picojson::value Str(const std::string& s) {
    return picojson::value(s);
}

// The service sends local times with their offset, e.g. 2024-02-08T10:00:00.000+09:00.
std::string TimeText(const struct timespec& ts) {
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    char base[32];
    std::strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &tm);
    long offset = tm.tm_gmtoff / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%s.%03ld%c%02ld:%02ld", base, ts.tv_nsec / 1000000,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

// Item ids must stay stable while the item exists; the inode number does that.
double ItemId(const struct stat& st) {
    return static_cast<double>(st.st_ino & 0x7fffffff);
}

}  // namespace

bool Repository::open(const fs::path& dataFolder, std::string& error) {
    root_ = dataFolder / "repository";
    temporaryFolder_ = dataFolder / "tmp";
    std::error_code ec;
    fs::create_directories(root_ / "Velmora" / ".settings", ec);
    fs::create_directories(root_ / "Velmora" / ".guest", ec);
    fs::create_directories(temporaryFolder_, ec);
    if (ec) {
        error = "cannot create the repository in " + dataFolder.string() + ": " + ec.message();
        return false;
    }
    const fs::path shareConfig = root_ / "Velmora" / ".settings" / "share-config.ini";
    if (!fs::exists(shareConfig)) {
        std::ofstream out(shareConfig, std::ios::binary);
        out << "password=0\nemail=0\nsuppress-file-share=0\n";
    }
    return true;
}

std::string Repository::text(const RepoPath& path) {
    std::string out;
    for (const auto& name : path)
        out += "/" + name;
    return out.empty() ? "/" : out;
}

bool Repository::valid(const RepoPath& path) {
    for (const auto& name : path)
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos)
            return false;
    return true;
}

bool Repository::hidden(const RepoPath& path) {
    for (const auto& name : path)
        if (!name.empty() && name.front() == '.')
            return true;
    return false;
}

fs::path Repository::onDisk(const RepoPath& path) const {
    fs::path p = root_;
    for (const auto& name : path)
        p /= name;
    return p;
}

Permissions Repository::permissionsOf(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = permissions_.find(path);
    return it == permissions_.end() ? Permissions{} : it->second;
}

picojson::object Repository::record(const RepoPath& path, const fs::path& disk,
                                    const Account& account) {
    struct stat st {};
    ::stat(disk.c_str(), &st);
    struct stat parentStat {};
    RepoPath parent = path;
    if (!parent.empty())
        parent.pop_back();
    if (!path.empty())
        ::stat(onDisk(parent).c_str(), &parentStat);
    const bool folder = S_ISDIR(st.st_mode);
    const std::string pathText = text(path);
    const Permissions perms = permissionsOf(pathText);

    picojson::object o;
    o["portalId"] = Num(account.portalId);
    o["itemType"] = Str(folder ? "folder" : "file");
    o["itemId"] = Num(ItemId(st));
    o["repositoryId"] = Num(0);
    o["path"] = Str(pathText);
    o["parentFolderId"] = Num(path.empty() ? 0 : ItemId(parentStat));
    o["parentFolderPath"] = Str(path.empty() ? std::string() : text(parent));
    o["name"] = Str(path.empty() ? std::string() : path.back());
    o["notification"] = picojson::value(false);
    o["creatorUserId"] = Num(account.userId);
    o["creatorUserFamilyName"] = Str("検証");
    o["creatorUserFirstName"] = Str(account.userCode);
    o["createdTime"] = Str(TimeText(st.st_ctim));
    o["modifierUserId"] = Num(account.userId);
    o["modifierUserFamilyName"] = Str("検証");
    o["modifierUserFirstName"] = Str(account.userCode);
    o["modifiedTime"] = Str(TimeText(st.st_mtim));
    o["hidden"] = picojson::value(!path.empty() && path.back().front() == '.');
    picojson::object access;
    if (folder)
        access["canCreate"] = picojson::value(perms.canCreate);
    access["canRead"] = picojson::value(perms.canRead);
    access["canUpdate"] = picojson::value(perms.canUpdate);
    access["canDelete"] = picojson::value(perms.canDelete);
    access["canAdminister"] = picojson::value(perms.canAdminister);
    o["accessPermission"] = picojson::value(access);
    if (folder) {
        int folders = 0;
        int files = 0;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(disk, ec))
            (entry.is_directory() ? folders : files)++;
        o["autoRevision"] = picojson::value(false);
        o["childFolderCount"] = Num(folders);
        o["childFileCount"] = Num(files);
    } else {
        o["fileSize"] = Num(static_cast<double>(st.st_size));
        o["revisionControlled"] = picojson::value(false);
        o["latestRevisionNumber"] = Num(1);
        o["revisionRetentionLimitType"] = Str("NONE");
        o["revisionRetentionSize"] = Num(0);
        o["revisionRetentionDuration"] = Num(0);
        o["locked"] = picojson::value(false);
        o["lockerUserId"] = Num(0);
        o["lockerUserFamilyName"] = picojson::value();
        o["lockerUserFirstName"] = picojson::value();
    }
    return o;
}

RepoStatus Repository::item(const RepoPath& path, const Account& account, bool includeHidden,
                            picojson::object& out) {
    if (!valid(path))
        return RepoStatus::Invalid;
    const fs::path disk = onDisk(path);
    std::error_code ec;
    if ((hidden(path) && !includeHidden) || !fs::exists(disk, ec))
        return RepoStatus::NotFound;
    if (!permissionsOf(text(path)).canRead)
        return RepoStatus::Denied;
    out = record(path, disk, account);
    return RepoStatus::Ok;
}

RepoStatus Repository::items(const RepoPath& folder, const Account& account, bool includeHidden,
                             picojson::array& out) {
    if (!valid(folder))
        return RepoStatus::Invalid;
    const fs::path disk = onDisk(folder);
    std::error_code ec;
    if ((hidden(folder) && !includeHidden) || !fs::exists(disk, ec))
        return RepoStatus::NotFound;
    if (!fs::is_directory(disk, ec))
        return RepoStatus::NotAFolder;
    if (!permissionsOf(text(folder)).canRead)
        return RepoStatus::Denied;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(disk, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        if (!includeHidden && name.front() == '.')
            continue;
        RepoPath child = folder;
        child.push_back(name);
        out.emplace_back(record(child, disk / name, account));
    }
    return RepoStatus::Ok;
}

RepoStatus Repository::createFolder(const RepoPath& parent, const std::string& name) {
    RepoPath path = parent;
    path.push_back(name);
    if (!valid(path))
        return RepoStatus::Invalid;
    const fs::path parentDisk = onDisk(parent);
    std::error_code ec;
    if (!fs::exists(parentDisk, ec))
        return RepoStatus::NotFound;
    if (!fs::is_directory(parentDisk, ec))
        return RepoStatus::NotAFolder;
    if (!permissionsOf(text(parent)).canCreate)
        return RepoStatus::Denied;
    std::lock_guard lock(mutex_);
    if (fs::exists(onDisk(path), ec))
        return RepoStatus::Exists;
    return fs::create_directory(onDisk(path), ec) ? RepoStatus::Ok : RepoStatus::IoError;
}

RepoStatus Repository::remove(const RepoPath& path, bool folder) {
    if (!valid(path) || path.empty())
        return RepoStatus::Invalid;
    const fs::path disk = onDisk(path);
    std::error_code ec;
    if (!fs::exists(disk, ec) || fs::is_directory(disk, ec) != folder)
        return RepoStatus::NotFound;
    if (!permissionsOf(text(path)).canDelete)
        return RepoStatus::Denied;
    std::lock_guard lock(mutex_);
    fs::remove_all(disk, ec);
    return ec ? RepoStatus::IoError : RepoStatus::Ok;
}

RepoStatus Repository::fileOnDisk(const RepoPath& path, fs::path& out) {
    if (!valid(path))
        return RepoStatus::Invalid;
    out = onDisk(path);
    std::error_code ec;
    if (!fs::is_regular_file(out, ec))
        return RepoStatus::NotFound;
    return permissionsOf(text(path)).canRead ? RepoStatus::Ok : RepoStatus::Denied;
}

RepoStatus Repository::beginUpload(const RepoPath& file, fs::path& temporary) {
    if (!valid(file) || file.empty())
        return RepoStatus::Invalid;
    RepoPath parent(file.begin(), file.end() - 1);
    std::error_code ec;
    if (!fs::exists(onDisk(parent), ec))
        return RepoStatus::NotFound;
    if (!fs::is_directory(onDisk(parent), ec))
        return RepoStatus::NotAFolder;
    if (fs::is_directory(onDisk(file), ec))
        return RepoStatus::Exists;
    if (!permissionsOf(text(parent)).canCreate)
        return RepoStatus::Denied;
    temporary = temporaryFolder_ /
                ("upload-" + std::to_string(getpid()) + "-" + std::to_string(++uploadCounter_));
    return RepoStatus::Ok;
}

RepoStatus Repository::commitUpload(const fs::path& temporary, const RepoPath& file) {
    RepoPath parent(file.begin(), file.end() - 1);
    std::lock_guard lock(mutex_);
    std::error_code ec;
    // The folder may have gone while the body arrived.
    if (!fs::is_directory(onDisk(parent), ec) || fs::is_directory(onDisk(file), ec)) {
        fs::remove(temporary, ec);
        return RepoStatus::NotFound;
    }
    fs::rename(temporary, onDisk(file), ec);
    return ec ? RepoStatus::IoError : RepoStatus::Ok;
}

void Repository::abortUpload(const fs::path& temporary) {
    std::error_code ec;
    fs::remove(temporary, ec);
}

void Repository::setPermissions(const std::string& path, const Permissions& permissions) {
    std::lock_guard lock(mutex_);
    permissions_[path] = permissions;
}

void Repository::clearPermissions() {
    std::lock_guard lock(mutex_);
    permissions_.clear();
}

uint64_t Repository::usedSize() {
    uint64_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec))
            total += it->file_size(ec);
    return total;
}
