// Time-stamp conversions. (Being written.)
#include "sfx/timestamps.h"

uint32_t UnixToDosDateTime(uint32_t, uint16_t* y) { *y = 0; return 0; }
uint32_t DosDateTimeToUnix(uint32_t, uint16_t) { return 0; }
uint32_t WeekdayOfUnix(uint32_t seconds) { return (seconds / 86400 + 4) % 7; }
int UnixToSystemTime(uint32_t, PortSystemTime*) { return 0; }
int SystemTimeToUnix(const PortSystemTime*, uint32_t*) { return 0; }
int UnixToFileTime(uint32_t, PortFileTime*) { return 0; }
int FileTimeToUnix(const PortFileTime*, uint32_t*) { return 0; }
void ApplyTzCorrection(uint32_t*) {}
