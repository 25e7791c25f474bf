#include "LocalSnapshot.h"

#include "DosAttributes.h"
#include "NativeFs.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>

#include "CLogWriter.h"
#include "LocalAppData.h"

namespace LocalSnapshot {

namespace {

const QString kFilePrefix = QStringLiteral("Torval2Quillon_LocalFiles_");

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
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

    // Lists the open folder dir whose path is prefix. lineable is false
    // below a folder whose own name cannot stand in a line.
    void walk(NativeFs::DirectoryReader& dir, const QString& prefix, bool lineable) {
        NativeFs::DirectoryReader::Entry e;
        while (!writeFailed && dir.next(e)) {
            const bool ok = lineable && isRepresentable(e.name, e.nameLength);
            const QString path = prefix + QLatin1Char('/') +
                                 QString::fromUtf8(e.name, static_cast<qsizetype>(e.nameLength));

            if (e.kind == NativeFs::Kind::Folder) {
                tally.counters.foldersTotal += writer ? 1 : 0;
                if (!writer)
                    tallyEntry(path, false, 0);
                else if (ok)
                    writeLine(true, path, 0, e.mtime);
                else
                    failEntry(path, false, 0);
                NativeFs::DirectoryReader sub = dir.openFolder(e.name);
                if (sub.isOpen())
                    walk(sub, path, ok);
                continue;
            }

            // A link counts as the file it points to; links to folders are not
            // followed (no loops, nothing outside the tree), and like sockets,
            // pipes and devices they cannot be sent, so they fail here.
            const bool sendable = e.kind == NativeFs::Kind::File;
            tally.counters.filesTotal += 1;
            tally.counters.sizeTotal += e.size;
            if (!writer)
                tallyEntry(path, true, e.size);
            else if (ok && sendable)
                writeLine(false, path, e.size, e.mtime);
            else
                failEntry(path, true, e.size);
        }
    }

    void run(const QString& folder) {
        NativeFs::DirectoryReader dir(nativePath(folder));
        if (!dir.isOpen())
            return;
        const QString prefix = WalkPrefix(folder);
        const QByteArray bytes = prefix.toUtf8();
        walk(dir, prefix, isRepresentable(bytes.constData(), static_cast<size_t>(bytes.size())));
    }
};

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

QString WalkPrefix(QString folder) {
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

qint32 SnapshotTime(qint64 unixSeconds) {
    // Unsigned arithmetic wraps like the 32-bit field instead of overflowing.
    return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(unixSeconds) + 32400u));
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
            if (NativeFs::IsMountPoint(nativePath(parent)))
                return true;
        }
        start = slash + 1;
    }
}

bool IsExcluded(const QString& localPath) {
    if (localPath.isEmpty() || localPath.contains(QChar(0)))
        return true;
    const QByteArray path = nativePath(localPath);
    if (NativeFs::StatusOf(path, false).kind == NativeFs::Kind::Missing)
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
    NativeFs::SyncPath(result, false);
    if (int error = 0; !NativeFs::Rename(result, previous, &error)) {
        logger.Log(CLogWriter::LogError,
                   QStringLiteral("差分ファイルの更新に失敗しました。(%1)").arg(error));
        return false;
    }
    NativeFs::SyncPath(nativePath(QFileInfo(names.previous).absolutePath()), true);
    if (int error = 0; !NativeFs::RemoveFile(nativePath(names.current), &error)) {
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
            NativeFs::MoveReplacing(nativePath(stray.absoluteFilePath()), nativePath(target));
        }
    }
}

}  // namespace LocalSnapshot
