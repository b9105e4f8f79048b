// Time stamps: seconds since 1970 (u32), the packed DOS date/time word, SYSTEMTIME and
// FILETIME, and the "TZ" correction used on Win32s.
#pragma once

#include "sfx/workspace.h"

uint32_t UnixToDosDateTime(uint32_t seconds, uint16_t* yearsBefore1980);
uint32_t DosDateTimeToUnix(uint32_t packed, uint16_t yearsBefore1980);
uint32_t WeekdayOfUnix(uint32_t seconds);
int UnixToSystemTime(uint32_t seconds, PortSystemTime* out);
int SystemTimeToUnix(const PortSystemTime* in, uint32_t* out);
int UnixToFileTime(uint32_t seconds, PortFileTime* out);
int FileTimeToUnix(const PortFileTime* in, uint32_t* out);
void ApplyTzCorrection(uint32_t* seconds);
