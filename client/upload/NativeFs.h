#pragma once

// File-system steps of the upload engine on native (byte) paths. Names on
// Linux are bytes and need not be valid UTF-8; going through QString would
// lose such names, so walks, copies and removals stay on QByteArray paths.

#include "FileIo.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace NativeFs {

inline QByteArray Join(const QByteArray& dir, const QByteArray& name) {
    if (dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}

inline QByteArray ParentOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return slash == 0 ? QByteArray("/") : QByteArray();
    return path.left(slash);
}

// Entry names of dir other than "." and "..", in byte order so every walk
// is repeatable. False when the folder cannot be read.
inline bool ListNames(const QByteArray& dir, std::vector<QByteArray>& names) {
    names.clear();
    DIR* d = opendir(dir.constData());
    if (!d)
        return false;
    errno = 0;
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
        errno = 0;
    }
    const bool ok = errno == 0;
    closedir(d);
    std::sort(names.begin(), names.end());
    return ok;
}

inline bool IsDirectory(const QByteArray& path) {
    struct stat st;
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; true when path is a folder afterwards.
inline bool MakePath(const QByteArray& path) {
    if (path.isEmpty())
        return false;
    if (IsDirectory(path))
        return true;
    const QByteArray parent = ParentOf(path);
    if (!parent.isEmpty() && parent != path && !MakePath(parent))
        return false;
    if (mkdir(path.constData(), 0777) == 0 || errno == EEXIST)
        return IsDirectory(path);
    return false;
}

// path with its links, "." and ".." resolved, for comparing where paths
// lead: the longest existing leading part is resolved by the system and the
// rest, which does not exist yet, is cleaned by its text. Empty for a
// relative path.
inline QByteArray ResolvedPath(const QByteArray& path) {
    if (!path.startsWith('/'))
        return QByteArray();
    QByteArray existing = path;
    QList<QByteArray> missing;
    for (;;) {
        if (char* real = realpath(existing.constData(), nullptr)) {
            QByteArray out(real);
            free(real);
            for (auto it = missing.crbegin(); it != missing.crend(); ++it) {
                if (*it == "..")
                    out = ParentOf(out);
                else if (!it->isEmpty() && *it != ".")
                    out = Join(out, *it);
            }
            return out;
        }
        const qsizetype slash = existing.lastIndexOf('/');
        missing.append(existing.mid(slash + 1));
        existing = slash == 0 ? QByteArray("/") : existing.left(slash);
    }
}

// True when path is folder or lies below it (both resolved paths).
inline bool LiesIn(const QByteArray& path, const QByteArray& folder) {
    if (folder.isEmpty() || !path.startsWith(folder))
        return false;
    return path.size() == folder.size() || folder.endsWith('/') || path[folder.size()] == '/';
}

// Removes path and, for a folder, everything below it. Symbolic links are
// removed, never followed.
inline bool RemoveTree(const QByteArray& path) {
    struct stat st;
    if (lstat(path.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.constData()) == 0;
    std::vector<QByteArray> names;
    bool ok = ListNames(path, names);
    for (const QByteArray& name : names)
        ok = RemoveTree(Join(path, name)) && ok;
    return rmdir(path.constData()) == 0 && ok;
}

namespace detail {
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace detail

// Copies the regular file src (a link to one is followed) to dst, replacing
// what is there: the data goes to a new file beside dst, is checked against
// the source's size and synced, and is renamed over dst, so dst is never
// seen half-written. The copy is a new file (its own birth time) with the
// source's permission bits and modification time. False, with nothing left
// behind, when any step fails.
inline bool CopyFile(const QByteArray& src, const QByteArray& dst) {
    // O_NONBLOCK: a FIFO put in the file's place must not hang the copy.
    detail::Fd in(open(src.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // A target that is the source itself (the same path written another way,
    // a link to it): the rename would "succeed" and a move would then delete
    // the only copy.
    struct stat target;
    if (stat(dst.constData(), &target) == 0 && target.st_dev == st.st_dev &&
        target.st_ino == st.st_ino)
        return false;
    fcntl(in.fd, F_SETFL, fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);

    QByteArray temp = Join(ParentOf(dst), ".tv2copy-XXXXXX");
    detail::Fd out(mkostemp(temp.data(), O_CLOEXEC));
    if (out.fd < 0)
        return false;
    bool ok = true;
    off_t copied = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = FileIo::ReadSome(in.fd, buffer.data(), buffer.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!FileIo::WriteAll(out.fd, buffer.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
        copied += n;
    }
    struct stat written;
    ok =
        ok && copied == st.st_size && fstat(out.fd, &written) == 0 && written.st_size == st.st_size;
    if (ok) {
        fchmod(out.fd, st.st_mode & 0777);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out.fd, times);
        ok = fsync(out.fd) == 0 && rename(temp.constData(), dst.constData()) == 0;
    }
    if (!ok)
        unlink(temp.constData());
    return ok;
}

// Copies src to dst and deletes src only after the copy is complete.
inline bool MoveFile(const QByteArray& src, const QByteArray& dst) {
    return CopyFile(src, dst) && unlink(src.constData()) == 0;
}

}  // namespace NativeFs
