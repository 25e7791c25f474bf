#include "LocalSnapshot.h"

#include <QFileInfo>

#include <algorithm>

namespace LocalSnapshot {

namespace {

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

}  // namespace

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
    const QString prefix = WalkPrefix(hotFolder) + QLatin1Char('/');
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

}  // namespace LocalSnapshot
