#pragma once

#include <QMutex>
#include <QString>

#include <optional>

#include "UploadJob.h"

class CLogWriter;
class UserNotifier;

// Packs a compressed job's hot folder into one zip archive in a private
// temporary folder. Only one archive is built at a time in the process.
namespace ArchiveBuilder {

struct Archive {
    QString path;        // <work folder>/<CompressionFilename>.zip
    QString name;        // <CompressionFilename>.zip
    QString workFolder;  // removed with everything in it by Cleanup
};

// The whole tree of the hot folder (hidden files included, entries with the
// temporary attribute left out by copying the rest first), paths relative to
// it. Nothing, after logging Z0001/Z0002/Z0003, when no archive can be made.
std::optional<Archive> BuildArchive(const UploadJob& job, CLogWriter& logger,
                                    UserNotifier* notifier);

// Deletes the archive and its work folder.
void Cleanup(const Archive& archive);

// The process-wide archive lock.
QMutex& ArchiveLock();

}  // namespace ArchiveBuilder
