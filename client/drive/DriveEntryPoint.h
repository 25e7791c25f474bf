#pragma once

#include <QString>

// The drive letter's visible entry points: a link named after the letter in
// the home folder ("TORVAL2 (Z)") to the mounted storage, which the tray
// checks, and a line in the GTK file managers' sidebar bookmarks naming the
// storage's own address, which opens it (mounting with the stored password)
// even when the mount of an earlier login is gone. The link is ours only
// when it points into the desktop's mount folder (dangling or not); anything
// else of that name belongs to the user and is never replaced or removed.
class DriveEntryPoint {
public:
    explicit DriveEntryPoint(QChar letter);

    QString path() const { return path_; }
    // Something of that name exists (a link, even dangling, or a file).
    bool exists() const;
    bool isOurs() const;
    // Where our link points; empty when the entry is not ours.
    QString mountPath() const;

    // Points the entry at mountPath, replacing only our own link, and
    // bookmarks storage (a dav or davs address) where the sidebar keeps them.
    // False with *error otherwise.
    bool create(const QString& mountPath, const QString& storage, QString* error);
    // Removes our link and our bookmark line; a user's entry stays.
    void remove();

    // The folders below which the desktop's file system layer mounts.
    static bool isMountPath(const QString& path);
    static QString bookmarksPath();

private:
    // Replaces our bookmark lines by line (none when empty), where the first was.
    bool rewriteBookmarks(const QByteArray& line, QString* error) const;
    bool isOurBookmark(const QByteArray& line) const;

    QString name_;
    QString path_;
};
