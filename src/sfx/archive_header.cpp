// Member headers and the CRC-16. (Being written.)
#include "sfx/archive.h"

void BuildCrcTable(uint16_t) {}
uint16_t UpdateCrc(const uint8_t*, int32_t) { return 0; }
HeaderResult ReadEntryHeader() { return HeaderFailed; }
void ApplyExtendedHeader(uint8_t*, uint32_t) {}
