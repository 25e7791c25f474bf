#include "ArchiveBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

#include <zip.h>

#include "CLogWriter.h"
#include "DosAttributes.h"
#include "NativeFs.h"
#include "UserNotifier.h"

namespace ArchiveBuilder {
namespace {

const QString kZ0001 = QStringLiteral("Z0001: Zipファイルの作成に失敗しました。");
const QString kZ0002 = QStringLiteral("Z0002: Zipファイルの作成に失敗しました。");
const QString kZ0003 = QStringLiteral("Z0003: アップロード対象ファイルがありません。");

const QByteArray kWorkPrefix = "tv2";
constexpr zip_uint32_t kCompressionLevel = 6;

struct Entry {
    QByteArray relative;  // below the archive source, "/"-separated
    bool folder = false;
    bool temporary = false;
};

struct Tree {
    std::vector<Entry> entries;  // pre-order, names in byte order
    bool anyTemporary = false;
    bool unreadable = false;  // a sub-folder could not be listed
};

// Lists the tree below root. Symbolic links to files count as files (their
// content is archived); links to folders are left out, as following them
// could loop or pull in trees outside the hot folder. Dangling links, FIFOs,
// sockets and devices are left out too: they hold nothing to archive, and
// reading a FIFO would block. The work folder is skipped should the hot
// folder contain the temporary folder. A folder with the temporary attribute
// is not descended into: it is left out with all it holds.
void Walk(const QByteArray& root, const QByteArray& relative, const NativeFs::FileIdentity& skip,
          Tree& tree) {
    const QByteArray folder = relative.isEmpty() ? root : NativeFs::Join(root, relative);
    std::vector<QByteArray> names;
    if (!NativeFs::ListNames(folder, names) && !relative.isEmpty())
        tree.unreadable = true;
    for (const QByteArray& name : names) {
        const QByteArray rel = relative.isEmpty() ? name : relative + '/' + name;
        const QByteArray path = NativeFs::Join(root, rel);
        NativeFs::Status st = NativeFs::StatusOf(path, false);
        if (st.kind == NativeFs::Kind::Missing)
            continue;  // gone since it was listed
        if (st.kind == NativeFs::Kind::Link) {
            st = NativeFs::StatusOf(path, true);
            if (st.kind != NativeFs::Kind::File)
                continue;
        }
        if (st.kind == NativeFs::Kind::Folder) {
            if (skip.sameAs(st.identity))
                continue;
            const bool temporary = HasTemporaryAttribute(path);
            tree.entries.push_back({rel, true, temporary});
            tree.anyTemporary = tree.anyTemporary || temporary;
            if (!temporary)
                Walk(root, rel, skip, tree);
        } else if (st.kind == NativeFs::Kind::File) {
            const bool temporary = HasTemporaryAttribute(path);
            tree.entries.push_back({rel, false, temporary});
            tree.anyTemporary = tree.anyTemporary || temporary;
        }
    }
}

// Copies every entry without the temporary attribute into target and
// returns the entries copied.
bool CopyWithoutTemporary(const QByteArray& root, const Tree& tree, const QByteArray& target,
                          std::vector<Entry>& copied) {
    for (const Entry& e : tree.entries) {
        if (e.temporary)
            continue;
        const QByteArray to = NativeFs::Join(target, e.relative);
        const bool ok = e.folder ? NativeFs::MakePath(to)
                                 : NativeFs::CopyFile(NativeFs::Join(root, e.relative), to);
        if (!ok)
            return false;
        copied.push_back(e);
    }
    return true;
}

bool WriteZip(const QByteArray& archive, const QByteArray& root,
              const std::vector<Entry>& entries) {
    int error = 0;
    zip_t* za = zip_open(archive.constData(), ZIP_CREATE | ZIP_EXCL, &error);
    if (!za)
        return false;
    bool ok = true;
    for (const Entry& e : entries) {
        const QByteArray path = NativeFs::Join(root, e.relative);
        if (e.folder) {
            const zip_int64_t index = zip_dir_add(za, e.relative.constData(), ZIP_FL_ENC_GUESS);
            const NativeFs::Status st = NativeFs::StatusOf(path, true);
            if (index >= 0 && st.kind != NativeFs::Kind::Missing)
                zip_file_set_mtime(za, static_cast<zip_uint64_t>(index), st.mtime, 0);
            ok = index >= 0;
        } else {
            // Read at zip_close. Deflate at level 6, the level Info-ZIP Zip
            // uses by default; libzip's own default (9, and ZIP_CM_DEFAULT
            // ignores a level) takes three times as long on text for 3% less.
            zip_source_t* source = zip_source_file(za, path.constData(), 0, -1);
            const zip_int64_t index =
                source ? zip_file_add(za, e.relative.constData(), source, ZIP_FL_ENC_GUESS) : -1;
            if (source && index < 0)
                zip_source_free(source);
            ok = index >= 0 && zip_set_file_compression(za, static_cast<zip_uint64_t>(index),
                                                        ZIP_CM_DEFLATE, kCompressionLevel) == 0;
        }
        if (!ok)
            break;
    }
    if (!ok || zip_close(za) != 0) {
        zip_discard(za);  // writes nothing
        return false;
    }
    // Read the written directory back: the archive must be whole and complete.
    za = zip_open(archive.constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!za)
        return false;
    ok = zip_get_num_entries(za, 0) == static_cast<zip_int64_t>(entries.size());
    zip_discard(za);
    return ok;
}

QString ProgramFolder() {
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
}

void Notify(UserNotifier* notifier, const QString& text) {
    if (notifier)
        notifier->showWarning(text);
}

// T: the system's temporary folder, or the program's folder when there is
// none usable or its name leaves no room below PATH_MAX for the work files.
QString TemporaryFolder(UserNotifier* notifier) {
    QString t = QDir::tempPath();
    if (t.isEmpty() || !QFileInfo(t).isDir()) {
        Notify(notifier, QStringLiteral("テンポラリディレクトリ名が取得できませんでした"));
        return ProgramFolder();
    }
    constexpr int kRoom = 64;  // "/tv2XXXXXX/zipdir/" and then some
    if (QFile::encodeName(t).size() + kRoom >= PATH_MAX) {
        Notify(notifier,
               QStringLiteral("テンポラリディレクトリの名前が長すぎるため、格納出来ませんでした"));
        return ProgramFolder();
    }
    return t;
}

// W: a fresh folder "tv2XXXXXX" in T, or T/tv2_tmp.zip when none can be made.
QString WorkFolder(const QString& t, UserNotifier* notifier) {
    const QByteArray folder =
        NativeFs::MakeTemporaryFolder(NativeFs::Join(QFile::encodeName(t), kWorkPrefix + "XXXXXX"));
    if (!folder.isEmpty())
        return QFile::decodeName(folder);
    Notify(notifier, QStringLiteral("テンポラリファイル名が取得できませんでした"));
    return t + QStringLiteral("/tv2_tmp.zip");
}

}  // namespace

QMutex& ArchiveLock() {
    static QMutex lock;
    return lock;
}

std::optional<Archive> BuildArchive(const UploadJob& job, CLogWriter& logger,
                                    UserNotifier* notifier) {
    Archive archive;
    archive.name = job.CompressionFilename + QStringLiteral(".zip");
    archive.workFolder = WorkFolder(TemporaryFolder(notifier), notifier);
    archive.path = archive.workFolder + QLatin1Char('/') + archive.name;
    const QByteArray work = QFile::encodeName(archive.workFolder);
    const QByteArray copyFolder = NativeFs::Join(work, "zipdir");
    NativeFs::MakePath(copyFolder);
    // The caller gets nothing to clean up after a failure, so clean up here.
    // The guard keeps its own copy of the paths: what it removes must not
    // depend on what became of the returned archive.
    struct RemoveUnlessKept {
        const Archive paths;
        bool keep = false;
        ~RemoveUnlessKept() {
            if (!keep)
                Cleanup(paths);
        }
    } guard{archive};

    // A name with a "/" would put the archive outside the work folder.
    if (job.CompressionFilename.contains(QLatin1Char('/')) ||
        job.CompressionFilename.contains(QChar(0))) {
        logger.Log(CLogWriter::LogError, kZ0002);
        return std::nullopt;
    }

    QByteArray source = QFile::encodeName(job.HotFolder);
    // Held through zip_close, which is where the files are read and compressed.
    QMutexLocker locker(&ArchiveLock());

    Tree tree;
    Walk(source, {}, NativeFs::IdentityOf(work), tree);
    std::vector<Entry> entries;
    if (tree.anyTemporary) {
        if (tree.unreadable || !CopyWithoutTemporary(source, tree, copyFolder, entries)) {
            logger.Log(CLogWriter::LogError, kZ0001);
            logger.Log(CLogWriter::LogError, kZ0002);
            return std::nullopt;
        }
        source = copyFolder;
    } else {
        entries = std::move(tree.entries);
    }

    const bool anyFile =
        std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return !e.folder; });
    if (!anyFile && !tree.unreadable) {
        logger.Log(CLogWriter::LogWarning, kZ0003);
        return std::nullopt;
    }
    // A folder that cannot be listed would leave files out of the archive.
    if (tree.unreadable || !WriteZip(QFile::encodeName(archive.path), source, entries)) {
        logger.Log(CLogWriter::LogError, kZ0002);
        return std::nullopt;
    }
    guard.keep = true;
    return archive;
}

void Cleanup(const Archive& archive) {
    if (!archive.path.isEmpty())
        QFile::remove(archive.path);
    const QByteArray work = QFile::encodeName(archive.workFolder);
    // Only ever a folder this class named; never anything a bad value points at.
    if (!work.isEmpty() && QFileInfo(archive.workFolder).fileName().startsWith(kWorkPrefix))
        NativeFs::RemoveTree(work);
}

}  // namespace ArchiveBuilder
