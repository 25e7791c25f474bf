#pragma once

#include <QString>
#include <QStringList>

#include <limits>

#include "MessageBoxes.h"
#include "SystemTime.h"
#include "UploadJob.h"

class CTorval2UploadList;

// A new job as the settings dialog opens it: both start times at the time
// of day now, every weekday ticked, start time 2 off, minutes "0".
UploadJob NewJobDefaults(const SystemTime& now);

// Source folders a job may not use, compared as whole texts: the file-system
// root, the system folders and the program's own folder, each also with a
// trailing "/". Empty when the program's folder is unknown.
QStringList ForbiddenSourceFolders(const QString& programFolder);

// Files below folder, sub-folders counted by their contents; hidden entries
// count, links are not followed. Stops counting at stopAt.
qint64 CountFilesRecursive(const QString& folder,
                           qint64 stopAt = std::numeric_limits<qint64>::max());

// Checks the dialog's values in order and stops at the first failure, whose
// message it shows; asks the file-count and deletion questions on the way.
// True when the job may be stored. deletionAtOpen: "移動7日後にファイルを
// 削除する" was ticked when the dialog opened.
bool ValidateJobSettings(const UploadJob& values, bool deletionAtOpen, const MessageBoxes& boxes,
                         const QString& programFolder);

// Copies the dialog's values into the job at index, or into a new job
// appended to the list for index -1. False when the list refuses it.
bool StoreDialogIntoJob(const UploadJob& values, int index, CTorval2UploadList& list);

// "09:00 月水金 / 起動10分後 土日": the list's start time column.
QString ScheduleSummary(const UploadJob& job);
