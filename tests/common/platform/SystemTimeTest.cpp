#include "SystemTime.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SystemTimeTest, SecondsSince1970ReadsWallClockAsUtc) {
    // 2013-12-06 09:24:05.999: whole seconds, the same in every time zone.
    for (const char* tz : {"UTC", "Asia/Tokyo", "America/New_York"}) {
        EnvGuard zone("TZ", tz);
        EXPECT_EQ(SecondsSince1970({2013, 12, 0, 6, 9, 24, 5, 999}), 1386321845) << tz;
    }
    EXPECT_EQ(SecondsSince1970(SystemTime{}), 0) << "zero date";
    EXPECT_EQ(SecondsSince1970({.year = 2013, .month = 2, .day = 30, .hour = 9}), 0) << "Feb 30";
    EXPECT_EQ(SecondsSince1970({.year = 2024, .month = 2, .day = 29}), 1709164800);
}

TEST(SystemTimeTest, PartsComeFromLocalTimeWithSundayZero) {
    const QDateTime sunday(QDate(2026, 12, 6), QTime(23, 59, 58, 7));
    const SystemTime s = SystemTime::fromDateTime(sunday);
    EXPECT_EQ(s, (SystemTime{2026, 12, 0, 6, 23, 59, 58, 7}));
    EXPECT_EQ(SystemTime::fromDateTime(sunday.addDays(-1)).dayOfWeek, 6);
    EXPECT_EQ(s.toDateTime(), sunday);
    EXPECT_FALSE(SystemTime{}.toDateTime().isValid());
    EXPECT_TRUE(SystemTime{}.isZero());
}

}  // namespace
