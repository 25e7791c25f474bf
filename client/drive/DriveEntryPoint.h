#pragma once

#include <QString>

// The drive letter's visible entry point: a link named after the letter in the
// home folder ("TORVAL2 (Z)") to the mounted storage, and a line for it in the
// GTK file managers' sidebar bookmarks. The entry is ours only when it is a
// link into the desktop's mount folder (dangling or not); anything else of
// that name belongs to the user and is never replaced or removed.
class DriveEntryPoint {
public:
    explicit DriveEntryPoint(QChar letter);

    QString path() const { return path_; }
    // Something of that name exists (a link, even dangling, or a file).
    bool exists() const;
    bool isOurs() const;
    // Where our link points; empty when the entry is not ours.
    QString mountPath() const;

    // Points the entry at mountPath, replacing only our own link, and adds
    // the bookmark where the sidebar keeps them. False with *error otherwise.
    bool create(const QString& mountPath, QString* error);
    // Removes our link and our bookmark line; a user's entry stays.
    void remove();

    // The folders below which the desktop's file system layer mounts.
    static bool isMountPath(const QString& path);
    static QString bookmarksPath();

private:
    bool addBookmark(QString* error) const;
    void removeBookmark() const;
    QString bookmarkLine() const;

    QString name_;
    QString path_;
};
