#pragma once

// File-system steps on native (byte) paths. Names on Linux are bytes and
// need not be valid UTF-8; going through QString would lose such names, so
// walks, copies and removals stay on QByteArray paths.

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace NativeFs {

QByteArray Join(const QByteArray& dir, const QByteArray& name);
QByteArray ParentOf(const QByteArray& path);

// Entry names of dir other than "." and "..", in byte order so every walk
// is repeatable. False when the folder cannot be read.
bool ListNames(const QByteArray& dir, std::vector<QByteArray>& names);

bool IsDirectory(const QByteArray& path);

// mkdir -p; true when path is a folder afterwards.
bool MakePath(const QByteArray& path);

// path with its links, "." and ".." resolved, for comparing where paths
// lead: the longest existing leading part is resolved by the system and the
// rest, which does not exist yet, is cleaned by its text. Empty for a
// relative path.
QByteArray ResolvedPath(const QByteArray& path);

// True when path is folder or lies below it (both resolved paths).
bool LiesIn(const QByteArray& path, const QByteArray& folder);

// Which file a path names, whatever the spelling: equal identities are the
// same file or folder.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool valid = false;
    bool sameAs(const FileIdentity& other) const {
        return valid && other.valid && device == other.device && inode == other.inode;
    }
};

enum class Kind { Missing, Folder, File, Link, Other };

struct Status {
    Kind kind = Kind::Missing;
    quint64 size = 0;
    qint64 mtime = 0;  // seconds since 1970
    FileIdentity identity;
};

// What path is; a link is followed when followLinks, else reported as Link.
Status StatusOf(const QByteArray& path, bool followLinks);
FileIdentity IdentityOf(const QByteArray& path);  // follows links

// Birth time where the file system keeps one, else the last status change;
// a link is not followed.
std::optional<qint64> BirthTime(const QByteArray& path);

// True when dir is the top of a mounted volume: its parent lies on another
// device, or it is its own parent ("/").
bool IsMountPoint(const QByteArray& dir);

// Each false on failure with the system's error number in *error.
bool Rename(const QByteArray& from, const QByteArray& to, int* error = nullptr);
bool RemoveFile(const QByteArray& path, int* error = nullptr);
bool RemoveFolder(const QByteArray& path);  // an empty one only

// Removes path and, for a folder, everything below it. Symbolic links are
// removed, never followed.
bool RemoveTree(const QByteArray& path);

// A new folder from pattern, whose name ends in "XXXXXX"; empty on failure.
QByteArray MakeTemporaryFolder(const QByteArray& pattern);

// Flushes a file's (or, with folder, a folder's entries') data to disk.
bool SyncPath(const QByteArray& path, bool folder);

// Copies the regular file src (a link to one is followed) to dst, replacing
// what is there: the data goes to a new file beside dst, is checked against
// the source's size and synced, and is renamed over dst, so dst is never
// seen half-written. The copy is a new file (its own birth time) with the
// source's permission bits and modification time. False, with nothing left
// behind, when any step fails.
bool CopyFile(const QByteArray& src, const QByteArray& dst);

// Copies src to dst and deletes src only after the copy is complete.
bool MoveFile(const QByteArray& src, const QByteArray& dst);

// Renames from over to; across file systems, copies beside to first and
// then replaces to in one step, and removes from.
bool MoveReplacing(const QByteArray& from, const QByteArray& to);

// The entries of one open folder, read once each, for walks that must be
// fast and must not follow a folder swapped for a link while they run.
class DirectoryReader {
public:
    struct Entry {
        const char* name = nullptr;  // valid until the next call of next()
        size_t nameLength = 0;
        // A link to a regular file is reported as File, with its target's
        // size and time; every other link as Other.
        Kind kind = Kind::Other;
        quint64 size = 0;
        qint64 mtime = 0;
    };

    explicit DirectoryReader(const QByteArray& path);
    ~DirectoryReader();
    DirectoryReader(DirectoryReader&& other) noexcept;
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;
    DirectoryReader& operator=(DirectoryReader&&) = delete;

    bool isOpen() const { return dir_ != nullptr; }
    // The next entry other than "." and ".."; entries gone since the folder
    // was read are passed over. False at the end.
    bool next(Entry& entry);
    // The sub-folder name of this folder; not open when it is no folder
    // (any more), a link included.
    DirectoryReader openFolder(const char* name) const;

private:
    explicit DirectoryReader(int fd);
    void* dir_ = nullptr;  // DIR*
    int fd_ = -1;
};

}  // namespace NativeFs
