// The two conversions every Windows file of the builder needs: UTF-8 (our strings) to
// and from UTF-16 (the wide functions').
#pragma once

#include <string>

namespace pack {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* text, int length = -1);

}  // namespace pack
