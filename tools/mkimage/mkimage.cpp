// varnex-mkimage: turns the linked Varnex32.exe into the self-extractor image.
//
// The linker writes its own MS-DOS header and stub and puts the PE header right after
// them. Archivers need a fixed MS-DOS part instead: a 603-byte configuration block at
// file offset 512 inside the MS-DOS load image, a small MS-DOS program at 1120 that says
// the file needs Windows, and the PE header at 1232. This tool writes that MS-DOS part,
// moves the PE header and section table to 1232, moves the section data behind the
// (now larger) headers by a multiple of the file alignment, and fixes every field that
// holds a file offset. It also writes the export and import entries of the data
// directory from the symbols that src/stub.ld defines around the two tables (the linker
// fills those entries only for sections named .edata and .idata, and the stub has
// neither), and leaves the linker's symbol table out of the image. Layout details:
// docs/image-layout.md.
//
// Usage: varnex-mkimage <linked.exe> <image.exe>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t PeHeaderOffset = 1232;      // e_lfanew of the image
const uint32_t DosProgramOffset = 1120;    // load offset 0x260 = CS 0x26 : IP 0
const uint32_t DosImageSize = 1231;        // what the MS-DOS loader counts (pages, last page)

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

uint16_t U16(const Bytes& b, size_t at) { return (uint16_t)(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const Bytes& b, size_t at) {
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}
void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}

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

bool Rewrite(const Bytes& in, Bytes& out, std::string* error) {
    if (in.size() < 64 || in[0] != 'M' || in[1] != 'Z') return Fail(error, "not an MZ executable");
    const uint32_t pe = U32(in, 60);
    if ((uint64_t)pe + 24 > in.size() || memcmp(&in[pe], "PE\0\0", 4) != 0) return Fail(error, "no PE header");
    const uint16_t sectionCount = U16(in, pe + 6);
    const uint16_t optionalSize = U16(in, pe + 20);
    const size_t opt = pe + 24;
    const size_t headersLength = 24 + optionalSize + 40u * sectionCount;
    if (pe + headersLength > in.size() || optionalSize < 96 || U16(in, opt) != 0x10B)
        return Fail(error, "not a PE32 image");
    const uint32_t fileAlignment = U32(in, opt + 36);
    if (fileAlignment < 512 || (fileAlignment & (fileAlignment - 1))) return Fail(error, "odd file alignment");
    const uint32_t dirCount = U32(in, opt + 92);
    const size_t sections = opt + optionalSize;

    // Where the section data starts now, and the first section's address in memory,
    // which the headers must stay below.
    // and where it ends (what follows, the symbol table, stays out of the image).
    uint32_t firstRaw = UINT32_MAX, firstRva = UINT32_MAX;
    uint64_t rawEnd = 0;
    for (unsigned i = 0; i < sectionCount; i++) {
        const size_t s = sections + 40 * i;
        if (U32(in, s + 16) && U32(in, s + 20) < firstRaw) firstRaw = U32(in, s + 20);
        if (U32(in, s + 16) && (uint64_t)U32(in, s + 20) + U32(in, s + 16) > rawEnd)
            rawEnd = (uint64_t)U32(in, s + 20) + U32(in, s + 16);
        if (U32(in, s + 12) < firstRva) firstRva = U32(in, s + 12);
    }
    if (firstRaw == UINT32_MAX || rawEnd > in.size() || firstRaw % fileAlignment || firstRaw < pe + headersLength)
        return Fail(error, "unexpected section layout");

    // The export and import tables: [start, end) of each, from the symbols around them.
    uint32_t tables[2][2] = {};
    const char* const tableSymbols[2][2] = {{"VarnexExportDirectory", "VarnexExportDirectoryEnd"},
                                            {"VarnexImportDirectory", "VarnexImportDirectoryEnd"}};
    for (int t = 0; t < 2; t++)
        for (int e = 0; e < 2; e++) tables[t][e] = SymbolAddress(in, pe, sections, sectionCount, tableSymbols[t][e]);
    const uint32_t headersEnd = PeHeaderOffset + (uint32_t)headersLength;
    const uint32_t newHeaders = (headersEnd + fileAlignment - 1) / fileAlignment * fileAlignment;
    if (newHeaders > firstRva) return Fail(error, "no room for the headers below the first section");
    const int64_t delta = (int64_t)newHeaders - firstRaw;

    out = DosPart();
    out.insert(out.end(), in.begin() + pe, in.begin() + pe + headersLength);
    out.resize(newHeaders, 0);
    out.insert(out.end(), in.begin() + firstRaw, in.begin() + (size_t)rawEnd);

    // Everything that holds a file offset now lives at out[...] and moves by delta.
    const size_t nopt = PeHeaderOffset + 24, nsec = nopt + optionalSize;
    auto shift = [&](size_t at) {
        if (at + 4 <= out.size() && U32(out, at)) Put32(out, at, (uint32_t)(U32(out, at) + delta));
    };
    for (unsigned i = 0; i < sectionCount; i++) {
        const size_t s = nsec + 40 * i;
        if (U32(out, s + 16)) shift(s + 20);
        shift(s + 24);   // relocations (object files only, 0 in images)
        shift(s + 28);   // line numbers (obsolete, 0 in images)
    }
    Put32(out, PeHeaderOffset + 12, 0);   // no symbol table
    Put32(out, PeHeaderOffset + 16, 0);
    Put32(out, nopt + 60, newHeaders);
    for (int t = 0; t < 2; t++) {
        const size_t entry = nopt + 96 + 8 * t;
        if (dirCount <= (uint32_t)t) return Fail(error, "no room for the data directory entries");
        if (U32(out, entry) == 0 && tables[t][0] && tables[t][1] > tables[t][0]) {
            Put32(out, entry, tables[t][0]);
            Put32(out, entry + 4, tables[t][1] - tables[t][0]);
        }
    }
    // An image without imports would not start, and the export directory names the
    // module; a change of the link that loses either must fail the build, not ship.
    if (U32(out, nopt + 96) == 0) return Fail(error, "no export directory");
    if (U32(out, nopt + 96 + 8) == 0) return Fail(error, "no import directory");
    if (dirCount > 4) shift(nopt + 96 + 8 * 4);   // certificates: a file offset, not an address
    if (dirCount > 6 && U32(out, nopt + 96 + 8 * 6)) {
        // Debug directory entries point at their data by file offset as well.
        const uint32_t rva = U32(out, nopt + 96 + 8 * 6), size = U32(out, nopt + 96 + 8 * 6 + 4);
        for (unsigned i = 0; i < sectionCount; i++) {
            const size_t s = nsec + 40 * i;
            const uint32_t va = U32(out, s + 12), raw = U32(out, s + 20), rawSize = U32(out, s + 16);
            if (rva < va || rva + size > va + rawSize) continue;
            for (uint32_t e = 0; e + 28 <= size; e += 28) shift(raw + (rva - va) + e + 24);
        }
    }
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
