#include "UploadScheduler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A local time from its parts; the weekday follows from the date.
SystemTime At(int day, int hour, int minute, int second = 0) {
    return SystemTime::fromDateTime(QDateTime(QDate(2026, 12, day), QTime(hour, minute, second)));
}

// 2026-12-07 is a Monday.
const SystemTime kStart = At(7, 8, 0, 40);

UploadJob Daily(int hour, int minute, const QString& week = "1111111") {
    UploadJob j;
    j.HotFolder = "/hot";
    j.OrrinPortalFolder = "/dest";
    j.SyncTime1Type = true;
    j.SyncTime1 = {.hour = quint16(hour), .minute = quint16(minute)};
    j.SyncTime1Week = week;
    j.LastUploadFlag = "（未）";
    return j;
}

UploadJob AfterStart(const QString& minutes, const QString& week = "1111111") {
    UploadJob j = Daily(0, 0, week);
    j.SyncTime1Type = false;
    j.SyncTime1AfterStart = minutes;
    return j;
}

// Daily at 09:00 with a second schedule: a time of day, or minutes after the
// start when `after` is given.
UploadJob Twice(bool enabled, int hour, int minute, const QString& after = {}) {
    UploadJob j = Daily(9, 0);
    j.SyncTime2Enable = enabled;
    j.SyncTime2Type = after.isEmpty();
    j.SyncTime2 = {.hour = quint16(hour), .minute = quint16(minute)};
    j.SyncTime2AfterStart = after;
    j.SyncTime2Week = "1111111";
    return j;
}

UploadJob Ended(UploadJob j, const QString& flag, const SystemTime& end) {
    j.LastUploadFlag = flag;
    j.LastUploadEndTime = end;
    return j;
}

UploadJob Uploading(UploadJob j) {
    j.isUploading = true;
    return j;
}

// Another job on the same folders, never due itself, whose run ended at 10:00.
UploadJob Neighbour(const QString& flag, const QString& dest = "/dest") {
    UploadJob j = Ended(Daily(23, 0), flag, At(7, 10, 0));
    j.OrrinPortalFolder = dest;
    return j;
}

TEST(UploadSchedulerTest, DueJobsByScheduleAndLastRun) {
    const SystemTime late = At(13, 23, 58, 10);  // Sunday 23:58
    const struct {
        const char* why;
        std::vector<UploadJob> jobs;
        SystemTime now;
        QList<int> due;
        SystemTime start = kStart;
    } cases[] = {
        {"Friday, at 9:30:59", {Daily(9, 30, "1111100")}, At(11, 9, 30, 59), {0}},
        {"Saturday not in the mask", {Daily(9, 30, "1111100")}, At(12, 9, 30), {}},
        {"the minute before", {Daily(9, 30)}, At(7, 9, 29, 59), {}},
        {"the minute after", {Daily(9, 30)}, At(7, 9, 31), {}},
        {"Sunday is the last bit", {Daily(0, 0, "0000001")}, At(13, 0, 0), {0}},
        {"short mask, day beyond it", {Daily(9, 30, "11111")}, At(12, 9, 30), {}},
        // Counted from the start minute: started 08:00:40, five minutes → 08:05.
        {"after start, a minute early", {AfterStart("5")}, At(7, 8, 4, 59), {}},
        {"after start", {AfterStart("5")}, At(7, 8, 5, 1), {0}},
        {"after start, a minute late", {AfterStart("5")}, At(7, 8, 6), {}},
        {"once per program start", {AfterStart("5")}, At(8, 8, 5), {}},
        {"zero minutes: no tick reaches it", {AfterStart("0")}, At(7, 8, 1), {}},
        {"across midnight, Monday's bit", {AfterStart("5", "1000000")}, At(14, 0, 3), {0}, late},
        {"across midnight, Sunday's bit", {AfterStart("5", "0000001")}, At(14, 0, 3), {}, late},
        {"minutes, not a wrapped time", {AfterStart("1440")}, At(8, 8, 0), {0}},
        {"second schedule off", {Twice(false, 17, 45)}, At(7, 17, 45), {}},
        {"second schedule", {Twice(true, 17, 45)}, At(7, 17, 45), {0}},
        {"first beside the second", {Twice(true, 17, 45)}, At(7, 9, 0), {0}},
        {"second after start", {Twice(true, 17, 45, "10")}, At(7, 8, 10), {0}},
        {"second after start only", {Twice(true, 17, 45, "10")}, At(7, 17, 45), {}},
        {"running: first", {Uploading(Twice(true, 0, 0, "10"))}, At(7, 9, 0), {}},
        // Two hours after a successful run of the same folders.
        {"a minute short", {Twice(true, 11, 59), Neighbour("成功")}, At(7, 11, 59), {}},
        {"two hours on", {Twice(true, 12, 0), Neighbour("成功")}, At(7, 12, 0), {0}},
        {"neighbour failed", {Twice(true, 10, 30), Neighbour("失敗")}, At(7, 10, 30), {0}},
        {"case-sensitive", {Twice(true, 10, 30), Neighbour("成功", "/Dest")}, At(7, 10, 30), {0}},
        {"own success at 23:00", {Ended(Daily(0, 30), "成功", At(7, 23, 0))}, At(8, 0, 30), {}},
        {"own success at 22:30", {Ended(Daily(0, 30), "成功", At(7, 22, 30))}, At(8, 0, 30), {0}},
    };
    for (const auto& c : cases) {
        std::vector<const UploadJob*> list;
        for (const UploadJob& j : c.jobs)
            list.push_back(&j);
        EXPECT_EQ(UploadScheduler::DueJobs(list, c.now, c.start), c.due) << c.why;
    }
}

TEST(UploadSchedulerTest, SeveralJobsInOneTickAndAtMostTwenty) {
    std::vector<UploadJob> jobs(22, Daily(6, 15));
    std::vector<const UploadJob*> list;
    for (size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].HotFolder = QStringLiteral("/hot%1").arg(i);
        list.push_back(&jobs[i]);
    }
    jobs[1].SyncTime1.minute = 16;
    const QList<int> due = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    EXPECT_EQ(UploadScheduler::DueJobs(list, At(7, 6, 15), kStart), due);
}

// The minute the status reports as a job's next start: the first later
// minute DueJobs accepts, the running mark aside.
TEST(UploadSchedulerTest, NextStartIsTheFirstDueMinuteAfterNow) {
    const auto at = [](int day, int hour, int minute, int second = 0) {
        return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
    };
    const struct {
        const char* why;
        std::vector<UploadJob> jobs;
        QDateTime now;
        QDateTime next;
    } cases[] = {
        {"later today", {Daily(9, 30)}, at(7, 8, 10), at(7, 9, 30)},
        {"this minute is taken", {Daily(9, 30)}, at(7, 9, 30, 20), at(8, 9, 30)},
        {"Monday only", {Daily(9, 30, "1000000")}, at(7, 10, 0), at(14, 9, 30)},
        {"no day", {Daily(9, 30, "0000000")}, at(7, 8, 10), {}},
        {"after start", {AfterStart("5")}, at(7, 8, 2), at(7, 8, 5)},
        {"after start, passed", {AfterStart("5")}, at(7, 8, 6), {}},
        {"second schedule first", {Twice(true, 8, 30)}, at(7, 8, 10), at(7, 8, 30)},
        {"second schedule off", {Twice(false, 8, 30)}, at(7, 8, 10), at(7, 9, 0)},
        {"running", {Uploading(Daily(9, 30))}, at(7, 8, 10), at(7, 9, 30)},
        {"two hours after a success",
         {Twice(true, 11, 0), Neighbour("成功")},
         at(7, 10, 30),
         at(8, 9, 0)},
    };
    for (const auto& c : cases) {
        std::vector<const UploadJob*> list;
        for (const UploadJob& j : c.jobs)
            list.push_back(&j);
        EXPECT_EQ(UploadScheduler::NextStart(list, 0, c.now, kStart), c.next) << c.why;
    }
}

}  // namespace
