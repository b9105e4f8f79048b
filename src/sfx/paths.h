// Paths and names: DBCS-aware scans, directory macros, target paths, sanitising,
// directory creation and the abbreviated display.
//
// Every scan steps over a DBCS lead byte together with its trail byte. Nothing is
// written beyond a buffer: where a result would not fit, the operation says below what
// it does instead (a cut path would silently name some other file, so paths are
// refused rather than cut).
#pragma once

#include "sfx/workspace.h"

// Appends a slash unless path ends in a slash or backslash (a two-byte character whose
// trail byte is 0x5C does not count); leaves path unchanged when capacity has no room.
void AppendSeparator(char* path, uint32_t capacity);
// The first byte of text that is in set, outside two-byte characters; nullptr if none.
char* FindFirstOf(const char* text, const char* set);
// Where the text after the last ':', '/', '\' or 0xFF begins.
char* BaseName(char* path);
// Turns every '/', '\' and 0xFF (outside two-byte characters) into separator.
void ReplaceSeparators(char* path, char separator);
// "TEMP", else "TMP", else the Windows directory with "TEMP" (created), else the current
// directory. Returns the length, 0 when there is nothing, or the size needed (out left
// empty) when it does not fit size. A variable too long for 256 bytes counts as unset.
uint32_t GetWorkDirectory(uint32_t size, char* out);
// Expands a leading macro of path in place ("%WORK%", "%WinDir%", "%WinRoot%",
// "%SystemDir%", and "%Search%" when searchName is not empty) and turns the separators
// into backslashes; capacity is the size of path's buffer. An expansion that does not
// fit (at most 259 bytes, and capacity) or a macro value that does not fit 256 bytes
// leaves path empty.
void ExpandPathMacro(char* path, uint32_t capacity, const char* searchName);
// Expands name in place (capacity nameCapacity, search name its own base name) and
// joins it to baseDir into target. A refused expansion, or a joined path that does not
// fit targetCapacity, leaves target empty.
void BuildTargetPath(char* target, uint32_t targetCapacity, const char* baseDir, char* name,
                     uint32_t nameCapacity);

// Replaces the bytes a volume does not allow in at most limit bytes of text and
// terminates it there; a two-byte character cut by the limit is dropped whole. Returns
// the terminator's position.
char* SanitizeSpan(char* text, int32_t limit, bool longNames);
// One component: 255 bytes on long-name volumes, 8.3 otherwise.
void SanitizeName(char* component, bool longNames);
// Every slash-separated component of a path without its drive.
void SanitizePath(char* path, bool longNames);
// Creates the directory named by each prefix of path that ends before a slash.
void CreatePathDirectories(const char* path);
// path itself when shorter than limit, else its beginning, ".../" and its file title (a
// path without one shows its last directory with a trailing slash). Never longer than
// outSize - 1 bytes and never ends inside a two-byte character.
void AbbreviatePath(char* out, uint32_t outSize, const char* path, int32_t limit);
// Removes every double quote from at most limit bytes of text; unchanged when the
// temporary copy cannot be had.
void StripQuotes(char* text, int32_t limit);
// Removes the first slash or backslash that is followed by a byte below 0x20.
void StripTrailingSeparator(char* path);
