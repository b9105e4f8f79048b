// Paths and names: DBCS-aware scans, directory macros, target paths, sanitising,
// directory creation and the abbreviated display.
#pragma once

#include "sfx/workspace.h"

void AppendSeparator(char* path, uint32_t capacity);
char* FindFirstOf(const char* text, const char* set);
char* BaseName(char* path);
void ReplaceSeparators(char* path, char separator);
uint32_t GetWorkDirectory(uint32_t size, char* out);
// Expands a leading macro of path in place; capacity is the size of path's buffer.
void ExpandPathMacro(char* path, uint32_t capacity, const char* searchName);
// Joins baseDir and name (expanded in place, capacity nameCapacity) into target.
void BuildTargetPath(char* target, uint32_t targetCapacity, const char* baseDir, char* name,
                     uint32_t nameCapacity);

char* SanitizeSpan(char* text, int32_t limit, bool longNames);
void SanitizeName(char* component, bool longNames);
void SanitizePath(char* path, bool longNames);
void CreatePathDirectories(const char* path);
void AbbreviatePath(char* out, uint32_t outSize, const char* path, int32_t limit);
void StripQuotes(char* text, int32_t limit);
void StripTrailingSeparator(char* path);
