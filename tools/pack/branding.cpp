// The author's icon and version information, written into the stub's resources.
#include "branding.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "pe_resources.h"
#include "sign.h"

namespace pack {

namespace {

using lzh::Bytes;

// The keys Windows' file properties know; the first eight are the ones people set.
const char* const kVersionKeys[] = {"ProductName",      "FileDescription", "CompanyName",  "LegalCopyright",
                                    "ProductVersion",   "FileVersion",     "OriginalFilename", "Comments",
                                    "InternalName",     "LegalTrademarks", "PrivateBuild", "SpecialBuild"};

const char16_t kIconGroupName[] = u"IDI_ICON1";
const size_t kMaxIconFile = 64u << 20;

using lzh::Append16;
using lzh::Append32;
using lzh::U16;
using lzh::U32;
uint32_t BigU32(const Bytes& b, size_t at) { return uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; }

std::string Size(unsigned width, unsigned height) {
    return std::to_string(width ? width : 256) + "x" + std::to_string(height ? height : 256);
}

// ---- icons -----------------------------------------------------------------------------

// Checks one image against its directory entry and fills in its depth.
void CheckIconImage(IconImage& image, const std::string& what) {
    const Bytes& d = image.data;
    const unsigned width = image.width ? image.width : 256, height = image.height ? image.height : 256;
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (d.size() >= 8 && memcmp(d.data(), kPng, 8) == 0) {
        if (d.size() < 33 || memcmp(&d[12], "IHDR", 4) != 0) throw Error(what + ": its PNG is cut short");
        if (BigU32(d, 16) != width || BigU32(d, 20) != height)
            throw Error(what + ": the directory says " + Size(image.width, image.height) + ", its PNG is " +
                        std::to_string(BigU32(d, 16)) + "x" + std::to_string(BigU32(d, 20)));
        if (image.planes == 0) image.planes = 1;
        if (image.bitCount == 0) image.bitCount = 32;
        return;
    }
    if (d.size() < 40 || U32(d, 0) != 40) throw Error(what + " is neither a PNG nor a bitmap");
    const int32_t w = int32_t(U32(d, 4)), h2 = int32_t(U32(d, 8));
    const uint16_t planes = U16(d, 12), bits = U16(d, 14);
    const uint32_t compression = U32(d, 16), used = U32(d, 32);
    if (w != int32_t(width) || h2 != 2 * int32_t(height))
        throw Error(what + ": the directory says " + Size(image.width, image.height) + ", its bitmap is " +
                    std::to_string(w) + "x" + std::to_string(h2 / 2));
    if (planes != 1 || compression != 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        throw Error(what + ": its bitmap has a format icons cannot have (" + std::to_string(bits) + " bits, compression " +
                    std::to_string(compression) + ")");
    const uint32_t palette = used ? used : bits <= 8 ? 1u << bits : 0;
    if (bits <= 8 && palette > (1u << bits)) throw Error(what + ": its bitmap names more colours than it can have");
    const uint64_t colourRow = (uint64_t(width) * bits + 31) / 32 * 4, maskRow = (width + 31) / 32 * 4;
    const uint64_t need = 40 + 4 * uint64_t(palette) + (colourRow + maskRow) * height;
    if (d.size() < need)
        throw Error(what + " is cut short: its bitmap needs " + std::to_string(need) + " bytes, the file gives " +
                    std::to_string(d.size()));
    image.planes = 1;
    image.bitCount = bits;
}

// Takes out the icon group IDI_ICON1 and the icons it names; returns the group's language.
uint16_t RemoveIconGroup(std::vector<pe::Resource>& resources, const std::string& shown) {
    const pe::ResourceName group = pe::ResourceName::Text(kIconGroupName);
    std::vector<uint16_t> ids;
    int language = -1;
    for (const pe::Resource& r : resources) {
        if (!(r.type == pe::ResourceName::Id(pe::kTypeGroupIcon) && r.name == group)) continue;
        language = r.language;
        const size_t count = r.data.size() >= 6 ? U16(r.data, 4) : 0;
        for (size_t i = 0; i < count && 6 + 14 * (i + 1) <= r.data.size(); i++) ids.push_back(U16(r.data, 6 + 14 * i + 12));
    }
    if (language < 0) throw Error(shown + " has no icon group IDI_ICON1 to replace");
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&](const pe::Resource& r) {
                                       if (r.type == pe::ResourceName::Id(pe::kTypeGroupIcon)) return r.name == group;
                                       return r.type == pe::ResourceName::Id(pe::kTypeIcon) && !r.name.named &&
                                              std::count(ids.begin(), ids.end(), r.name.id) > 0;
                                   }),
                    resources.end());
    return uint16_t(language);
}

// IDI_ICON1 anew: one icon resource per image, numbered from 1 past any icon that stays,
// and the group that lists them, all in the language the stub's group had.
void ReplaceIcon(std::vector<pe::Resource>& resources, const std::vector<IconImage>& images, const std::string& shown) {
    const uint16_t language = RemoveIconGroup(resources, shown);
    pe::Resource group;
    group.type = pe::ResourceName::Id(pe::kTypeGroupIcon);
    group.name = pe::ResourceName::Text(kIconGroupName);
    group.language = language;
    Append16(group.data, 0);
    Append16(group.data, 1);
    Append16(group.data, uint32_t(images.size()));
    uint16_t id = 0;
    for (const IconImage& image : images) {
        auto taken = [&](uint16_t n) {
            return std::any_of(resources.begin(), resources.end(), [&](const pe::Resource& r) {
                return r.type == pe::ResourceName::Id(pe::kTypeIcon) && r.name == pe::ResourceName::Id(n);
            });
        };
        do {
            if (++id == 0) throw Error(shown + ": no icon number is left");
        } while (taken(id));
        group.data.insert(group.data.end(), {image.width, image.height, image.colors, 0});
        Append16(group.data, image.planes);
        Append16(group.data, image.bitCount);
        Append32(group.data, uint32_t(image.data.size()));
        Append16(group.data, id);
        pe::Resource icon;
        icon.type = pe::ResourceName::Id(pe::kTypeIcon);
        icon.name = pe::ResourceName::Id(id);
        icon.language = language;
        icon.data = image.data;
        resources.push_back(std::move(icon));
    }
    resources.push_back(std::move(group));
}

// ---- version information -------------------------------------------------------------

// UTF-8 to UTF-16; throws Error naming `what` for bytes that are not UTF-8.
std::u16string Utf16(const std::string& s, const std::string& what) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) throw Error(what + " is not valid UTF-8");
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            const uint8_t t = uint8_t(s[i + k]);
            if ((t & 0xC0) != 0x80) throw Error(what + " is not valid UTF-8");
            cp = cp << 6 | (t & 0x3F);
        }
        static const uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) throw Error(what + " is not valid UTF-8");
        if (cp >= 0x10000) {
            out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += n;
    }
    return out;
}

// The leading dotted numbers of a version text as the fixed fields' two 32-bit halves:
// "2.1.0 beta" gives 2.1.0.0. A text that does not begin with a digit gives zeros.
std::pair<uint32_t, uint32_t> VersionNumbers(const std::string& text, const std::string& what) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (int part = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; part++) {
        if (part == 4) throw Error(what + " has more than four numbers; the fixed version holds four");
        uint32_t v = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
            v = v * 10 + uint32_t(text[i] - '0');
            if (v > 0xFFFF) throw Error(what + ": each number of a version is at most 65535");
        }
        parts[part] = v;
        if (i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') i++;
        else break;
    }
    return {parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
}

// A version resource node: its length, value length and type, its key, padded to 32
// bits; the caller appends value and children and then calls EndNode.
size_t BeginNode(Bytes& out, const std::u16string& key, uint16_t valueLength, uint16_t type) {
    while (out.size() % 4) out.push_back(0);
    const size_t start = out.size();
    Append16(out, 0);
    Append16(out, valueLength);
    Append16(out, type);
    for (char16_t c : key) Append16(out, c);
    Append16(out, 0);
    while (out.size() % 4) out.push_back(0);
    return start;
}

void EndNode(Bytes& out, size_t start) {
    const size_t length = out.size() - start;
    if (length > 0xFFFF)
        throw Error("the version information takes " + std::to_string(length) +
                    " bytes; a version resource holds at most 65535");
    out[start] = uint8_t(length);
    out[start + 1] = uint8_t(length >> 8);
}

}  // namespace

std::string VersionKey(const std::string& key) {
    for (const char* k : kVersionKeys)
        if (strcasecmp(k, key.c_str()) == 0) return k;
    return "";
}

std::string VersionKeyList() {
    std::string s;
    for (const char* k : kVersionKeys) s += (s.empty() ? "" : ", ") + std::string(k);
    return s;
}

std::vector<IconImage> ReadIconFile(const Bytes& ico, const std::string& shown) {
    if (ico.empty()) throw Error(shown + " is empty");
    // Icons of every size Windows draws fit in a few megabytes; this keeps every size
    // and offset of the resource section far from overflowing.
    if (ico.size() > kMaxIconFile)
        throw Error(shown + " is " + std::to_string(ico.size()) + " bytes; an icon file holds at most " +
                    std::to_string(kMaxIconFile));
    if (ico.size() < 6 || U16(ico, 0) != 0 || U16(ico, 2) != 1)
        throw Error(shown + " is not an icon file (an .ico begins with 0, 1 and the number of images)");
    const size_t count = U16(ico, 4), directoryEnd = 6 + 16 * count;
    if (count == 0) throw Error(shown + " holds no images");
    if (ico.size() < directoryEnd) throw Error(shown + " is cut short inside its directory of " + std::to_string(count) + " images");
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        const size_t e = 6 + 16 * i;
        IconImage image;
        image.width = ico[e];
        image.height = ico[e + 1];
        image.colors = ico[e + 2];
        image.planes = U16(ico, e + 4);
        image.bitCount = U16(ico, e + 6);
        const uint32_t size = U32(ico, e + 8), offset = U32(ico, e + 12);
        const std::string what = shown + ": image " + std::to_string(i + 1) + " (" + Size(image.width, image.height) + ")";
        if (size == 0 || offset < directoryEnd || offset > ico.size() || ico.size() - offset < size)
            throw Error(what + " lies outside the file (is the file cut short?)");
        image.data.assign(ico.begin() + offset, ico.begin() + offset + size);
        CheckIconImage(image, what);
        images.push_back(std::move(image));
    }
    return images;
}

Bytes VersionResource(const std::vector<std::pair<std::string, std::string>>& keys) {
    uint32_t fileVersion[2] = {0, 0}, productVersion[2] = {0, 0};
    for (const auto& [key, value] : keys) {
        if (key == "FileVersion" || key == "ProductVersion") {
            const auto [high, low] = VersionNumbers(value, "--version-info " + key);
            uint32_t* fixed = key == "FileVersion" ? fileVersion : productVersion;
            fixed[0] = high;
            fixed[1] = low;
        }
    }
    Bytes out;
    const size_t root = BeginNode(out, u"VS_VERSION_INFO", 52, 0);
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, fileVersion[0], fileVersion[1], productVersion[0], productVersion[1],
                       0x3Fu /* flags mask */, 0u /* flags */, 0x4u /* VOS__WINDOWS32 */, 0x1u /* VFT_APP */,
                       0u /* subtype */, 0u, 0u /* no date: the same inputs give the same bytes */})
        Append32(out, v);
    const size_t stringInfo = BeginNode(out, u"StringFileInfo", 0, 1);
    const size_t table = BeginNode(out, u"000004B0", 0, 1);
    for (const auto& [key, value] : keys) {
        const std::u16string text = Utf16(value, "--version-info " + key);
        if (text.size() >= 0x7FFF) throw Error("--version-info " + key + " is too long for a version resource");
        const size_t node = BeginNode(out, Utf16(key, key), uint16_t(text.size() + 1), 1);
        for (char16_t c : text) Append16(out, c);
        Append16(out, 0);
        EndNode(out, node);
    }
    EndNode(out, table);
    EndNode(out, stringInfo);
    const size_t varInfo = BeginNode(out, u"VarFileInfo", 0, 1);
    const size_t translation = BeginNode(out, u"Translation", 4, 0);
    Append16(out, 0x0000);   // language neutral
    Append16(out, 0x04B0);   // Unicode (1200)
    EndNode(out, translation);
    EndNode(out, varInfo);
    EndNode(out, root);
    return out;
}

namespace {

// Whether the stub's resources are laid out anew (and its checksum computed again).
bool Rebranded(const Options& o) {
    return !o.iconFile.empty() || !o.versionInfo.empty() || o.elevation != "as-invoker";
}

// The manifest with the requested execution level --elevation asks for, the rest as it was.
void SetElevation(std::vector<pe::Resource>& resources, const std::string& elevation, const std::string& shown) {
    static const std::string kAsInvoker = "level=\"asInvoker\"";
    const std::string level = elevation == "highest-available" ? "highestAvailable" : "requireAdministrator";
    for (pe::Resource& r : resources) {
        if (!(r.type == pe::ResourceName::Id(pe::kTypeManifest))) continue;
        const std::string text(r.data.begin(), r.data.end());
        const size_t at = text.find(kAsInvoker);
        if (at == std::string::npos || text.find(kAsInvoker, at + 1) != std::string::npos) break;
        const std::string changed = text.substr(0, at) + "level=\"" + level + "\"" + text.substr(at + kAsInvoker.size());
        r.data.assign(changed.begin(), changed.end());
        return;
    }
    throw Error(shown + ": its manifest does not request asInvoker once; --elevation cannot change it");
}

}  // namespace

Bytes BrandStub(const Bytes& stub, const Options& o, const std::string& shown) {
    if (!Rebranded(o)) return stub;
    std::vector<IconImage> images;
    if (!o.iconFile.empty()) {
        Bytes ico;
        if (!HostReadFile(o.iconFile, ico)) throw Error("--icon " + o.iconFile + ": " + strerror(errno));
        images = ReadIconFile(ico, "--icon " + o.iconFile);
    }
    // The author's inputs are checked before the stub, so that their mistakes are named first.
    const Bytes version = o.versionInfo.empty() ? Bytes() : VersionResource(o.versionInfo);
    std::vector<pe::Resource> resources = pe::ReadResources(stub, shown);
    if (!images.empty()) ReplaceIcon(resources, images, shown);
    if (!o.versionInfo.empty()) {
        // Language neutral, as every other resource of the stub: found whatever the
        // language of the Windows that reads it, and matching the "000004B0" table.
        resources.erase(std::remove_if(resources.begin(), resources.end(),
                                       [](const pe::Resource& r) { return r.type == pe::ResourceName::Id(pe::kTypeVersion); }),
                        resources.end());
        pe::Resource entry;
        entry.type = pe::ResourceName::Id(pe::kTypeVersion);
        entry.name = pe::ResourceName::Id(1);
        entry.data = version;
        resources.push_back(std::move(entry));
    }
    if (o.elevation != "as-invoker") SetElevation(resources, o.elevation, shown);
    return pe::ReplaceResources(stub, std::move(resources), shown);
}

void FinishImage(Bytes& image, const Options& o) {
    // Windows reads the checksum over the whole file, the archive included.
    if (Rebranded(o)) pe::UpdateChecksum(image, o.output);
    if (!o.signPkcs12.empty()) image = SignImage(image, o);
}

}  // namespace pack
