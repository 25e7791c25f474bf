#pragma once

#include <QString>
#include <QtGlobal>

// One line of a snapshot file, parsed.
struct TreeEntry {
    QString type;        // "0" folder, "1" file
    QString localPath;   // as the walk built it
    QString remotePath;  // destination + "/" + path relative to the hot folder
    quint64 size = 0;
    qint32 time = 0;  // last write, Unix time + 32400, truncated to 32 bits
    QString name;     // last part of the remote path
    QString parent;   // remote path without its last part

    bool isFolder() const { return type == QLatin1String("0"); }
};
