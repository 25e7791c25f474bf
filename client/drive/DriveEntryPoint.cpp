#include "DriveEntryPoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "AtomicFile.h"
#include "WebDavLocation.h"

namespace {

QString LinkTarget(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return QString();
    QByteArray target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), target.size());
    if (n <= 0)
        return QString();
    target.truncate(n);
    return QFile::decodeName(target);
}

}  // namespace

DriveEntryPoint::DriveEntryPoint(QChar letter)
    : name_(DriveEntryName(letter)), path_(QDir::home().filePath(name_)) {}

bool DriveEntryPoint::exists() const {
    struct stat st {};
    return ::lstat(QFile::encodeName(path_).constData(), &st) == 0;
}

bool DriveEntryPoint::isOurs() const {
    return isMountPath(LinkTarget(path_));
}

QString DriveEntryPoint::mountPath() const {
    const QString target = LinkTarget(path_);
    return isMountPath(target) ? target : QString();
}

bool DriveEntryPoint::isMountPath(const QString& path) {
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    const QString clean = QDir::cleanPath(path);
    QStringList roots{QDir::home().filePath(QStringLiteral(".gvfs")),
                      QStringLiteral("/run/user/%1/gvfs").arg(::getuid())};
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        roots.append(QDir(runtime).filePath(QStringLiteral("gvfs")));
    for (const QString& root : roots) {
        if (clean.startsWith(QDir::cleanPath(root) + QLatin1Char('/')))
            return true;
    }
    return false;
}

bool DriveEntryPoint::create(const QString& mountPath, const QString& storage, QString* error) {
    if (exists() && !isOurs()) {
        *error = QStringLiteral("「%1」は利用者のファイルのため置き換えません。").arg(path_);
        return false;
    }
    // A new link renamed over the old one: the entry never disappears midway.
    // Unique, as the settings dialog and the start-time task may both map.
    const QString temporary =
        path_ + QStringLiteral(".%1.new-link")
                    .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    QFile::remove(temporary);
    if (::symlink(QFile::encodeName(mountPath).constData(),
                  QFile::encodeName(temporary).constData()) != 0 ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path_).constData()) !=
            0) {
        *error = QStringLiteral("「%1」を作成できません: %2")
                     .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temporary);
        return false;
    }
    // Only where a GTK file manager keeps its sidebar.
    if (!QFileInfo(bookmarksPath()).dir().exists())
        return true;
    return rewriteBookmarks((storage + QLatin1Char(' ') + name_).toUtf8(), error);
}

void DriveEntryPoint::remove() {
    if (isOurs())
        QFile::remove(path_);
    QString ignored;
    rewriteBookmarks(QByteArray(), &ignored);
}

QString DriveEntryPoint::bookmarksPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("gtk-3.0/bookmarks"));
}

// Our line: the entry's name after a dav or davs address, or after the link
// itself, as earlier versions wrote it.
bool DriveEntryPoint::isOurBookmark(const QByteArray& line) const {
    const qsizetype blank = line.indexOf(' ');
    if (blank < 0 || QString::fromUtf8(line.mid(blank + 1)) != name_)
        return false;
    const QByteArray uri = line.left(blank);
    return uri.startsWith("dav://") || uri.startsWith("davs://") ||
           uri == QUrl::fromLocalFile(path_).toEncoded();
}

bool DriveEntryPoint::rewriteBookmarks(const QByteArray& line, QString* error) const {
    const QString file = bookmarksPath();
    QFile in(file);
    QByteArray content;
    if (in.exists() && in.open(QIODevice::ReadOnly))
        content = in.readAll();
    QList<QByteArray> lines = content.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    QList<QByteArray> kept;
    bool placed = line.isEmpty();
    for (const QByteArray& old : lines) {
        if (!isOurBookmark(old))
            kept.append(old);
        else if (!placed) {
            kept.append(line);
            placed = true;
        }
    }
    if (!placed)
        kept.append(line);
    if (kept == lines)
        return true;
    QString failure;
    const QByteArray text = kept.isEmpty() ? QByteArray() : kept.join('\n') + '\n';
    if (!AtomicFile::write(file, text, &failure, 0644)) {
        *error = QStringLiteral("ブックマークを更新できません: ") + failure;
        return false;
    }
    return true;
}
