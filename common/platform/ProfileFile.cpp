#include "ProfileFile.h"

#include "AtomicFile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QtEndian>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Anything larger is not a settings file; it is left alone rather than read
// into memory or rewritten.
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

enum class Encoding { Utf8, Utf8Bom, Utf16Le };

const QByteArray kUtf8Bom("\xEF\xBB\xBF");
const QByteArray kUtf16LeBom("\xFF\xFE");

struct Line {
    enum Kind { Blank, Comment, Section, Key, Other };
    QByteArray raw;  // the line in the file's encoding, without its line end
    QByteArray eol;  // its line end as found; empty on an unterminated last line
    Kind kind = Other;
    QString name;    // section or key name, blanks removed
    QString folded;  // name folded for comparison
    QString value;   // key value, blanks and one pair of quotes removed
};

}  // namespace

struct ProfileDocument {
    Encoding encoding = Encoding::Utf8;
    QByteArray eol = "\n";  // used for new lines
    QByteArray tail;        // a dangling odd byte of a UTF-16 file, kept as is
    std::vector<Line> lines;
    // First section of each name -> first key of each name -> value.
    QHash<QString, QHash<QString, QString>> index;
};

namespace {

using Document = ProfileDocument;

// Names are nearly always ASCII; full case folding is only needed beyond it.
QString foldName(const QString& name) {
    QString folded = name;
    for (QChar& c : folded) {
        const char16_t u = c.unicode();
        if (u >= 0x80)
            return name.toCaseFolded();
        if (u >= 'A' && u <= 'Z')
            c = QChar(u + ('a' - 'A'));
    }
    return folded;
}

QString fold(const QString& s) {
    return foldName(s.trimmed());
}

// A value as a reader sees it: blanks and one pair of matching quotes removed.
QString cleanValue(const QString& raw) {
    QString v = raw.trimmed();
    if (v.size() >= 2 && v.front() == v.back() &&
        (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\'')))
        v = v.mid(1, v.size() - 2);
    return v;
}

QString decode(const QByteArray& raw, Encoding enc) {
    if (enc != Encoding::Utf16Le)
        return QString::fromUtf8(raw);
    QString s(raw.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < s.size(); ++i)
        s[i] = QChar(qFromLittleEndian<quint16>(raw.constData() + 2 * i));
    return s;
}

QByteArray encode(const QString& s, Encoding enc) {
    if (enc != Encoding::Utf16Le)
        return s.toUtf8();
    QByteArray raw(s.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < s.size(); ++i)
        qToLittleEndian<quint16>(s[i].unicode(), raw.data() + 2 * i);
    return raw;
}

void parseLine(Line& line, Encoding enc) {
    const QString text = decode(line.raw, enc).trimmed();
    line.name.clear();
    line.value.clear();
    if (text.isEmpty()) {
        line.kind = Line::Blank;
    } else if (text.startsWith(QLatin1Char(';'))) {
        line.kind = Line::Comment;
    } else if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        line.kind = Line::Section;
        line.name = text.mid(1, close < 0 ? -1 : close - 1).trimmed();
    } else if (const qsizetype eq = text.indexOf(QLatin1Char('=')); eq > 0) {
        line.kind = Line::Key;
        line.name = text.left(eq).trimmed();
        line.value = cleanValue(text.mid(eq + 1));
    } else {
        // No "=": Windows keeps such a line but never returns a value for it.
        line.kind = Line::Other;
    }
    line.folded = foldName(line.name);
}

void buildIndex(Document& doc) {
    doc.index.clear();
    QHash<QString, QString>* current = nullptr;
    for (const Line& line : doc.lines) {
        if (line.kind == Line::Section) {
            // A repeated section is invisible, as on Windows.
            current = doc.index.contains(line.folded) ? nullptr : &doc.index[line.folded];
        } else if (line.kind == Line::Key && current && !current->contains(line.folded)) {
            current->insert(line.folded, line.value);
        }
    }
}

Document parse(const QByteArray& bytes) {
    Document doc;
    QByteArray body;
    int unit = 1;
    if (bytes.startsWith(kUtf16LeBom)) {
        doc.encoding = Encoding::Utf16Le;
        body = bytes.mid(2);
        unit = 2;
        if (body.size() % 2) {
            doc.tail = body.right(1);
            body.chop(1);
        }
    } else if (bytes.startsWith(kUtf8Bom)) {
        doc.encoding = Encoding::Utf8Bom;
        body = bytes.mid(3);
    } else {
        body = bytes;
    }

    auto unitAt = [&](qsizetype i) -> quint16 {
        return unit == 1 ? static_cast<quint8>(body[i])
                         : qFromLittleEndian<quint16>(body.constData() + i);
    };
    bool eolChosen = false;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < body.size()) {
        const quint16 c = unitAt(i);
        if (c != '\n' && c != '\r') {
            i += unit;
            continue;
        }
        qsizetype end = i + unit;
        if (c == '\r' && end < body.size() && unitAt(end) == '\n')
            end += unit;
        Line line;
        line.raw = body.mid(start, i - start);
        line.eol = body.mid(i, end - i);
        if (!eolChosen) {
            doc.eol = line.eol;
            eolChosen = true;
        }
        doc.lines.push_back(std::move(line));
        start = i = end;
    }
    if (start < body.size())
        doc.lines.push_back(Line{body.mid(start), QByteArray(), Line::Other, {}, {}, {}});
    if (!eolChosen && doc.encoding == Encoding::Utf16Le)
        doc.eol = encode(QStringLiteral("\r\n"), doc.encoding);
    for (Line& line : doc.lines)
        parseLine(line, doc.encoding);
    buildIndex(doc);
    return doc;
}

QByteArray serialize(const Document& doc) {
    QByteArray out;
    if (doc.encoding == Encoding::Utf8Bom)
        out += kUtf8Bom;
    else if (doc.encoding == Encoding::Utf16Le)
        out += kUtf16LeBom;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        out += doc.lines[i].raw;
        // A line that gained a successor needs an end of its own.
        out +=
            (doc.lines[i].eol.isEmpty() && i + 1 < doc.lines.size()) ? doc.eol : doc.lines[i].eol;
    }
    out += doc.tail;
    return out;
}

Line makeLine(const QString& text, const Document& doc) {
    Line line;
    line.raw = encode(text, doc.encoding);
    line.eol = doc.eol;
    parseLine(line, doc.encoding);
    return line;
}

// [begin, end) of the first section named so, begin being its header; {-1,-1} when absent.
std::pair<qsizetype, qsizetype> findSection(const Document& doc, const QString& folded) {
    const auto n = static_cast<qsizetype>(doc.lines.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (doc.lines[i].kind != Line::Section || doc.lines[i].folded != folded)
            continue;
        qsizetype end = i + 1;
        while (end < n && doc.lines[end].kind != Line::Section)
            ++end;
        return {i, end};
    }
    return {-1, -1};
}

Line makeKeyLine(const QString& name, const QString& value, const Document& doc) {
    Line line;
    line.raw = encode(name + QLatin1Char('=') + value, doc.encoding);
    line.eol = doc.eol;
    line.kind = Line::Key;
    line.name = name;
    line.folded = foldName(name);
    line.value = cleanValue(value);
    return line;
}

// Applies a batch of key changes in one pass over the document, so a save
// of hundreds of keys does not scan the file once per key.
void applyChanges(Document& doc, const QList<ProfileFile::Change>& changes) {
    struct Section {
        QString name;                    // for a section the batch creates
        qsizetype insertAt = -1;         // new keys go before this line; -1: a new section
        QHash<QString, qsizetype> keys;  // folded key -> line, or -(1 + i) for added[i]
        std::vector<Line> added;
        std::vector<bool> dropped;
    };
    std::vector<Section> sections;
    QHash<QString, qsizetype> sectionOf;  // first occurrence only, as readers see it

    const auto n = static_cast<qsizetype>(doc.lines.size());
    Section* current = nullptr;
    qsizetype lastFilled = -1;
    for (qsizetype i = 0; i <= n; ++i) {
        const bool header = i < n && doc.lines[i].kind == Line::Section;
        if (i == n || header) {
            if (current)
                current->insertAt = lastFilled + 1;  // before trailing blank lines
            current = nullptr;
            if (i == n)
                break;
            if (!sectionOf.contains(doc.lines[i].folded)) {
                sectionOf.insert(doc.lines[i].folded, static_cast<qsizetype>(sections.size()));
                sections.emplace_back();
                current = &sections.back();
            }
            lastFilled = i;
            continue;
        }
        const Line& line = doc.lines[i];
        if (!current)
            continue;
        if (line.kind != Line::Blank)
            lastFilled = i;
        if (line.kind == Line::Key && !current->keys.contains(line.folded))
            current->keys.insert(line.folded, i);
    }

    std::vector<bool> erased(doc.lines.size(), false);
    std::vector<qsizetype> created;
    for (const ProfileFile::Change& c : changes) {
        const QString sectionName = c.section.trimmed();
        const QString folded = foldName(sectionName);
        auto found = sectionOf.constFind(folded);
        if (found == sectionOf.constEnd()) {
            found = sectionOf.insert(folded, static_cast<qsizetype>(sections.size()));
            sections.emplace_back();
            sections.back().name = sectionName;
            created.push_back(*found);
        }
        Section& sec = sections[*found];
        const QString keyName = c.key.trimmed();
        const auto at = sec.keys.find(foldName(keyName));
        if (!c.value) {
            if (at == sec.keys.end())
                continue;
            if (*at >= 0)
                erased[*at] = true;
            else
                sec.dropped[-*at - 1] = true;
            sec.keys.erase(at);
        } else if (at == sec.keys.end()) {
            sec.added.push_back(makeKeyLine(keyName, *c.value, doc));
            sec.dropped.push_back(false);
            sec.keys.insert(foldName(keyName), -static_cast<qsizetype>(sec.added.size()));
        } else if (*at >= 0) {
            // The key keeps its spelling and its line end.
            Line& line = doc.lines[*at];
            const QByteArray eol = line.eol;
            line = makeKeyLine(line.name, *c.value, doc);
            line.eol = eol;
        } else {
            sec.added[-*at - 1] = makeKeyLine(keyName, *c.value, doc);
        }
    }

    std::vector<Line> out;
    out.reserve(doc.lines.size() + changes.size() + 2 * created.size());
    const auto emitAdded = [&out](Section& sec) {
        for (size_t k = 0; k < sec.added.size(); ++k) {
            if (!sec.dropped[k])
                out.push_back(std::move(sec.added[k]));
        }
    };
    // Sections whose new keys go before line i, in file order.
    QMultiHash<qsizetype, qsizetype> insertions;
    for (qsizetype k = 0; k < static_cast<qsizetype>(sections.size()); ++k) {
        if (sections[k].insertAt >= 0 && !sections[k].added.empty())
            insertions.insert(sections[k].insertAt, k);
    }
    for (qsizetype i = 0; i <= n; ++i) {
        if (insertions.contains(i)) {
            for (const qsizetype k : insertions.values(i))
                emitAdded(sections[k]);
        }
        if (i < n && !erased[i])
            out.push_back(std::move(doc.lines[i]));
    }
    for (const qsizetype k : created) {
        Section& sec = sections[k];
        if (std::find(sec.dropped.begin(), sec.dropped.end(), false) == sec.dropped.end())
            continue;  // every key of it was removed again
        if (!out.empty() && out.back().kind != Line::Blank)
            out.push_back(makeLine(QString(), doc));
        out.push_back(makeLine(QLatin1Char('[') + sec.name + QLatin1Char(']'), doc));
        emitAdded(sec);
    }
    doc.lines = std::move(out);
}

void eraseSection(Document& doc, const QString& section) {
    const auto range = findSection(doc, fold(section));
    if (range.first >= 0)
        doc.lines.erase(doc.lines.begin() + range.first, doc.lines.begin() + range.second);
}

bool breaksLine(const QString& s) {
    return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r'));
}

bool validName(const QString& s) {
    const QString t = s.trimmed();
    return !t.isEmpty() && !breaksLine(t) && !t.startsWith(QLatin1Char(';')) &&
           !t.startsWith(QLatin1Char('['));
}

bool validChange(const ProfileFile::Change& c) {
    return validName(c.section) && !c.section.contains(QLatin1Char(']')) && validName(c.key) &&
           !c.key.contains(QLatin1Char('=')) && !(c.value && breaksLine(*c.value));
}

// Identity of one version of a file: a replace by rename changes the inode,
// an in-place edit the times or the size.
struct Signature {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const Signature& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

Signature signatureOf(const struct stat& st) {
    return Signature{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// Parsed files, checked against the file on every use so that a change by
// another writer is seen at once, while 500 reads of an unchanged file do
// not parse it 500 times.
class DocumentCache {
public:
    static DocumentCache& instance() {
        static DocumentCache cache;
        return cache;
    }

    // The current content of path; an empty document when the file is
    // missing; null when it exists but cannot be read.
    std::shared_ptr<const Document> load(const QString& path) {
        const QByteArray native = QFile::encodeName(path);
        // Fast path: one stat tells whether the remembered version is current.
        struct stat now {};
        if (::stat(native.constData(), &now) == 0) {
            QMutexLocker lock(&mutex_);
            const auto it = entries_.constFind(path);
            if (it != entries_.constEnd() && it->sig == signatureOf(now))
                return it->doc;
        }
        const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT && errno != ENOTDIR)
                return nullptr;
            static const auto empty = std::make_shared<const Document>();
            return empty;
        }
        struct stat st {};
        const bool statted = ::fstat(fd, &st) == 0;
        if (!statted || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
            // errno says why, for a writer that reports it.
            const int error = !statted               ? errno
                              : S_ISDIR(st.st_mode)  ? EISDIR
                              : !S_ISREG(st.st_mode) ? EINVAL
                                                     : EFBIG;
            ::close(fd);
            errno = error;
            return nullptr;
        }
        // The signature of what is read, which may be newer than the one above.
        const Signature sig = signatureOf(st);
        QFile file;
        if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            errno = EIO;
            return nullptr;
        }
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            errno = EIO;
            return nullptr;
        }
        auto doc = std::make_shared<const Document>(parse(bytes));
        store(path, sig, doc);
        return doc;
    }

    void store(const QString& path, const Signature& sig, std::shared_ptr<const Document> doc) {
        QMutexLocker lock(&mutex_);
        if (entries_.size() >= 16 && !entries_.contains(path))
            entries_.clear();
        entries_.insert(path, Entry{sig, std::move(doc)});
    }

    void forget(const QString& path) {
        QMutexLocker lock(&mutex_);
        entries_.remove(path);
    }

private:
    struct Entry {
        Signature sig;
        std::shared_ptr<const Document> doc;
    };
    QMutex mutex_;
    QHash<QString, Entry> entries_;
};

// Exclusive lock of a settings file among threads and processes. The lock
// lives on a companion file because the settings file itself is replaced
// by rename at every write.
class WriteLock {
public:
    explicit WriteLock(const QString& path) {
        const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
        fd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            return;
        // An interrupted wait is retried, a few times only (see FileIo).
        for (int tries = 1; ::flock(fd_, LOCK_EX) != 0; ++tries) {
            if (errno != EINTR || tries >= 16) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~WriteLock() {
        if (fd_ >= 0)
            ::close(fd_);  // releases the lock
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

QString cut(const QString& s, int bufferSize) {
    if (bufferSize <= 0)
        return {};
    if (s.size() < bufferSize)
        return s;
    qsizetype n = bufferSize - 1;
    // Never leave half of a surrogate pair behind.
    if (n > 0 && s[n - 1].isHighSurrogate())
        --n;
    return s.left(n);
}

const QString* lookup(const Document& doc, const QString& section, const QString& key) {
    const auto sec = doc.index.constFind(fold(section));
    if (sec == doc.index.constEnd())
        return nullptr;
    const auto it = sec->constFind(fold(key));
    return it == sec->constEnd() ? nullptr : &*it;
}

}  // namespace

QString ProfileFile::readString(const QString& section, const QString& key,
                                const QString& defaultValue, int bufferSize, const QString& path) {
    return snapshot(path).readString(section, key, defaultValue, bufferSize);
}

ProfileFile::Snapshot ProfileFile::snapshot(const QString& path) {
    return Snapshot(DocumentCache::instance().load(path));
}

QString ProfileFile::Snapshot::readString(const QString& section, const QString& key,
                                          const QString& defaultValue, int bufferSize) const {
    const QString* value = doc_ ? lookup(*doc_, section, key) : nullptr;
    return cut(value ? *value : defaultValue, bufferSize);
}

quint32 ProfileFile::readInt(const QString& section, const QString& key, quint32 defaultValue,
                             const QString& path) {
    const auto doc = DocumentCache::instance().load(path);
    const QString* value = doc ? lookup(*doc, section, key) : nullptr;
    if (!value)
        return defaultValue;
    const QString& v = *value;
    qsizetype i = 0;
    // A negative number has no unsigned reading; taking it as 0 would turn a
    // count meant as "never" into "at once".
    if (i < v.size() && v[i] == QLatin1Char('+'))
        ++i;
    if (i >= v.size() || !v[i].isDigit() || v[i].unicode() > '9')
        return defaultValue;
    quint64 n = 0;
    for (; i < v.size() && v[i] >= QLatin1Char('0') && v[i] <= QLatin1Char('9'); ++i)
        n = std::min<quint64>(n * 10 + (v[i].unicode() - '0'), 0xFFFFFFFFull);
    return static_cast<quint32>(n);
}

bool ProfileFile::writeString(const QString& section, const QString& key, const QString& value,
                              const QString& path) {
    return apply({Change{section, key, value}}, path);
}

bool ProfileFile::removeKey(const QString& section, const QString& key, const QString& path) {
    return apply({Change{section, key, std::nullopt}}, path);
}

namespace {

// False, with the system's text for the error in reason when asked for.
bool failed(QString* reason, int error) {
    if (reason)
        *reason = QString::fromLocal8Bit(std::strerror(error ? error : EIO));
    return false;
}

// Applies edit to the file's current content under the write lock and
// replaces the file when the content changed.
template <typename Edit>
bool rewrite(const QString& path, Edit edit, QString* reason = nullptr) {
    WriteLock lock(path);
    if (!lock.held())
        return failed(reason, errno);
    const auto current = DocumentCache::instance().load(path);
    if (!current)
        return failed(reason, errno);
    Document doc = *current;
    edit(doc);
    const QByteArray bytes = serialize(doc);
    if (bytes == serialize(*current))
        return true;  // nothing changed; spare the disk a rewrite
    if (!AtomicFile::write(path, bytes))
        return failed(reason, errno);

    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        buildIndex(doc);
        DocumentCache::instance().store(path, signatureOf(st),
                                        std::make_shared<const Document>(std::move(doc)));
    } else {
        DocumentCache::instance().forget(path);
    }
    return true;
}

}  // namespace

bool ProfileFile::removeSection(const QString& section, const QString& path) {
    if (!validName(section) || section.contains(QLatin1Char(']')))
        return false;
    return rewrite(path, [&](Document& doc) { eraseSection(doc, section); });
}

bool ProfileFile::apply(const QList<Change>& changes, const QString& path, QString* reason) {
    for (const Change& c : changes) {
        if (!validChange(c))
            return failed(reason, EINVAL);
    }
    return rewrite(
        path, [&](Document& doc) { applyChanges(doc, changes); }, reason);
}

void ProfileFile::flush(const QString& path) {
    DocumentCache::instance().forget(path);
}
