#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file's whole content so that a reader sees either the old or the
// new file, never a mix, also when the process is killed midway: the data
// goes to a temporary file in the same folder, is synced, and renamed over
// the target. A new file gets the permissions given (owner-only by default,
// as these files may hold passwords); an existing file keeps its own.
class AtomicFile {
public:
    static bool write(const QString& path, const QByteArray& data, QString* error = nullptr,
                      int newFileMode = 0600);
};
