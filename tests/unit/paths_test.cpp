// Path scanning, macros, joining, sanitising, directory creation and display.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "port/posix_port.h"
#include "sfx/paths.h"
#include "sfx/text.h"

namespace {

// Shift_JIS characters whose trail byte is a separator: 表 and ソ end in 0x5C; the
// pair 0x81 0x2F is not valid Shift_JIS but a lead byte still takes the next byte.
const std::string Hyo = "\x95\x5C", So = "\x83\x5C", OddPair = "\x81\x2F";

std::string TempDir() {
    char name[] = "/tmp/varnex_paths_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    return name;
}
std::string Backslashed(std::string p) {
    for (char& c : p) c = c == '/' ? '\\' : c;
    return p;
}
bool IsDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Expand(const std::string& path, const char* search = "", uint32_t capacity = 256) {
    char buf[600] = {};
    path.copy(buf, sizeof buf - 1);
    ExpandPathMacro(buf, capacity, search);
    return buf;
}

class Paths : public ::testing::Test {
protected:
    void SetUp() override {
        PosixResetPort();
        PosixSetWindowsDir("C:\\WINDOWS");
        PosixSetSystemDir("C:\\WINDOWS\\SYSTEM");
    }
    void TearDown() override { PosixResetPort(); }
};

TEST_F(Paths, ScansStepOverTwoByteCharactersOnlyWithLeadBytes) {
    for (uint32_t cp : {0u, 932u}) {
        PosixSetCodePage(cp);
        bool dbcs = cp == 932;
        for (const std::string& ch : {Hyo, So, OddPair}) {
            std::string name = "d" + ch + "x";   // separator-like trail in the middle
            EXPECT_EQ(FindFirstOf(name.c_str(), "/\\") == nullptr, dbcs) << cp;
            char buf[32] = {};
            name.copy(buf, sizeof buf);
            EXPECT_EQ(std::string(BaseName(buf)), dbcs ? name : "x");
            ReplaceSeparators(buf, '_');
            EXPECT_EQ(buf == name, dbcs);
            std::string ending = "d" + ch;       // ends in a two-byte character
            ending.copy(buf, sizeof buf);
            buf[ending.size()] = 0;
            AppendSeparator(buf, sizeof buf);
            EXPECT_EQ(std::string(buf), ending + (dbcs ? "/" : ""));
        }
    }
    // A lead byte right before the terminator: the scans stop at the terminator.
    PosixSetCodePage(932);
    char lone[8] = "a/\x95\0/x";
    EXPECT_EQ(FindFirstOf(lone + 2, "/x"), nullptr);
    ReplaceSeparators(lone, '\\');
    EXPECT_EQ(std::string(lone, 7), std::string("a\\\x95\0/x", 7));
    char full[3] = "ab";
    AppendSeparator(full, sizeof full);   // no room: unchanged
    EXPECT_STREQ(full, "ab");
}

TEST_F(Paths, MacrosExpandOnlyAtTheStartIgnoringCase) {
    const struct { const char* in; const char* out; } cases[] = {
        {"%WinDir%\\App", "C:\\WINDOWS\\App"},
        {"%windir%App", "C:\\WINDOWSApp"},
        {"%WINROOT%/App", "C:\\App"},
        {"%SystemDir%/a/b", "C:\\WINDOWS\\SYSTEM\\a\\b"},
        {"%WinDir", "%WinDir"},
        {"D:/%WinDir%/x", "D:\\%WinDir%\\x"},
        {"%Search%/x", "%Search%\\x"},           // only with a search name
        {"dir\xFF" "file", "dir\\file"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Expand(c.in), c.out) << c.in;
    // An expansion longer than the path's buffer is refused as a whole, not cut.
    EXPECT_EQ(Expand("%WinDir%" + std::string(250, 'b')), "");
    EXPECT_EQ(Expand("%WinDir%" + std::string(245, 'b')), "C:\\WINDOWS" + std::string(245, 'b'));
    PosixSetWindowsDir("");
    EXPECT_EQ(Expand("%WinDir%\\App"), "\\App");
    PosixSetWindowsDir("C:\\");
    EXPECT_EQ(Expand("%WinDir%\\App"), "C:\\\\App");   // both separators stay
}

TEST_F(Paths, WorkDirectoryFallsBackFromTempToTmpToWindowsTemp) {
    std::string win = TempDir();
    PosixSetWindowsDir(win);
    setenv("TEMP", "/t/temp", 1);
    setenv("TMP", "/t/tmp", 1);
    EXPECT_EQ(Expand("%work%/x"), "\\t\\temp\\x");
    setenv("TEMP", "", 1);
    EXPECT_EQ(Expand("%WORK%/x"), "\\t\\tmp\\x");
    unsetenv("TEMP");
    unsetenv("TMP");
    EXPECT_FALSE(IsDir(win + "/TEMP"));
    EXPECT_EQ(Expand("%WORK%/x"), Backslashed(win + "/TEMP/x"));
    EXPECT_TRUE(IsDir(win + "/TEMP"));
    char small[8];
    EXPECT_EQ(GetWorkDirectory(sizeof small, small), win.size() + 6);   // needed size
    EXPECT_STREQ(small, "");
    // A variable whose value does not fit its buffer is skipped, not cut.
    setenv("TEMP", std::string(300, 'a').c_str(), 1);
    setenv("TMP", "/t/tmp", 1);
    EXPECT_EQ(Expand("%WORK%"), "\\t\\tmp");
    unsetenv("TEMP");
    unsetenv("TMP");
}

TEST_F(Paths, TargetPathJoinsNameToBaseDirectory) {
    const struct { const char* base; const char* name; const char* target; } cases[] = {
        {"D:\\Inst", "a/b.txt", "D:\\Inst/a\\b.txt"},  {"D:\\Inst\\", "b.txt", "D:\\Inst\\b.txt"},
        {"D:", "b.txt", "D:b.txt"},                    {"", "b.txt", "b.txt"},
        {"D:\\Inst", "/b.txt", "D:\\b.txt"},           {"Inst", "\\b.txt", "\\b.txt"},
        {"D:\\Inst", "E:/x/b.txt", "E:\\x\\b.txt"},    {"D:\\Inst", "%WinRoot%/b", "C:\\b"},
        {"D:\\Inst", "%WinDir%/b", "C:\\WINDOWS\\b"},
    };
    for (const auto& c : cases) {
        char target[516], name[260] = {};
        TextCopy(name, sizeof name, c.name);
        BuildTargetPath(target, sizeof target, c.base, name, sizeof name);
        EXPECT_STREQ(target, c.target) << c.base << " + " << c.name;
    }
    // %Search% names the directory of the hit, else the system directory.
    std::string win = TempDir();
    PosixSetWindowsDir(win);
    PosixSetSystemDir("S:\\SYS");
    FILE* f = fopen((win + "/varnex_probe.dll").c_str(), "w");
    fclose(f);
    char target[516], name[260] = "%Search%/varnex_probe.dll";
    BuildTargetPath(target, sizeof target, "", name, sizeof name);
    EXPECT_EQ(std::string(target), Backslashed(win + "/varnex_probe.dll"));
    TextCopy(name, sizeof name, "%search%/varnex_absent.dll");
    BuildTargetPath(target, sizeof target, "D:", name, sizeof name);
    EXPECT_STREQ(target, "S:\\SYS\\varnex_absent.dll");
    // A refused expansion leaves nothing to write to.
    TextCopy(name, sizeof name, ("%WinDir%/" + std::string(250, 'n')).c_str());
    BuildTargetPath(target, sizeof target, "D:\\Inst", name, sizeof name);
    EXPECT_STREQ(target, "");
}

TEST_F(Paths, SanitisingFitsEachComponentToTheVolume) {
    const struct { const char* in; bool longNames; const char* out; } cases[] = {
        {"readme.txt", false, "readme.txt"},   {"LongFileName.html", false, "LongFile.htm"},
        {"my file.txt", false, "my_file.txt"}, {"a.b.c", false, "a_b.c"},
        {"verylongname", false, "verylong"},   {"x.", false, "x."},
        {"..", false, "_."},                   {"a;b[1]=\x01\xFF.c+", false, "a_b_1___.c_"},
        {"a?b|c.txt", true, "a_b_c.txt"},      {" \x01..", true, " \x01.."},
        {"D/Program Files/App/x.txt", false, "D/Program_/App/x.txt"},
        {"/Long Name.text/a<b>/", false, "/Long_Nam.tex/a_b_/"},
        {"/Long Name.text/a<b>/", true, "/Long Name.text/a_b_/"},
    };
    for (const auto& c : cases) {
        char buf[64] = {};
        TextCopy(buf, sizeof buf, c.in);
        SanitizePath(buf, c.longNames);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    char big[400];
    std::string longComponent = std::string(300, 'z');
    TextCopy(big, sizeof big, longComponent.c_str());
    SanitizeName(big, true);
    EXPECT_EQ(std::string(big), std::string(255, 'z'));

    PosixSetCodePage(932);
    // Trail bytes that belong to a forbidden set stay; a character cut by the limit is
    // dropped whole.
    std::string name = "a" + Hyo + "b" + So + "cd.t" + OddPair;   // base of 8 bytes
    std::string path = "x" + So + "/" + name;
    for (bool longNames : {false, true}) {
        TextCopy(big, sizeof big, path.c_str());
        SanitizePath(big, longNames);
        EXPECT_EQ(std::string(big), path) << longNames;
    }
    TextCopy(big, sizeof big, ("abcdefg" + Hyo + ".txt").c_str());
    SanitizeName(big, false);
    EXPECT_STREQ(big, "abcdefg.txt");
    TextCopy(big, sizeof big, (std::string(254, 'a') + Hyo).c_str());
    EXPECT_EQ(SanitizeSpan(big, 255, true), big + 254);
}

TEST_F(Paths, DirectoriesAreCreatedParentFirstUpToTheLastSlash) {
    std::string root = TempDir();
    CreatePathDirectories((root + "/a/b/file.txt").c_str());
    EXPECT_TRUE(IsDir(root + "/a/b"));   // b needs a first: creation is not recursive
    EXPECT_FALSE(IsDir(root + "/a/b/file.txt"));
    CreatePathDirectories((root + "/a/c/").c_str());
    EXPECT_TRUE(IsDir(root + "/a/c"));
    PosixSetCodePage(932);
    CreatePathDirectories((root + "/" + OddPair + "d/e").c_str());   // the pair's 0x2F is no slash
    EXPECT_FALSE(IsDir(root + "/\x81"));
    CreatePathDirectories((root + "/" + Hyo + "/e").c_str());
    EXPECT_TRUE(IsDir(root + "/" + Hyo));
}

TEST_F(Paths, AbbreviationKeepsTheTitleAndWholeCharacters) {
    char out[1024];
    const std::string p31 = "D:/dir/" + std::string(19, 's') + "/f.tx";
    ASSERT_EQ(p31.size(), 31u);
    const struct { std::string path, shown; } cases[] = {
        {p31, p31},
        {"D:/dir/s" + p31.substr(7), "D:/dir/" + std::string(16, 's') + ".../f.tx"},
        {"D:/x/" + std::string(27, 't'), ".../" + std::string(27, 't')},
        {"D:/dir/" + std::string(30, 'd') + "/", ".../" + std::string(30, 'd') + "/"},
    };
    for (const auto& c : cases) {
        AbbreviatePath(out, sizeof out, c.path.c_str(), 32);
        EXPECT_EQ(std::string(out), c.shown) << c.path;
    }
    PosixSetCodePage(932);
    std::string kanji = "D:/" + Hyo + Hyo + Hyo + Hyo + Hyo + "/" + std::string(21, 'k');
    AbbreviatePath(out, sizeof out, kanji.c_str(), 32);   // 6 bytes would split the 2nd
    EXPECT_EQ(std::string(out), "D:/" + Hyo + ".../" + std::string(21, 'k'));
    AbbreviatePath(out, 12, kanji.c_str(), 32);           // the output buffer bounds it
    EXPECT_EQ(std::string(out), "D:/" + Hyo + ".../kk");
}

TEST_F(Paths, QuotesAndTrailingSeparatorsAreRemoved) {
    char text[32] = "\"C:\\Pro\"gram Files\"";
    StripQuotes(text, 256);
    EXPECT_STREQ(text, "C:\\Program Files");
    char keep[16] = "\"a\"";
    PosixFailAllocation(1);
    StripQuotes(keep, 256);
    EXPECT_STREQ(keep, "\"a\"");
    const struct { const char* in; const char* out; } cases[] = {
        {"C:\\", "C:"}, {"C:\\dir", "C:\\dir"}, {"a/b//", "a/b/"}, {"a\\\tb", "a"},
    };
    for (const auto& c : cases) {
        char buf[16];
        TextCopy(buf, sizeof buf, c.in);
        StripTrailingSeparator(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    PosixSetCodePage(932);
    std::string hyo = "C:" + Hyo;
    char dbcs[8] = {};
    hyo.copy(dbcs, sizeof dbcs);
    StripTrailingSeparator(dbcs);
    EXPECT_EQ(std::string(dbcs), hyo);
}

}  // namespace
