#include "FileIo.h"

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

}  // namespace FileIo
