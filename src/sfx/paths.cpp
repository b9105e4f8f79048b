// Paths and names: DBCS-aware scans, the directory macros, joining a member name to
// the installation directory, making every component legal for the volume, creating
// the directories of a path and abbreviating a path for the progress line.
//
// Every scan steps over a DBCS lead byte together with the byte after it, so that a
// trail byte (0x5C in many Shift_JIS characters) is never taken for a separator or a
// forbidden character. A lead byte directly before the terminator has no trail byte;
// the scans then take it as a character of its own and stop at the terminator.
#include "sfx/paths.h"

#include "sfx/text.h"

namespace {

// Every platform query of the macros gets 256 bytes: a value of at most 255 bytes.
const uint32_t QuerySize = 256;
// An expansion is built in 260 bytes: at most 259 bytes and its terminator.
const uint32_t WorkSize = 260;
// Directory creation works in a copy the size of TargetPath.
const uint32_t CreateBufferSize = 516;
// What it asked for is kept in MadeDirs, a prefix of that copy.
static_assert(sizeof Ws->TargetPath == CreateBufferSize && sizeof Ws->MadeDirs == CreateBufferSize,
              "directory creation, its copy and its record of what it asked for have one size");
const uint32_t TitleSize = 256;

const char SeparatorSet[] = "/\\\xFF";
const char BaseNameSet[] = ":/\\\xFF";
const char LongNameSet[] = "\"*/:<>?\\|";
const char ShortNameSet[] = "\"*+,./:;<=>?[\\]|\xFF";

inline bool IsLead(char c) { return PortIsLeadByte((uint8_t)c); }

// Bytes a character starting at p occupies: 2 for a lead byte with its trail byte,
// otherwise 1 (a lead byte right before the terminator counts alone).
inline uint32_t CharSize(const char* p) { return (IsLead(*p) && p[1]) ? 2 : 1; }

inline bool InSet(char c, const char* set) {
    for (; *set; set++)
        if (*set == c) return true;
    return false;
}

// The length of the longest beginning of text that has at most max bytes and does not
// end in the middle of a two-byte character.
uint32_t WholeCharsPrefix(const char* text, uint32_t max) {
    uint32_t n = 0;
    while (text[n]) {
        uint32_t step = CharSize(text + n);
        if (n + step > max) break;
        n += step;
    }
    return n;
}

// Copies the first n bytes of text (n within text) to out and terminates it.
void CopyBytes(char* out, const char* text, uint32_t n) {
    MemCopy(out, text, n);
    out[n] = 0;
}

// Moves n bytes from in to out (out <= in, the regions may overlap) and terminates.
void MoveDown(char* out, const char* in, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) out[i] = in[i];
    out[n] = 0;
}

// The outcome of a platform query given QuerySize bytes. The query convention gives
// the size needed when the value does not fit; such a value is not obtained, and out is
// left empty whenever there is no value, whatever the platform put there.
enum QueryResult { QueryEmpty, QueryValue, QueryTooLong };
QueryResult Settle(uint32_t length, char* out) {
    if (length && length < QuerySize) return QueryValue;
    out[0] = 0;
    return length ? QueryTooLong : QueryEmpty;
}

// Puts the value of the macro that path begins with into value (WorkSize bytes) and
// gives the macro's length in *macroLength (0: no macro). Returns false when a value
// exists but does not fit its buffer: the expansion is then refused (see below).
bool MacroValue(const char* path, const char* searchName, char* value, uint32_t* macroLength) {
    value[0] = 0;
    *macroLength = 0;
    if (TextEqualNoCase(path, "%WORK%", 6)) {
        *macroLength = 6;
        // GetWorkDirectory leaves value empty and returns the size needed when the
        // directory it found does not fit.
        return GetWorkDirectory(QuerySize, value) < QuerySize;
    }
    if (TextEqualNoCase(path, "%WinDir%", 8)) {
        *macroLength = 8;
        return Settle(PortGetWindowsDir(value, QuerySize), value) != QueryTooLong;
    }
    if (TextEqualNoCase(path, "%WinRoot%", 9)) {
        *macroLength = 9;
        char dir[QuerySize];
        QueryResult r = Settle(PortGetWindowsDir(dir, QuerySize), dir);
        if (r == QueryTooLong) return false;
        if (r == QueryValue) CopyBytes(value, dir, WholeCharsPrefix(dir, 2));
        return true;
    }
    if (TextEqualNoCase(path, "%SystemDir%", 11)) {
        *macroLength = 11;
        return Settle(PortGetSystemDir(value, QuerySize), value) != QueryTooLong;
    }
    if (searchName[0] && TextEqualNoCase(path, "%Search%", 8)) {
        *macroLength = 8;
        char* filePart = nullptr;
        QueryResult r = Settle(PortSearchPath(searchName, value, QuerySize, &filePart), value);
        // A hit that does not fit is refused rather than replaced by the system
        // directory: that would put a second copy beside the one the search found.
        if (r == QueryTooLong) return false;
        if (r == QueryValue) {
            // Cut the full path before its file name; a hit in a drive's root leaves
            // the drive letter and colon.
            bool inside = filePart > value && filePart <= value + TextLength(value);
            char* name = inside ? filePart : BaseName(value);
            if (name > value) name[-1] = 0;
            else value[0] = 0;
            return true;
        }
        return Settle(PortGetSystemDir(value, QuerySize), value) != QueryTooLong;
    }
    return true;
}

// ExpandPathMacro with an answer: false when the expansion was refused and path made
// empty.
//
// An expansion longer than the buffer is refused, not cut: a cut directory or file
// name silently sends the file somewhere other than where the archive says, possibly
// over another file. An empty path makes the failure visible instead: an empty
// installation directory is replaced by the current directory, which the user sees and
// confirms in the dialog, and a member whose name is refused gets an empty target path
// (BuildTargetPath), which cannot be created, so the walk reports "Open ERROR".
bool ExpandMacro(char* path, uint32_t capacity, const char* searchName) {
    char value[WorkSize];
    uint32_t macroLength;
    bool fits = MacroValue(path, searchName ? searchName : "", value, &macroLength);
    if (macroLength) {
        uint32_t valueLength = TextLength(value);
        uint32_t restLength = TextLength(path + macroLength);
        uint32_t limit = capacity < WorkSize ? capacity : WorkSize;
        if (!fits || valueLength + restLength + 1 > limit) {
            if (capacity) path[0] = 0;
            return false;
        }
        // The rest moves first: the value may be shorter or longer than the macro.
        char* rest = path + macroLength;
        if (valueLength > macroLength) {
            for (uint32_t i = restLength + 1; i-- > 0;) path[valueLength + i] = rest[i];
        } else {
            for (uint32_t i = 0; i <= restLength; i++) path[valueLength + i] = rest[i];
        }
        MemCopy(path, value, valueLength);
    }
    ReplaceSeparators(path, '\\');
    return true;
}

}  // namespace

// ---- scanning -------------------------------------------------------------------

void AppendSeparator(char* path, uint32_t capacity) {
    uint32_t n = TextLength(path);
    char* last = PortCharPrev(path, path + n);
    if (*last == '\\' || *last == '/') return;
    // No room for the slash: the path stays as it is rather than overrun its buffer. The
    // callers here always leave room for it.
    if (n + 2 > capacity) return;
    path[n] = '/';
    path[n + 1] = 0;
}

char* FindFirstOf(const char* text, const char* set) {
    for (const char* p = text; *p; p += CharSize(p)) {
        if (IsLead(*p)) continue;
        if (InSet(*p, set)) return (char*)p;
    }
    return nullptr;
}

char* BaseName(char* path) {
    char* base = path;
    for (char* hit = FindFirstOf(base, BaseNameSet); hit; hit = FindFirstOf(base, BaseNameSet))
        base = hit + 1;
    return base;
}

void ReplaceSeparators(char* path, char separator) {
    for (char* p = path; *p; p += CharSize(p))
        if (!IsLead(*p) && InSet(*p, SeparatorSet)) *p = separator;
}

// ---- macros and target paths ------------------------------------------------------

uint32_t GetWorkDirectory(uint32_t size, char* out) {
    if (size) out[0] = 0;
    // Room for a 255-byte Windows directory, a slash, "TEMP" and the terminator.
    char work[QuerySize + 8];
    work[0] = 0;
    // A variable whose value does not fit is taken as unset: cutting it would name some
    // other directory, and the next candidate serves as well.
    if (Settle(PortGetEnv("TEMP", work, QuerySize), work) != QueryValue &&
        Settle(PortGetEnv("TMP", work, QuerySize), work) != QueryValue) {
        if (Settle(PortGetWindowsDir(work, QuerySize), work) == QueryValue) {
            AppendSeparator(work, sizeof work);
            TextAppend(work, sizeof work, "TEMP");
            // Only a directory that will be used is created.
            if (TextLength(work) < size) PortCreateDirectory(work);
        } else {
            Settle(PortGetCurrentDir(work, QuerySize), work);
        }
    }
    uint32_t n = TextLength(work);
    if (n == 0) return 0;
    if (n >= size) return n + 1;
    CopyBytes(out, work, n);
    return n;
}

void ExpandPathMacro(char* path, uint32_t capacity, const char* searchName) {
    ExpandMacro(path, capacity, searchName);
}

void BuildTargetPath(char* target, uint32_t targetCapacity, const char* baseDir, char* name,
                     uint32_t nameCapacity) {
    if (targetCapacity == 0) return;
    target[0] = 0;
    // The search name is taken before the expansion overwrites the name.
    char searchName[WorkSize];
    TextCopy(searchName, sizeof searchName, BaseName(name));
    // A refused expansion leaves the target empty: nothing can be written to it.
    if (!ExpandMacro(name, nameCapacity, searchName)) return;

    uint32_t nameLength = TextLength(name);
    uint32_t keep;          // bytes of baseDir in front of the name
    bool separator = false; // a slash goes between them
    if (name[0] && name[1] == ':') {
        keep = 0;
    } else if (name[0] == '/' || name[0] == '\\') {
        keep = (baseDir[0] && baseDir[1] == ':') ? 2 : 0;
    } else {
        keep = TextLength(baseDir);
        bool bareDrive = keep == 2 && baseDir[1] == ':';
        if (keep && !bareDrive) {
            char* last = PortCharPrev(baseDir, baseDir + keep);
            separator = *last != '\\' && *last != '/';
        }
    }
    // A joined path that does not fit is refused for the same reason as an expansion.
    if (keep + (separator ? 1 : 0) + nameLength + 1 > targetCapacity) return;
    MemCopy(target, baseDir, keep);
    if (separator) target[keep++] = '/';
    CopyBytes(target + keep, name, nameLength);
}

// ---- sanitising -------------------------------------------------------------------

char* SanitizeSpan(char* text, int32_t limit, bool longNames) {
    int32_t i = 0;
    while (i < limit && text[i]) {
        if (IsLead(text[i])) {
            // A two-byte character whose trail byte lies beyond the limit (or is
            // missing) is dropped whole, never cut in half.
            if (i + 1 >= limit || !text[i + 1]) break;
            i += 2;
            continue;
        }
        uint8_t b = (uint8_t)text[i];
        bool bad = longNames ? InSet((char)b, LongNameSet)
                             : (InSet((char)b, ShortNameSet) || (b >= 0x01 && b <= 0x20));
        if (bad) text[i] = '_';
        i++;
    }
    text[i] = 0;
    return text + i;
}

void SanitizeName(char* component, bool longNames) {
    if (longNames) {
        SanitizeSpan(component, 255, true);
        return;
    }
    char* period = nullptr;
    for (char* p = component; *p; p += CharSize(p))
        if (*p == '.') period = p;
    if (!period) {
        SanitizeSpan(component, 8, false);
        return;
    }
    *period = 0;
    char* end = SanitizeSpan(component, 8, false);
    char* extension = period + 1;
    char* extensionEnd = SanitizeSpan(extension, 3, false);
    *end = '.';
    MoveDown(end + 1, extension, (uint32_t)(extensionEnd - extension));
}

void SanitizePath(char* path, bool longNames) {
    char* in = path;
    char* out = path;
    if (*in == '/') in++, out++;
    for (;;) {
        char* slash = FindFirstOf(in, "/");
        if (slash) *slash = 0;
        SanitizeName(in, longNames);
        uint32_t n = TextLength(in);
        MoveDown(out, in, n);
        out += n;
        if (!slash) return;
        *out++ = '/';
        in = slash + 1;
    }
}

void CreatePathDirectories(const char* path) {
    char buffer[CreateBufferSize];
    // Members come in name order, so most of a path's directories were asked for by the
    // member before, and under Wine each creation is a round trip to its server. Their
    // outcome is never looked at (a directory that could not be made makes the file's own
    // creation fail), so asking again could change nothing. A '/' before the first byte
    // in which path and MadeDirs differ closes a directory asked for already (equal bytes
    // from the start are equal characters).
    uint32_t same = 0;
    while (same < Ws->MadeDirsLength && path[same] == Ws->MadeDirs[same]) same++;
    uint32_t i = 0, asked = 0;
    while (path[i]) {
        uint32_t step = CharSize(path + i);
        // A path longer than the buffer cannot name a file either; the directories that
        // fit have been created, the file's creation will fail and be reported.
        if (i + step >= sizeof buffer) break;
        if (step == 1 && path[i] == '/') {
            buffer[i] = 0;
            if (i >= same) PortCreateDirectory(buffer);
            asked = i + 1;
        }
        MemCopy(buffer + i, path + i, step);
        i += step;
    }
    MemCopy(Ws->MadeDirs, path, asked);
    Ws->MadeDirsLength = asked;
}

// ---- display and small repairs ----------------------------------------------------------

void AbbreviatePath(char* out, uint32_t outSize, const char* path, int32_t limit) {
    if (outSize == 0) return;
    uint32_t length = TextLength(path);
    if (limit > 0 && length < (uint32_t)limit) {
        CopyBytes(out, path, WholeCharsPrefix(path, outSize - 1));
        return;
    }
    char title[TitleSize];
    if (PortGetFileTitle(path, title, TitleSize) != 0) {
        // No title from the platform: a path that ends in a separator (a directory
        // member) or whose last component is too long. Show the last component as it
        // stands, a directory with its trailing slash, cut to the title buffer on a
        // character boundary.
        uint32_t end = length;
        const char* last = PortCharPrev(path, path + end);
        bool directory = end && (*last == '/' || *last == '\\');
        if (directory) end = (uint32_t)(last - path);
        uint32_t start = 0;
        for (uint32_t i = 0; i < end; i += CharSize(path + i))
            if (!IsLead(path[i]) && InSet(path[i], BaseNameSet)) start = i + 1;
        uint32_t n = WholeCharsPrefix(path + start, TitleSize - 2);
        if (n > end - start) n = end - start;
        CopyBytes(title, path + start, n);
        if (directory) CopyBytes(title + n, "/", 1);
    }
    int32_t n = limit - (int32_t)TextLength(title) - 4;
    uint32_t head = 0;
    // The beginning ends on a character boundary: one byte fewer rather than half a
    // character.
    if (n > 1) head = WholeCharsPrefix(path, (uint32_t)(n - 1));
    if (head > outSize - 1) head = WholeCharsPrefix(path, outSize - 1);
    CopyBytes(out, path, head);
    TextAppend(out, outSize, ".../");
    uint32_t used = TextLength(out);
    CopyBytes(out + used, title, WholeCharsPrefix(title, outSize - 1 - used));
}

void StripQuotes(char* text, int32_t limit) {
    if (limit < 0) return;
    char* temporary = (char*)PortAllocZero((uint32_t)limit + 1);
    if (!temporary) return;
    uint32_t in = 0, out = 0;
    while (in < (uint32_t)limit && text[in]) {
        uint32_t step = CharSize(text + in);
        if (in + step > (uint32_t)limit) break;
        if (step == 1 && text[in] == '"') {
            in++;
            continue;
        }
        MemCopy(temporary + out, text + in, step);
        in += step;
        out += step;
    }
    // The result is never longer than the text it came from, so it fits its buffer.
    CopyBytes(text, temporary, out);
    PortFree(temporary);
}

void StripTrailingSeparator(char* path) {
    for (char* p = FindFirstOf(path, "/\\"); p; p = FindFirstOf(p + 1, "/\\")) {
        if ((uint8_t)p[1] < 0x20) {
            *p = 0;
            return;
        }
    }
}
