// The two walks over the archive, the output sink, the progress report, and the steps
// every walk is made of, which the host tools use to read archives as the program does.
#pragma once

#include "sfx/archive_header.h"

enum WalkPass { PreflightPass, ExtractionPass };

bool WalkArchive(PortWindow owner, WalkPass pass);

// The steps of a walk. OpenArchive opens ImagePath and stands at the first member header
// (past the checksum when the block announces one), ready for NextMember; it has
// reported its failure when it returns false. NextMember reads the next header, adds its
// data CRC to MemberCrcSum and notes where the member's data begins; ReadMemberData puts the data through the output sink;
// SkipMember then (or instead) moves to the next header. CloseArchive closes the image
// and releases the last header. CheckMemberCrcSum compares MemberCrcSum with the
// checksum and reports "Tampered DATA".
bool OpenArchive(PortWindow owner);
HeaderResult NextMember();
void ReadMemberData();
bool SkipMember();
void CloseArchive();
void CheckMemberCrcSum();

void WriteOutput(const uint8_t* bytes, uint32_t count, PortFile file);
// Starts keeping member data as text (CaptureNotice into MessageText, CaptureSettings
// into SettingsText): sets CaptureMode and empties the buffer. WriteOutput then keeps
// the start of the data, up to the buffer's size or a zero byte.
void BeginCapture(uint8_t mode);
void FlushWindow(uint32_t count);
// The decoder's sink (RunState.WindowSink) during a walk: FlushWindow, and ReportProgress with
// done of OrigSize while a file is written.
void DeliverWindow(uint32_t count, uint32_t done);
void ReportProgress(uint32_t done, uint32_t total);
void CopyStored(int32_t size);
uint32_t ExistingWriteTime(const char* path);
// Copies the program part of command into dest (capacity size); returns where the
// parameters begin.
const char* SplitCommand(char* dest, uint32_t size, const char* command);
