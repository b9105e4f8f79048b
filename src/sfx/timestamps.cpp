// Time stamps. Inside the program a time is u32 seconds since 1970-01-01 00:00:00 UTC
// (up to 2106-02-07 06:28:15); the platform speaks SYSTEMTIME and FILETIME. Every
// conversion between seconds and calendar fields goes through the packed DOS
// date/time word, with two companions: the odd second, and YearsBefore1980 for the
// years 1970 to 1979 that the word cannot hold.
//
// Calendar times outside that range have no value in 32 unsigned bits. They are
// rejected, not wrapped: SystemTimeToUnix and FileTimeToUnix return 0 and leave the
// target alone, so a FILETIME of 0 in an extended header keeps the header's own time
// stamp, and an existing file dated 1960 has no comparable write time (the walk counts
// that as newer than any member).
#include "sfx/timestamps.h"

#include "sfx/text.h"

namespace {

const uint8_t MonthLengths[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

const uint32_t SecondsPerDay = 86400;
const int32_t DaysTo1972 = 730;     // 1970-01-01 to 1972-01-01
const int32_t DaysTo2000 = 10957;   // 1970-01-01 to 2000-01-01
const int32_t DaysFrom1968 = 731;   // 1968-01-01 to 1970-01-01
const int32_t FourYears = 1461;     // four years with one leap day

inline bool IsLeapYear(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}
inline int32_t YearLength(int32_t year) { return IsLeapYear(year) ? 366 : 365; }

// Four years from a year divisible by 4 hold one leap day only while they do not reach
// 2100, which is not a leap year; the range of the program ends before 2200.
inline bool FourYearStepFits(int32_t year) { return year % 4 == 0 && year + 4 <= 2100; }

uint32_t Pack(uint32_t yearField, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
              uint32_t second) {
    return (yearField << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) |
           (second / 2);
}

}  // namespace

uint32_t UnixToDosDateTime(uint32_t seconds, uint16_t* yearsBefore1980) {
    int32_t days = (int32_t)(seconds / SecondsPerDay);   // at most 49710
    uint32_t rest = seconds % SecondsPerDay;
    int32_t year;
    if (days >= DaysTo2000) {
        year = 2000;
        days -= DaysTo2000;
    } else if (days >= DaysTo1972) {
        year = 1972;
        days -= DaysTo1972;
    } else {
        year = 1970;
    }
    while (FourYearStepFits(year) && days >= FourYears) {
        days -= FourYears;
        year += 4;
    }
    while (days >= YearLength(year)) {
        days -= YearLength(year);
        year++;
    }
    const uint8_t* lengths = MonthLengths[IsLeapYear(year) ? 1 : 0];
    uint32_t month = 0;
    while (days >= lengths[month]) days -= lengths[month++];   // days < year length: month < 12

    uint32_t yearField = year >= 1980 ? (uint32_t)(year - 1980) : 0;
    if (yearsBefore1980) *yearsBefore1980 = (uint16_t)(year >= 1980 ? 0 : 1980 - year);
    return Pack(yearField, month + 1, (uint32_t)days + 1, rest / 3600, rest % 3600 / 60, rest % 60);
}

uint32_t DosDateTimeToUnix(uint32_t packed, uint16_t yearsBefore1980) {
    int32_t year = 1980 + (int32_t)(packed >> 25) - yearsBefore1980;
    uint32_t month = (packed >> 21) & 0x0F;
    uint32_t day = (packed >> 16) & 0x1F;
    uint32_t hour = (packed >> 11) & 0x1F;
    uint32_t minute = (packed >> 5) & 0x3F;
    uint32_t twoSeconds = packed & 0x1F;

    // Words made here always hold a valid date. For any other word the arithmetic is
    // carried out as it stands (a month above 12 counts the whole year) and wraps at 32
    // bits; nothing is read outside the month table. Unsigned 32-bit arithmetic gives
    // exactly those low 32 bits (negative day counts included) without the 64-bit
    // multiplications a 32-bit machine would call helpers for.
    uint32_t days;
    int32_t y;
    if (year >= 2000) {
        days = DaysTo2000;
        y = 2000;
    } else {
        days = (uint32_t)-DaysFrom1968;
        y = 1968;
    }
    while (y > year) days -= YearLength(--y);
    while (FourYearStepFits(y) && y + 4 <= year) {
        days += FourYears;
        y += 4;
    }
    while (y < year) days += YearLength(y++);
    const uint8_t* lengths = MonthLengths[IsLeapYear(year) ? 1 : 0];
    for (uint32_t m = 1; m < month && m <= 12; m++) days += lengths[m - 1];
    days += day - 1;
    return ((days * 24 + hour) * 60 + minute) * 60 + 2 * twoSeconds;
}

uint32_t WeekdayOfUnix(uint32_t seconds) { return (seconds / SecondsPerDay + 4) % 7; }

int UnixToSystemTime(uint32_t seconds, PortSystemTime* out) {
    if (!out) return 0;
    uint16_t yearsBefore1980;
    uint32_t packed = UnixToDosDateTime(seconds, &yearsBefore1980);
    out->Year = (uint16_t)(1980 + (packed >> 25) - yearsBefore1980);
    out->Month = (uint16_t)((packed >> 21) & 0x0F);
    out->DayOfWeek = (uint16_t)WeekdayOfUnix(seconds);
    out->Day = (uint16_t)((packed >> 16) & 0x1F);
    out->Hour = (uint16_t)((packed >> 11) & 0x1F);
    out->Minute = (uint16_t)((packed >> 5) & 0x3F);
    out->Second = (uint16_t)(2 * (packed & 0x1F) + (seconds & 1));
    out->Milliseconds = 0;
    return 1;
}

int SystemTimeToUnix(const PortSystemTime* in, uint32_t* out) {
    if (!in || !out) return 0;
    // A record that names no instant of the range is rejected rather than wrapped:
    // fields beyond their ranges, and times before 1970 or after 2106-02-07 06:28:15.
    if (in->Year < 1970 || in->Year > 2106 || in->Month < 1 || in->Month > 12 || in->Day < 1 ||
        in->Hour > 23 || in->Minute > 59 || in->Second > 59)
        return 0;
    if (in->Day > MonthLengths[IsLeapYear(in->Year) ? 1 : 0][in->Month - 1]) return 0;
    if (in->Year == 2106) {
        // The last second of the range is 2106-02-07 06:28:15.
        uint32_t stamp = ((((uint32_t)in->Month * 32 + in->Day) * 24 + in->Hour) * 60 +
                          in->Minute) * 60 + in->Second;
        if (stamp > ((((2u * 32 + 7) * 24 + 6) * 60 + 28) * 60 + 15)) return 0;
    }
    uint32_t yearField = in->Year >= 1980 ? in->Year - 1980u : 0;
    uint16_t yearsBefore1980 = (uint16_t)(in->Year >= 1980 ? 0 : 1980 - in->Year);
    uint32_t packed = Pack(yearField, in->Month, in->Day, in->Hour, in->Minute, in->Second);
    *out = DosDateTimeToUnix(packed, yearsBefore1980) + (in->Second & 1u);
    return 1;
}

int UnixToFileTime(uint32_t seconds, PortFileTime* out) {
    if (!out) return 0;
    PortSystemTime scratch;
    UnixToSystemTime(seconds, &scratch);
    return PortSystemTimeToFileTime(&scratch, out) ? 1 : 0;
}

int FileTimeToUnix(const PortFileTime* in, uint32_t* out) {
    if (!in || !out) return 0;
    PortSystemTime scratch;
    if (!PortFileTimeToSystemTime(in, &scratch)) return 0;
    return SystemTimeToUnix(&scratch, out);
}

void ApplyTzCorrection(uint32_t* seconds) {
    if (!seconds) return;
    char tz[100];
    uint32_t length = PortGetEnv("TZ", tz, sizeof tz);
    // No value, or one that does not fit the buffer: taken as no "TZ" at all.
    if (length == 0 || length >= sizeof tz) return;
    const char* p = tz;
    while (*p && *p != '+' && *p != '-' && !(*p >= '0' && *p <= '9')) p++;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    uint32_t hours = 0;
    for (; *p >= '0' && *p <= '9'; p++) hours = hours * 10 + (uint32_t)(*p - '0');
    // The number is the offset of UTC from local time: JST-9 is nine hours ahead.
    if (negative) *seconds += hours * 3600u;
    else *seconds -= hours * 3600u;
}
