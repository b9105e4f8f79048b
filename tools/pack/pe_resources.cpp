// The resource tree of a PE image: read, laid out anew as the linker lays it out, and
// put back as the image's last section with every header field that depends on it.
#include "pe_resources.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <set>

#include "pack.h"

namespace pe {

namespace {

using pack::Error;

constexpr unsigned kDirectoryResource = 2, kDirectorySecurity = 4, kDirectoryDebug = 6;
constexpr uint32_t kSectionInitializedData = 0x40;
constexpr uint32_t kSubdirectory = 0x80000000u;

using lzh::Put16;
using lzh::Put32;
using lzh::U16;
using lzh::U32;
uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }
bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool FindHeaders(const Bytes& b, Headers& h) {
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') return false;
    const size_t pe = U32(b, 60);
    if (pe > b.size() || b.size() - pe < 24 || U32(b, pe) != 0x00004550u) return false;
    h.sectionCount = U16(b, pe + 6);
    const size_t optionalSize = U16(b, pe + 20);
    h.optional = pe + 24;
    if (b.size() - h.optional < optionalSize) return false;
    // PE32 and PE32+ differ in where the data directory begins.
    const uint16_t magic = optionalSize >= 2 ? U16(b, h.optional) : 0;
    const size_t directoryAt = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (directoryAt == 0 || optionalSize < directoryAt) return false;
    h.directories = h.optional + directoryAt;
    h.directoryCount = U32(b, h.optional + directoryAt - 4);
    if (h.directoryCount > (optionalSize - directoryAt) / 8) h.directoryCount = uint32_t((optionalSize - directoryAt) / 8);
    h.sections = h.optional + optionalSize;
    return (b.size() - h.sections) / 40 >= h.sectionCount;
}


namespace {

Headers RequireHeaders(const Bytes& b, const std::string& shown) {
    Headers h;
    if (!FindHeaders(b, h)) throw Error(shown + " is not a Windows program (no complete PE header)");
    return h;
}

// A data directory entry: RVA and size, zero when the entry is missing.
std::pair<uint32_t, uint32_t> DirectoryEntry(const Bytes& b, const Headers& h, unsigned i) {
    if (i >= h.directoryCount) return {0, 0};
    return {U32(b, h.Directory(i)), U32(b, h.Directory(i) + 4)};
}

// The section whose raw data holds [rva, rva + size); false when none does.
bool RvaToOffset(const Bytes& b, const Headers& h, uint32_t rva, uint32_t size, size_t& offset) {
    for (unsigned i = 0; i < h.sectionCount; i++) {
        const size_t s = h.Section(i);
        const uint32_t va = U32(b, s + 12), raw = U32(b, s + 16), at = U32(b, s + 20);
        if (rva < va || rva - va >= raw || raw - (rva - va) < size) continue;
        const uint64_t start = uint64_t(at) + (rva - va);
        if (start + size > b.size()) return false;
        offset = size_t(start);
        return true;
    }
    return false;
}

// Reads the three levels (type, name, language) below the resource directory.
class TreeReader {
public:
    TreeReader(const Bytes& b, const Headers& h, size_t base, size_t limit, const std::string& shown)
        : b_(b), h_(h), base_(base), limit_(limit), shown_(shown) {}

    void Directory(size_t offset, int level, Resource& path, std::vector<Resource>& out) {
        Need(offset, 16, "a directory");
        if (!seen_.insert(offset).second) Damaged("a directory is reached twice");
        const size_t at = base_ + offset;
        const size_t count = size_t(U16(b_, at + 12)) + U16(b_, at + 14);
        Need(offset + 16, count * 8, "a directory's entries");
        for (size_t i = 0; i < count; i++) {
            const size_t e = at + 16 + 8 * i;
            const uint32_t name = U32(b_, e), target = U32(b_, e + 4);
            ResourceName n = ResourceName::Id(uint16_t(name));
            if (name & kSubdirectory) n = ResourceName::Text(String(name & ~kSubdirectory));
            else if (name > 0xFFFF) Damaged("an entry's number is larger than 65535");
            if (level == 0) path.type = n;
            else if (level == 1) path.name = n;
            else path.language = n.named ? 0 : n.id;
            if (level == 2 && n.named) Damaged("a language is given as a name");
            const bool sub = (target & kSubdirectory) != 0;
            if (sub != (level < 2)) Damaged(sub ? "the tree is deeper than type, name and language" : "the tree ends above the language level");
            if (sub) Directory(target & ~kSubdirectory, level + 1, path, out);
            else out.push_back(Data(target, path));
        }
    }

private:
    [[noreturn]] void Damaged(const std::string& why) const {
        throw Error(shown_ + ": its resources are damaged (" + why + ")");
    }
    void Need(size_t offset, size_t size, const char* what) const {
        if (offset > limit_ || limit_ - offset < size) Damaged(std::string(what) + " lies outside the resource section");
    }
    std::u16string String(size_t offset) {
        Need(offset, 2, "a name");
        const size_t length = U16(b_, base_ + offset);
        Need(offset + 2, 2 * length, "a name");
        std::u16string s;
        for (size_t i = 0; i < length; i++) s += char16_t(U16(b_, base_ + offset + 2 + 2 * i));
        return s;
    }
    Resource Data(size_t offset, const Resource& path) {
        Need(offset, 16, "a data entry");
        if (!seen_.insert(offset).second) Damaged("a data entry is reached twice");
        const size_t at = base_ + offset;
        Resource r = path;
        const uint32_t rva = U32(b_, at), size = U32(b_, at + 4);
        r.codePage = U32(b_, at + 8);
        size_t data = 0;
        if (!RvaToOffset(b_, h_, rva, size, data)) Damaged("the data of " + r.type.Shown() + "/" + r.name.Shown() + " lies outside the image");
        r.data.assign(b_.begin() + data, b_.begin() + data + size);
        return r;
    }

    const Bytes& b_;
    const Headers& h_;
    size_t base_, limit_;   // the resource directory's file offset, and the bytes after it
    const std::string& shown_;
    std::set<size_t> seen_;
};

}  // namespace

bool ResourceName::operator<(const ResourceName& o) const {
    if (named != o.named) return named;
    return named ? text < o.text : id < o.id;
}

std::string ResourceName::Shown() const {
    if (!named) return std::to_string(id);
    std::string s;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            s += char(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04X", unsigned(c));
            s += buf;
        }
    }
    return s;
}

std::vector<Resource> ReadResources(const Bytes& image, const std::string& shown) {
    const Headers h = RequireHeaders(image, shown);
    const uint32_t rva = DirectoryEntry(image, h, kDirectoryResource).first;
    std::vector<Resource> out;
    if (rva == 0) return out;
    size_t base = 0;
    if (!RvaToOffset(image, h, rva, 16, base)) throw Error(shown + ": its resource directory lies outside the image");
    // The tree may use the rest of its section, whatever the directory entry's size says.
    size_t limit = 16;
    for (unsigned i = 0; i < h.sectionCount; i++) {
        const size_t s = h.Section(i);
        const uint32_t va = U32(image, s + 12), raw = U32(image, s + 16);
        if (rva >= va && rva - va < raw) limit = std::min<size_t>(raw - (rva - va), image.size() - base);
    }
    Resource path;
    TreeReader(image, h, base, limit, shown).Directory(0, 0, path, out);
    return out;
}

Bytes LayOutResources(std::vector<Resource> resources, uint32_t rva) {
    // type -> name -> language, each level in the loader's search order.
    std::map<ResourceName, std::map<ResourceName, std::map<uint16_t, Resource*>>> tree;
    for (Resource& r : resources) tree[r.type][r.name][r.language] = &r;

    size_t directories = 16 + 8 * tree.size(), strings = 0, entries = 0;
    for (const auto& [type, names] : tree) {
        directories += 16 + 8 * names.size();
        if (type.named) strings += 2 + 2 * type.text.size();
        for (const auto& [name, languages] : names) {
            directories += 16 + 8 * languages.size();
            if (name.named) strings += 2 + 2 * name.text.size();
            entries += languages.size();
        }
    }
    const size_t entryBase = AlignUp(directories + strings, 8);
    size_t dataSize = 0;
    for (const auto& [type, names] : tree)
        for (const auto& [name, languages] : names)
            for (const auto& [language, r] : languages) dataSize += AlignUp(r->data.size(), 8);
    Bytes out(entryBase + 16 * entries + dataSize, 0);

    size_t nextDirectory = 0, nextString = directories, nextEntry = entryBase, nextData = entryBase + 16 * entries;
    auto directory = [&](size_t named, size_t numbered) {
        const size_t at = nextDirectory;
        Put16(out, at + 12, uint32_t(named));
        Put16(out, at + 14, uint32_t(numbered));
        nextDirectory += 16 + 8 * (named + numbered);
        return at + 16;
    };
    auto name = [&](size_t entry, const ResourceName& n) {
        if (!n.named) {
            Put32(out, entry, n.id);
            return;
        }
        Put32(out, entry, uint32_t(nextString) | kSubdirectory);
        Put16(out, nextString, uint32_t(n.text.size()));
        for (size_t i = 0; i < n.text.size(); i++) Put16(out, nextString + 2 + 2 * i, n.text[i]);
        nextString += 2 + 2 * n.text.size();
    };
    auto countNamed = [](const auto& level) {
        size_t n = 0;
        for (const auto& item : level) n += item.first.named;
        return n;
    };

    size_t typeEntry = directory(countNamed(tree), tree.size() - countNamed(tree));
    for (const auto& [type, names] : tree) {
        name(typeEntry, type);
        Put32(out, typeEntry + 4, uint32_t(nextDirectory) | kSubdirectory);
        typeEntry += 8;
        size_t nameEntry = directory(countNamed(names), names.size() - countNamed(names));
        for (const auto& [resourceName, languages] : names) {
            name(nameEntry, resourceName);
            Put32(out, nameEntry + 4, uint32_t(nextDirectory) | kSubdirectory);
            nameEntry += 8;
            size_t languageEntry = directory(0, languages.size());
            for (const auto& [language, r] : languages) {
                Put32(out, languageEntry, language);
                Put32(out, languageEntry + 4, uint32_t(nextEntry));
                languageEntry += 8;
                Put32(out, nextEntry, rva + uint32_t(nextData));
                Put32(out, nextEntry + 4, uint32_t(r->data.size()));
                Put32(out, nextEntry + 8, r->codePage);
                nextEntry += 16;
                std::copy(r->data.begin(), r->data.end(), out.begin() + nextData);
                nextData += AlignUp(r->data.size(), 8);
            }
        }
    }
    return out;
}

Bytes ReplaceResources(const Bytes& image, std::vector<Resource> resources, const std::string& shown) {
    const Headers h = RequireHeaders(image, shown);
    if (IsSigned(image))
        throw Error(shown + " is signed; give the unsigned stub (--sign-pkcs12 signs the finished self-extractor)");
    const uint32_t rva = DirectoryEntry(image, h, kDirectoryResource).first;
    if (rva == 0) throw Error(shown + " has no resource section whose icon and version could be replaced");
    const uint32_t fileAlignment = h.FileAlignment(image), sectionAlignment = h.SectionAlignment(image);
    if (!PowerOfTwo(fileAlignment) || !PowerOfTwo(sectionAlignment))
        throw Error(shown + ": its section or file alignment is not a power of two");

    unsigned last = h.sectionCount;
    for (unsigned i = 0; i < h.sectionCount; i++)
        if (U32(image, h.Section(i) + 12) == rva) last = i;
    if (last == h.sectionCount) throw Error(shown + ": its resource directory does not begin a section");
    const size_t section = h.Section(last);
    const uint32_t rawAt = U32(image, section + 20), rawSize = U32(image, section + 16);
    // Everything else must lie before the resource section, in memory and in the file,
    // so that the section can grow or shrink without moving anything.
    for (unsigned i = 0; i < h.sectionCount; i++) {
        const size_t s = h.Section(i);
        const bool before = U32(image, s + 12) < rva &&
                            (U32(image, s + 16) == 0 || uint64_t(U32(image, s + 20)) + U32(image, s + 16) <= rawAt);
        if (i != last && !before)
            throw Error(shown + ": the resource section is not its last section, so it cannot be laid out anew");
    }
    if (uint64_t(rawAt) + rawSize > image.size()) throw Error(shown + ": its resource section is cut short");
    if (uint64_t(rawAt) + rawSize < image.size())
        throw Error(shown + " has data after its last section (an archive or a signature?); give the bare stub");
    for (unsigned i = 0; i < h.directoryCount; i++) {
        const auto [at, size] = DirectoryEntry(image, h, i);
        if (i != kDirectoryResource && i != kDirectorySecurity && at != 0 && uint64_t(at) + size > rva)
            throw Error(shown + ": data directory entry " + std::to_string(i) + " points into the resource section");
    }
    // Debug data is found by file offset; none of it may sit in the section replaced.
    const auto [debugAt, debugSize] = DirectoryEntry(image, h, kDirectoryDebug);
    size_t debug = 0;
    if (debugAt != 0 && RvaToOffset(image, h, debugAt, debugSize, debug))
        for (size_t e = debug; e + 28 <= debug + debugSize; e += 28)
            if (U32(image, e + 16) != 0 && U32(image, e + 24) >= rawAt)
                throw Error(shown + ": its debug data lies in the resource section");

    const Bytes tree = LayOutResources(std::move(resources), rva);
    if (tree.size() > 0x7FFFFFFFu - rva) throw Error("the resources are too large for an image");
    const uint32_t newRaw = uint32_t(AlignUp(tree.size(), fileAlignment));
    Bytes out(image.begin(), image.begin() + rawAt);
    out.insert(out.end(), tree.begin(), tree.end());
    out.resize(size_t(rawAt) + newRaw, 0);

    Put32(out, section + 8, uint32_t(tree.size()));   // VirtualSize
    Put32(out, section + 16, newRaw);                  // SizeOfRawData
    Put32(out, h.Directory(kDirectoryResource) + 4, uint32_t(tree.size()));
    Put32(out, h.SizeOfImage(), uint32_t(AlignUp(uint64_t(rva) + tree.size(), sectionAlignment)));
    if (U32(image, section + 36) & kSectionInitializedData)
        Put32(out, h.SizeOfInitializedData(), U32(image, h.SizeOfInitializedData()) - rawSize + newRaw);
    UpdateChecksum(out, shown);
    return out;
}

uint32_t Checksum(const Bytes& image) {
    Headers h;
    const size_t field = FindHeaders(image, h) ? h.Checksum() : image.size();
    auto byte = [&](size_t i) -> uint32_t { return i >= field && i < field + 4 ? 0 : image[i]; };
    uint32_t sum = 0;
    const size_t n = image.size();
    for (size_t i = 0; i < n; i += 2) {
        sum += byte(i) | (i + 1 < n ? byte(i + 1) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint32_t((sum & 0xFFFF) + n);
}

void UpdateChecksum(Bytes& image, const std::string& shown) {
    const Headers h = RequireHeaders(image, shown);
    Put32(image, h.Checksum(), Checksum(image));
}

bool IsSigned(const Bytes& image) {
    Headers h;
    return FindHeaders(image, h) && DirectoryEntry(image, h, kDirectorySecurity).second != 0;
}

bool OnlySignatureAdded(const Bytes& before, const Bytes& after) {
    Headers h;
    if (!FindHeaders(before, h) || after.size() <= before.size() || kDirectorySecurity >= h.directoryCount) return false;
    // The certificate table's "address" is a file offset.
    const auto [table, size] = DirectoryEntry(after, h, kDirectorySecurity);
    if (table != AlignUp(before.size(), 8) || uint64_t(table) + size != after.size()) return false;
    for (size_t i = before.size(); i < table; i++)
        if (after[i] != 0) return false;
    const size_t checksum = h.Checksum(), entry = h.Directory(kDirectorySecurity);
    for (size_t i = 0; i < before.size(); i++) {
        const bool mayDiffer = (i >= checksum && i < checksum + 4) || (i >= entry && i < entry + 8);
        if (!mayDiffer && before[i] != after[i]) return false;
    }
    return true;
}

}  // namespace pe
