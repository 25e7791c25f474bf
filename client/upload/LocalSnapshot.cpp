#include "LocalSnapshot.h"

#include "DosAttributes.h"
#include "FileIo.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QtEndian>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "CLogWriter.h"
#include "LocalAppData.h"

namespace LocalSnapshot {

namespace {

const QString kFilePrefix = QStringLiteral("Torval2Quillon_LocalFiles_");
// Longest line the reader loads; a snapshot line is a path plus three short
// fields, and Linux paths end at 4096 bytes.
constexpr qsizetype kMaxLineChars = 64 * 1024;
constexpr size_t kReadBuffer = 512 * 1024;
constexpr size_t kWriteBuffer = 256 * 1024;

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

bool fsyncPath(const QByteArray& path, int flags) {
    const int fd = ::open(path.constData(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF):
// anything else cannot be written to a UTF-16 line and read back the same.
bool isValidUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        quint32 cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= static_cast<size_t>(extra))
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

// A name can stand in a line when it is valid UTF-8 without TAB, CR or LF.
bool isRepresentable(const char* name, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = name[i];
        if (c == '\t' || c == '\n' || c == '\r')
            return false;
    }
    return isValidUtf8(reinterpret_cast<const unsigned char*>(name), n);
}

void appendNumber(QString& s, quint64 v) {
    char buf[24];
    int i = sizeof buf;
    do {
        buf[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    s.append(QLatin1StringView(buf + i, static_cast<qsizetype>(sizeof buf) - i));
}

void appendNumber(QString& s, qint32 v) {
    if (v < 0) {
        s.append(QLatin1Char('-'));
        appendNumber(s, static_cast<quint64>(-static_cast<qint64>(v)));
    } else {
        appendNumber(s, static_cast<quint64>(v));
    }
}

// Decimal digits only: no sign, blanks or "0x" that a library parser would take.
bool parseUnsigned(QStringView s, quint64& out) {
    if (s.isEmpty() || s.size() > 20)
        return false;
    quint64 v = 0;
    for (const QChar ch : s) {
        const char16_t c = ch.unicode();
        if (c < u'0' || c > u'9')
            return false;
        const quint64 d = c - u'0';
        if (v > (~quint64(0) - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool parseTime(QStringView s, qint32& out) {
    const bool negative = s.startsWith(u'-');
    quint64 v = 0;
    if (!parseUnsigned(negative ? s.mid(1) : s, v))
        return false;
    if (negative ? v > 2147483648ull : v > 2147483647ull)
        return false;
    out = negative ? static_cast<qint32>(-static_cast<qint64>(v)) : static_cast<qint32>(v);
    return true;
}

bool isTypeField(QStringView s) {
    return s == u"0" || s == u"1";
}

// The hot folder as the walk's prefix: no trailing "/", and "" for "/".
QString walkPrefix(QString folder) {
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

// ---- tree walk ----

struct Walk {
    Writer* writer = nullptr;  // null: tally only
    bool success = false;      // tally mode
    UploadTally& tally;
    QString line;
    bool writeFailed = false;

    void failEntry(const QString& path, bool file, quint64 size) {
        tally.failureList.append(path);
        if (file) {
            tally.counters.failed += 1;
            tally.counters.failedSize += size;
        }
    }

    void tallyEntry(const QString& path, bool file, quint64 size) {
        (success ? tally.successList : tally.failureList).append(path);
        if (!file)
            return;
        if (success) {
            tally.counters.succeeded += 1;
            tally.counters.succeededSize += size;
        } else {
            tally.counters.failed += 1;
            tally.counters.failedSize += size;
        }
    }

    void writeLine(bool folder, const QString& path, quint64 size, qint64 mtime) {
        line.resize(0);
        line.append(folder ? QLatin1StringView("0\t") : QLatin1StringView("1\t"));
        line.append(path);
        line.append(QLatin1Char('\t'));
        appendNumber(line, size);
        line.append(QLatin1Char('\t'));
        appendNumber(line, SnapshotTime(mtime));
        if (!writer->write(line))
            writeFailed = true;
    }

    // Lists the open folder dirFd (taking ownership) whose path is prefix.
    // lineable is false below a folder whose own name cannot stand in a line.
    void walk(int dirFd, const QString& prefix, bool lineable) {
        DIR* dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            return;
        }
        while (const dirent* e = ::readdir(dir)) {
            if (writeFailed)
                break;
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            struct stat st;
            // Gone since the folder was read: there is nothing left to list.
            if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            const size_t nameLen = std::strlen(name);
            const bool ok = lineable && isRepresentable(name, nameLen);
            const QString path = prefix + QLatin1Char('/') +
                                 QString::fromUtf8(name, static_cast<qsizetype>(nameLen));

            if (S_ISDIR(st.st_mode)) {
                tally.counters.foldersTotal += writer ? 1 : 0;
                if (!writer)
                    tallyEntry(path, false, 0);
                else if (ok)
                    writeLine(true, path, 0, st.st_mtim.tv_sec);
                else
                    failEntry(path, false, 0);
                // O_NOFOLLOW: a folder swapped for a link since fstatat is not entered.
                const int sub =
                    ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0)
                    walk(sub, path, ok);
                continue;
            }

            // A link counts as the file it points to; links to folders are not
            // followed (no loops, nothing outside the tree), and like sockets,
            // pipes and devices they cannot be sent, so they fail here.
            bool sendable = S_ISREG(st.st_mode);
            if (S_ISLNK(st.st_mode)) {
                struct stat target;
                if (::fstatat(dirFd, name, &target, 0) == 0 && S_ISREG(target.st_mode)) {
                    st = target;
                    sendable = true;
                }
            }
            const quint64 size = st.st_size > 0 ? static_cast<quint64>(st.st_size) : 0;
            tally.counters.filesTotal += 1;
            tally.counters.sizeTotal += size;
            if (!writer)
                tallyEntry(path, true, size);
            else if (ok && sendable)
                writeLine(false, path, size, st.st_mtim.tv_sec);
            else
                failEntry(path, true, size);
        }
        ::closedir(dir);
    }

    void run(const QString& folder) {
        const int fd = ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        const QString prefix = walkPrefix(folder);
        const QByteArray bytes = prefix.toUtf8();
        walk(fd, prefix, isRepresentable(bytes.constData(), static_cast<size_t>(bytes.size())));
    }
};

// True when dir is the top of a mounted volume: its parent lies on another
// device, or it is its own parent ("/").
bool isMountPoint(const QByteArray& dir) {
    struct stat self, parent;
    if (::stat(dir.constData(), &self) != 0 || ::stat((dir + "/..").constData(), &parent) != 0)
        return false;
    return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

bool moveReplacing(const QString& from, const QString& to) {
    const QByteArray src = nativePath(from), dst = nativePath(to);
    if (::rename(src.constData(), dst.constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    // Another file system: copy beside the target, then replace it in one step.
    const QString temp = to + QStringLiteral(".part");
    QFile::remove(temp);
    if (!QFile::copy(from, temp))
        return false;
    if (::rename(nativePath(temp).constData(), dst.constData()) != 0) {
        QFile::remove(temp);
        return false;
    }
    return ::unlink(src.constData()) == 0;
}

}  // namespace

// ---- names ----

QString WorkFolder() {
    return LocalAppData::productFolder() + QStringLiteral("/Work");
}

Names MakeNames(const QString& workFolder, const QString& uniqueId, const QString& sessionId) {
    QString base = workFolder;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += kFilePrefix + uniqueId + QLatin1Char('_');
    const QString run = base + sessionId + QLatin1Char('_');
    return Names{run + QStringLiteral("current.csv"), run + QStringLiteral("result.csv"),
                 base + QStringLiteral("previous.csv")};
}

qint32 SnapshotTime(qint64 unixSeconds) {
    // Unsigned arithmetic wraps like the 32-bit field instead of overflowing.
    return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(unixSeconds) + 32400u));
}

// ---- reader ----

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
    // O_NONBLOCK and the type check: a pipe or device in place of a snapshot
    // must not block the run.
    const int fd =
        ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    d->fd = fd;
    d->fill();
    if (d->end >= 2 && static_cast<unsigned char>(d->buf[0]) == 0xFF &&
        static_cast<unsigned char>(d->buf[1]) == 0xFE)
        d->begin = 2;
}

Reader::~Reader() {
    if (d->fd >= 0)
        ::close(d->fd);
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

// ---- writer ----

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
    d->fd = ::open(nativePath(path).constData(),
                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
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
    if (::close(d->fd) != 0)
        d->failed = true;
    d->fd = -1;
    return !d->failed;
}

// ---- walk ----

bool WriteSnapshot(const QString& currentPath, const QString& hotFolder, UploadTally& tally) {
    const UploadTally before = tally;
    {
        Writer writer(currentPath);
        if (writer.isOpen()) {
            Walk walk{&writer, false, tally, {}, false};
            walk.line.reserve(1024);
            walk.run(hotFolder);
            if (writer.close() && !walk.writeFailed)
                return true;
        }
    }
    // A listing that could not be written whole must not pass for the tree.
    tally = before;
    TallyTree(hotFolder, false, tally);
    return false;
}

void TallyTree(const QString& folder, bool success, UploadTally& tally) {
    Walk walk{nullptr, success, tally, {}, false};
    walk.run(folder);
}

// ---- parsing and lookup ----

std::optional<TreeEntry> ParseEntry(const QString& line, const QString& hotFolder,
                                    const QString& destination) {
    const QStringView view(line);
    QStringView fields[4];
    qsizetype start = 0;
    for (int i = 0; i < 4; ++i) {
        const qsizetype tab = view.indexOf(u'\t', start);
        if (tab < 0 && i < 3)
            return std::nullopt;
        fields[i] = view.sliced(start, (tab < 0 ? view.size() : tab) - start);
        start = tab + 1;
    }
    TreeEntry e;
    if (!isTypeField(fields[0]) || !parseUnsigned(fields[2], e.size) ||
        !parseTime(fields[3], e.time))
        return std::nullopt;

    const QStringView path = fields[1];
    const QString prefix = walkPrefix(hotFolder) + QLatin1Char('/');
    if (!path.startsWith(prefix) || path.contains(QChar(0)))
        return std::nullopt;
    const QStringView relative = path.sliced(prefix.size());
    if (relative.isEmpty())
        return std::nullopt;
    // The walk never makes empty, "." or ".." parts; such a path could point
    // outside the hot folder.
    for (const QStringView part : relative.tokenize(u'/')) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return std::nullopt;
    }

    QString dest = destination;
    if (dest.endsWith(QLatin1Char('/')))
        dest.chop(1);
    e.type = fields[0].toString();
    e.localPath = path.toString();
    e.remotePath = dest + QLatin1Char('/') + relative.toString();
    const qsizetype slash = e.remotePath.lastIndexOf(QLatin1Char('/'));
    e.name = e.remotePath.mid(slash + 1);
    e.parent = e.remotePath.left(slash);
    return e;
}

PreviousIndex::PreviousIndex(const QString& previousPath) {
    // A snapshot holds at most one path character per two bytes.
    paths_.reserve(static_cast<size_t>(std::max<qint64>(QFileInfo(previousPath).size() / 2, 0)));
    Reader reader(previousPath);
    QString line;
    while (reader.next(line)) {
        const qsizetype tab1 = line.indexOf(QLatin1Char('\t'));
        const qsizetype tab2 = tab1 < 0 ? -1 : line.indexOf(QLatin1Char('\t'), tab1 + 1);
        const qsizetype tab3 = tab2 < 0 ? -1 : line.indexOf(QLatin1Char('\t'), tab2 + 1);
        if (tab3 < 0)
            continue;  // fewer than four fields
        const QStringView view(line);
        const QStringView type = view.first(tab1);
        const qsizetype tab4 = line.indexOf(QLatin1Char('\t'), tab3 + 1);
        qint32 time = 0;
        // A line whose time is not a number cannot match any entry's time.
        if (!isTypeField(type) ||
            !parseTime(view.sliced(tab3 + 1, (tab4 < 0 ? line.size() : tab4) - tab3 - 1), time))
            continue;
        const QStringView path = view.sliced(tab1 + 1, tab2 - tab1 - 1);
        lines_.push_back(
            Line{paths_.size(), static_cast<quint32>(path.size()), time, type == u"0"});
        paths_.insert(paths_.end(), path.utf16(), path.utf16() + path.size());
    }
    if (lines_.empty())
        return;
    size_t capacity = 16;
    while (capacity < lines_.size() * 2)
        capacity *= 2;
    slots_.assign(capacity, Slot{0, 0});
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& l = lines_[i];
        const QStringView path(paths_.data() + l.start, l.length);
        const quint32 hash = hashOf(path, l.folder);
        if (lookup(path, l.folder, hash))
            continue;  // the first line wins
        size_t at = hash & mask;
        while (slots_[at].line != 0)
            at = (at + 1) & mask;
        slots_[at] = Slot{hash, static_cast<quint32>(i + 1)};
    }
}

quint32 PreviousIndex::hashOf(QStringView path, bool folder) {
    return static_cast<quint32>(qHash(path, folder ? 0x9E3779B9u : 0u));
}

const PreviousIndex::Line* PreviousIndex::lookup(QStringView path, bool folder,
                                                 quint32 hash) const {
    if (slots_.empty())
        return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask; slots_[at].line != 0; at = (at + 1) & mask) {
        if (slots_[at].hash != hash)
            continue;
        const Line& l = lines_[slots_[at].line - 1];
        if (l.folder == folder && QStringView(paths_.data() + l.start, l.length) == path)
            return &l;
    }
    return nullptr;
}

std::optional<qint32> PreviousIndex::find(const QString& type, const QString& localPath) const {
    if (!isTypeField(type))
        return std::nullopt;
    const bool folder = type == QLatin1String("0");
    const Line* l = lookup(localPath, folder, hashOf(localPath, folder));
    if (!l)
        return std::nullopt;
    return l->time;
}

bool IsUnchanged(const TreeEntry& entry, const PreviousIndex& previous, bool resendAll) {
    if (entry.isFolder() || resendAll)
        return false;
    const std::optional<qint32> time = previous.find(entry.type, entry.localPath);
    return time && *time == entry.time;
}

void DrainRemaining(Reader& current, Writer& result, const PreviousIndex& previous, bool resendAll,
                    const QString& hotFolder, const QString& destination, UploadTally& tally) {
    QString line;
    while (current.next(line)) {
        const std::optional<TreeEntry> e = ParseEntry(line, hotFolder, destination);
        if (!e || IsExcluded(e->localPath))
            continue;
        tally.failureList.append(e->localPath);
        if (e->isFolder())
            continue;
        // Files over 4 GiB are never sent, so they are never taken as unchanged.
        if (e->size <= 4294967296ull && IsUnchanged(*e, previous, resendAll)) {
            tally.counters.skipped += 1;
            tally.counters.skippedSize += e->size;
            result.write(line);
        } else {
            tally.counters.interrupted += 1;
            tally.counters.interruptedSize += e->size;
        }
    }
}

// ---- exclusion ----

bool IsRecycleBinPath(const QString& localPath) {
    static const QString patterns[] = {QStringLiteral("@:\\RECYCLED\\"),
                                       QStringLiteral("@:\\RECYCLER\\"),
                                       QStringLiteral("@:\\$RECYCLE.BIN\\")};
    for (const QString& pattern : patterns) {
        if (localPath.size() < pattern.size())
            continue;
        QString head = localPath.left(pattern.size()).toUpper();
        head[0] = QLatin1Char('@');
        if (head == pattern)
            return true;
    }
    return false;
}

bool IsTrashFolderName(QStringView name) {
    if (name == u".Trash")
        return true;
    if (!name.startsWith(u".Trash-") || name.size() == 7)
        return false;
    return std::all_of(name.begin() + 7, name.end(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

bool IsInTrashFolder(const QString& localPath) {
    if (!localPath.startsWith(QLatin1Char('/')))
        return false;
    qsizetype start = 1;
    for (;;) {
        const qsizetype slash = localPath.indexOf(QLatin1Char('/'), start);
        if (slash < 0)
            return false;  // the last part is the entry itself, not a folder it lies in
        const QStringView part = QStringView(localPath).sliced(start, slash - start);
        if (IsTrashFolderName(part)) {
            const QString parent = start == 1 ? QStringLiteral("/") : localPath.left(start - 1);
            if (isMountPoint(nativePath(parent)))
                return true;
        }
        start = slash + 1;
    }
}

bool IsExcluded(const QString& localPath) {
    if (localPath.isEmpty() || localPath.contains(QChar(0)))
        return true;
    const QByteArray path = nativePath(localPath);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return true;
    if (DosAttributes::HasTemporaryAttribute(path))
        return true;
    return IsRecycleBinPath(localPath) || IsInTrashFolder(localPath);
}

// ---- rotation ----

bool RotateSnapshots(const Names& names, CLogWriter& logger) {
    const QByteArray result = nativePath(names.result);
    const QByteArray previous = nativePath(names.previous);
    // The data must be on disk before the name points at it, or a crash could
    // leave an empty previous file where a whole one was.
    fsyncPath(result, 0);
    if (::rename(result.constData(), previous.constData()) != 0) {
        const int error = errno;
        logger.Log(CLogWriter::LogError,
                   QStringLiteral("差分ファイルの更新に失敗しました。(%1)").arg(error));
        return false;
    }
    fsyncPath(nativePath(QFileInfo(names.previous).absolutePath()), O_DIRECTORY);
    if (::unlink(nativePath(names.current).constData()) != 0) {
        const int error = errno;
        logger.Log(CLogWriter::LogError,
                   QStringLiteral("結果ファイルの削除に失敗しました。(%1)").arg(error));
        return false;
    }
    return true;
}

void GatherStraySnapshots() {
    const QString work = WorkFolder();
    const QStringList places = {LocalAppData::programFolder(), QDir::tempPath()};
    for (const QString& place : places) {
        if (place.isEmpty() || QDir(place) == QDir(work))
            continue;
        // A prefix test, not a name filter: a filter compiles a regular
        // expression, which costs the idle program some 400 KiB resident.
        QFileInfoList found;
        for (QDirIterator it(place, QDir::Files | QDir::Hidden); it.hasNext();) {
            it.next();
            if (it.fileName().startsWith(kFilePrefix, Qt::CaseInsensitive))
                found.append(it.fileInfo());
        }
        for (const QFileInfo& stray : found) {
            if (stray.isSymLink())
                continue;
            if (!QDir().mkpath(work))
                return;
            const QString target = work + QLatin1Char('/') + stray.fileName();
            const QFileInfo existing(target);
            if (existing.exists() && existing.lastModified() > stray.lastModified())
                continue;  // the work folder's copy is newer
            moveReplacing(stray.absoluteFilePath(), target);
        }
    }
}

}  // namespace LocalSnapshot
