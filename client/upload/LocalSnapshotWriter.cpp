#include "LocalSnapshot.h"

#include "FileIo.h"

#include <QtEndian>

#include <cstring>
#include <vector>

namespace LocalSnapshot {

namespace {

constexpr size_t kWriteBuffer = 256 * 1024;

}  // namespace

struct Writer::Private {
    int fd = -1;
    std::vector<char> buf = std::vector<char>(kWriteBuffer);
    size_t used = 0;
    bool failed = false;

    void flush() {
        if (used > 0 && !failed && !FileIo::WriteAll(fd, buf.data(), used))
            failed = true;
        used = 0;
    }
};

Writer::Writer(const QString& path) : d(std::make_unique<Private>()) {
    d->fd = FileIo::CreateFile(QFile::encodeName(path), 0600);
    if (d->fd < 0)
        return;
    d->buf[0] = static_cast<char>(0xFF);
    d->buf[1] = static_cast<char>(0xFE);
    d->used = 2;
}

Writer::~Writer() {
    close();
}

bool Writer::isOpen() const {
    return d->fd >= 0;
}

bool Writer::write(const QString& line) {
    if (d->fd < 0 || d->failed)
        return false;
    // A line break inside would split the entry into two lines.
    if (line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')))
        return false;
    const size_t bytes = (static_cast<size_t>(line.size()) + 2) * 2;
    if (d->used + bytes > d->buf.size())
        d->flush();
    if (bytes > d->buf.size())
        d->buf.resize(bytes);
    char* out = d->buf.data() + d->used;
    qToLittleEndian<quint16>(line.utf16(), line.size(), out);
    out += line.size() * 2;
    const char crlf[4] = {'\r', 0, '\n', 0};
    std::memcpy(out, crlf, 4);
    d->used += bytes;
    return !d->failed;
}

bool Writer::close() {
    if (d->fd < 0)
        return false;
    d->flush();
    if (!FileIo::Close(d->fd))
        d->failed = true;
    d->fd = -1;
    return !d->failed;
}

}  // namespace LocalSnapshot
