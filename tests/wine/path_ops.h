// What paths_probe.exe (under Wine: the real DBCS calls and time conversions) and the
// host test (the POSIX port) both compute, one line per case, so the two sides can be
// compared line by line: the name scans and the FILETIME conversions.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "sfx/paths.h"
#include "sfx/text.h"
#include "sfx/timestamps.h"

namespace pathops {

inline std::string Hex(const std::string& s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out.empty() ? "-" : out;
}

// Every operation on a name: the scans, separator replacement and appending, sanitising
// for both kinds of volume, stripping a trailing separator and the display.
inline std::string Run(const std::string& name) {
    auto apply = [&](void (*op)(char*)) {
        char buf[600] = {};
        name.copy(buf, sizeof buf - 1);
        op(buf);
        return Hex(buf);
    };
    char buf[600] = {};
    name.copy(buf, sizeof buf - 1);
    const char* hit = FindFirstOf(buf, "/\\");
    std::string r = std::to_string(hit ? hit - buf : -1) + " " + std::to_string(BaseName(buf) - buf);
    r += " " + apply([](char* p) { ReplaceSeparators(p, '|'); });
    r += " " + apply([](char* p) { AppendSeparator(p, 600); });
    r += " " + apply([](char* p) { SanitizePath(p + (p[0] && p[1] == ':' ? 2 : 0), false); });
    r += " " + apply([](char* p) { SanitizePath(p + (p[0] && p[1] == ':' ? 2 : 0), true); });
    r += " " + apply(StripTrailingSeparator);
    r += " " + apply([](char* p) {
        char out[1024];
        AbbreviatePath(out, sizeof out, p, 16);
        TextCopy(p, 600, out);
    });
    return r;
}

inline std::vector<std::string> Lines() {
    // Shift_JIS names whose trail bytes look like separators or forbidden characters
    // (表 95 5C, ソ 83 5C, 能 94 5C, 0x81 0x2F), a lead byte before the terminator, and
    // plain names for contrast.
    const char* const names[] = {
        "C:/Inst/\x95\x5C/\x83\x5Cx.txt", "dir\x95\x5C", ("a\x81\x2F" "b/c"), "ab\x95",
        "D:/Program Files/\x95\x5C\x8E\xA6/\x83\x5C\x83\x74\x83\x67.text",
        "\x94\x5C\x94\x5C\x94\x5C\x94\x5C\x94\x5C.\x83\x5C\x83\x5C", "x/\x83\x5C\\", "C:\\dir\\file name.txt"};
    std::vector<std::string> out;
    for (const char* name : names) out.push_back("name " + Hex(name) + " " + Run(name));
    // Fixed edges, then values of a 64-bit linear congruential generator: seconds, and
    // FILETIMEs mostly around the range of 32-bit seconds, a few far outside it.
    uint64_t state = 1;
    auto next = [&state] { return state = state * 6364136223846793005ull + 1442695040888963407ull; };
    const uint32_t seconds[] = {0, 1, 315532799, 315532800, 951782400, 4107456000u, 4107542400u, 4294967295u};
    for (int i = 0; i < 2008; i++) {
        const uint32_t s = i < 8 ? seconds[i] : uint32_t(next() >> 32);
        PortFileTime ft = 0;
        const int ok = UnixToFileTime(s, &ft);
        out.push_back("utof " + std::to_string(s) + " " + std::to_string(ok) + " " + std::to_string(ft));
    }
    const uint64_t at1970 = 116444736000000000ull, second = 10000000ull;
    const uint64_t filetimes[] = {0, at1970 - second, at1970, at1970 + 4294967295ull * second + 9999999,
                                  at1970 + 4294967296ull * second, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull};
    for (int i = 0; i < 2007; i++) {
        const uint64_t ft = i < 7 ? filetimes[i] : i % 10 ? at1970 + next() % (4400000000ull * second) : next();
        uint32_t s = 0xDEADBEEF;
        const int ok = FileTimeToUnix(&ft, &s);
        out.push_back("ftou " + std::to_string(ft) + " " + std::to_string(ok) + " " + std::to_string(s));
    }
    return out;
}

}  // namespace pathops
