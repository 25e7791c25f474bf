#pragma once

#include <QStringList>

#include "UploadCounters.h"

// What a run counted and which local paths it handled: the success list
// holds entries that reached the storage, the failure list entries that
// failed or were left unhandled. Moving files after the run works from them.
struct UploadTally {
    UploadCounters counters;
    QStringList successList;
    QStringList failureList;
};
