#include "UploadScheduler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A local time from its parts; the weekday follows from the date.
SystemTime At(int year, int month, int day, int hour, int minute, int second = 0) {
    return SystemTime::fromDateTime(
        QDateTime(QDate(year, month, day), QTime(hour, minute, second)));
}

// 2026-12-07 is a Monday.
const SystemTime kStart = At(2026, 12, 7, 8, 0, 40);

UploadJob TimeOfDay(int hour, int minute, const QString& week = "1111111") {
    UploadJob j;
    j.HotFolder = "/hot";
    j.OrrinPortalFolder = "/dest";
    j.SyncTime1Type = true;
    j.SyncTime1.hour = static_cast<quint16>(hour);
    j.SyncTime1.minute = static_cast<quint16>(minute);
    j.SyncTime1Week = week;
    j.LastUploadFlag = "（未）";
    return j;
}

UploadJob AfterStart(const QString& minutes, const QString& week = "1111111") {
    UploadJob j = TimeOfDay(0, 0, week);
    j.SyncTime1Type = false;
    j.SyncTime1AfterStart = minutes;
    return j;
}

QList<int> Due(const std::vector<UploadJob>& jobs, const SystemTime& now,
               const SystemTime& start = kStart) {
    std::vector<const UploadJob*> list;
    for (const UploadJob& j : jobs)
        list.push_back(&j);
    return UploadScheduler::DueJobs(list, now, start);
}

TEST(UploadSchedulerTest, TimeOfDayOnItsWeekdaysOnly) {
    const UploadJob weekdays = TimeOfDay(9, 30, "1111100");
    // Every day of one week at 09:30, then the neighbouring minutes.
    for (int day = 7; day <= 13; ++day) {
        const bool weekend = day >= 12;
        EXPECT_EQ(Due({weekdays}, At(2026, 12, day, 9, 30, 59)).size(), weekend ? 0 : 1) << day;
        EXPECT_TRUE(Due({weekdays}, At(2026, 12, day, 9, 29, 59)).isEmpty());
        EXPECT_TRUE(Due({weekdays}, At(2026, 12, day, 9, 31)).isEmpty());
    }
    // Sunday only: the last character of the mask.
    EXPECT_EQ(Due({TimeOfDay(0, 0, "0000001")}, At(2026, 12, 13, 0, 0)).size(), 1);
    EXPECT_TRUE(Due({TimeOfDay(0, 0, "0000001")}, At(2026, 12, 14, 0, 0)).isEmpty());
    // A mask too short for today never matches; so does an empty one.
    EXPECT_TRUE(Due({TimeOfDay(9, 30, "11111")}, At(2026, 12, 12, 9, 30)).isEmpty());
    EXPECT_EQ(Due({TimeOfDay(9, 30, "11111")}, At(2026, 12, 11, 9, 30)).size(), 1);
    EXPECT_TRUE(Due({TimeOfDay(9, 30, "")}, At(2026, 12, 7, 9, 30)).isEmpty());
}

TEST(UploadSchedulerTest, AfterStartCountsFromTheStartMinute) {
    const UploadJob five = AfterStart("5");
    EXPECT_TRUE(Due({five}, At(2026, 12, 7, 8, 4, 59)).isEmpty());
    EXPECT_EQ(Due({five}, At(2026, 12, 7, 8, 5, 1)).size(), 1)
        << "start 08:00:40 → the 08:05 minute";
    EXPECT_TRUE(Due({five}, At(2026, 12, 7, 8, 6)).isEmpty());
    EXPECT_TRUE(Due({five}, At(2026, 12, 8, 8, 5)).isEmpty()) << "once per program start";
    // Zero minutes would be the start minute itself, which no tick reaches.
    EXPECT_TRUE(Due({AfterStart("0")}, At(2026, 12, 7, 8, 1)).isEmpty());
    EXPECT_TRUE(Due({AfterStart("abc")}, At(2026, 12, 7, 8, 1)).isEmpty());
    // Across midnight: started 23:58 on Sunday, 5 minutes → Monday 00:03, Monday's mask bit.
    const SystemTime late = At(2026, 12, 13, 23, 58, 10);
    EXPECT_EQ(Due({AfterStart("5", "1000000")}, At(2026, 12, 14, 0, 3), late).size(), 1);
    EXPECT_TRUE(Due({AfterStart("5", "0000001")}, At(2026, 12, 14, 0, 3), late).isEmpty());
    // A large value is minutes, not a day-wrapped time.
    EXPECT_EQ(Due({AfterStart("1440")}, At(2026, 12, 8, 8, 0)).size(), 1);
}

TEST(UploadSchedulerTest, SecondScheduleOnlyWhenEnabledAndNeitherWhileRunning) {
    UploadJob j = TimeOfDay(9, 0);
    j.SyncTime2Type = true;
    j.SyncTime2 = {.hour = 17, .minute = 45};
    j.SyncTime2Week = "1111111";
    EXPECT_TRUE(Due({j}, At(2026, 12, 7, 17, 45)).isEmpty());
    j.SyncTime2Enable = true;
    EXPECT_EQ(Due({j}, At(2026, 12, 7, 17, 45)).size(), 1);
    EXPECT_EQ(Due({j}, At(2026, 12, 7, 9, 0)).size(), 1);
    j.SyncTime2Type = false;
    j.SyncTime2AfterStart = "10";
    EXPECT_EQ(Due({j}, At(2026, 12, 7, 8, 10)).size(), 1);
    EXPECT_TRUE(Due({j}, At(2026, 12, 7, 17, 45)).isEmpty());
    j.isUploading = true;
    EXPECT_TRUE(Due({j}, At(2026, 12, 7, 9, 0)).isEmpty()) << "running jobs are not started again";
    EXPECT_TRUE(Due({j}, At(2026, 12, 7, 8, 10)).isEmpty());
}

TEST(UploadSchedulerTest, TwoHoursAfterASuccessfulRunOfTheSameFolders) {
    UploadJob a = TimeOfDay(10, 0);
    a.SyncTime2Enable = true;
    a.SyncTime2Type = true;
    a.SyncTime2Week = "1111111";
    UploadJob b = a;  // same folders
    b.LastUploadFlag = "成功";
    b.LastUploadEndTime = At(2026, 12, 7, 10, 0);
    b.SyncTime1.hour = 23;  // b itself is not due
    b.SyncTime2Enable = false;
    auto dueAt = [&](int hour, int minute) {
        a.SyncTime2.hour = static_cast<quint16>(hour);
        a.SyncTime2.minute = static_cast<quint16>(minute);
        return Due({a, b}, At(2026, 12, 7, hour, minute));
    };
    EXPECT_TRUE(dueAt(10, 0).isEmpty());
    EXPECT_TRUE(dueAt(11, 59).isEmpty());
    EXPECT_EQ(dueAt(12, 0), QList<int>{0});

    b.LastUploadFlag = "失敗";
    EXPECT_EQ(dueAt(10, 30), QList<int>{0}) << "after a failed run the other may start at once";
    b.LastUploadFlag = "成功";
    b.OrrinPortalFolder = "/Dest";
    EXPECT_EQ(dueAt(10, 30), QList<int>{0}) << "folders compare case-sensitively";
    // The job's own recent success holds it back too, across midnight.
    UploadJob own = TimeOfDay(0, 30);
    own.LastUploadFlag = "成功";
    own.LastUploadEndTime = At(2026, 12, 7, 23, 0);
    EXPECT_TRUE(Due({own}, At(2026, 12, 8, 0, 30)).isEmpty());
    own.LastUploadEndTime = At(2026, 12, 7, 22, 30);
    EXPECT_EQ(Due({own}, At(2026, 12, 8, 0, 30)).size(), 1);
}

TEST(UploadSchedulerTest, SeveralJobsInOneTickAndAtMostTwenty) {
    std::vector<UploadJob> jobs(22, TimeOfDay(6, 15));
    for (size_t i = 0; i < jobs.size(); ++i)
        jobs[i].HotFolder = QStringLiteral("/hot%1").arg(i);
    jobs[1].SyncTime1.minute = 16;
    const QList<int> due = Due(jobs, At(2026, 12, 7, 6, 15));
    EXPECT_EQ(due.size(), 19);
    EXPECT_EQ(due.front(), 0);
    EXPECT_EQ(due.back(), 19);
    EXPECT_FALSE(due.contains(1));
}

}  // namespace
