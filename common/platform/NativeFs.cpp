#include "NativeFs.h"

#include "FileIo.h"

#include <QFile>
#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace NativeFs {

namespace {

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

Kind KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return Kind::Folder;
    if (S_ISREG(mode))
        return Kind::File;
    if (S_ISLNK(mode))
        return Kind::Link;
    return Kind::Other;
}

bool Fail(int* error) {
    if (error)
        *error = errno;
    return false;
}

}  // namespace

QByteArray Join(const QByteArray& dir, const QByteArray& name) {
    if (dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}

QByteArray ParentOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return slash == 0 ? QByteArray("/") : QByteArray();
    return path.left(slash);
}

bool ListNames(const QByteArray& dir, std::vector<QByteArray>& names) {
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

bool IsDirectory(const QByteArray& path) {
    struct stat st;
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakePath(const QByteArray& path) {
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

QByteArray ResolvedPath(const QByteArray& path) {
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

bool LiesIn(const QByteArray& path, const QByteArray& folder) {
    if (folder.isEmpty() || !path.startsWith(folder))
        return false;
    return path.size() == folder.size() || folder.endsWith('/') || path[folder.size()] == '/';
}

Status StatusOf(const QByteArray& path, bool followLinks) {
    struct stat st;
    if ((followLinks ? stat(path.constData(), &st) : lstat(path.constData(), &st)) != 0)
        return {};
    return {KindOf(st.st_mode),
            st.st_size > 0 ? static_cast<quint64>(st.st_size) : 0,
            st.st_mtim.tv_sec,
            {st.st_dev, st.st_ino, true}};
}

FileIdentity IdentityOf(const QByteArray& path) {
    return StatusOf(path, true).identity;
}

// statx reports the birth time on ext4, xfs, btrfs, tmpfs and others; a
// file this program copied has as its last status change the copy's time
// unless something touched its status since.
std::optional<qint64> BirthTime(const QByteArray& path) {
    struct statx stx;
    if (statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &stx) ==
        0) {
        if (stx.stx_mask & STATX_BTIME)
            return stx.stx_btime.tv_sec;
        if (stx.stx_mask & STATX_CTIME)
            return stx.stx_ctime.tv_sec;
    }
    struct stat st;
    if (lstat(path.constData(), &st) != 0)
        return std::nullopt;
    return st.st_ctim.tv_sec;
}

bool IsMountPoint(const QByteArray& dir) {
    struct stat self, parent;
    if (stat(dir.constData(), &self) != 0 || stat((dir + "/..").constData(), &parent) != 0)
        return false;
    return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

bool Rename(const QByteArray& from, const QByteArray& to, int* error) {
    return rename(from.constData(), to.constData()) == 0 || Fail(error);
}

bool RemoveFile(const QByteArray& path, int* error) {
    return unlink(path.constData()) == 0 || Fail(error);
}

bool RemoveFolder(const QByteArray& path) {
    return rmdir(path.constData()) == 0;
}

bool RemoveTree(const QByteArray& path) {
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

QByteArray MakeTemporaryFolder(const QByteArray& pattern) {
    QByteArray name = pattern;
    return mkdtemp(name.data()) ? name : QByteArray();
}

bool SyncPath(const QByteArray& path, bool folder) {
    const int fd = open(path.constData(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool CopyFile(const QByteArray& src, const QByteArray& dst) {
    // O_NONBLOCK: a FIFO put in the file's place must not hang the copy.
    Fd in(open(src.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
    Fd out(mkostemp(temp.data(), O_CLOEXEC));
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

bool MoveFile(const QByteArray& src, const QByteArray& dst) {
    return CopyFile(src, dst) && unlink(src.constData()) == 0;
}

bool MoveReplacing(const QByteArray& from, const QByteArray& to) {
    if (rename(from.constData(), to.constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    const QString temp = QFile::decodeName(to) + QStringLiteral(".part");
    QFile::remove(temp);
    if (!QFile::copy(QFile::decodeName(from), temp))
        return false;
    if (rename(QFile::encodeName(temp).constData(), to.constData()) != 0) {
        QFile::remove(temp);
        return false;
    }
    return unlink(from.constData()) == 0;
}

// ---- DirectoryReader ----

DirectoryReader::DirectoryReader(const QByteArray& path)
    : DirectoryReader(open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

DirectoryReader::DirectoryReader(int fd) {
    if (fd < 0)
        return;
    dir_ = fdopendir(fd);
    if (dir_)
        fd_ = fd;
    else
        close(fd);
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept
    : dir_(other.dir_), fd_(other.fd_) {
    other.dir_ = nullptr;
    other.fd_ = -1;
}

DirectoryReader::~DirectoryReader() {
    if (dir_)
        closedir(static_cast<DIR*>(dir_));
}

bool DirectoryReader::next(Entry& entry) {
    if (!dir_)
        return false;
    while (const dirent* e = readdir(static_cast<DIR*>(dir_))) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        struct stat st;
        if (fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since the folder was read
        Kind kind = KindOf(st.st_mode);
        if (kind == Kind::Link) {
            struct stat target;
            if (fstatat(fd_, name, &target, 0) == 0 && S_ISREG(target.st_mode)) {
                st = target;
                kind = Kind::File;
            } else {
                kind = Kind::Other;
            }
        }
        entry.name = name;
        entry.nameLength = std::strlen(name);
        entry.kind = kind;
        entry.size = st.st_size > 0 ? static_cast<quint64>(st.st_size) : 0;
        entry.mtime = st.st_mtim.tv_sec;
        return true;
    }
    return false;
}

DirectoryReader DirectoryReader::openFolder(const char* name) const {
    // O_NOFOLLOW: a folder swapped for a link since it was read is not entered.
    return DirectoryReader(dir_ ? openat(fd_, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                : -1);
}

}  // namespace NativeFs
