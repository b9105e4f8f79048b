// Time stamps: seconds since 1970 (u32), the packed DOS date/time word, SYSTEMTIME and
// FILETIME, and the "TZ" correction used on Win32s.
//
// Calendar times before 1970-01-01 00:00:00 or after 2106-02-07 06:28:15 have no value in
// 32 unsigned bits: SystemTimeToUnix and FileTimeToUnix reject them (result 0, target
// untouched) instead of wrapping to a wrong date.
#pragma once

#include "sfx/workspace.h"

// The packed word; *yearsBefore1980 gets 1980 - year for 1970..1979, else 0.
uint32_t UnixToDosDateTime(uint32_t seconds, uint16_t* yearsBefore1980);
// Seconds of a packed word, always even (the odd second travels separately).
uint32_t DosDateTimeToUnix(uint32_t packed, uint16_t yearsBefore1980);
// 0 (Sunday) to 6.
uint32_t WeekdayOfUnix(uint32_t seconds);
// 1, or 0 when out is missing.
int UnixToSystemTime(uint32_t seconds, PortSystemTime* out);
// 1, or 0 when an argument is missing or the record names no time of the range.
int SystemTimeToUnix(const PortSystemTime* in, uint32_t* out);
// 1, or 0 when out is missing or the platform rejects the record.
int UnixToFileTime(uint32_t seconds, PortFileTime* out);
// 1, or 0 (out untouched) when an argument is missing, the platform rejects the value,
// or the time lies outside the range.
int FileTimeToUnix(const PortFileTime* in, uint32_t* out);
// Shifts seconds by the whole hours of "TZ" (JST-9: 9 hours forward; EST5EDT: 5 back);
// no variable, an empty one or one of 100 bytes or more leaves it unchanged.
void ApplyTzCorrection(uint32_t* seconds);
