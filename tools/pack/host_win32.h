// The two conversions every Windows file of the builder needs: UTF-8 (our strings) to
// and from UTF-16 (the wide functions'), the port's own.
#pragma once

#include <wchar.h>

#include <string>

#include "port/posix_port.h"

namespace pack {

inline std::wstring Wide(const std::string& utf8) {
    std::wstring out;
    PosixWideFrom(65001, utf8, false, out);   // CP_UTF8
    return out;
}
inline std::string Utf8(const wchar_t* text, int length = -1) {
    return PosixUtf8Of(text, length < 0 ? (int)wcslen(text) : length);
}

}  // namespace pack
