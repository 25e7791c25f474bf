#include "UploadScheduler.h"

#include <algorithm>

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

QDateTime UploadScheduler::NextStart(const std::vector<const UploadJob*>& jobs, int index,
                                     const QDateTime& now, const SystemTime& appStart) {
    if (index < 0 || index >= static_cast<int>(jobs.size()))
        return {};
    std::vector<UploadJob> copies;
    for (const UploadJob* job : jobs)
        copies.push_back(*job);
    copies[index].isUploading = false;
    std::vector<const UploadJob*> list;
    for (const UploadJob& job : copies)
        list.push_back(&job);

    // The minutes a schedule can match; DueJobs then applies every rule.
    const UploadJob& job = copies[index];
    const QDateTime minute(now.date(), QTime(now.time().hour(), now.time().minute()));
    QList<QDateTime> candidates;
    for (int s = 0; s < 2; ++s) {
        const StartTimeMembers& m = kStartTimes[s];
        if (s == 1 && !job.SyncTime2Enable)
            continue;
        if (!(job.*m.type)) {
            // Counted from the start minute, as DueJobs counts.
            const QDateTime start(QDate(appStart.year, appStart.month, appStart.day),
                                  QTime(appStart.hour, appStart.minute));
            if (start.isValid())
                candidates.append(start.addSecs(60 * decimalValue(job.*m.afterStart)));
            continue;
        }
        const SystemTime& time = job.*m.time;
        for (int day = 0; day <= 8; ++day)
            candidates.append(QDateTime(now.date().addDays(day), QTime(time.hour, time.minute)));
    }
    std::sort(candidates.begin(), candidates.end());
    for (const QDateTime& at : candidates) {
        if (at <= minute || at > minute.addDays(8))
            continue;
        if (DueJobs(list, SystemTime::fromDateTime(at), appStart).contains(index))
            return at;
    }
    return {};
}
