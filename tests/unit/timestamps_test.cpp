// Seconds since 1970, the DOS date/time word, SYSTEMTIME, FILETIME and the TZ shift.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "port/posix_port.h"
#include "sfx/timestamps.h"

namespace {

const uint64_t FileTimeOf1970 = 116444736000000000ull;   // 100 ns units from 1601

TEST(Timestamps, KnownInstantsGiveExactCalendarFields) {
    const struct {
        uint32_t seconds;
        uint16_t year, month, day, hour, minute, second, weekday, yearsBefore1980;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0, 4, 10},
        {1, 1970, 1, 1, 0, 0, 1, 4, 10},
        {65536, 1970, 1, 1, 18, 12, 16, 4, 10},
        {31535999, 1970, 12, 31, 23, 59, 59, 4, 10},
        {31536000, 1971, 1, 1, 0, 0, 0, 5, 9},
        {315532799, 1979, 12, 31, 23, 59, 59, 1, 1},
        {315532800, 1980, 1, 1, 0, 0, 0, 2, 0},
        {951782400, 2000, 2, 29, 0, 0, 0, 2, 0},
        {4102444800u, 2100, 1, 1, 0, 0, 0, 5, 0},
        {4107456000u, 2100, 2, 28, 0, 0, 0, 0, 0},
        {4107542400u, 2100, 3, 1, 0, 0, 0, 1, 0},
        {4294967295u, 2106, 2, 7, 6, 28, 15, 0, 0},
    };
    for (const auto& c : cases) {
        PortSystemTime st{};
        ASSERT_EQ(UnixToSystemTime(c.seconds, &st), 1);
        EXPECT_EQ(st.Year, c.year) << c.seconds;
        EXPECT_EQ(st.Month, c.month) << c.seconds;
        EXPECT_EQ(st.Day, c.day) << c.seconds;
        EXPECT_EQ(st.Hour, c.hour) << c.seconds;
        EXPECT_EQ(st.Minute, c.minute) << c.seconds;
        EXPECT_EQ(st.Second, c.second) << c.seconds;
        EXPECT_EQ(st.DayOfWeek, c.weekday) << c.seconds;
        uint16_t before = 0xBEEF;
        uint32_t packed = UnixToDosDateTime(c.seconds, &before);
        EXPECT_EQ(before, c.yearsBefore1980) << c.seconds;
        EXPECT_EQ(packed >> 25, c.year < 1980 ? 0u : c.year - 1980u) << c.seconds;
        EXPECT_EQ(DosDateTimeToUnix(packed, before), c.seconds & ~1u) << c.seconds;
        uint32_t back = 0;
        ASSERT_EQ(SystemTimeToUnix(&st, &back), 1);
        EXPECT_EQ(back, c.seconds);
    }
}

// Every day of the range, at several times of day, against the port's own calendar.
TEST(Timestamps, EveryDayRoundTripsThroughFileTime) {
    PosixResetPort();
    const uint32_t times[] = {0, 1, 3599, 43201, 86399};
    for (uint64_t day = 0; day <= 49710; day++) {
        for (uint32_t t : times) {
            uint64_t s64 = day * 86400 + t;
            if (s64 > 0xFFFFFFFFull) continue;
            uint32_t s = (uint32_t)s64;
            PortFileTime ft = 0;
            ASSERT_EQ(UnixToFileTime(s, &ft), 1) << s;
            ASSERT_EQ(ft, FileTimeOf1970 + s64 * 10000000) << s;
            uint32_t back = 0;
            ASSERT_EQ(FileTimeToUnix(&ft, &back), 1) << s;
            ASSERT_EQ(back, s);
        }
    }
}

TEST(Timestamps, TimesOutsideTheRangeAreRejectedAndLeaveTheTarget) {
    PosixResetPort();
    const PortFileTime outside[] = {
        0,                                            // 1601
        FileTimeOf1970 - 10000000,                    // 1969-12-31 23:59:59
        FileTimeOf1970 + 4294967296ull * 10000000,    // 2106-02-07 06:28:16
        0x8000000000000000ull,                        // the platform rejects it
    };
    for (PortFileTime ft : outside) {
        uint32_t target = 12345;
        EXPECT_EQ(FileTimeToUnix(&ft, &target), 0) << ft;
        EXPECT_EQ(target, 12345u);
    }
    PortFileTime last = FileTimeOf1970 + 4294967295ull * 10000000 + 9999999;   // sub-second dropped
    uint32_t target = 0;
    EXPECT_EQ(FileTimeToUnix(&last, &target), 1);
    EXPECT_EQ(target, 4294967295u);
    const PortSystemTime invalid[] = {
        {1980, 13, 0, 1, 0, 0, 0, 0}, {1980, 0, 0, 1, 0, 0, 0, 0},  {2001, 2, 0, 29, 0, 0, 0, 0},
        {2100, 2, 0, 29, 0, 0, 0, 0}, {1980, 1, 0, 1, 24, 0, 0, 0}, {2107, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const PortSystemTime& st : invalid) {
        uint32_t s = 7;
        EXPECT_EQ(SystemTimeToUnix(&st, &s), 0) << st.Year << "-" << st.Month << "-" << st.Day;
        EXPECT_EQ(s, 7u);
    }
    EXPECT_EQ(SystemTimeToUnix(nullptr, &target), 0);
    EXPECT_EQ(UnixToFileTime(0, nullptr), 0);
    EXPECT_EQ(FileTimeToUnix(&last, nullptr), 0);
    EXPECT_EQ(UnixToSystemTime(0, nullptr), 0);
}

TEST(Timestamps, TzShiftsByWholeHoursInTheVariablesSense) {
    const struct { const char* tz; int64_t shift; } cases[] = {
        {"JST-9", 32400}, {"EST5EDT", -18000}, {"GMT0", 0}, {"IST-5:30", 18000},
        {"UTC", 0},       {"+3", -10800},      {"", 0},     {nullptr, 0},
    };
    const uint32_t base = 1000000000;
    for (const auto& c : cases) {
        if (c.tz) setenv("TZ", c.tz, 1);
        else unsetenv("TZ");
        uint32_t t = base;
        ApplyTzCorrection(&t);
        EXPECT_EQ((int64_t)t - base, c.shift) << (c.tz ? c.tz : "(unset)");
    }
    setenv("TZ", ("JST-9" + std::string(95, 'x')).c_str(), 1);   // 100 bytes: ignored
    uint32_t t = base;
    ApplyTzCorrection(&t);
    EXPECT_EQ(t, base);
    setenv("TZ", "EST5", 1);
    t = 3600;
    ApplyTzCorrection(&t);
    EXPECT_EQ(t, 3600u - 18000u);   // wraps at 32 bits
    unsetenv("TZ");
}

}  // namespace
