// Paths and names. (Being written.)
#include "sfx/paths.h"

void AppendSeparator(char*, uint32_t) {}
char* FindFirstOf(const char*, const char*) { return nullptr; }
char* BaseName(char* path) { return path; }
void ReplaceSeparators(char*, char) {}
uint32_t GetWorkDirectory(uint32_t, char* out) { out[0] = 0; return 0; }
void ExpandPathMacro(char*, uint32_t, const char*) {}
void BuildTargetPath(char* target, uint32_t, const char*, char*, uint32_t) { target[0] = 0; }
char* SanitizeSpan(char* text, int32_t, bool) { return text; }
void SanitizeName(char*, bool) {}
void SanitizePath(char*, bool) {}
void CreatePathDirectories(const char*) {}
void AbbreviatePath(char* out, uint32_t, const char*, int32_t) { out[0] = 0; }
void StripQuotes(char*, int32_t) {}
void StripTrailingSeparator(char*) {}
