// The built stub Varnex32.exe as a file: the MS-DOS part archivers rely on, the moved
// PE headers and sections, the export directory, the imports, and (with dosbox) what
// the MS-DOS program does. Skipped when the Windows tree has not been built.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../common/fixtures.h"

#ifndef VARNEX_STUB
#define VARNEX_STUB ""
#endif
#ifndef VARNEX_STANDIN_STUB
#define VARNEX_STANDIN_STUB ""
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Load(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint16_t U16(const Bytes& b, size_t at) { return (uint16_t)(b.at(at) | (b.at(at + 1) << 8)); }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | ((uint32_t)U16(b, at + 2) << 16); }

std::string ToCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) return "";
    std::string in = utf8, out(utf8.size() * 2, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == (size_t)-1) return "";
    out.resize(out.size() - ol);
    return out;
}

// The two lines the MS-DOS program prints, as the stub must hold them.
std::string DosMessage() {
    return ToCp932("このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.\r\n"
                   "MS-DOS モードでは実行できません．\r\n");
}

struct Section {
    std::string name;
    uint32_t virtualSize, rva, rawSize, raw;
    size_t header;   // file offset of its section header
};

class Image : public ::testing::Test {
protected:
    void SetUp() override {
        path = VARNEX_STUB;
        ASSERT_EQ(access(path.c_str(), R_OK), 0) << "no stub built at '" << path << "'";
        image = Load(path);
        ASSERT_GT(image.size(), 2048u);
        pe = U32(image, 60);
        opt = pe + 24;
        for (unsigned i = 0; i < U16(image, pe + 6); i++) {
            size_t s = opt + U16(image, pe + 20) + 40 * i;
            sections.push_back({std::string((const char*)&image[s], strnlen((const char*)&image[s], 8)),
                                U32(image, s + 8), U32(image, s + 12), U32(image, s + 16), U32(image, s + 20), s});
        }
    }
    // File offset of an address inside a section's raw data.
    size_t Offset(uint32_t rva) const {
        for (const Section& s : sections)
            if (rva >= s.rva && rva < s.rva + s.rawSize) return s.raw + (rva - s.rva);
        ADD_FAILURE() << "address " << rva << " is in no section";
        return 0;
    }
    std::string path;
    Bytes image;
    size_t pe = 0, opt = 0;
    std::vector<Section> sections;
};

// What the MS-DOS program does is proven by running it (below); here only that the
// configuration block and the gaps around it are left empty for the builder.
TEST_F(Image, ConfigurationBlockIsLeftEmpty) {
    EXPECT_EQ(U32(image, 60), 0x4D0u);
    for (auto [from, to] : {std::pair<size_t, size_t>{46, 60}, {64, 1120}})
        for (size_t i = from; i < to; i++) ASSERT_EQ(image[i], 0) << "byte " << i;
}

TEST_F(Image, PeHeadersAndSectionsSitBehindTheDosPart) {
    ASSERT_EQ(memcmp(&image[pe], "PE\0\0", 4), 0);
    EXPECT_EQ(U16(image, pe + 4), 0x14C);      // i386
    EXPECT_EQ(U16(image, opt), 0x10B);         // PE32
    EXPECT_EQ(U16(image, opt + 68), 2);        // GUI subsystem
    EXPECT_EQ(U32(image, pe + 8), 0u);         // time stamp: reproducible
    const uint32_t fileAlignment = U32(image, opt + 36), headers = U32(image, opt + 60);
    const size_t headersEnd = opt + U16(image, pe + 20) + 40 * sections.size();
    EXPECT_GE(headers, headersEnd);
    EXPECT_EQ(headers % fileAlignment, 0u);
    // Every section's data lies behind the headers, aligned, inside the file, without
    // overlapping another, and (when the linker's output is there) is the same as linked.
    const Bytes linked = Load(path.substr(0, path.rfind('/')) + "/link/Varnex32.exe");
    uint32_t end = headers;
    for (const Section& s : sections) {
        if (!s.rawSize) continue;
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.raw % fileAlignment, 0u);
        EXPECT_GE(s.raw, end);
        ASSERT_LE((size_t)s.raw + s.rawSize, image.size());
        end = s.raw + s.rawSize;
        if (linked.empty()) continue;
        const size_t lpe = U32(linked, 60), lsec = lpe + 24 + U16(linked, lpe + 20);
        for (unsigned i = 0; i < U16(linked, lpe + 6); i++) {
            const size_t ls = lsec + 40 * i;
            if (U32(linked, ls + 12) != s.rva) continue;
            ASSERT_EQ(U32(linked, ls + 16), s.rawSize);
            EXPECT_EQ(memcmp(&linked[U32(linked, ls + 20)], &image[s.raw], s.rawSize), 0) << "data moved wrongly";
        }
    }
    EXPECT_EQ(end, image.size()) << "an archive appended to the stub must follow the last section";
    // Every self-extractor carries the stub: 26 KiB is its budget (docs/image-layout.md
    // says where the bytes go).
    EXPECT_LE(image.size(), 26624u);
    // The checksum, when present, still matches the file.
    if (uint32_t stored = U32(image, opt + 64)) {
        uint64_t sum = 0;
        for (size_t i = 0; i < image.size(); i += 2) {
            if (i != opt + 64 && i != opt + 66) sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        EXPECT_EQ(stored, (uint32_t)((sum & 0xFFFF) + (sum >> 16) + image.size()));
    }
}

TEST_F(Image, ExportsNothingButNamesTheModule) {
    const uint32_t rva = U32(image, opt + 96), size = U32(image, opt + 100);
    ASSERT_NE(rva, 0u) << "no export directory";
    ASSERT_GE(size, 40u);
    const size_t dir = Offset(rva);
    EXPECT_STREQ((const char*)&image[Offset(U32(image, dir + 12))], "Varnex32.exe");
    EXPECT_EQ(U32(image, dir + 20), 0u);   // functions
    EXPECT_EQ(U32(image, dir + 24), 0u);   // names
}

// The stub links no C or C++ runtime: it imports from the system's own libraries only.
// The import tables are placed by our own link layout and their directory entry is
// written after linking, so what a loader walks is checked here too: each descriptor's
// lookup table and address table list the same named functions, and the address-table
// entry of the directory covers every address table, so the loader can make them
// writable inside the read-only code section while it binds them.
TEST_F(Image, ImportsOnlySystemLibrariesThroughTablesALoaderCanBind) {
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "comdlg32.dll",
                                           "shell32.dll"};
    const uint32_t rva = U32(image, opt + 104);
    ASSERT_NE(rva, 0u);
    EXPECT_EQ(U32(image, opt + 108) % 20, 0u);   // whole descriptors, the closing one included
    const uint32_t iat = U32(image, opt + 96 + 8 * 12), iatSize = U32(image, opt + 96 + 8 * 12 + 4);
    int count = 0, functions = 0;
    for (size_t d = Offset(rva); U32(image, d + 12); d += 20, count++) {
        std::string name = (const char*)&image[Offset(U32(image, d + 12))];
        for (char& c : name) c = (char)tolower((unsigned char)c);
        EXPECT_TRUE(allowed.count(name)) << "imports " << name;
        const uint32_t lookup = U32(image, d), address = U32(image, d + 16);
        ASSERT_NE(lookup, 0u) << name;
        for (uint32_t i = 0;; i++, functions++) {
            const uint32_t entry = U32(image, Offset(lookup + 4 * i));
            EXPECT_EQ(U32(image, Offset(address + 4 * i)), entry) << name << " entry " << i;
            EXPECT_TRUE(address + 4 * i >= iat && address + 4 * i + 4 <= iat + iatSize) << name << " entry " << i;
            if (entry == 0) break;
            ASSERT_EQ(entry & 0x80000000u, 0u) << "by ordinal";
            EXPECT_GT(strlen((const char*)&image[Offset(entry + 2)]), 2u) << name << " entry " << i;
        }
    }
    EXPECT_GE(count, 3);
    EXPECT_GE(functions, 20);
    // Code and tables are not writable; the zero-filled data is; the entry is in the code.
    const uint32_t entryPoint = U32(image, opt + 16);
    bool entryInCode = false;
    for (const Section& s : sections) {
        const uint32_t flags = U32(image, s.header + 36);
        if (flags & 0x20000000u) EXPECT_FALSE(flags & 0x80000000u) << s.name << " is writable code";
        if (flags & 0x20000000u && entryPoint >= s.rva && entryPoint < s.rva + s.virtualSize) entryInCode = true;
    }
    EXPECT_TRUE(entryInCode);
}

// What the image asks of the loader beyond what pefile reads back (tests/image: the
// dependent-load flags, the entry size, the relocations applied): no other flag, a load
// configuration without any address, which would need a relocation (a security cookie
// would even be written into read-only code), and the relocations before the resources,
// which stay the last section for builders that rebuild them.
TEST_F(Image, AsksForSystemDllsAndMayBeMoved) {
    EXPECT_EQ(U16(image, pe + 22) & 0x0001, 0) << "relocations marked as stripped";
    EXPECT_EQ(U16(image, opt + 70), 0x0040 | 0x0100 | 0x0400) << "DYNAMIC_BASE, NX_COMPAT, NO_SEH and nothing else";
    const uint32_t config = U32(image, opt + 96 + 8 * 10);
    ASSERT_NE(config, 0u) << "no load configuration";
    const size_t c = Offset(config);
    ASSERT_GE(U32(image, c), 72u) << "a Size that leaves out the dependent-load flags or the handler fields";
    for (size_t field : {0x20, 0x38, 0x3C, 0x40, 0x44}) EXPECT_EQ(U32(image, c + field), 0u) << "field " << field;

    ASSERT_GE(sections.size(), 2u);
    const Section& last = sections.back();
    EXPECT_EQ(last.name, ".rsrc");
    EXPECT_EQ(U32(image, opt + 96 + 8 * 2), last.rva);
    const uint32_t relocations = U32(image, opt + 96 + 8 * 5);
    const Section& before = sections[sections.size() - 2];
    EXPECT_EQ(before.name, ".reloc");
    EXPECT_TRUE(relocations == before.rva && U32(image, opt + 96 + 8 * 5 + 4) <= before.virtualSize);
    for (const Section& s : sections) EXPECT_LE(s.rva, last.rva) << s.name << " lies behind the resources";
}

// varnex-mkimage of the tree in `dir` refuses a linked stub that would make a broken
// image: each row damages one thing in link/Varnex32.exe. The undamaged file gives the
// built image again. The same rows hold for the stub (PE32, i386) and its x86-64
// stand-in (PE32+), with each format's own relocation type and load configuration.
void CheckLayoutTool(const std::string& dir, const Bytes& image) {
    const Bytes linked = Load(dir + "/link/Varnex32.exe");
    if (linked.empty() || access((dir + "/varnex-mkimage").c_str(), X_OK) != 0)
        GTEST_SKIP() << "no linked stub or varnex-mkimage in " << dir;
    const size_t lpe = U32(linked, 60), lopt = lpe + 24, lsec = lopt + U16(linked, lpe + 20);
    const bool plus = U16(linked, lopt) == 0x20B;
    const size_t dirs = plus ? 112 : 96, opt = U32(image, 60) + 24;
    auto offset = [&](uint32_t rva) {   // in the linked file
        for (unsigned i = 0; i < U16(linked, lpe + 6); i++) {
            const size_t s = lsec + 40 * i;
            if (rva >= U32(linked, s + 12) && rva < U32(linked, s + 12) + U32(linked, s + 16))
                return U32(linked, s + 20) + (rva - U32(linked, s + 12));
        }
        return 0u;
    };
    const size_t relocs = offset(U32(linked, lopt + dirs + 8 * 5)), config = offset(U32(image, opt + dirs + 8 * 10));
    ASSERT_TRUE(relocs && config);
    // A symbol of the linked file no longer found by its name.
    auto lose = [](Bytes& b, const char* symbol) {
        const std::string name(symbol, strlen(symbol) + 1);
        auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
        ASSERT_NE(at, b.end()) << symbol;
        at[0] = 'Y';
    };
    auto put16 = [](Bytes& b, size_t at, uint16_t v) { b[at] = (uint8_t)v, b[at + 1] = (uint8_t)(v >> 8); };
    auto put32 = [&](Bytes& b, size_t at, uint32_t v) { put16(b, at, (uint16_t)v), put16(b, at + 2, (uint16_t)(v >> 16)); };
    // The other format's relocation type (DIR64 in the stub, HIGHLOW in the stand-in), and
    // a load configuration too short for the dependent-load flags (the 32-bit structure's
    // size in the stand-in).
    const uint16_t otherType = plus ? 3 : 10;
    const uint32_t shortConfig = plus ? 72 : 60;
    const struct {
        const char* error;   // what the tool says; empty: it lays out the image
        std::function<void(Bytes&)> damage;
    } rows[] = {
        {"", [](Bytes&) {}},
        {plus ? "other than 64-bit" : "other than 32-bit",
         [&](Bytes& b) { put16(b, relocs + 8, (uint16_t)(otherType << 12 | (U16(b, relocs + 8) & 0xFFF))); }},
        {"malformed base relocation block", [&](Bytes& b) { put32(b, relocs + 4, 0xFFF0); }},
        {"outside the sections' data", [&](Bytes& b) { put32(b, relocs, 0); }},
        {"marked as stripped", [&](Bytes& b) { put16(b, lpe + 22, U16(b, lpe + 22) | 1); }},
        {"DYNAMIC_BASE without base relocations", [&](Bytes& b) { put32(b, lopt + dirs + 8 * 5, 0); }},
        {"malformed load configuration", [&](Bytes& b) { put32(b, config, shortConfig); }},
        {"no load configuration", [&](Bytes& b) { lose(b, "VarnexLoadConfig"); }},
        {"no import directory", [&](Bytes& b) { lose(b, "VarnexImportDirectory"); }},
        {"no export directory", [&](Bytes& b) { lose(b, "VarnexExportDirectory"); }},
        {"after the resources", [&](Bytes& b) { put32(b, lopt + dirs + 8 * 2, U32(b, lsec + 12)); }},
        {"neither a PE32 image for i386 nor a PE32+", [&](Bytes& b) { put16(b, lpe + 4, plus ? 0x14C : 0x8664); }},
    };
    const fixtures::ScratchDir scratch;
    const std::string work = scratch.path;
    const std::string in = work + "/in.exe", out = work + "/out.exe";
    for (const auto& row : rows) {
        SCOPED_TRACE(*row.error ? row.error : "undamaged");
        Bytes damaged = linked;
        row.damage(damaged);
        std::ofstream(in, std::ios::binary).write((const char*)damaged.data(), (std::streamsize)damaged.size());
        const std::string cmd = "'" + dir + "/varnex-mkimage' " + in + " " + out + " 2>" + work + "/error.txt";
        const int status = system(cmd.c_str());
        const Bytes said = Load(work + "/error.txt");
        if (!*row.error) {
            EXPECT_EQ(status, 0) << std::string(said.begin(), said.end());
            EXPECT_TRUE(Load(out) == image) << "the tool does not give the built image again";
        } else {
            EXPECT_NE(status, 0);
            EXPECT_NE(std::string(said.begin(), said.end()).find(row.error), std::string::npos)
                << std::string(said.begin(), said.end());
        }
    }
}

TEST_F(Image, LayoutToolRefusesWhatWouldBreakTheImage) { CheckLayoutTool(path.substr(0, path.rfind('/')), image); }

// The x86-64 stand-in that the Wine bench runs where the stub cannot (build/win64): the
// stub's MS-DOS part and empty configuration block byte for byte, then a PE32+ image for
// x86-64 (its load configuration is read back by pefile), laid out and checked by
// varnex-mkimage as the stub is.
TEST(StandInImage, LaidOutLikeTheStub) {
    const Bytes standin = Load(VARNEX_STANDIN_STUB), stub = Load(VARNEX_STUB);
    if (standin.empty() || stub.empty()) GTEST_SKIP() << "no stub or no stand-in built";
    ASSERT_GT(standin.size(), 2048u);
    EXPECT_TRUE(std::equal(stub.begin(), stub.begin() + 1232, standin.begin())) << "the MS-DOS part differs";
    const size_t pe = U32(standin, 60), opt = pe + 24;
    EXPECT_EQ(U16(standin, pe + 4), 0x8664);
    EXPECT_EQ(U16(standin, opt), 0x20B);
    const std::string path = VARNEX_STANDIN_STUB;
    CheckLayoutTool(path.substr(0, path.rfind('/')), standin);
}

// Runs the MS-DOS program under dosbox (no window needed) and checks what it printed
// and its return code.
TEST_F(Image, DosProgramPrintsItsMessageAndReturnsOne) {
    const fixtures::ScratchDir scratch;
    const std::string d = scratch.path;
    std::ofstream(d + "/STUB.EXE", std::ios::binary).write((const char*)image.data(), (std::streamsize)image.size());
    std::ofstream(d + "/RUN.BAT", std::ios::binary)
        << "@echo off\r\nSTUB.EXE > OUT.TXT\r\nif errorlevel 2 goto more\r\nif errorlevel 1 goto one\r\n"
           "echo 0 > RC.TXT\r\ngoto end\r\n:more\r\necho 2 > RC.TXT\r\ngoto end\r\n:one\r\necho 1 > RC.TXT\r\n"
           ":end\r\nexit\r\n";
    const std::string cmd = "cd " + d + " && HOME=" + d + " SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 60 "
                            "dosbox -noconsole -c 'mount c " + d + "' -c 'c:' -c 'RUN.BAT' >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);
    const Bytes out = Load(d + "/OUT.TXT"), rc = Load(d + "/RC.TXT");
    EXPECT_EQ(std::string(out.begin(), out.end()), DosMessage());
    ASSERT_FALSE(rc.empty());
    EXPECT_EQ(rc[0], '1');
}

}  // namespace
