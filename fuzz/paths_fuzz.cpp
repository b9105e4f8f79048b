// The path and time operations over arbitrary names, directories and values. Every
// buffer is allocated at exactly the size the callers give, so that AddressSanitizer
// sees any byte read or written outside it; the time conversions must also round-trip.
//
// Input: one byte of switches, four bytes of seconds, eight bytes of a FILETIME, four
// bytes of a DOS date/time word, then the member name and the base directory separated
// by a 0 byte.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "port/posix_port.h"
#include "sfx/paths.h"
#include "sfx/text.h"
#include "sfx/timestamps.h"

namespace {

// A copy of text (cut to size - 1 bytes) in a heap block of exactly size bytes.
char* Exact(const std::string& text, size_t size) {
    char* p = (char*)malloc(size);
    size_t n = text.size() < size ? text.size() : size - 1;
    memcpy(p, text.data(), n);
    p[n] = 0;
    return p;
}

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

void CheckTimes(uint32_t seconds, uint64_t filetime, uint32_t packed) {
    PortSystemTime st;
    uint32_t back = 0;
    if (!UnixToSystemTime(seconds, &st) || !SystemTimeToUnix(&st, &back) || back != seconds) abort();
    PortFileTime ft = filetime, again = 0;
    uint32_t s = 0;
    if (FileTimeToUnix(&ft, &s)) {
        if (!UnixToFileTime(s, &again) || again != ft - ft % 10000000) abort();
    }
    DosDateTimeToUnix(packed, (uint16_t)(packed >> 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 17) return 0;
    const uint8_t flags = data[0];
    CheckTimes(U32(data + 1), (uint64_t)U32(data + 5) | (uint64_t)U32(data + 9) << 32, U32(data + 13));
    std::string rest((const char*)data + 17, size - 17);
    size_t split = rest.find('\0');
    std::string name = rest.substr(0, split);
    std::string base = split == std::string::npos ? "" : rest.substr(split + 1);
    base = base.substr(0, base.find('\0'));

    PosixSetCodePage(flags & 1 ? 932 : 0);
    // Directory values of every length the platform can give, up to 255 bytes.
    const std::string longDir = "C:\\" + std::string(252, 'w');
    PosixSetWindowsDir(flags & 2 ? longDir.substr(0, 3 + (flags >> 3) * 8) : "C:\\WINDOWS");
    PosixSetSystemDir(flags & 4 ? longDir : "");
    const bool longNames = flags & 0x80;

    char* entry = Exact(name, 260);
    char* chosen = Exact(base, 256);
    char* target = (char*)malloc(516);
    BuildTargetPath(target, 516, chosen, entry, 260);
    ReplaceSeparators(target, '/');
    SanitizePath(target[0] && target[1] == ':' ? target + 2 : target, longNames);
    for (size_t outSize : {(size_t)1024, (size_t)(flags % 40 + 1)}) {
        char* out = (char*)malloc(outSize);
        AbbreviatePath(out, (uint32_t)outSize, target, 32);
        if (strlen(out) >= outSize) abort();
        free(out);
    }
    free(target);

    StripQuotes(chosen, 256);
    StripTrailingSeparator(chosen);
    char* tight = Exact(base, base.size() + 1 < 256 ? base.size() + 1 : 256);
    ExpandPathMacro(tight, base.size() + 1 < 256 ? (uint32_t)base.size() + 1 : 256, "x.dll");
    AppendSeparator(tight, (uint32_t)strlen(tight) + 1);
    BaseName(tight);
    char work[256];
    GetWorkDirectory(sizeof work, work);
    free(tight);
    free(chosen);
    free(entry);
    return 0;
}
