// varnex-mkimage: turns the linked Varnex32.exe into the self-extractor image.
//
// The linker writes its own MS-DOS header and stub and puts the PE header right after
// them. Archivers need a fixed MS-DOS part instead: a 603-byte configuration block at
// file offset 512 inside the MS-DOS load image, a small MS-DOS program at 1120 that says
// the file needs Windows, and the PE header at 1232. This tool writes that MS-DOS part,
// moves the PE header and section table to 1232, moves the section data behind the
// (now larger) headers by a multiple of the file alignment, and fixes every field that
// holds a file offset. It also writes the export, import and load configuration entries
// of the data directory from the symbols that src/stub.ld defines around the three
// tables (the linker fills the first two only for sections named .edata and .idata, which
// the stub does not have, and the third only for a symbol of another name), checks the
// base relocations, and leaves the linker's symbol table out of the image. Layout
// details: docs/image-layout.md.
//
// The stub is a PE32 image for i386. The same sources linked for x86-64 (build/win64, the
// stand-in that runs where Wine runs 64-bit programs only) give a PE32+ image, laid out
// the same way: only the data directory's place, the type of the base relocations and
// the load configuration's entry differ.
//
// Usage: varnex-mkimage <linked.exe> <image.exe>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lzh/bytes.h"

namespace {

using lzh::Bytes;

const uint32_t PeHeaderOffset = 1232;      // e_lfanew of the image
const uint32_t DosProgramOffset = 1120;    // load offset 0x260 = CS 0x26 : IP 0
const uint32_t DosImageSize = 1231;        // what the MS-DOS loader counts (pages, last page)

// Data directory entries written here from the symbols around their tables.
struct Table {
    unsigned entry;
    const char* start;
    const char* end;
};
const Table Tables[] = {{0, "VarnexExportDirectory", "VarnexExportDirectoryEnd"},
                        {1, "VarnexImportDirectory", "VarnexImportDirectoryEnd"},
                        {10, "VarnexLoadConfig", "VarnexLoadConfigEnd"}};
const unsigned LoadConfigEntry = 10;
const unsigned ResourceEntry = 2, RelocationEntry = 5;
const uint16_t RelocationsStripped = 0x0001;   // file header characteristics
const uint16_t DynamicBase = 0x0040;           // DLL characteristics

// What differs between the two kinds of image.
struct Format {
    uint16_t machine, magic;
    uint32_t directory;             // where the data directory starts in the optional header
    uint16_t relocationType;        // the one kind of base relocation an image of it needs
    uint32_t relocationWidth;       // the bytes such a relocation changes
    // The load configuration's Size must cover the dependent-load flags. Its entry in the
    // data directory gives 64 for i386, whatever the Size says: Windows XP requires it of
    // x86 images, and later versions read the Size. Other images give the Size itself.
    uint32_t loadConfigMinimum;
    bool loadConfigEntryIs64;
};
const Format Pe32 = {0x014C, 0x10B, 96, 3, 4, 64, true};       // i386: HIGHLOW relocations
const Format Pe32Plus = {0x8664, 0x20B, 112, 10, 8, 80, false};  // x86-64: DIR64 relocations

// Archivers find the stub by this marker at offset 36 of the MS-DOS header; the program
// itself never reads it.
const char Marker[10] = {'V', 'A', 'R', 'N', 'E', 'X', '3', '2', 'S', 'X'};

// The two Shift_JIS lines the MS-DOS program prints (94 bytes, CR LF after each): "this
// program is an LZH self-extracting archive for 32-bit Windows." and "it cannot run in
// MS-DOS mode." The katakana of the first line is half-width, the second line ends with
// a full-width full stop.
const char DosMessage[] =
    "\x82\xB1\x82\xCC\x83\x76\x83\x8D\x83\x4F\x83\x89\x83\x80\x82\xCD\x20\x57\x69\x6E\x64\x6F\x77\x73"
    "\x20\x33\x32\xCB\xDE\xAF\xC4\x94\xC5\x82\xCC\x20\x4C\x5A\x48\x20\x8E\xA9\x8C\xC8\x89\xF0\x93\x80"
    "\x8F\x91\x8C\xC9\x82\xC5\x82\xB7\x2E\x0D\x0A\x4D\x53\x2D\x44\x4F\x53\x20\x83\x82\x81\x5B\x83\x68"
    "\x82\xC5\x82\xCD\x8E\xC0\x8D\x73\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x44\x0D\x0A";
static_assert(sizeof(DosMessage) - 1 == 94, "the MS-DOS message is 94 bytes");

// The 16-bit code at 1217, reached by the short jump at 1120:
//   push cs / pop ds      the message lies in the code segment
//   mov dx, 2             at offset 2, right after the jump
//   mov ah, 9 / int 21h   print the '$'-terminated string
//   mov ax, 4C01h / int 21h   exit with return code 1
const uint8_t DosCode[] = {0x0E, 0x1F, 0xBA, 0x02, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
static_assert(sizeof DosCode == 14, "the MS-DOS code is 14 bytes");

using lzh::Put16;
using lzh::Put32;
using lzh::U16;
using lzh::U32;

// The MS-DOS header, the zero gap with the empty configuration block, and the MS-DOS
// program: the first 1232 bytes of the image.
Bytes DosPart() {
    Bytes d(PeHeaderOffset, 0);
    d[0] = 'M', d[1] = 'Z';
    Put16(d, 2, DosImageSize % 512);          // bytes in the last page: 0xCF
    Put16(d, 4, (DosImageSize + 511) / 512);  // pages: 3
    Put16(d, 6, 0);                           // relocations
    Put16(d, 8, 512 / 16);                    // header paragraphs: loading starts at 512
    Put16(d, 10, 0);                          // minimum extra paragraphs
    Put16(d, 12, 0xFFFF);                     // maximum extra paragraphs
    Put16(d, 14, 0);                          // SS
    Put16(d, 16, 0x025C);                     // SP
    Put16(d, 18, 0);                          // checksum
    Put16(d, 20, 0);                          // IP
    Put16(d, 22, (DosProgramOffset - 512) / 16);   // CS 0x26
    Put16(d, 24, 0x0040);                     // relocation table offset
    Put16(d, 26, 0);                          // overlay
    Put16(d, 28, 1), Put16(d, 30, 0), Put16(d, 32, 1), Put16(d, 34, 0);
    memcpy(&d[36], Marker, sizeof Marker);
    Put32(d, 60, PeHeaderOffset);
    // The MS-DOS program.
    const uint32_t codeOffset = DosProgramOffset + 2 + 94 + 1;   // 1217
    d[DosProgramOffset] = 0xEB;                                  // jmp short codeOffset
    d[DosProgramOffset + 1] = (uint8_t)(codeOffset - (DosProgramOffset + 2));
    memcpy(&d[DosProgramOffset + 2], DosMessage, 94);
    d[DosProgramOffset + 2 + 94] = '$';
    memcpy(&d[codeOffset], DosCode, sizeof DosCode);
    return d;
}

// The PE checksum: 16-bit one's-complement sum of the file with the field taken as 0,
// plus the file length.
uint32_t PeChecksum(const Bytes& b, size_t checksumAt) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == checksumAt || i == checksumAt + 2) continue;
        uint16_t w = b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum += w;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + b.size());
}

bool Fail(std::string* error, const std::string& what) {
    *error = what;
    return false;
}

// The file offset of [rva, rva + length) when it lies inside one section's data of the
// image whose section table starts at `sections`; SIZE_MAX otherwise.
size_t OffsetOf(const Bytes& b, size_t sections, unsigned sectionCount, uint32_t rva, uint32_t length) {
    for (unsigned i = 0; i < sectionCount; i++) {
        const size_t s = sections + 40 * i;
        const uint32_t va = U32(b, s + 12), rawSize = U32(b, s + 16), raw = U32(b, s + 20);
        if (rva >= va && (uint64_t)rva - va + length <= rawSize && (uint64_t)raw + rawSize <= b.size())
            return raw + (rva - va);
    }
    return SIZE_MAX;
}

// Base relocations: where the loader adds the distance between the preferred base and the
// actual one. This tool moves section data in the file, not in memory, so they stay valid
// as long as they are well formed and none points outside the sections' data (into the
// headers, which this tool rewrites). An image that asks to be moved (DYNAMIC_BASE) must
// carry them; Windows refuses to move one that says they were stripped.
bool CheckRelocations(const Bytes& out, const Format& format, size_t sections, unsigned sectionCount,
                      std::string* error) {
    const size_t opt = PeHeaderOffset + 24, entry = opt + format.directory + 8 * RelocationEntry;
    const uint32_t rva = U32(out, entry), size = U32(out, entry + 4);
    const bool dynamic = (U16(out, opt + 70) & DynamicBase) != 0;
    if (rva == 0 || size == 0) return !dynamic || Fail(error, "DYNAMIC_BASE without base relocations");
    if (U16(out, PeHeaderOffset + 22) & RelocationsStripped) return Fail(error, "base relocations marked as stripped");
    const size_t table = OffsetOf(out, sections, sectionCount, rva, size);
    if (table == SIZE_MAX) return Fail(error, "the base relocations lie outside the sections");
    for (uint32_t block = 0; block < size;) {
        const uint32_t page = size - block >= 8 ? U32(out, table + block) : 0;
        const uint32_t length = size - block >= 8 ? U32(out, table + block + 4) : 0;
        if (length < 8 || length % 4 || length > size - block || page % 4096)
            return Fail(error, "a malformed base relocation block");
        for (uint32_t e = 8; e < length; e += 2) {
            const uint16_t fixup = U16(out, table + block + e);
            if (fixup >> 12 == 0) continue;   // padding
            if (fixup >> 12 != format.relocationType)
                return Fail(error, format.relocationWidth == 4 ? "a base relocation of a type other than 32-bit"
                                                               : "a base relocation of a type other than 64-bit");
            if (OffsetOf(out, sections, sectionCount, page + (fixup & 0xFFF), format.relocationWidth) == SIZE_MAX)
                return Fail(error, "a base relocation outside the sections' data");
        }
        block += length;
    }
    return true;
}

// The value of a symbol of the linked file's COFF symbol table as an address in the
// image (section address + offset), or 0 when there is no such symbol.
uint32_t SymbolAddress(const Bytes& in, size_t pe, size_t sections, unsigned sectionCount, const char* wanted) {
    const uint32_t table = U32(in, pe + 12), count = U32(in, pe + 16);
    const uint64_t strings = (uint64_t)table + 18ull * count;
    if (table == 0 || strings + 4 > in.size()) return 0;
    const size_t want = strlen(wanted);
    for (uint32_t i = 0; i < count; i += 1 + in[table + 18 * i + 17]) {
        const size_t sym = table + 18 * (size_t)i;
        if (sym + 18 > strings) break;
        std::string name;
        if (U32(in, sym) == 0) {
            const uint64_t at = strings + U32(in, sym + 4);
            if (at >= in.size()) continue;
            name = std::string((const char*)&in[at], strnlen((const char*)&in[at], in.size() - at));
        } else {
            name = std::string((const char*)&in[sym], strnlen((const char*)&in[sym], 8));
        }
        const int16_t section = (int16_t)U16(in, sym + 12);
        if (name.size() != want || name != wanted || section < 1 || (unsigned)section > sectionCount) continue;
        return U32(in, sections + 40 * (size_t)(section - 1) + 12) + U32(in, sym + 8);
    }
    return 0;
}

// What the linked file's headers say, read and checked.
struct Layout {
    uint32_t pe = 0;                 // its PE header's offset
    uint16_t sectionCount = 0, optionalSize = 0;
    size_t headersLength = 0;        // PE header, optional header and section table
    Format format{};
    uint32_t fileAlignment = 0;
    uint32_t firstRaw = UINT32_MAX;  // where the section data starts
    uint32_t firstRva = UINT32_MAX;  // the first section's address, which the headers stay below
    uint64_t rawEnd = 0;             // where it ends (the symbol table after it stays out)
};

bool ReadLayout(const Bytes& in, Layout& l, std::string* error) {
    if (in.size() < 64 || in[0] != 'M' || in[1] != 'Z') return Fail(error, "not an MZ executable");
    l.pe = U32(in, 60);
    if ((uint64_t)l.pe + 24 > in.size() || memcmp(&in[l.pe], "PE\0\0", 4) != 0) return Fail(error, "no PE header");
    l.sectionCount = U16(in, l.pe + 6);
    l.optionalSize = U16(in, l.pe + 20);
    const size_t opt = l.pe + 24;
    l.headersLength = 24 + l.optionalSize + 40u * l.sectionCount;
    if (l.pe + l.headersLength > in.size() || l.optionalSize < 2) return Fail(error, "no optional header");
    const uint16_t machine = U16(in, l.pe + 4), magic = U16(in, opt);
    l.format = machine == Pe32.machine && magic == Pe32.magic           ? Pe32
               : machine == Pe32Plus.machine && magic == Pe32Plus.magic ? Pe32Plus
                                                                        : Format{};
    if (!l.format.magic) return Fail(error, "neither a PE32 image for i386 nor a PE32+ image for x86-64");
    const uint32_t dirs = l.format.directory;
    if (l.optionalSize < dirs) return Fail(error, "a short optional header");
    l.fileAlignment = U32(in, opt + 36);
    if (l.fileAlignment < 512 || (l.fileAlignment & (l.fileAlignment - 1))) return Fail(error, "odd file alignment");
    const uint32_t dirCount = U32(in, opt + dirs - 4);
    if (dirCount <= LoadConfigEntry || l.optionalSize < dirs + 8ull * dirCount) return Fail(error, "a short data directory");
    const size_t sections = opt + l.optionalSize;
    for (unsigned i = 0; i < l.sectionCount; i++) {
        const size_t s = sections + 40 * i;
        if (U32(in, s + 16) && U32(in, s + 20) < l.firstRaw) l.firstRaw = U32(in, s + 20);
        if (U32(in, s + 16) && (uint64_t)U32(in, s + 20) + U32(in, s + 16) > l.rawEnd)
            l.rawEnd = (uint64_t)U32(in, s + 20) + U32(in, s + 16);
        if (U32(in, s + 12) < l.firstRva) l.firstRva = U32(in, s + 12);
    }
    if (l.firstRaw == UINT32_MAX || l.rawEnd > in.size() || l.firstRaw % l.fileAlignment ||
        l.firstRaw < l.pe + l.headersLength)
        return Fail(error, "unexpected section layout");
    return true;
}

// Every field of the new image that holds a file offset moves by delta: the sections'
// data pointers, the certificate table's entry and the debug directory's entries.
void ShiftFileOffsets(Bytes& out, const Layout& l, int64_t delta) {
    const size_t nopt = PeHeaderOffset + 24, nsec = nopt + l.optionalSize, dirs = nopt + l.format.directory;
    auto shift = [&](size_t at) {
        if (at + 4 <= out.size() && U32(out, at)) Put32(out, at, (uint32_t)(U32(out, at) + delta));
    };
    for (unsigned i = 0; i < l.sectionCount; i++) {
        const size_t s = nsec + 40 * i;
        if (U32(out, s + 16)) shift(s + 20);
        shift(s + 24);   // relocations (object files only, 0 in images)
        shift(s + 28);   // line numbers (obsolete, 0 in images)
    }
    shift(dirs + 8 * 4);   // certificates: a file offset, not an address
    if (U32(out, dirs + 8 * 6)) {
        const uint32_t rva = U32(out, dirs + 8 * 6), size = U32(out, dirs + 8 * 6 + 4);
        for (unsigned i = 0; i < l.sectionCount; i++) {
            const size_t s = nsec + 40 * i;
            const uint32_t va = U32(out, s + 12), raw = U32(out, s + 20), rawSize = U32(out, s + 16);
            if (rva < va || rva + size > va + rawSize) continue;
            for (uint32_t e = 0; e + 28 <= size; e += 28) shift(raw + (rva - va) + e + 24);
        }
    }
}

// The export, import and load configuration entries from the symbols around their
// tables, where the linker left them empty.
void FillTableEntries(const Bytes& in, Bytes& out, const Layout& l, uint32_t (&tables)[3][2]) {
    for (int t = 0; t < 3; t++) {
        tables[t][0] = SymbolAddress(in, l.pe, l.pe + 24 + l.optionalSize, l.sectionCount, Tables[t].start);
        tables[t][1] = SymbolAddress(in, l.pe, l.pe + 24 + l.optionalSize, l.sectionCount, Tables[t].end);
        const size_t entry = PeHeaderOffset + 24 + l.format.directory + 8 * Tables[t].entry;
        if (U32(out, entry) == 0 && tables[t][0] && tables[t][1] > tables[t][0]) {
            Put32(out, entry, tables[t][0]);
            Put32(out, entry + 4,
                  Tables[t].entry == LoadConfigEntry && l.format.loadConfigEntryIs64 ? 64 : tables[t][1] - tables[t][0]);
        }
    }
}

// An image without imports would not start, the export directory names the module,
// and without its load configuration the image would lose its dependent-load flags; a
// change of the link that loses one must fail the build, not ship. Builders may rebuild
// the resources at any size; they can do so without moving anything only while the
// resource section is the last one.
bool CheckImage(const Bytes& out, const Layout& l, const uint32_t (&tables)[3][2], std::string* error) {
    const size_t nopt = PeHeaderOffset + 24, nsec = nopt + l.optionalSize, dirs = nopt + l.format.directory;
    if (U32(out, dirs) == 0) return Fail(error, "no export directory");
    if (U32(out, dirs + 8) == 0) return Fail(error, "no import directory");
    const uint32_t loadConfig = U32(out, dirs + 8 * LoadConfigEntry);
    const size_t config = OffsetOf(out, nsec, l.sectionCount, loadConfig, l.format.loadConfigMinimum);
    if (loadConfig == 0) return Fail(error, "no load configuration");
    // The structure's Size field must cover the dependent-load flags (and, on i386, what
    // Windows XP reads) and match the table between its symbols, or Windows reads beyond
    // it or misses fields.
    if (config == SIZE_MAX || U32(out, config) < l.format.loadConfigMinimum ||
        (tables[2][0] == loadConfig && U32(out, config) != tables[2][1] - tables[2][0]))
        return Fail(error, "a malformed load configuration");
    if (!CheckRelocations(out, l.format, nsec, l.sectionCount, error)) return false;
    const uint32_t resources = U32(out, dirs + 8 * ResourceEntry);
    for (unsigned i = 0; resources && i < l.sectionCount; i++)
        if (U32(out, nsec + 40 * i + 12) > resources) return Fail(error, "a section after the resources");
    return true;
}

bool Rewrite(const Bytes& in, Bytes& out, std::string* error) {
    Layout l;
    if (!ReadLayout(in, l, error)) return false;
    const uint32_t headersEnd = PeHeaderOffset + (uint32_t)l.headersLength;
    const uint32_t newHeaders = (headersEnd + l.fileAlignment - 1) / l.fileAlignment * l.fileAlignment;
    if (newHeaders > l.firstRva) return Fail(error, "no room for the headers below the first section");

    out = DosPart();
    out.insert(out.end(), in.begin() + l.pe, in.begin() + l.pe + l.headersLength);
    out.resize(newHeaders, 0);
    out.insert(out.end(), in.begin() + l.firstRaw, in.begin() + (size_t)l.rawEnd);
    const size_t nopt = PeHeaderOffset + 24;
    ShiftFileOffsets(out, l, (int64_t)newHeaders - l.firstRaw);
    Put32(out, PeHeaderOffset + 12, 0);   // no symbol table
    Put32(out, PeHeaderOffset + 16, 0);
    Put32(out, nopt + 60, newHeaders);
    uint32_t tables[3][2] = {};
    FillTableEntries(in, out, l, tables);
    if (!CheckImage(out, l, tables, error)) return false;
    if (U32(out, nopt + 64)) Put32(out, nopt + 64, PeChecksum(out, nopt + 64));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <linked.exe> <image.exe>\n", argv[0]);
        return 2;
    }
    std::ifstream f(argv[1], std::ios::binary);
    Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (!f.good() && !f.eof()) {
        fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    Bytes out;
    std::string error;
    if (!Rewrite(in, out, &error)) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], error.c_str());
        return 1;
    }
    std::ofstream o(argv[2], std::ios::binary | std::ios::trunc);
    o.write((const char*)out.data(), (std::streamsize)out.size());
    if (!o.good()) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
