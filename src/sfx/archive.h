// The archive: member headers with their CRC-16, the two walks, the output sink and
// the progress report.
#pragma once

#include "sfx/workspace.h"

// Offsets inside a level-2 member header.
enum : uint32_t {
    HdrHeaderSize = 0, HdrMethodId = 2, HdrMethodChar = 5, HdrPackedSize = 7,
    HdrUnpackedSize = 11, HdrTimeStamp = 15, HdrAttributeByte = 19, HdrLevel = 20,
    HdrDataCrc = 21, HdrOsId = 23, HdrFirstExtSize = 24, HdrFixedSize = 26,
};

enum HeaderResult { HeaderReady, EndOfArchive, HeaderFailed };
enum WalkPass { PreflightPass, ExtractionPass };

void BuildCrcTable(uint16_t polynomial);
uint16_t UpdateCrc(const uint8_t* bytes, int32_t count);
HeaderResult ReadEntryHeader();
// Releases the current header allocation; the locations into it become none.
void ReleaseHeader();
void ApplyExtendedHeader(uint8_t* type, uint32_t size);
// True when the current member names a directory: method "-lhd-", or a name that ends in
// a separator (some archivers store a directory as an empty "-lh0-" member so named).
// Such a member's directories are created; no file is opened and its data is not read.
// Asks EntryName as the header reader left it (before a target path is built from it).
bool MemberIsDirectory();

bool WalkArchive(PortWindow owner, WalkPass pass);
bool SkipMember();
void WriteOutput(const uint8_t* bytes, uint32_t count, PortFile file);
// Starts keeping member data as text (CaptureNotice into MessageText, CaptureSettings
// into SettingsText): sets CaptureMode and empties the buffer. WriteOutput then keeps
// the start of the data, up to the buffer's size or a zero byte.
void BeginCapture(uint8_t mode);
void FlushWindow(uint32_t count);
void ReportProgress(uint32_t done, uint32_t total);
void CopyStored(int32_t size);
uint32_t ExistingWriteTime(const char* path);
// Copies the program part of command into dest (capacity size); returns where the
// parameters begin.
const char* SplitCommand(char* dest, uint32_t size, const char* command);
