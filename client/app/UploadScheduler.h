#pragma once

#include <QDateTime>
#include <QList>

#include <vector>

#include "SystemTime.h"
#include "UploadJob.h"

// Which jobs a scheduler tick starts. A pure function of the job list, the
// tick's local time and the program's start minute, so every rule can be
// tested with a clock under the test's control.
namespace UploadScheduler {

// 0-based indexes of the jobs due at now, in list order. A job is due when
// one of its schedules matches this minute on today's weekday, it is not
// running, and no job with the same hot folder and destination ended
// successfully less than two hours ago.
QList<int> DueJobs(const std::vector<const UploadJob*>& jobs, const SystemTime& now,
                   const SystemTime& appStart);

// Whether one schedule matches: a time of day, or minutes after the start.
bool ScheduleMatches(bool timeOfDay, const SystemTime& time, const QString& afterStart,
                     const QString& week, const SystemTime& now, const SystemTime& appStart);

// The first minute after now at which a tick would start job index (its
// running mark aside), within the next eight days; invalid when none.
QDateTime NextStart(const std::vector<const UploadJob*>& jobs, int index, const QDateTime& now,
                    const SystemTime& appStart);

}  // namespace UploadScheduler
