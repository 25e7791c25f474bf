#include "LocalSnapshot.h"

#include "FileIo.h"

#include <QtEndian>

#include <cstring>
#include <vector>

namespace LocalSnapshot {

namespace {

// Longest line the reader loads; a snapshot line is a path plus three short
// fields, and Linux paths end at 4096 bytes.
constexpr qsizetype kMaxLineChars = 64 * 1024;
constexpr size_t kReadBuffer = 512 * 1024;

}  // namespace

struct Reader::Private {
    int fd = -1;
    std::vector<char> buf = std::vector<char>(kReadBuffer);
    size_t begin = 0;  // always at a code unit boundary
    size_t end = 0;
    bool eof = false;

    void fill() {
        if (begin > 0) {
            std::memmove(buf.data(), buf.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (end == buf.size()) {
            eof = true;  // cannot happen: a full buffer is always discarded first
            return;
        }
        const ssize_t n = FileIo::ReadSome(fd, buf.data() + end, buf.size() - end);
        if (n <= 0) {
            eof = true;
            return;
        }
        end += static_cast<size_t>(n);
    }

    // The code units [from, to) as text; empty when they are not valid UTF-16.
    void decode(size_t from, size_t to, QString& line) const {
        const qsizetype units = static_cast<qsizetype>((to - from) / 2);
        line.resize(units);
        qFromLittleEndian<quint16>(buf.data() + from, units, line.data());
        const char16_t* u = reinterpret_cast<const char16_t*>(line.constData());
        for (qsizetype i = 0; i < units; ++i) {
            if ((u[i] & 0xF800) != 0xD800)
                continue;
            if (u[i] >= 0xDC00 || i + 1 == units || (u[i + 1] & 0xFC00) != 0xDC00) {
                line.resize(0);
                return;
            }
            ++i;
        }
    }
};

Reader::Reader(const QString& path) : d(std::make_unique<Private>()) {
    // Regular files only: a pipe or device in place of a snapshot must not
    // block the run.
    d->fd = FileIo::OpenRegularFile(QFile::encodeName(path));
    if (d->fd < 0)
        return;
    d->fill();
    if (d->end >= 2 && static_cast<unsigned char>(d->buf[0]) == 0xFF &&
        static_cast<unsigned char>(d->buf[1]) == 0xFE)
        d->begin = 2;
}

Reader::~Reader() {
    if (d->fd >= 0)
        FileIo::Close(d->fd);
}

bool Reader::isOpen() const {
    return d->fd >= 0;
}

bool Reader::next(QString& line) {
    line.resize(0);
    if (d->fd < 0)
        return false;
    bool discarding = false;  // inside a line that is too long to keep
    size_t scanned = 0;       // bytes after begin already searched
    for (;;) {
        const char* p = d->buf.data();
        size_t at = d->begin + scanned;
        while (at < d->end) {
            const void* hit = std::memchr(p + at, '\n', d->end - at);
            if (!hit)
                break;
            const size_t k = static_cast<size_t>(static_cast<const char*>(hit) - p);
            if ((k - d->begin) % 2 == 0 && k + 1 < d->end && p[k + 1] == 0) {
                if (!discarding) {
                    size_t stop = k;
                    if (stop >= d->begin + 2 && p[stop - 2] == '\r' && p[stop - 1] == 0)
                        stop -= 2;
                    if ((stop - d->begin) / 2 <= static_cast<size_t>(kMaxLineChars))
                        d->decode(d->begin, stop, line);
                }
                d->begin = k + 2;
                return true;
            }
            if ((k - d->begin) % 2 == 0 && k + 1 >= d->end)
                break;  // the high byte is not read yet
            at = k + 1;
        }
        if (d->eof) {
            if (d->begin == d->end && !discarding)
                return false;
            const size_t odd = (d->end - d->begin) % 2;
            if (!discarding && odd == 0 &&
                (d->end - d->begin) / 2 <= static_cast<size_t>(kMaxLineChars))
                d->decode(d->begin, d->end, line);  // last line without a line end
            d->begin = d->end;
            return true;
        }
        const size_t pending = d->end - d->begin;
        // One character of slack for a CR whose LF is not read yet.
        if (discarding || pending / 2 > static_cast<size_t>(kMaxLineChars) + 1) {
            discarding = true;
            d->begin = d->end - pending % 2;  // keep a half code unit
        }
        scanned = (d->end - d->begin) & ~size_t(1);
        d->fill();
    }
}

}  // namespace LocalSnapshot
