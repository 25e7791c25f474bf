#pragma once

#include "AccountStore.h"

#include <picojson.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A repository path split into decoded names; empty for the root folder "/".
using RepoPath = std::vector<std::string>;

struct Permissions {
    bool canCreate = true;
    bool canRead = true;
    bool canUpdate = true;
    bool canDelete = true;
    bool canAdminister = true;
};

enum class RepoStatus { Ok, NotFound, Exists, Invalid, Denied, NotAFolder, IoError };

// The service's repository 0 as a plain folder tree below <data>/repository, so that tests
// compare what arrived with what was sent. Names starting with "." are hidden items.
class Repository {
public:
    bool open(const std::filesystem::path& dataFolder, std::string& error);

    static std::string text(const RepoPath& path);
    // Checks the names of a path: none empty, ".", ".." or holding "/" or NUL.
    static bool valid(const RepoPath& path);
    static bool hidden(const RepoPath& path);

    // The item record, or NotFound (also for hidden items unless includeHidden).
    RepoStatus item(const RepoPath& path, const Account& account, bool includeHidden,
                    picojson::object& out);
    RepoStatus items(const RepoPath& folder, const Account& account, bool includeHidden,
                     picojson::array& out);
    RepoStatus createFolder(const RepoPath& parent, const std::string& name);
    RepoStatus remove(const RepoPath& path, bool folder);
    // The file on disk behind a file item, for downloads.
    RepoStatus fileOnDisk(const RepoPath& path, std::filesystem::path& out);

    // Uploads are written to a temporary file and renamed into place when complete, so a
    // broken transfer leaves nothing half-written in the tree.
    RepoStatus beginUpload(const RepoPath& file, std::filesystem::path& temporary);
    RepoStatus commitUpload(const std::filesystem::path& temporary, const RepoPath& file);
    void abortUpload(const std::filesystem::path& temporary);

    void setPermissions(const std::string& path, const Permissions& permissions);
    void clearPermissions();
    uint64_t usedSize();

private:
    std::filesystem::path onDisk(const RepoPath& path) const;
    Permissions permissionsOf(const std::string& path);
    picojson::object record(const RepoPath& path, const std::filesystem::path& disk,
                            const Account& account);

    std::filesystem::path root_;
    std::filesystem::path temporaryFolder_;
    std::mutex mutex_;
    std::map<std::string, Permissions> permissions_;
    std::atomic<uint64_t> uploadCounter_{0};
};
