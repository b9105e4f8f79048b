// The two walks over the archive, the output sink and the progress report. (Being written.)
#include "sfx/archive.h"

bool WalkArchive(PortWindow, WalkPass) { return false; }
bool SkipMember() { return false; }
void WriteOutput(const uint8_t*, uint32_t, PortFile) {}
void FlushWindow(uint32_t) {}
void ReportProgress(uint32_t, uint32_t) {}
void CopyStored(int32_t) {}
uint32_t ExistingWriteTime(const char*) { return 0xFFFFFFFFu; }
const char* SplitCommand(char*, uint32_t, const char* command) { return command; }
