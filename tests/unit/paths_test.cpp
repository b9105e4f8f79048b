// Path scanning, macros, joining, sanitising, directory creation and display.
#include <string.h>

#include <filesystem>
#include <functional>

#include "sfx/paths.h"
#include "sfx_fixture.h"

namespace {

// Shift_JIS characters whose trail byte is a separator: 表 and ソ end in 0x5C; the
// pair 0x81 0x2F is not valid Shift_JIS but a lead byte still takes the next byte.
const std::string Hyo = "\x95\x5C", So = "\x83\x5C", OddPair = "\x81\x2F";

std::string Backslashed(std::string p) {
    for (char& c : p) c = c == '/' ? '\\' : c;
    return p;
}
bool IsDir(const std::string& p) { return std::filesystem::is_directory(p); }
// Runs an in-place operation on a copy of text in a buffer of the given size.
std::string Apply(const std::string& text, std::function<void(char*)> op, size_t size = 600) {
    std::string buf(size, '\0');
    text.copy(&buf[0], size - 1);
    op(&buf[0]);
    return buf.c_str();
}
std::string Expand(const std::string& path, const char* search = "") {
    return Apply(path, [&](char* p) { ExpandPathMacro(p, 256, search); });
}

// The directories asked for live in the workspace.
class Paths : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(dir + "/none");
        PosixSetWindowsDir("C:\\WINDOWS");
        PosixSetSystemDir("C:\\WINDOWS\\SYSTEM");
    }
};

TEST_F(Paths, ScansStepOverTwoByteCharactersOnlyWithLeadBytes) {
    for (uint32_t cp : {0u, 932u}) {
        PosixSetCodePage(cp);
        bool dbcs = cp == 932;
        for (const std::string& ch : {Hyo, So, OddPair}) {
            std::string name = "d" + ch + "x";
            EXPECT_EQ(FindFirstOf(name.c_str(), "/\\") == nullptr, dbcs) << cp;
            EXPECT_EQ(Apply(name, [](char* p) { memmove(p, BaseName(p), strlen(BaseName(p)) + 1); }),
                      dbcs ? name : "x");
            EXPECT_EQ(Apply(name, [](char* p) { ReplaceSeparators(p, '_'); }) == name, dbcs);
            EXPECT_EQ(Apply("d" + ch, [](char* p) { AppendSeparator(p, 8); }), "d" + ch + (dbcs ? "/" : ""));
        }
    }
    // A lead byte right before the terminator: the scans stop at the terminator.
    PosixSetCodePage(932);
    char lone[8] = "a/\x95\0/x";
    EXPECT_EQ(FindFirstOf(lone + 2, "/x"), nullptr);
    ReplaceSeparators(lone, '\\');
    EXPECT_EQ(std::string(lone, 7), std::string("a\\\x95\0/x", 7));
    EXPECT_EQ(Apply("ab", [](char* p) { AppendSeparator(p, 3); }), "ab");   // no room
}

TEST_F(Paths, MacrosExpandOnlyAtTheStartIgnoringCase) {
    const struct { std::string in, out; } cases[] = {
        {"%WinDir%\\App", "C:\\WINDOWS\\App"},       {"%windir%App", "C:\\WINDOWSApp"},
        {"%WINROOT%/App", "C:\\App"},                {"%SystemDir%/a/b", "C:\\WINDOWS\\SYSTEM\\a\\b"},
        {"%WinDir", "%WinDir"},                      {"D:/%WinDir%/x", "D:\\%WinDir%\\x"},
        {"%Search%/x", "%Search%\\x"},               {"dir\xFF" "file", "dir\\file"},
        // An expansion longer than the buffer is refused as a whole, not cut.
        {"%WinDir%" + std::string(245, 'b'), "C:\\WINDOWS" + std::string(245, 'b')},
        {"%WinDir%" + std::string(246, 'b'), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Expand(c.in), c.out) << c.in;
    PosixSetWindowsDir("");
    EXPECT_EQ(Expand("%WinDir%\\App"), "\\App");
    PosixSetWindowsDir("C:\\");
    EXPECT_EQ(Expand("%WinDir%\\App"), "C:\\\\App");   // both separators stay
}

TEST_F(Paths, WorkDirectoryFallsBackFromTempToTmpToWindowsTemp) {
    const std::string win = dir;
    PosixSetWindowsDir(win);
    setenv("TEMP", std::string(300, 'a').c_str(), 1);   // too long: skipped, not cut
    setenv("TMP", "/t/tmp", 1);
    EXPECT_EQ(Expand("%work%/x"), "\\t\\tmp\\x");
    setenv("TEMP", "/t/temp", 1);
    EXPECT_EQ(Expand("%WORK%/x"), "\\t\\temp\\x");
    unsetenv("TEMP");
    unsetenv("TMP");
    EXPECT_FALSE(IsDir(win + "/TEMP"));
    EXPECT_EQ(Expand("%WORK%/x"), Backslashed(win + "/TEMP/x"));
    EXPECT_TRUE(IsDir(win + "/TEMP"));
    char small[8];
    EXPECT_EQ(GetWorkDirectory(sizeof small, small), win.size() + 6);   // the size needed
    EXPECT_STREQ(small, "");
    PosixSetWindowsDir("C:\\" + std::string(250, 'w'));   // with "\\TEMP" too long: refused
    EXPECT_EQ(Expand("%WORK%/x"), "");
}

TEST_F(Paths, TargetPathJoinsNameToBaseDirectory) {
    const std::string win = dir;
    fixtures::WriteAll(win + "/varnex_probe.dll", "");
    const struct { std::string base, name, target; } cases[] = {
        {"D:\\Inst", "a/b.txt", "D:\\Inst/a\\b.txt"},  {"D:\\Inst\\", "b.txt", "D:\\Inst\\b.txt"},
        {"D:", "b.txt", "D:b.txt"},                    {"", "b.txt", "b.txt"},
        {"D:\\Inst", "/b.txt", "D:\\b.txt"},           {"Inst", "\\b.txt", "\\b.txt"},
        {"D:\\Inst", "E:/x/b.txt", "E:\\x\\b.txt"},    {"D:\\Inst", "%WinRoot%/b", "C:\\b"},
        // %Search% names the directory of the hit, else the system directory.
        {"", "%Search%/varnex_probe.dll", Backslashed(win + "/varnex_probe.dll")},
        {"", "%search%/varnex_absent.dll", "C:\\WINDOWS\\SYSTEM\\varnex_absent.dll"},
        // A refused expansion leaves nothing to write to.
        {"D:\\Inst", "%WinDir%/" + std::string(250, 'n'), ""},
    };
    for (const auto& c : cases) {
        PosixSetWindowsDir(c.name.find("probe") != std::string::npos ? win : "C:\\WINDOWS");
        char target[516] = "junk", name[260] = {};
        c.name.copy(name, sizeof name - 1);
        BuildTargetPath(target, sizeof target, c.base.c_str(), name, sizeof name);
        EXPECT_EQ(std::string(target), c.target) << c.base << " + " << c.name;
    }
}

TEST_F(Paths, SanitisingFitsEachComponentToTheVolume) {
    const std::string dbcsName = "x" + So + "/a" + Hyo + "b" + So + "cd.t" + OddPair;   // 8.3 exactly
    const struct { std::string in; bool longNames; uint32_t cp; std::string out; } cases[] = {
        {"LongFileName.html", false, 0, "LongFile.htm"}, {"a.b.c", false, 0, "a_b.c"},
        {"x.", false, 0, "x."}, {"..", false, 0, "_."}, {"a;b[1]=\x01\xFF.c+", false, 0, "a_b_1___.c_"},
        {"a?b|c.txt", true, 0, "a_b_c.txt"},      {" \x01..", true, 0, " \x01.."},
        {std::string(300, 'z'), true, 0, std::string(255, 'z')},
        {"D/Program Files/App/x.txt", false, 0, "D/Program_/App/x.txt"},
        {"/Long Name.text/a<b>/", false, 0, "/Long_Nam.tex/a_b_/"},
        // Trail bytes that belong to a forbidden set stay; a character cut by a limit
        // is dropped whole.
        {dbcsName, false, 932, dbcsName},         {dbcsName, true, 932, dbcsName},
        {"abcdefg" + Hyo + ".txt", false, 932, "abcdefg.txt"},
        {std::string(254, 'a') + Hyo + "/b", true, 932, std::string(254, 'a') + "/b"},
    };
    for (const auto& c : cases) {
        PosixSetCodePage(c.cp);
        EXPECT_EQ(Apply(c.in, [&](char* p) { SanitizePath(p, c.longNames); }), c.out) << c.in;
    }
}

TEST_F(Paths, DirectoriesAreCreatedParentFirstUpToTheLastSlash) {
    CreatePathDirectories((dir + "/a/b/file.txt").c_str());
    EXPECT_TRUE(IsDir(dir + "/a/b"));   // b needs a first: creation is not recursive
    EXPECT_FALSE(IsDir(dir + "/a/b/file.txt"));
    CreatePathDirectories((dir + "/a/c/").c_str());
    EXPECT_TRUE(IsDir(dir + "/a/c"));
    // Directories the walk asked for already are not asked for again; the others are.
    std::filesystem::remove(dir + "/a/c");
    CreatePathDirectories((dir + "/a/c/d/f").c_str());
    EXPECT_FALSE(IsDir(dir + "/a/c"));
    CreatePathDirectories((dir + "/a/b/g").c_str());
    CreatePathDirectories((dir + "/a/c/h").c_str());
    EXPECT_TRUE(IsDir(dir + "/a/c"));
    PosixSetCodePage(932);
    CreatePathDirectories((dir + "/" + OddPair + "d/e").c_str());   // the pair's 0x2F is no slash
    EXPECT_FALSE(IsDir(dir + "/\x81"));
    CreatePathDirectories((dir + "/" + Hyo + "/e").c_str());
    EXPECT_TRUE(IsDir(dir + "/" + Hyo));
}

TEST_F(Paths, AbbreviationKeepsTheTitleAndWholeCharacters) {
    const std::string p31 = "D:/dir/" + std::string(19, 's') + "/f.tx";
    const std::string kanji = "D:/" + Hyo + Hyo + Hyo + Hyo + Hyo + "/" + std::string(21, 'k');
    const struct { std::string path; uint32_t cp, outSize; std::string shown; } cases[] = {
        {p31, 0, 1024, p31},
        {"D:/dir/s" + p31.substr(7), 0, 1024, "D:/dir/" + std::string(16, 's') + ".../f.tx"},
        {"D:/x/" + std::string(27, 't'), 0, 1024, ".../" + std::string(27, 't')},
        {"D:/dir/" + std::string(30, 'd') + "/", 0, 1024, ".../" + std::string(30, 'd') + "/"},
        {kanji, 932, 1024, "D:/" + Hyo + ".../" + std::string(21, 'k')},   // 6 bytes split a pair
        {kanji, 932, 12, "D:/" + Hyo + ".../kk"},                          // bounded by out
    };
    for (const auto& c : cases) {
        PosixSetCodePage(c.cp);
        char out[1024];
        AbbreviatePath(out, c.outSize, c.path.c_str(), 32);
        EXPECT_EQ(std::string(out), c.shown) << c.path;
    }
}

TEST_F(Paths, QuotesAndTrailingSeparatorsAreRemoved) {
    auto strip = [](char* p) { StripQuotes(p, 256); };
    EXPECT_EQ(Apply("\"C:\\Pro\"gram Files\"", strip, 256), "C:\\Program Files");
    PosixFailAllocation(1);
    EXPECT_EQ(Apply("\"a\"", strip), "\"a\"");
    const struct { std::string in, out; uint32_t cp; } cases[] = {
        {"C:\\", "C:", 0}, {"C:\\dir", "C:\\dir", 0}, {"a/b//", "a/b/", 0}, {"a\\\tb", "a", 0},
        {"C:" + Hyo, "C:" + Hyo, 932},
    };
    for (const auto& c : cases) {
        PosixSetCodePage(c.cp);
        EXPECT_EQ(Apply(c.in, StripTrailingSeparator), c.out) << c.in;
    }
}

}  // namespace
