#include "PostUpload.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <climits>
#include <vector>

#include "ConfigKeys.h"
#include "NativeFs.h"
#include "ProfileFile.h"

namespace PostUpload {
namespace {

constexpr qint64 kNineHours = 32400;
constexpr qint64 kDay = 86400;

QString TrimTrailingSlashes(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

bool IsUsableFolder(const QString& path) {
    return !path.isEmpty() && QDir::isAbsolutePath(path);
}

bool LiesIn(const QString& path, const QString& folder) {
    const QString f = TrimTrailingSlashes(folder);
    return path == f || path.startsWith(f == QLatin1String("/") ? f : f + QLatin1Char('/'));
}

NativeFs::FileIdentity IdentityOf(const QString& path) {
    return path.isEmpty() ? NativeFs::FileIdentity()
                          : NativeFs::IdentityOf(QFile::encodeName(path));
}

// Where a move from the hot folder to a target may lead. A target that is the
// hot folder written another way ("in/.", "x/../in", a link to it), one of its
// parents, or a folder linking back into it would put entries onto files of
// the hot folder not moved yet, or onto themselves: such entries stay. A
// target inside the hot folder is an ordinary target (the walk skips it).
class HotFolderGuard {
public:
    HotFolderGuard(const QString& hotFolder, const QString& target)
        : hot_(NativeFs::ResolvedPath(QFile::encodeName(hotFolder))),
          target_(NativeFs::ResolvedPath(QFile::encodeName(target))),
          targetInside_(!hot_.isEmpty() && target_ != hot_ && NativeFs::LiesIn(target_, hot_)) {}

    bool usable() const { return !hot_.isEmpty() && !target_.isEmpty(); }
    bool isIdentity() const { return hot_ == target_; }
    bool landsInHotFolder(const QByteArray& mirror) const {
        const QByteArray resolved = NativeFs::ResolvedPath(mirror);
        return NativeFs::LiesIn(resolved, hot_) &&
               !(targetInside_ && NativeFs::LiesIn(resolved, target_));
    }
    // An entry of the hot folder that already lies in a target inside it.
    bool alreadyInTarget(const QByteArray& source) const {
        return targetInside_ && NativeFs::LiesIn(NativeFs::ResolvedPath(source), target_);
    }

private:
    QByteArray hot_;
    QByteArray target_;
    bool targetInside_;
};

// One level of MoveTree. skip is the target folder, left alone when it lies
// inside the hot folder (walking it would move it into itself).
void MoveFolder(const QByteArray& folder, const QByteArray& target,
                const NativeFs::FileIdentity& skip, const HotFolderGuard* guard) {
    std::vector<QByteArray> names;
    NativeFs::ListNames(folder, names);
    for (const QByteArray& name : names) {
        const QByteArray source = NativeFs::Join(folder, name);
        const NativeFs::Status st = NativeFs::StatusOf(source, false);
        if (st.kind == NativeFs::Kind::Missing)
            continue;
        if (st.kind == NativeFs::Kind::Folder) {
            if (skip.sameAs(st.identity))
                continue;
            const QByteArray mirror =
                target.isEmpty() ? QByteArray() : NativeFs::Join(target, name);
            if (!mirror.isEmpty()) {
                if (guard->landsInHotFolder(mirror))
                    continue;
                NativeFs::MakePath(mirror);
            }
            MoveFolder(source, mirror, skip, guard);
            NativeFs::RemoveFolder(source);  // fails, as wanted, while it holds anything
        } else if (!target.isEmpty()) {
            // Links to folders, FIFOs, sockets and devices are not files to
            // move; CopyFile refuses them and they stay.
            const QByteArray mirror = NativeFs::Join(target, name);
            if (!guard->landsInHotFolder(mirror))
                NativeFs::MoveFile(source, mirror);
        }
    }
}

// One level of DeleteOldFiles; false when a sub-folder could not be removed,
// which ends the walk (the rest waits for a later run). kept is a folder the
// deletion never enters nor removes, by identity, so that no spelling of its
// path (".", "..", a link) lets the walk reach into it.
bool DeleteIn(const QByteArray& folder, bool onlyOld, qint64 limit, bool outermost,
              const NativeFs::FileIdentity& kept) {
    std::vector<QByteArray> names;
    NativeFs::ListNames(folder, names);
    for (const QByteArray& name : names) {
        const QByteArray path = NativeFs::Join(folder, name);
        const NativeFs::Status st = NativeFs::StatusOf(path, false);
        if (st.kind == NativeFs::Kind::Missing)
            continue;
        if (st.kind == NativeFs::Kind::Folder) {
            if (kept.sameAs(st.identity))
                continue;
            DeleteIn(path, onlyOld, limit, false, kept);
            if (!NativeFs::RemoveFolder(path))
                return false;
        } else if (!onlyOld) {
            NativeFs::RemoveFile(path);
        } else if (const auto born = NativeFs::BirthTime(path); born && *born <= limit) {
            NativeFs::RemoveFile(path);
        }
    }
    if (outermost && !onlyOld)
        return NativeFs::RemoveFolder(folder);
    return true;
}

}  // namespace

// Only the leading hot-folder prefix is replaced. Replacing every occurrence
// of the hot folder text, as a plain text replacement would, sends
// /data/x/data/y (hot folder /data) to <target>/x<target>/y: on Linux the
// hot folder's text can well occur again further down a path.
QString MirrorPath(const QString& path, const QString& hotFolder, const QString& target) {
    const QString hot = TrimTrailingSlashes(hotFolder);
    if (hot.isEmpty() || !LiesIn(path, hot))
        return path;
    const QString rest = hot == QLatin1String("/") ? path : path.mid(hot.size());
    const QString base = TrimTrailingSlashes(target);
    if (rest.isEmpty())
        return base;
    return (base == QLatin1String("/") ? QString() : base) + rest;
}

void MoveListed(const QStringList& paths, const QString& hotFolder, const QString& target) {
    if (!IsUsableFolder(hotFolder) || !IsUsableFolder(target))
        return;
    const HotFolderGuard guard(hotFolder, target);
    if (!guard.usable() || guard.isIdentity())
        return;
    for (const QString& path : paths) {
        // Paths outside the hot folder have no mirror; paths inside the
        // target (a target within the hot folder) are already where they go.
        if (!LiesIn(path, hotFolder))
            continue;
        const QByteArray source = QFile::encodeName(path);
        const QByteArray mirror = QFile::encodeName(MirrorPath(path, hotFolder, target));
        if (guard.alreadyInTarget(source) || guard.landsInHotFolder(mirror))
            continue;
        if (NativeFs::IsDirectory(source)) {
            NativeFs::MakePath(mirror);
            continue;
        }
        if (NativeFs::MakePath(NativeFs::ParentOf(mirror)))
            NativeFs::MoveFile(source, mirror);
    }
}

void MoveTree(const QString& hotFolder, const QString& target) {
    if (!IsUsableFolder(hotFolder) || (!target.isEmpty() && !QDir::isAbsolutePath(target)))
        return;
    const QByteArray mirror = QFile::encodeName(TrimTrailingSlashes(target));
    const HotFolderGuard guard(hotFolder, target);
    if (!mirror.isEmpty() && (!guard.usable() || guard.isIdentity() || !NativeFs::MakePath(mirror)))
        return;
    MoveFolder(QFile::encodeName(hotFolder), mirror, IdentityOf(target), &guard);
}

bool DeleteOldFiles(const QString& folder, bool onlyOld, int deleteDays, const Clock& clock,
                    const QString& keep) {
    if (!IsUsableFolder(folder))
        return false;
    const NativeFs::FileIdentity kept = IdentityOf(keep);
    // A folder that is the kept one (reached through any spelling) is left whole.
    if (kept.sameAs(IdentityOf(folder)))
        return true;
    const qint64 limit = SecondsSince1970(clock.localTime()) - kNineHours -
                         static_cast<qint64>(std::max(deleteDays, 0)) * kDay;
    return DeleteIn(QFile::encodeName(folder), onlyOld, limit, true, kept);
}

void AfterRun(const UploadJob& job, const UploadTally& tally, bool compressed, bool succeeded,
              const QString& configPath, const Clock& clock) {
    if (!job.EvacuationEnable)
        return;
    if (compressed) {
        MoveTree(job.HotFolder, succeeded ? job.EvacuationFolder : job.ErrorFolder);
    } else {
        MoveListed(tally.successList, job.HotFolder, job.EvacuationFolder);
        MoveListed(tally.failureList, job.HotFolder, job.ErrorFolder);
        MoveTree(job.HotFolder, QString());
    }
    if (job.Delete7DaysEnable) {
        const quint32 days = ProfileFile::readInt(
            UserConfig::DeleteDays.sectionText(), UserConfig::DeleteDays.nameText(),
            UserConfig::DeleteDays.defaultText().toUInt(), configPath);
        // The hot folder may be, or lie in, the evacuation folder: its files
        // are the ones still to be sent, never old evacuated ones.
        DeleteOldFiles(job.EvacuationFolder, true,
                       static_cast<int>(std::min<quint32>(days, INT_MAX)), clock, job.HotFolder);
    }
}

}  // namespace PostUpload
