// Seconds since 1970, the DOS date/time word, SYSTEMTIME, FILETIME and the TZ shift.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "port/posix_port.h"
#include "sfx/timestamps.h"

namespace {

const PortFileTime FileTimeOf1970 = 116444736000000000ull;   // 100 ns units from 1601

std::string Show(const PortSystemTime& t) {
    char s[40];
    snprintf(s, sizeof s, "%04u-%02u-%02u %02u:%02u:%02u w%u", t.Year, t.Month, t.Day, t.Hour,
             t.Minute, t.Second, t.DayOfWeek);
    return s;
}

TEST(Timestamps, KnownInstantsGiveExactCalendarFields) {
    const struct { uint32_t seconds; const char* shown; uint16_t yearsBefore1980; } cases[] = {
        {0, "1970-01-01 00:00:00 w4", 10},          {1, "1970-01-01 00:00:01 w4", 10},
        {65536, "1970-01-01 18:12:16 w4", 10},      {31535999, "1970-12-31 23:59:59 w4", 10},
        {31536000, "1971-01-01 00:00:00 w5", 9},    {315532799, "1979-12-31 23:59:59 w1", 1},
        {315532800, "1980-01-01 00:00:00 w2", 0},   {951782400, "2000-02-29 00:00:00 w2", 0},
        {4102444800u, "2100-01-01 00:00:00 w5", 0}, {4107456000u, "2100-02-28 00:00:00 w0", 0},
        {4107542400u, "2100-03-01 00:00:00 w1", 0}, {4294967295u, "2106-02-07 06:28:15 w0", 0},
    };
    for (const auto& c : cases) {
        PortSystemTime st{};
        ASSERT_EQ(UnixToSystemTime(c.seconds, &st), 1);
        EXPECT_EQ(Show(st), c.shown);
        uint16_t before = 0xBEEF;
        uint32_t packed = UnixToDosDateTime(c.seconds, &before);
        EXPECT_EQ(before, c.yearsBefore1980) << c.shown;
        EXPECT_EQ(DosDateTimeToUnix(packed, before), c.seconds & ~1u) << c.shown;
    }
}

// Every day of the range, at several times of day (odd seconds too), against the port's
// own calendar, and back through the calendar fields.
TEST(Timestamps, EveryDayRoundTripsThroughFileTime) {
    PosixResetPort();
    for (uint64_t day = 0; day <= 49710; day++) {
        for (uint32_t t : {0, 1, 3599, 43201, 86399}) {
            uint64_t s = day * 86400 + t;
            if (s > 0xFFFFFFFFull) continue;
            PortFileTime ft = 0;
            ASSERT_EQ(UnixToFileTime((uint32_t)s, &ft), 1) << s;
            ASSERT_EQ(ft, FileTimeOf1970 + s * 10000000) << s;
            uint32_t back = 0;
            ASSERT_EQ(FileTimeToUnix(&ft, &back), 1) << s;
            ASSERT_EQ(back, s);
        }
    }
}

TEST(Timestamps, TimesOutsideTheRangeAreRejectedAndLeaveTheTarget) {
    PosixResetPort();
    // 1601, one second before 1970, one after 2106-02-07 06:28:15, beyond the platform.
    for (PortFileTime ft : {PortFileTime{0}, FileTimeOf1970 - 10000000, FileTimeOf1970 + PortFileTime{4294967296} * 10000000,
                            PortFileTime{0x8000000000000000ull}}) {
        uint32_t target = 12345;
        EXPECT_EQ(FileTimeToUnix(&ft, &target), 0) << ft;
        EXPECT_EQ(target, 12345u);
    }
    PortFileTime last = FileTimeOf1970 + 4294967295ull * 10000000 + 9999999;   // sub-second dropped
    uint32_t target = 0;
    EXPECT_EQ(FileTimeToUnix(&last, &target), 1);
    EXPECT_EQ(target, 4294967295u);
    for (PortSystemTime st : {PortSystemTime{1980, 13, 0, 1, 0, 0, 0, 0}, {1980, 0, 0, 1, 0, 0, 0, 0},
                              {2001, 2, 0, 29, 0, 0, 0, 0}, {2100, 2, 0, 29, 0, 0, 0, 0},
                              {1980, 1, 0, 1, 24, 0, 0, 0}, {2106, 2, 0, 7, 6, 28, 16, 0}}) {
        uint32_t s = 7;
        EXPECT_EQ(SystemTimeToUnix(&st, &s), 0) << Show(st);
        EXPECT_EQ(s, 7u);
    }
}

TEST(Timestamps, TzShiftsByWholeHoursInTheVariablesSense) {
    const std::string tooLong = "JST-9" + std::string(95, 'x');   // 100 bytes: ignored
    const struct { const char* tz; uint32_t from, to; } cases[] = {
        {"JST-9", 100000, 132400}, {"EST5EDT", 100000, 82000}, {"GMT0", 100000, 100000},
        {"IST-5:30", 100000, 118000}, {"UTC", 100000, 100000}, {"+3", 100000, 89200},
        {"", 100000, 100000}, {nullptr, 100000, 100000}, {tooLong.c_str(), 100000, 100000},
        {"EST5", 3600, 3600u - 18000u},   // wraps at 32 bits
    };
    for (const auto& c : cases) {
        if (c.tz) setenv("TZ", c.tz, 1);
        else unsetenv("TZ");
        uint32_t t = c.from;
        ApplyTzCorrection(&t);
        EXPECT_EQ(t, c.to) << (c.tz ? c.tz : "(unset)");
    }
    unsetenv("TZ");
}

}  // namespace
