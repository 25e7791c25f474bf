#pragma once

#include <QtGlobal>

// The sixteen counters of one upload run; sizes in bytes. The run's report
// to the web tool carries them as they are.
struct UploadCounters {
    quint64 foldersTotal = 0;
    quint64 filesTotal = 0;
    quint64 sizeTotal = 0;
    quint64 foldersCreated = 0;
    quint64 succeeded = 0;
    quint64 succeededSize = 0;
    quint64 failed = 0;
    quint64 failedSize = 0;
    quint64 skipped = 0;
    quint64 skippedSize = 0;
    quint64 excluded = 0;
    quint64 excludedSize = 0;
    quint64 interrupted = 0;
    quint64 interruptedSize = 0;
    quint64 retries = 0;
    quint64 retrySize = 0;

    friend bool operator==(const UploadCounters&, const UploadCounters&) = default;
};
