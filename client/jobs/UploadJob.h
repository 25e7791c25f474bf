#pragma once

#include <QString>

#include "SystemTime.h"

// One upload job: what to send, where, when, and how its last run went.
struct UploadJob {
    bool isUploading = false;
    QString UniqueId;  // identity across renumbering, "%lld_%03d_%d"
    QString Name;
    QString HotFolder;          // local folder whose contents are sent
    QString EvacuationFolder;   // receives files that were sent
    QString ErrorFolder;        // receives files that failed
    QString OrrinPortalFolder;  // destination folder in the storage
    bool CompressionEnable = false;
    QString CompressionFilename;  // without ".zip"
    SystemTime LastUploadTime;
    SystemTime LastUploadEndTime;
    QString LastUploadFlag;  // "成功", "失敗", or "（未）" before the first run
    bool EvacuationEnable = false;
    bool Delete7DaysEnable = false;

    bool SyncTime1Type = false;  // true: a time of day; false: minutes after start
    QString SyncTime1AfterStart;
    QString SyncTime1Week;  // seven "1"/"0", Monday first
    SystemTime SyncTime1;   // only hour and minute are stored
    bool SyncTime2Enable = false;
    bool SyncTime2Type = false;
    QString SyncTime2AfterStart;
    QString SyncTime2Week;
    SystemTime SyncTime2;

    // Run parameters, never stored.
    int JobNumber = 0;
    bool UploadNow = false;
    bool AllJobs = false;

    friend bool operator==(const UploadJob&, const UploadJob&) = default;
};

// The members of the first and the second start time, which share one layout.
struct StartTimeMembers {
    bool UploadJob::*type;
    QString UploadJob::*afterStart;
    QString UploadJob::*week;
    SystemTime UploadJob::*time;
};
inline constexpr StartTimeMembers kStartTimes[] = {
    {&UploadJob::SyncTime1Type, &UploadJob::SyncTime1AfterStart, &UploadJob::SyncTime1Week,
     &UploadJob::SyncTime1},
    {&UploadJob::SyncTime2Type, &UploadJob::SyncTime2AfterStart, &UploadJob::SyncTime2Week,
     &UploadJob::SyncTime2},
};
