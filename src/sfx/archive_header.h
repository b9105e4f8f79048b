// Member headers (level 2, read whole into their own allocation) and the CRC-16 that
// guards headers and member data alike.
#pragma once

#include "sfx/workspace.h"

enum HeaderResult { HeaderReady, EndOfArchive, HeaderFailed };

// The self-extractor refuses a header without its CRC. A builder that writes every
// header anew (wrapping another archiver's archive) may take such a header: it sets
// RunState.HeaderCrcOptional; nothing else does.
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
