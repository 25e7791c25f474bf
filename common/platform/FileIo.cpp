#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace FileIo {

namespace {
// Signals in quick succession can interrupt a call a few times; more than
// this in a row without a byte moved means it will not end.
constexpr int kMaxStalls = 16;
}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
    int stalls = 0;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            stalls = 0;
            continue;
        }
        if (n < 0 && errno != EINTR)
            return false;
        if (++stalls >= kMaxStalls) {
            if (n == 0)
                errno = EIO;
            return false;
        }
    }
    return true;
}

ssize_t ReadSome(int fd, char* data, size_t size) {
    for (int stalls = 0;; ++stalls) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR || stalls + 1 >= kMaxStalls)
            return n;
    }
}

int OpenRegularFile(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0 && !IsRegularFile(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int CreateFile(const QByteArray& path, int mode) {
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(mode));
}

bool IsRegularFile(int fd, qint64* size) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (size)
        *size = st.st_size;
    return true;
}

bool Sync(int fd) {
    return ::fsync(fd) == 0;
}

bool Close(int fd) {
    return ::close(fd) == 0;
}

}  // namespace FileIo
