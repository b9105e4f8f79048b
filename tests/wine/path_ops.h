// The name scans run by both paths_probe.exe (under Wine, real DBCS calls) and the host
// test (POSIX port): the same names through the same operations, one line of results
// per name, so the two sides can be compared line by line.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "sfx/paths.h"
#include "sfx/text.h"

namespace pathops {

// Shift_JIS names whose trail bytes look like separators or forbidden characters
// (表 95 5C, ソ 83 5C, 能 94 5C, 0x81 0x2F), a lead byte before the terminator, and plain
// names for contrast.
inline std::vector<std::string> Names() {
    return {
        "C:/Inst/\x95\x5C/\x83\x5Cx.txt",
        "dir\x95\x5C",
        "a\x81\x2F" "b/c",
        "ab\x95",
        "D:/Program Files/\x95\x5C\x8E\xA6/\x83\x5C\x83\x74\x83\x67.text",
        "\x94\x5C\x94\x5C\x94\x5C\x94\x5C\x94\x5C.\x83\x5C\x83\x5C",
        "x/\x83\x5C\\",
        "C:\\dir\\file name.txt",
    };
}

inline std::string Hex(const std::string& s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out.empty() ? "-" : out;
}

// Every operation of the name's line: the scans, separator replacement and appending,
// sanitising for both kinds of volume, stripping a trailing separator and the display.
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

}  // namespace pathops
