#include "SystemTime.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

TEST(SystemTimeTest, SecondsSince1970ReadsWallClockAsUtc) {
    SystemTime t;
    t.year = 2013;
    t.month = 12;
    t.day = 6;
    t.hour = 9;
    t.minute = 24;
    t.second = 5;
    t.millisecond = 999;  // ignored: whole seconds
    const qint64 expected = 1386321845;

    // The result must not depend on the machine's time zone.
    for (const char* tz : {"UTC", "Asia/Tokyo", "America/New_York"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(SecondsSince1970(t), expected) << tz;
    }
    ::unsetenv("TZ");
    ::tzset();

    EXPECT_EQ(SecondsSince1970(SystemTime{}), 0) << "zero date";
    SystemTime feb30 = t;
    feb30.month = 2;
    feb30.day = 30;
    EXPECT_EQ(SecondsSince1970(feb30), 0);
    SystemTime leap = t;
    leap.year = 2024;
    leap.month = 2;
    leap.day = 29;
    leap.hour = leap.minute = leap.second = 0;
    EXPECT_EQ(SecondsSince1970(leap), 1709164800);
}

TEST(SystemTimeTest, PartsComeFromLocalTimeWithSundayZero) {
    const QDateTime sunday(QDate(2026, 12, 6), QTime(23, 59, 58, 7));
    const SystemTime s = SystemTime::fromDateTime(sunday);
    EXPECT_EQ(s.dayOfWeek, 0);
    EXPECT_EQ(SystemTime::fromDateTime(sunday.addDays(1)).dayOfWeek, 1);
    EXPECT_EQ(SystemTime::fromDateTime(sunday.addDays(-1)).dayOfWeek, 6);
    EXPECT_EQ(s.year, 2026);
    EXPECT_EQ(s.month, 12);
    EXPECT_EQ(s.day, 6);
    EXPECT_EQ(s.hour, 23);
    EXPECT_EQ(s.minute, 59);
    EXPECT_EQ(s.second, 58);
    EXPECT_EQ(s.millisecond, 7);
    EXPECT_EQ(s.toDateTime(), sunday);
    EXPECT_FALSE(SystemTime{}.toDateTime().isValid());
    EXPECT_TRUE(SystemTime{}.isZero());
}

}  // namespace
