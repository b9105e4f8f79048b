// Code pages and the rules for member names: what the stub will make of a stored name
// decides what we may store.
#include <string.h>
#include <strings.h>

#include "pack.h"

namespace pack {

namespace {

// The UTF-8 character that starts at `at`, for a message.
std::string CharAt(const std::string& s, size_t at) {
    size_t n = 1;
    uint8_t c = (uint8_t)s[at];
    if (c >= 0xF0) n = 4;
    else if (c >= 0xE0) n = 3;
    else if (c >= 0xC0) n = 2;
    return s.substr(at, n);
}

// Where valid UTF-8 ends: std::string::npos if it does not, else the offset of the
// first byte that is not part of a well-formed character (overlong forms, surrogates
// and values past U+10FFFF included); *cut tells whether the text merely ends early.
size_t InvalidUtf8At(const std::string& s, bool* cut) {
    *cut = false;
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = (uint8_t)s[i];
        size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (n == 0) return i;
        // The second byte's range rules out overlong forms, surrogates and too large values.
        uint8_t low = 0x80, high = 0xBF;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
        for (size_t k = 1; k < n; k++) {
            if (i + k >= s.size()) {
                *cut = true;
                return i;
            }
            const uint8_t t = (uint8_t)s[i + k];
            if (t < (k == 1 ? low : 0x80) || t > (k == 1 ? high : 0xBF)) return i + k;
        }
        i += n;
    }
    return std::string::npos;
}

std::string Hex(uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

const char* const kMacros[] = {"%WORK%", "%WinDir%", "%WinRoot%", "%SystemDir%", "%Search%"};

// Names Windows keeps for devices, with or without an extension: a file "aux.c" cannot
// be created there (the write goes to the device instead).
bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* d : fixed)
        if (strcasecmp(base.c_str(), d) == 0) return true;
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
        (strncasecmp(base.c_str(), "COM", 3) == 0 || strncasecmp(base.c_str(), "LPT", 3) == 0))
        return true;
    return false;
}

}  // namespace

CodePage::CodePage(const std::string& name) {
    if (name.empty()) return;
    if (name == "raw") {
        raw_ = true;
        return;
    }
    std::string digits = name;
    if (strncasecmp(digits.c_str(), "cp", 2) == 0) digits.erase(0, 2);
    if (strcasecmp(name.c_str(), "utf-8") == 0 || strcasecmp(name.c_str(), "utf8") == 0) digits = "65001";
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("--codepage takes a Windows code page number such as 1252 or 932, or raw; not '" + name + "'");
    number_ = (uint32_t)std::stoul(digits);
    if (number_ != 65001 && !HostCodePageKnown(number_))
        throw UsageError("code page " + name + " is not known on this system");
}

std::string CodePage::Encode(const std::string& utf8, const std::string& what) const {
    if (raw_) return utf8;
    if (number_ == 0) {
        for (unsigned char c : utf8)
            if (c >= 0x80)
                throw Error(what + " is not ASCII: give the ANSI code page of the Windows it is for with "
                                   "--codepage (for example 1252 or 932), or --codepage raw to store the bytes as they are");
        return utf8;
    }
    bool cut = false;
    const size_t invalid = InvalidUtf8At(utf8, &cut);
    if (cut) throw Error(what + " is not valid UTF-8 (it ends in the middle of a character)");
    if (invalid != std::string::npos) throw Error(what + " is not valid UTF-8 (byte " + Hex((uint8_t)utf8[invalid]) + ")");
    if (number_ == 65001) return utf8;
    std::string out;
    const size_t lacking = HostEncode(number_, utf8, out);
    if (lacking != std::string::npos)
        throw Error(what + ": the character '" + CharAt(utf8, lacking) + "' cannot be written in code page " +
                    std::to_string(number_));
    return out;
}

std::string CodePage::Decode(const std::string& bytes) const {
    std::string out;
    auto plain = [&out](uint8_t c) {
        if (c < 0x20 || c == 0x7F) out += "\\x" + Hex(c).substr(2);
        else out += (char)c;
    };
    if (number_ == 0) {
        for (unsigned char c : bytes) plain(c);
        return out;
    }
    size_t at = 0;
    while (at < bytes.size()) {
        std::string piece;
        bool cut = false;
        size_t taken = 0;
        if (number_ == 65001) {
            // Valid UTF-8 up to the first fault, as a decoder of it would take it.
            taken = InvalidUtf8At(bytes.substr(at), &cut);
            if (taken == std::string::npos) taken = bytes.size() - at;
            piece = bytes.substr(at, taken);
        } else {
            taken = HostDecode(number_, bytes.substr(at), piece);
        }
        for (unsigned char c : piece) {
            if (c < 0x20 || c == 0x7F) plain(c);
            else out += (char)c;
        }
        at += taken;
        if (at >= bytes.size()) break;
        out += "\\x" + Hex((uint8_t)bytes[at]).substr(2);
        at++;
    }
    return out;
}

bool CodePage::IsLeadByte(uint8_t b) const {
    switch (number_) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950: return b >= 0x81 && b <= 0xFE;
    case 1361: return (b >= 0x84 && b <= 0xD3) || (b >= 0xD8 && b <= 0xDE) || (b >= 0xE0 && b <= 0xF9);
    default: return false;
    }
}

void CheckMemberName(const std::string& name, const CodePage& cp, bool allowUnsafe, const std::string& shown) {
    auto refuse = [&](const std::string& why) { throw Error("member name '" + shown + "': " + why); };
    if (name.empty() || name == "/") refuse("the name is empty");
    if (name.size() > 259) refuse(std::to_string(name.size()) + " bytes long; member names hold at most 259 bytes");

    // Byte by byte as the stub scans it: a lead byte takes its trail byte along, and
    // only the other bytes can be separators.
    std::vector<std::string> components(1);
    for (size_t i = 0; i < name.size(); i++) {
        uint8_t c = (uint8_t)name[i];
        if (cp.IsLeadByte(c)) {
            if (i + 1 >= name.size()) refuse("it ends in half a double-byte character");
            components.back() += name.substr(i, 2);
            i++;
            continue;
        }
        if (c == 0xFF) refuse("it holds the byte 0xFF, which the self-extractor reads as a directory separator");
        if (c == '\\') refuse("it holds a backslash, which the self-extractor reads as a directory separator; "
                              "use --as with '/' between directories");
        if (c < 0x20) refuse("it holds the control character " + Hex(c) + ", which Windows does not allow in names");
        if (c == '/') components.emplace_back();
        else components.back() += (char)c;
    }
    if (IsSpecialMember(name))
        refuse(std::string("at the top level it would be taken as the ") + (name == NoticeMemberName ? "notice" : "settings") +
               " member; store it in a directory or under another name (--as)");
    for (const std::string& comp : components)
        if (IsDeviceName(comp)) refuse("'" + comp + "' is a device name on Windows; the file could not be created there");

    if (allowUnsafe) return;
    if (const char* unsafe = UnsafeNameReason(name, cp))
        refuse(std::string(unsafe) + ", so it would be extracted outside the installation directory "
                                     "(--allow-unsafe-names allows that)");
}

const char* UnsafeNameReason(const std::string& name, const CodePage& cp) {
    if (name.empty()) return nullptr;
    uint8_t first = (uint8_t)name[0];
    if (first == '/' || first == '\\' || first == 0xFF) return "it is rooted (begins with a separator)";
    // The stub takes any name whose second byte is a colon as drive-qualified.
    if (name.size() >= 2 && name[1] == ':') return "it is drive-qualified";
    for (const char* macro : kMacros)
        if (strncasecmp(name.c_str(), macro, strlen(macro)) == 0) return "it begins with a directory macro";
    std::string component;
    for (size_t i = 0; i <= name.size(); i++) {
        uint8_t c = i < name.size() ? (uint8_t)name[i] : 0;
        if (c && cp.IsLeadByte(c) && i + 1 < name.size()) {
            component += name.substr(i++, 2);
        } else if (c == 0 || c == '/' || c == '\\' || c == 0xFF) {
            if (component == "..") return "it has a '..' component";
            component.clear();
        } else {
            component += (char)c;
        }
    }
    return nullptr;
}

// The macros of kMacros that the self-extractor expands at the start of the default
// installation directory (%Search% stands for where a named file is found, and the
// installation directory names none).
const std::vector<std::string>& DirectoryMacros() {
    static const std::vector<std::string> macros(std::begin(kMacros), std::end(kMacros) - 1);
    return macros;
}

}  // namespace pack
