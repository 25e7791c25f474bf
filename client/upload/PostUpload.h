#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

#include "SystemTime.h"
#include "UploadJob.h"
#include "UploadTally.h"

// Moving handled files out of the hot folder after a run, and deleting
// moved files after the configured number of days.
namespace PostUpload {

// path with its leading hotFolder replaced by target; path itself when it
// does not lie in hotFolder.
QString MirrorPath(const QString& path, const QString& hotFolder, const QString& target);

// Moves each listed path to its mirror path below target (folders are
// created, files copied over and then deleted). A target that resolves to the
// hot folder moves nothing; an entry whose mirror would land back in the hot
// folder (a parent of it as target, a link into it) stays.
void MoveListed(const QStringList& paths, const QString& hotFolder, const QString& target);

// Moves the whole tree below hotFolder to target, or with an empty target
// only removes empty sub-folders. The hot folder itself stays; targets that
// lead back into it are handled as by MoveListed.
void MoveTree(const QString& hotFolder, const QString& target);

// Deletes files below folder (only those born at least deleteDays days and
// nine hours before the clock's wall-clock time read as UTC, when onlyOld)
// and the sub-folders they leave empty. The folder keep (the same folder
// however it is spelled) is neither entered nor removed.
bool DeleteOldFiles(const QString& folder, bool onlyOld, int deleteDays, const Clock& clock,
                    const QString& keep = QString());

// All of the above as a run of job needs it; nothing when EvacuationEnable is
// off. DeleteDays is read from configPath at this moment.
void AfterRun(const UploadJob& job, const UploadTally& tally, bool compressed, bool succeeded,
              const QString& configPath, const Clock& clock = Clock::system());

}  // namespace PostUpload
