// varnex-pack from the outside: what a user types, what lands on disk, and what lhasa
// and 7-Zip make of the archive it appends.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lzh/archive_writer.h"
#include "pack_files.h"

namespace fs = std::filesystem;

namespace {

using packtest::ReadAll;
using packtest::Result;
using packtest::U32At;
using packtest::WriteAll;

void SetMtime(const fs::path& p, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
}


class PackCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = packtest::ScratchDir();
        stub_ = Path("stub.exe");   // list, test and extract read only the archive
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Path(const std::string& rel) const { return dir_ / rel; }

    Result Run(const std::vector<std::string>& args) { return packtest::Run(dir_, args, *builder_); }
    // Builds OUT from the arguments with the stand-in stub; expects success.
    void Build(const std::string& out, std::vector<std::string> args) {
        args.insert(args.begin(), {"-q", "--stub", stub_.string(), "-o", out});
        Result r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // A tree with nested, empty and read-only parts, text that compresses and bytes
    // that do not, and fixed time stamps.
    void MakeTree() {
        std::mt19937 rng(7);
        std::string noise(70000, 0), text;
        for (char& c : noise) c = (char)rng();
        for (int i = 0; i < 3000; i++) text += "line " + std::to_string(i * 7 % 1000) + " of the sample text\n";
        WriteAll(Path("in/readme.txt"), "Read me.\r\n");
        WriteAll(Path("in/data/text.txt"), text);
        WriteAll(Path("in/data/deep/noise.bin"), noise);
        WriteAll(Path("in/data/empty.txt"), "");
        fs::create_directories(Path("in/empty-dir"));
        chmod(Path("in/readme.txt").c_str(), 0444);
        SetMtime(Path("in/readme.txt"), 946684800);       // 2000-01-01
        SetMtime(Path("in/data/text.txt"), 1234567890);
        SetMtime(Path("in/data/deep/noise.bin"), 1700000000);
    }
    // Every file under root with its bytes and modification time (the archive keeps
    // whole seconds): two trees are the same when these are.
    static std::map<std::string, std::pair<std::string, time_t>> Files(const fs::path& root) {
        std::map<std::string, std::pair<std::string, time_t>> out;
        struct stat st;
        for (auto& e : fs::recursive_directory_iterator(root))
            if (!e.is_directory() && stat(e.path().c_str(), &st) == 0)
                out[fs::relative(e.path(), root).string()] = {ReadAll(e.path()), st.st_mtime};
        return out;
    }
    void ExpectSameTree(const fs::path& a, const fs::path& b) {
        auto want = Files(a), got = Files(b);
        EXPECT_EQ(want.size(), got.size()) << b;
        for (auto& [rel, file] : want) EXPECT_TRUE(got.count(rel) && got[rel] == file) << b / rel;
    }

    fs::path dir_, stub_;
    const packtest::Builder* builder_ = &packtest::LinuxBuild();
};

// The same cases for every build of varnex-pack: natively for Linux, under Wine for the
// Windows builds. A Windows build that Wine cannot run here is skipped, saying why.
class PackBuilds : public PackCli, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        PackCli::SetUp();
        const packtest::Builder* b = packtest::FindBuild(GetParam());
        std::string why;
        if (!packtest::Runs(*b, &why)) {
            // Where scripts/test found Wine able to run the stub, a build that does not
            // run is a fault: the x86-64 one always, the i686 one unless only the x86-64
            // stand-in runs (VARNEX_WINDOWS_TREE).
            const bool standIn = getenv("VARNEX_WINDOWS_TREE") != nullptr;
            if (getenv("VARNEX_REQUIRE_WINE") && (b->name != "windows-i686" || !standIn))
                FAIL() << b->name << ": " << why;
            GTEST_SKIP() << b->name << ": " << why;
        }
        builder_ = b;
        windows_ = b != &packtest::LinuxBuild();
    }
    bool windows_ = false;
};
// Only the Windows builds: they are compared with the Linux build.
using PackOnWindows = PackBuilds;

TEST_F(PackCli, RoundTripThroughListTestAndExtractForEveryMethod) {
    MakeTree();
    for (const char* method : {"lh0", "lh5", "lh6", "lh7", "best"}) {
        SCOPED_TRACE(method);
        std::string exe = std::string("m-") + method + ".exe", out = std::string("x-") + method;
        Build(exe, {"--method", method, "--checksum", "--restore-attributes", "in/."});
        Result list = Run({"list", exe});
        ASSERT_EQ(list.status, 0) << list.err;
        for (const char* part : {"-lhd-", " empty-dir/\n", " data/deep/noise.bin\n", "2009-02-13 23:31:30" /* text.txt */})
            EXPECT_NE(list.out.find(part), std::string::npos) << part << " not in:\n" << list.out;
        Result test = Run({"test", exe});
        EXPECT_EQ(test.status, 0) << test.out << test.err;
        EXPECT_EQ(Run({"test", "-q", exe}).out, "") << "a quiet test that passes says nothing";
        Result x = Run({"extract", exe, "-d", out});
        ASSERT_EQ(x.status, 0) << x.err;
        ExpectSameTree(Path("in"), Path(out));
        EXPECT_TRUE(fs::is_directory(Path(out + "/empty-dir")));
        struct stat st;
        ASSERT_EQ(stat(Path(out + "/readme.txt").c_str(), &st), 0);
        EXPECT_FALSE(st.st_mode & S_IWUSR) << "read-only attribute restored";
    }
}

TEST_F(PackCli, IndependentReadersAcceptTheAppendedArchive) {
    MakeTree();
    Build("a.exe", {"in"});
    std::string image = ReadAll(Path("a.exe"));
    uint32_t offset = U32At(image, 512);
    ASSERT_GT(offset, 0u);
    ASSERT_LT(offset, image.size());
    WriteAll(Path("part.lzh"), image.substr(offset));
    std::string q = "'" + dir_.string() + "/";
    // lhasa's extraction checks every member's CRC as its test would; 7-Zip tests the
    // members of the archive it finds in the image.
    fs::create_directories(Path("lx"));
    EXPECT_EQ(system(("cd " + q + "lx' && lhasa xq ../part.lzh && cmp in/data/deep/noise.bin ../in/data/deep/noise.bin")
                         .c_str()),
              0);
    EXPECT_EQ(system(("7zz t " + q + "a.exe' >/dev/null").c_str()), 0) << "7-Zip finds the archive in the image";
}

TEST_F(PackCli, SameInputsGiveByteIdenticalOutput) {
    MakeTree();
    Build("one.exe", {"--title", "T", "--notice", "in/readme.txt", "in"});
    // Reading the inputs changes access times; output must not depend on them.
    for (auto& e : fs::recursive_directory_iterator(Path("in"))) {
        struct timespec ts[2] = {{12345, 0}, {0, UTIME_OMIT}};
        ASSERT_EQ(utimensat(AT_FDCWD, e.path().c_str(), ts, 0), 0);
    }
    Build("two.exe", {"--title", "T", "--notice", "in/readme.txt", "in"});
    EXPECT_EQ(ReadAll(Path("one.exe")), ReadAll(Path("two.exe")));
    // An output inside the packed directory: the one being replaced is not packed.
    Build("in/self.exe", {"in/."});
    std::string first = ReadAll(Path("in/self.exe"));
    Build("in/self.exe", {"in/."});
    EXPECT_EQ(first, ReadAll(Path("in/self.exe")));
}

TEST_F(PackCli, ExtractRefusesNamesThatLeaveTheDirectory) {
    WriteAll(Path("f.txt"), "f");
    Build("u.exe", {"--allow-unsafe-names", "f.txt", "--as", "../up.txt", "f.txt"});
    Result r = Run({"extract", "u.exe", "-d", "sub/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("member name '../up.txt': it has a '..' component"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("sub"))) << "nothing is written, not even the directory";
    fs::create_directories(Path("sub"));
    EXPECT_EQ(Run({"extract", "u.exe", "-d", "sub/x", "--allow-unsafe-names"}).status, 0);
    EXPECT_EQ(ReadAll(Path("sub/up.txt")), "f");
    EXPECT_EQ(ReadAll(Path("sub/x/f.txt")), "f");
}

TEST_F(PackCli, ConfigurationBlockAndSettingsMemberReachTheStubCore) {
    WriteAll(Path("in/f.txt"), "new");
    SetMtime(Path("in/f.txt"), 1600000000);
    Build("s.exe", {"--title", "Setup of F", "--label", "Into:", "--dir", "%WORK%\\F", "--command", "f.txt /x",
                    "--set", "InstallTitle=From settings", "--overwrite-all", "in/."});
    std::string image = ReadAll(Path("s.exe"));
    EXPECT_EQ(image.substr(516, 11), std::string("Setup of F\0", 11));
    EXPECT_EQ(image.substr(557, 6), std::string("Into:\0", 6));
    EXPECT_EQ(image.substr(598, 9), std::string("%WORK%\\F\0", 9));
    EXPECT_EQ(image.substr(854, 9), std::string("f.txt /x\0", 9));
    EXPECT_EQ(image[1113], 0) << "no checksum flag";
    Result list = Run({"list", "-v", "s.exe"});
    EXPECT_NE(list.out.find("Settings ($):\n  $InstallTitle=From settings\n  $Flag=2\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("Notice"), std::string::npos) << "only a member named ! is a notice";

    // "$Flag=2" (--overwrite-all) makes the core replace a file without asking, where
    // the default answer to "Overwrite?" would keep it.
    WriteAll(Path("x/f.txt"), "old");
    Result r = Run({"extract", "s.exe", "-d", "x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "new");
    EXPECT_EQ(r.err.find("Overwrite?"), std::string::npos);
    EXPECT_NE(r.err.find("closing command is not started here: f.txt /x"), std::string::npos) << r.err;

    Build("plain.exe", {"in/."});
    WriteAll(Path("x/f.txt"), "old");
    r = Run({"extract", "plain.exe", "-d", "x"});
    EXPECT_NE(r.err.find("\"x/f.txt\" Overwrite?"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "old");
    EXPECT_EQ(Run({"extract", "plain.exe", "-d", "x", "--yes"}).status, 0);
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "new");
}

TEST_F(PackCli, DeclinedNoticeExtractsNothing) {
    WriteAll(Path("notice.txt"), "Licence text.\r\nDo you agree?");
    WriteAll(Path("in/f.txt"), "x");
    Build("n.exe", {"--notice", "notice.txt", "in/."});
    Result no = Run({"extract", "n.exe", "-d", "no", "--no"});
    EXPECT_EQ(no.status, 1);
    EXPECT_NE(no.err.find("Do you agree?"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("no/f.txt")));
    EXPECT_EQ(Run({"extract", "n.exe", "-d", "yes"}).status, 0);
    EXPECT_TRUE(fs::exists(Path("yes/f.txt")));
}

TEST_P(PackBuilds, RefusesWithAMessageAndLeavesNoOutput) {
    WriteAll(Path("in/a.txt"), "a");
    WriteAll(Path("in/A.TXT"), "b");
    WriteAll(Path("ok/f.txt"), "f");
    WriteAll(Path("bs/x\\y.txt"), "b");
    WriteAll(Path("intl/é.txt"), "e");
    WriteAll(Path("big-notice.txt"), std::string(1024, 'n'));
    // Icon files damaged in each way a reader could trip over: the directory, an image's
    // place in the file, a bitmap's size, a PNG's size.
    auto ico = [](int count, int size, int bytes, const std::string& data) {
        std::string s = std::string("\0\0\1\0", 4) + char(count) + '\0';
        s += std::string{char(size), char(size), 0, 0, 1, 0, 32, 0, char(bytes), char(bytes >> 8), 0, 0, 22, 0, 0, 0};
        return s + data;
    };
    std::string bmp(40, '\0'), png = "\x89PNG\r\n\x1a\n" + std::string(25, '\0');
    bmp[0] = 40, bmp[4] = 16, bmp[8] = 32, bmp[12] = 1, bmp[14] = 32;
    png.replace(12, 4, "IHDR"), png[19] = 16, png[23] = 16;
    const std::pair<const char*, std::string> icons[] = {
        {"empty.ico", ""}, {"cursor.ico", std::string("\0\0\2\0\1\0", 6)}, {"none.ico", std::string("\0\0\1\0\0\0", 6)},
        {"cut.ico", ico(2, 16, 40, "")}, {"outside.ico", ico(1, 16, 1000, std::string(10, 'x'))},
        {"neither.ico", ico(1, 16, 40, std::string(40, 'x'))}, {"bitmap.ico", ico(1, 16, 40, bmp)},
        {"depth.ico", ico(1, 16, 40, bmp.substr(0, 14) + '\3' + bmp.substr(15))},
        {"png.ico", ico(1, 32, 33, png)}};
    for (const auto& [name, data] : icons) WriteAll(Path(name), data);
    lzh::Member level1 = lzh::StoredMember("a.txt", {'a'});
    level1.headerLevel = 1;
    const lzh::Bytes level1Archive = lzh::WriteArchive({level1}, false);
    WriteAll(Path("level1.lzh"), std::string(level1Archive.begin(), level1Archive.end()));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"--title", std::string(41, 't'), "ok"}, 1, "--title is 41 bytes; the window title holds at most 40"},
        {{"--label", std::string(41, 'l'), "ok"}, 1, "the label holds at most 40"},
        {{"--command", std::string(256, 'c'), "ok"}, 1, "the command holds at most 255"},
        {{"ok", "missing"}, 1, "missing: No such file or directory"},
        {{"--bogus", "ok"}, 2, "not expected: --bogus"},
        {{"-7", "--method", "lh9", "ok"}, 2, "--method takes lh0, lh5, lh6, lh7 or best"},
        {{"--as", "/f.txt", "ok/f.txt"}, 1, "rooted"},
        {{"--as", "D:f.txt", "ok/f.txt"}, 1, "drive-qualified"},
        {{"--as", "%WinDir%/f.txt", "ok/f.txt"}, 1, "directory macro"},
        {{"--as", "$", "ok/f.txt"}, 1, "taken as the settings member"},
        {{"--as", "nul.txt", "ok/f.txt"}, 1, "device name"},
        {{"--as", std::string(260, 'n'), "ok/f.txt"}, 1, "260 bytes long; member names hold at most 259"},
        {{"in"}, 1, "differ only in letter case"},
        {{"intl"}, 1, "is not ASCII"},
        {{"--codepage", "932", "intl"}, 1, "the character 'é' cannot be written in code page 932"},
        {{"--codepage", "9999", "ok"}, 2, "code page 9999 is not known"},
        {{"--notice", "big-notice.txt", "ok"}, 1, "1024 bytes; the self-extractor shows at most 1023"},
        {{"--set", "Command=a\tb", "ok"}, 1, "control character"},
        {{"--set", "Flag=0x10", "ok"}, 1, "'0x10' is not a decimal number"},
        {{"--dir", "C:\\A", "--set", "InstallDir=C:\\B", "ok"}, 1, "no effect together with --dir"},
        {{"--wrap", VARNEX_CORPUS_DIR "/mac_h2_lh1_unsupported.lzh"}, 1, "method '-lh1-' cannot be unpacked"},
        {{"--wrap", VARNEX_CORPUS_DIR "/mac_h2_full_subdir.lzh"}, 1, "rooted"},
        {{"--icon", "empty.ico", "ok"}, 1, "--icon empty.ico is empty"},
        {{"--icon", "cursor.ico", "ok"}, 1, "is not an icon file"},
        {{"--icon", "none.ico", "ok"}, 1, "holds no images"},
        {{"--icon", "cut.ico", "ok"}, 1, "cut short inside its directory of 2 images"},
        {{"--icon", "outside.ico", "ok"}, 1, "image 1 (16x16) lies outside the file"},
        {{"--icon", "neither.ico", "ok"}, 1, "image 1 (16x16) is neither a PNG nor a bitmap"},
        {{"--icon", "bitmap.ico", "ok"}, 1, "is cut short: its bitmap needs 1128 bytes, the file gives 40"},
        {{"--icon", "png.ico", "ok"}, 1, "the directory says 32x32, its PNG is 16x16"},
        {{"--icon", "depth.ico", "ok"}, 1, "a format icons cannot have (3 bits, compression 0)"},
        {{"--version-info", "Bogus=1", "ok"}, 2, "unknown key 'Bogus' (known: ProductName, FileDescription"},
        {{"--version-info", "FileVersion=1", "--version-info", "fileversion=2", "ok"}, 2, "FileVersion is given twice"},
        {{"--version-info", "FileVersion=1.70000", "ok"}, 1, "each number of a version is at most 65535"},
        {{"--version-info", "ProductVersion=1.2.3.4.5", "ok"}, 1, "has more than four numbers"},
        {{"--sign-password-file", "pw", "ok"}, 2, "--sign-password-file goes with --sign-pkcs12"},
        {{"--wrap", "level1.lzh"}, 1, "level1.lzh: member 1: a level-1 header; only level-2 archives can be wrapped"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Only a POSIX file name can hold a backslash, and only a POSIX command line bytes
    // that are not UTF-8 (Windows passes it as UTF-16).
    if (!windows_) {
        all.push_back({{"bs"}, 1, "holds a backslash"});
        all.push_back({{"--version-info", "Comments=\xC3(", "ok"}, 1, "--version-info Comments is not valid UTF-8"});
    }
    WriteAll(Path("out.exe"), "previous");
    for (const Case& c : all) {
        std::vector<std::string> args{"--stub", stub_.string(), "-o", "out.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Run(args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "expected: " << c.message << "\ngot: " << r.err;
        EXPECT_EQ(ReadAll(Path("out.exe")), "previous") << c.message;
    }
    for (auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename().string().find(".out.exe."), std::string::npos) << "temporary left: " << e.path();
    EXPECT_EQ(Run({"-o", "no/such/dir/x.exe", "--stub", stub_.string(), "ok"}).status, 1);
    // A self-extractor given as the stub would be built into a second one.
    Build("first.exe", {"ok"});
    Result r = Run({"--stub", "first.exe", "-o", "second.exe", "ok"});
    EXPECT_NE(r.err.find("already carries an archive"), std::string::npos) << r.err;
}

// Same files, times and attributes, same options: the Windows build writes the Linux
// build's bytes, with ASCII names and with Japanese ones in code page 932, and lists
// and tests what it wrote.
TEST_P(PackOnWindows, SameInputsGiveTheLinuxBuildsBytes) {
    WriteAll(Path("ascii/readme.txt"), "Read me.\r\n");
    WriteAll(Path("ascii/data/text.txt"), std::string(20000, 'a') + "tail");
    WriteAll(Path("jp/表/ソフト.txt"), "data");
    WriteAll(Path("jp/説明.txt"), "notice");
    fs::create_directories(Path("jp/空"));
    chmod(Path("ascii/readme.txt").c_str(), 0444);
    chmod(Path("jp/説明.txt").c_str(), 0444);
    for (const char* root : {"ascii", "jp"}) {
        for (auto& e : fs::recursive_directory_iterator(Path(root))) SetMtime(e.path(), 1234567890);
        SetMtime(Path(root), 1234567890);
    }
    const std::vector<std::string> ascii = {"-q", "--title", "Setup", "--checksum", "-o", "OUT", "ascii"};
    const std::vector<std::string> jp = {"-q", "--codepage", "932", "--title", "表題", "-o", "OUT", "jp/."};
    for (const auto& args : {ascii, jp}) {
        auto out = [&](std::string name) {
            std::vector<std::string> a = args;
            *std::find(a.begin(), a.end(), "OUT") = name;
            return a;
        };
        Result reference = packtest::Run(dir_, out("linux.exe"));
        ASSERT_EQ(reference.status, 0) << reference.err;
        Result windows = Run(out("windows.exe"));
        ASSERT_EQ(windows.status, 0) << windows.err;
        EXPECT_EQ(ReadAll(Path("windows.exe")), ReadAll(Path("linux.exe"))) << args.back();
    }
    Result list = Run({"list", "--codepage", "932", "windows.exe"});
    EXPECT_EQ(list.status, 0) << list.err;
    for (const char* line : {"0021  ", " 説明.txt\n", " 表/ソフト.txt\n", "0010  0000  空/\n", "  Window title:       表題\n"})
        EXPECT_NE(list.out.find(line), std::string::npos) << line << " not in:\n" << list.out;
    Result test = Run({"test", "--codepage", "932", "windows.exe"});
    EXPECT_EQ(test.status, 0) << test.err;
    EXPECT_NE(test.out.find("4 members tested, 0 with errors"), std::string::npos) << test.out;
}

INSTANTIATE_TEST_SUITE_P(Builds, PackBuilds, ::testing::Values("linux", "windows-i686", "windows-x86_64"),
                         [](const auto& info) { return packtest::TestName(info.param); });
INSTANTIATE_TEST_SUITE_P(Builds, PackOnWindows, ::testing::Values("windows-i686", "windows-x86_64"),
                         [](const auto& info) { return packtest::TestName(info.param); });

TEST_F(PackCli, DoubleByteNamesAndTitles) {
    // U+8868 is 0x95 0x5C in code page 932: its trail byte is a backslash, which must
    // stay part of the character and not split the name.
    WriteAll(Path("jp/表/ソフト.txt"), "data");
    Build("jp.exe", {"--codepage", "932", "--title", "表題", "jp"});
    std::string image = ReadAll(Path("jp.exe"));
    EXPECT_EQ(image.substr(516, 5), std::string("\x95\x5C\x91\xE8\0", 5));
    Result list = Run({"list", "--codepage", "932", "jp.exe"});
    EXPECT_NE(list.out.find(" jp/表/ソフト.txt\n"), std::string::npos) << list.out;
    ASSERT_EQ(Run({"extract", "--codepage", "932", "jp.exe", "-d", "x"}).status, 0);
    EXPECT_EQ(ReadAll(Path("x/jp/\x95\x5C/\x83\x5C\x83\x74\x83\x67.txt")), "data");
    // The same in code page 936, where U+4E57 is 0x81 0x5C.
    WriteAll(Path("cn/乗.txt"), "gbk");
    Build("cn.exe", {"--codepage", "936", "cn"});
    ASSERT_EQ(Run({"extract", "--codepage", "936", "cn.exe", "-d", "y"}).status, 0);
    EXPECT_EQ(ReadAll(Path("y/cn/\x81\x5C.txt")), "gbk");
}

TEST_F(PackCli, WrapReencodesALevel2ArchiveTheStubCouldNotRead) {
    // This archive has no header-CRC extended header, which the stub demands; wrapping
    // writes the headers anew.
    Build("w.exe", {"--checksum", "--wrap", VARNEX_CORPUS_DIR "/atari_h2_lh5_no_header_crc.lzh"});
    Result test = Run({"test", "w.exe"});
    EXPECT_EQ(test.status, 0) << test.out << test.err;
    EXPECT_NE(test.out.find("OK        GPL2"), std::string::npos) << test.out;
    // A self-extractor wraps as well: its archive is found through its block.
    Build("again.exe", {"--title", "Again", "--wrap", "w.exe"});
    EXPECT_NE(Run({"list", "again.exe"}).out.find(" GPL2\n"), std::string::npos);
    // Damaged compressed data: the image fails the core's own test and is not written.
    std::string damaged = ReadAll(VARNEX_CORPUS_DIR "/mac_h2_lh5.lzh");
    damaged[damaged.size() / 2] ^= 0x55;
    WriteAll(Path("damaged.lzh"), damaged);
    Result r = Run({"--stub", stub_.string(), "-o", "d.exe", "--wrap", "damaged.lzh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("d.exe did not pass its own test"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("d.exe")));
    Build("rooted.exe", {"--allow-unsafe-names", "--wrap", VARNEX_CORPUS_DIR "/mac_h2_full_subdir.lzh"});
    EXPECT_NE(Run({"list", "rooted.exe"}).out.find(" /Untitled/subdir/subdir2/hello.txt"), std::string::npos);
}

TEST_F(PackCli, WrapsWhatAnIndependentArchiverWrote) {
    MakeTree();
    std::string cd = "cd '" + dir_.string() + "' && ";
    ASSERT_EQ(system((cd + "jlha a2o7 j.lzh in >/dev/null 2>&1").c_str()), 0);
    Build("j.exe", {"--wrap", "j.lzh"});
    Result x = Run({"extract", "j.exe", "-d", "x"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(ReadAll(Path("x/in/data/text.txt")), ReadAll(Path("in/data/text.txt")));
    EXPECT_EQ(ReadAll(Path("x/in/data/deep/noise.bin")), ReadAll(Path("in/data/deep/noise.bin")));
}

// Some archivers store a directory as an empty "-lh0-" member whose name ends in a
// separator: listed, tested and extracted as a directory.
TEST_F(PackCli, StoredMembersNamedLikeDirectoriesAreDirectories) {
    lzh::Member junk = lzh::StoredMember("junk/", {'j'});
    junk.dataCrc ^= 1;
    lzh::WriteFile(Path("d.lzh").string(), lzh::WriteArchive({lzh::StoredMember("old/dir/", {}), junk,
                                                             lzh::StoredMember("old/dir/f.txt", {'f'})}, false));
    Result list = Run({"list", "d.lzh"});
    EXPECT_NE(list.out.find("-lhd-           0          0"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("-lh0-           0          0"), std::string::npos) << list.out;
    EXPECT_EQ(Run({"test", "d.lzh"}).status, 0);
    ASSERT_EQ(Run({"extract", "d.lzh", "-d", "x"}).status, 0);
    EXPECT_TRUE(fs::is_directory(Path("x/old/dir")) && fs::is_directory(Path("x/junk")));
    EXPECT_EQ(ReadAll(Path("x/old/dir/f.txt")), "f");
}

TEST_F(PackCli, TestReportsDamagedData) {
    WriteAll(Path("in/f.txt"), std::string(5000, 'z'));
    Build("d.exe", {"--method", "lh0", "in/."});
    std::string image = ReadAll(Path("d.exe"));
    image[image.size() - 100] ^= 1;   // inside f.txt's stored data
    WriteAll(Path("d.exe"), image);
    Result r = Run({"test", "d.exe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("CRC ERROR f.txt"), std::string::npos) << r.out;
    // A block that puts the archive past the end: nothing can be tested, so the test fails.
    WriteAll(Path("cut.exe"), image.substr(0, U32At(image, 512) - 1));
    r = Run({"test", "cut.exe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\"cut.exe\" Unexpeted EOF"), std::string::npos) << r.err;
    // A compressed member whose first block header is all ones: "Bad table" ends the
    // core's run inside the data; extract then removes the file it was writing.
    Build("t.exe", {"--method", "lh5", "in/."});
    image = ReadAll(Path("t.exe"));
    const uint32_t header = U32At(image, 512), packed = U32At(image, header + 7);
    image.replace(header + (uint8_t)image[header], packed, std::string(packed, '\xFF'));
    WriteAll(Path("t.exe"), image);
    r = Run({"test", "t.exe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Bad table\nt.exe: f.txt: the data cannot be decoded"), std::string::npos) << r.err;
    r = Run({"extract", "t.exe", "-d", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Bad table\nt.exe: extraction aborted; the file being written was removed"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(Path("x/f.txt")));
    EXPECT_TRUE(fs::is_directory(Path("x")));
}

TEST_F(PackCli, BuiltInStub) {
    WriteAll(Path("f.txt"), "f");
    Result r = Run({"-q", "-o", "e.exe", "f.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string stub = ReadAll(VARNEX_STUB), image = ReadAll(Path("e.exe"));
    EXPECT_NE(Run({"--version"}).out.find("stub built in: " + std::to_string(stub.size()) + " bytes"), std::string::npos);
    ASSERT_GT(stub.size(), 1232u);
    EXPECT_EQ(U32At(image, 512), stub.size());
    EXPECT_EQ(image.substr(0, 512), stub.substr(0, 512));
    EXPECT_EQ(image.substr(1115, stub.size() - 1115), stub.substr(1115));
}

}  // namespace
