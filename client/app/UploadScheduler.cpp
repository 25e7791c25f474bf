#include "UploadScheduler.h"

namespace {

const QString kSucceeded = QStringLiteral("成功");

// The decimal value of the leading digits; 0 when there are none.
qint64 decimalValue(const QString& text) {
    qint64 n = 0;
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i)
        n = std::min<qint64>(n * 10 + (text[i].unicode() - '0'), 1'000'000'000);
    return n;
}

// Monday 0 .. Sunday 6.
int dayIndex(const SystemTime& t) {
    return t.dayOfWeek == 0 ? 6 : t.dayOfWeek - 1;
}

qint64 minuteSeconds(SystemTime t) {
    t.second = 0;
    t.millisecond = 0;
    return SecondsSince1970(t);
}

}  // namespace

bool UploadScheduler::ScheduleMatches(bool timeOfDay, const SystemTime& time,
                                      const QString& afterStart, const QString& week,
                                      const SystemTime& now, const SystemTime& appStart) {
    const int d = dayIndex(now);
    if (week.size() < d + 1 || week[d] != QLatin1Char('1'))
        return false;
    if (timeOfDay)
        return now.hour == time.hour && now.minute == time.minute;
    return minuteSeconds(now) == minuteSeconds(appStart) + 60 * decimalValue(afterStart);
}

QList<int> UploadScheduler::DueJobs(const std::vector<const UploadJob*>& jobs,
                                    const SystemTime& now, const SystemTime& appStart) {
    QList<int> due;
    const qint64 nowSec = minuteSeconds(now);
    const int count = std::min<int>(static_cast<int>(jobs.size()), 20);
    for (int i = 0; i < count; ++i) {
        const UploadJob& job = *jobs[i];
        if (job.isUploading)
            continue;
        const bool matches =
            ScheduleMatches(job.SyncTime1Type, job.SyncTime1, job.SyncTime1AfterStart,
                            job.SyncTime1Week, now, appStart) ||
            (job.SyncTime2Enable &&
             ScheduleMatches(job.SyncTime2Type, job.SyncTime2, job.SyncTime2AfterStart,
                             job.SyncTime2Week, now, appStart));
        if (!matches)
            continue;
        bool recent = false;
        for (int j = 0; j < count && !recent; ++j) {
            const UploadJob& other = *jobs[j];
            recent = other.HotFolder == job.HotFolder &&
                     other.OrrinPortalFolder == job.OrrinPortalFolder &&
                     SecondsSince1970(other.LastUploadEndTime) + 7200 > nowSec &&
                     other.LastUploadFlag == kSucceeded;
        }
        if (!recent)
            due.append(i);
    }
    return due;
}
