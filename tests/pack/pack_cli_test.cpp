// varnex-pack from the outside: what a user types, what lands on disk, and what lhasa
// and 7-Zip make of the archive it appends.
#include <sys/stat.h>

#include "pack_files.h"

namespace fs = std::filesystem;

namespace {

using packtest::ReadAll;
using packtest::Result;
using packtest::U32At;
using packtest::WriteAll;
const auto npos = std::string::npos;

// Every file and directory below root with its bytes, and each file's modification time
// (the archive keeps whole seconds) and whether it is read-only.
std::map<std::string, std::string> Files(const std::string& root) {
    auto tree = fixtures::Tree(root);
    struct stat st;
    for (auto& [rel, data] : tree)
        if (rel.back() != '/' && stat((root + "/" + rel).c_str(), &st) == 0)
            data += " @" + std::to_string(st.st_mtime) + (st.st_mode & S_IWUSR ? "" : " read-only");
    return tree;
}

class PackCli : public packtest::PackTest {
protected:
    // A tree with nested, empty and read-only parts, text that compresses and bytes
    // that do not, and fixed time stamps.
    void MakeTree() {
        WriteAll(Path("in/readme.txt"), "Read me.\r\n");
        WriteAll(Path("in/data/text.txt"), fixtures::DataText(fixtures::Kind::Text, 60000, 7));
        WriteAll(Path("in/data/deep/noise.bin"), fixtures::DataText(fixtures::Kind::Noise, 70000, 7));
        WriteAll(Path("in/data/empty.txt"), "");
        fs::create_directories(Path("in/empty-dir"));
        chmod(Path("in/readme.txt").c_str(), 0444);
        fixtures::SetModified(Path("in/readme.txt"), 946684800);       // 2000-01-01
        fixtures::SetModified(Path("in/data/text.txt"), 1234567890);
        fixtures::SetModified(Path("in/data/deep/noise.bin"), 1700000000);
    }
};

// The same cases for every build of varnex-pack: natively for Linux, under Wine for the
// Windows builds. A Windows build that Wine cannot run here is skipped, saying why.
class PackBuilds : public PackCli, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
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

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Every method through the builder, then list, test and extract with the stub's core,
// and the appended archive through lhasa (whose extraction checks every CRC) and 7-Zip
// (which finds the archive in the image).
TEST_F(PackCli, EveryMethodRoundTripsThroughTheCoreAndIndependentReaders) {
    MakeTree();
    for (const std::string method : {"lh0", "lh5", "lh6", "lh7", "best"}) {
        SCOPED_TRACE(method);
        const std::string exe = method + ".exe";
        Build(exe, {"--method", method, "--checksum", "--restore-attributes", "in/."});
        Expect({"list", exe}, 0, {", with checksum\n", "-lhd-", " empty-dir/\n", " data/deep/noise.bin\n",
                                  "2009-02-13 23:31:30" /* text.txt */});
        Expect({"test", exe}, 0, {"7 members tested, 0 with errors"});
        EXPECT_EQ(Expect({"test", "-q", exe}, 0).out, "") << "a quiet test that passes says nothing";
        Expect({"extract", exe, "-d", "x-" + method}, 0);
        EXPECT_EQ(Files(Path("in")), Files(Path("x-" + method)));
        const std::string image = ReadAll(Path(exe));
        WriteAll(Path("l-" + method + "/a.lzh"), image.substr(U32At(image, 512)));
        EXPECT_EQ(Shell("cd l-" + method + " && lhasa xq a.lzh && rm a.lzh && 7zz t ../" + exe + " >/dev/null"), 0);
        EXPECT_EQ(fixtures::Tree(Path("in")), fixtures::Tree(Path("l-" + method)));
    }
}

TEST_F(PackCli, ExtractRefusesNamesThatLeaveTheDirectory) {
    WriteAll(Path("f.txt"), "f");
    Build("u.exe", {"--allow-unsafe-names", "f.txt", "--as", "../up.txt", "f.txt"});
    Expect({"extract", "u.exe", "-d", "sub/x"}, 1, {"member name '../up.txt': it has a '..' component"});
    EXPECT_FALSE(fixtures::Exists(Path("sub"))) << "nothing is written, not even the directory";
    fs::create_directories(Path("sub"));
    Expect({"extract", "u.exe", "-d", "sub/x", "--allow-unsafe-names"}, 0);
    EXPECT_EQ(ReadAll(Path("sub/up.txt")), "f");
    EXPECT_EQ(ReadAll(Path("sub/x/f.txt")), "f");
    Expect({"test", "u.exe", "--allow-unsafe-names"}, 2, {"option --allow-unsafe-names is for building and extract only"});
}

// The options reach the stub's core, which reads them from the block and from the "$"
// and "!" members (list shows what it read) and acts on them when extracting. The same
// inputs give the same bytes, even with the output inside the packed directory: the one
// being replaced is not packed.
TEST_F(PackCli, OptionsReachTheStubCore) {
    WriteAll(Path("in/f.txt"), "new");
    WriteAll(Path("in/mixed.bin"), fixtures::DataText(fixtures::Kind::Mixed, 200000, 3));
    WriteAll(Path("notice.txt"), "Licence text.\r\nDo you agree?");
    const std::vector<std::string> args = {"--title", "Setup of F", "--label", "Into:", "--dir", "%WORK%\\F",
                                           "--command", "f.txt /x", "--set", "InstallTitle=From settings",
                                           "--set", "Flag=16", "--overwrite-all", "--notice", "notice.txt", "in/."};
    Build("in/s.exe", args);
    const std::string first = ReadAll(Path("in/s.exe"));
    Build("in/s.exe", args);
    EXPECT_EQ(ReadAll(Path("in/s.exe")), first);
    const Result list = Expect({"list", "-v", "in/s.exe"}, 0,
                               {"Window title:       Setup of F\n", "Label:              Into:\n",
                                "Directory:          %WORK%\\F\n", "Command:            f.txt /x\n",
                                "Settings ($):\n  $InstallTitle=From settings\n  $Flag=18\n",
                                "Notice (!):\n  Licence text.\n  Do you agree?\n"});
    EXPECT_EQ(list.out.find("checksum"), npos) << "no checksum flag";
    Expect({"extract", "in/s.exe", "-d", "x", "--no"}, 1, {"Do you agree?"});
    EXPECT_FALSE(fixtures::Exists(Path("x/f.txt"))) << "the notice was declined";
    // "$Flag=18" (--overwrite-all, and --set Flag=16 added to it) makes the core replace a
    // file without asking, where the default answer to "Overwrite?" would keep it.
    WriteAll(Path("x/f.txt"), "old");
    const Result r = Expect({"extract", "in/s.exe", "-d", "x"}, 0, {"closing command is not started here: f.txt /x"});
    EXPECT_EQ(r.err.find("Overwrite?"), npos);
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "new");
    Build("plain.exe", {"in/f.txt"});
    WriteAll(Path("x/f.txt"), "old");
    Expect({"extract", "plain.exe", "-d", "x"}, 0, {"\"x/f.txt\" Overwrite?", "1 existing file kept"});
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "old");
    Expect({"extract", "plain.exe", "-d", "x", "--yes"}, 0);
    EXPECT_EQ(ReadAll(Path("x/f.txt")), "new");
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
    auto archive = [&](const char* name, const std::vector<lzh::Member>& members) {
        const lzh::Bytes bytes = lzh::WriteArchive(members, false);
        WriteAll(Path(name), std::string(bytes.begin(), bytes.end()));
    };
    archive("level1.lzh", {level1});
    const lzh::Member file = lzh::StoredMember("a.txt", {'a'});
    archive("settings.lzh", {lzh::SettingsMember("$WindowTitle=W"), file});
    archive("notice.lzh", {lzh::NoticeMember("Read me"), file});
    WriteAll(Path("nul-settings.txt"), std::string("$Flag=1\0", 8));
    WriteAll(Path("big-settings.txt"), "$Command=" + std::string(4087, 'c'));   // 4096 bytes
    struct Case { std::vector<std::string> args; int status; std::string message; };
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
        {{"--settings", "nul-settings.txt", "ok"}, 1, "holds a NUL byte, which would end the settings there"},
        {{"--settings", "big-settings.txt", "ok"}, 1, "the settings text is 4096 bytes; the self-extractor reads at most 4095"},
        {{"--wrap", "settings.lzh", "--auto-start"}, 1, "settings.lzh has a settings member already"},
        {{"--wrap", "notice.lzh", "--notice", "ok/f.txt"}, 1, "notice.lzh has a notice member already"},
        {{"ok/f.txt", "--as", "f.txt", "in/a.txt"}, 1, "two inputs give the member name 'f.txt'"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Only a POSIX file name can hold a backslash, and only a POSIX command line bytes
    // that are not UTF-8 (Windows passes it as UTF-16).
    // Nor can the Windows builds be shown a FIFO or a link to a directory above it.
    if (!windows_) {
        fs::create_directories(Path("loop/sub"));
        fs::create_symlink("..", Path("loop/sub/up"));
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
        all.push_back({{"loop"}, 1, "loop/sub/up: a symbolic link leads back to a directory above it"});
        all.push_back({{"fifo"}, 1, "fifo is neither a regular file nor a directory"});
        all.push_back({{"bs"}, 1, "holds a backslash"});
        all.push_back({{"--version-info", "Comments=\xC3(", "ok"}, 1, "--version-info Comments is not valid UTF-8"});
    }
    WriteAll(Path("out.exe"), "previous");
    for (const Case& c : all) {
        std::vector<std::string> args{"--stub", "stub.exe", "-o", "out.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Expect(args, c.status, {c.message});
        EXPECT_EQ(ReadAll(Path("out.exe")), "previous") << c.message;
    }
    EXPECT_EQ(fixtures::Temporaries(dir_.path, "out.exe"), 0) << "a temporary was left";
    EXPECT_EQ(Run({"-o", "no/such/dir/x.exe", "--stub", "stub.exe", "ok"}).status, 1);
    // A self-extractor given as the stub would be built into a second one.
    Build("first.exe", {"ok"});
    Expect({"--stub", "first.exe", "-o", "second.exe", "ok"}, 1, {"already carries an archive"});
}

// Same files, times and attributes, same options: a Windows build writes the Linux
// build's bytes, with ASCII names and with Japanese ones in code page 932; every build
// lists and tests what it wrote. 表 is 0x95 0x5C in code page 932: the trail byte is a
// backslash, which must stay part of the character and not split the name.
TEST_P(PackBuilds, SameInputsGiveTheLinuxBuildsBytes) {
    WriteAll(Path("ascii/readme.txt"), "Read me.\r\n");
    WriteAll(Path("ascii/data/text.txt"), std::string(20000, 'a') + "tail");
    WriteAll(Path("jp/表/ソフト.txt"), "data");
    WriteAll(Path("jp/説明.txt"), "notice");
    fs::create_directories(Path("jp/空"));
    chmod(Path("ascii/readme.txt").c_str(), 0444);
    chmod(Path("jp/説明.txt").c_str(), 0444);
    for (auto& e : fs::recursive_directory_iterator(dir_.path)) fixtures::SetModified(e.path(), 1234567890);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--title", "Setup", "--checksum", "ascii"},
                                                 {"--codepage", "932", "--title", "表題", "jp/."}}) {
        for (const packtest::Builder* b : {&packtest::LinuxBuild(), builder_}) {
            std::vector<std::string> all = {"-q", "-o", b->name + ".exe"};
            all.insert(all.end(), args.begin(), args.end());
            const Result r = packtest::Run(dir_.path, all, *b);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        if (windows_) EXPECT_EQ(ReadAll(Path(builder_->name + ".exe")), ReadAll(Path("linux.exe"))) << args.back();
    }
    const std::string exe = builder_->name + ".exe";
    Expect({"list", "--codepage", "932", exe}, 0,
           {"0021  ", " 説明.txt\n", " 表/ソフト.txt\n", "0010  0000  空/\n", "  Window title:       表題\n"});
    Expect({"test", "--codepage", "932", exe}, 0, {"4 members tested, 0 with errors"});
    // Unpacked as the stub would: Linux writes the code page's bytes, Windows the names
    // they stand for in the code page (not in the ANSI code page, here 1252).
    Expect({"extract", "--codepage", "932", exe, "-d", "x"}, 0);
    EXPECT_EQ(ReadAll(Path(windows_ ? "x/表/ソフト.txt" : "x/\x95\x5C/\x83\x5C\x83\x74\x83\x67.txt")), "data");
}

// A project file gives the command line's bytes from another working directory, with
// every build: long names, comments, a '#' and quotes in a quoted value, paths relative to
// the file (one written with '\\' as on Windows). The command line's options replace the
// file's; a bad line is refused with the file's name and line number.
TEST_P(PackBuilds, ProjectFileGivesTheCommandLinesBytes) {
    WriteAll(Path("proj/app/data/a.txt"), std::string(3000, 'a'));
    WriteAll(Path("proj/notice.txt"), "Read # me");
    WriteAll(Path("other.txt"), "o");
    WriteAll(Path("proj/setup.vxp"),
             "# the sample's installer\n"
             "title = \"C# Tools \\\"beta\\\"\"  # kept whole\r\n"
             "label = Where to?  # a comment\n"
             "; another comment\n"
             "output = ../setup.exe\n"
             "stub = ../stub.exe\n"
             "input = app\\data/.\n"
             "notice = notice.txt\n"
             "auto-start = true\n"
             "checksum = false\n"
             "level = 1\n"
             "set = InstallDir=%WORK%\\x\n");
    fs::create_directories(Path("elsewhere"));
    ASSERT_EQ(packtest::Run(Path("elsewhere"), {"-q", "--project", "../proj/setup.vxp"}, *builder_).status, 0);
    Build("cli.exe", {"--title", "C# Tools \"beta\"", "--label", "Where to?", "proj/app/data/.", "--notice",
                      "proj/notice.txt", "--auto-start", "-1", "--set", "InstallDir=%WORK%\\x"});
    EXPECT_EQ(ReadAll(Path("setup.exe")), ReadAll(Path("cli.exe")));
    Expect({"-q", "--project", "proj/setup.vxp", "-o", "over.exe", "--title", "T", "other.txt"}, 0);
    const Result listed = Expect({"list", "-v", "over.exe"}, 0, {"Window title:       T\n", " other.txt\n", "Read # me"});
    EXPECT_EQ(listed.out.find("a.txt"), npos) << listed.out;

    struct Bad { std::string lines; int status; const char* message; };
    const Bad bad[] = {
        {"colour = red", 2, "bad.vxp:2: unknown key 'colour'"},
        {"auto-start = yes", 2, "bad.vxp:2: auto-start takes true or false, not 'yes'"},
        {"title = \"open", 2, "bad.vxp:2: title: the quoted value has no closing '\"'"},
        {"[build]", 2, "bad.vxp:2: not an option line ('long-name = value'): [build]"},
        {"project = bad.vxp", 2, "bad.vxp:2: a project file cannot name another project"},
        {"level = 10", 2, "bad.vxp:2: --level: Value 10 not in range"},
        {"set = A=1", 2, "bad.vxp:2: --set: unknown key 'A'"},
        {"title = a\ntitle = b", 2, "bad.vxp:3: title is given twice (also on line 2)"},
        {"title = " + std::string(41, 't'), 1, "bad.vxp:2: --title is 41 bytes"},
    };
    for (const Bad& b : bad) {
        WriteAll(Path("proj/bad.vxp"), "input = app\n" + b.lines + "\n");
        Expect({"-q", "--stub", "stub.exe", "-o", "bad.exe", "--project", "proj/bad.vxp"}, b.status, {b.message});
    }
    EXPECT_FALSE(fs::exists(Path("bad.exe")));
}

// The Windows builds (the Linux build signs for real in BrandingSigned). Windows has no
// osslsigncode of Debian's: the recorder of the installer scenarios stands in for it,
// found in PATH, to show how the signer is started and what it answered.
class WindowsBuilds : public PackBuilds {};

TEST_P(WindowsBuilds, SigningStartsTheSignerFoundInPath) {
    WriteAll(Path("in/a.txt"), "a");
    const std::vector<std::string> args = {"-q", "-o", "s.exe", "--sign-pkcs12", "my dir/a key.p12", "in"};
    WriteAll(Path("my dir/a key.p12"), "");
    Expect(args, 1, {"needs osslsigncode, which is not installed", "osslsigncode.exe in a folder of PATH"});
    fs::create_directories(Path("bin"));
    fs::copy_file(fs::path(builder_->exe).parent_path() / "record_args.exe", Path("bin/osslsigncode.exe"));
    packtest::Builder withSigner = *builder_;
    withSigner.env.push_back("WINEPATH=Z:" + Path("bin"));
    packtest::Expect(dir_.path, args, 1, {"osslsigncode could not sign s.exe", "osslsigncode wrote no output"}, withSigner);
    const std::string recorded = ReadAll(Path("record-args.txt"));
    for (const char* arg : {"arg=sign\n", "arg=my dir/a key.p12\n", "arg=sha256\n", "arg=-in\n", "arg=-out\n"})
        EXPECT_NE(recorded.find(arg), std::string::npos) << arg << " not in " << recorded;
    EXPECT_FALSE(fs::exists(Path("s.exe")));
}

INSTANTIATE_TEST_SUITE_P(Builds, PackBuilds, ::testing::Values("linux", "windows-i686", "windows-x86_64"), TestName);
INSTANTIATE_TEST_SUITE_P(Builds, WindowsBuilds, ::testing::Values("windows-i686", "windows-x86_64"), TestName);

// A name whose trail byte is a backslash (U+4E57 0x81 0x5C in code page 936; 932's is
// above) extracts under those bytes.
TEST_F(PackCli, DoubleByteNamesExtract) {
    WriteAll(Path("cn/乗.txt"), "gbk");
    Build("cn.exe", {"--codepage", "936", "cn"});
    Expect({"extract", "--codepage", "936", "cn.exe", "-d", "y"}, 0);
    EXPECT_EQ(ReadAll(Path("y/cn/\x81\x5C.txt")), "gbk");
}

TEST_F(PackCli, WrapTakesLevel2ArchivesAndSelfExtractors) {
    // This archive has no header-CRC extended header, which the stub demands; wrapping
    // writes the headers anew.
    Build("w.exe", {"--checksum", "--wrap", VARNEX_CORPUS_DIR "/atari_h2_lh5_no_header_crc.lzh"});
    Expect({"test", "w.exe"}, 0, {"OK        GPL2"});
    // A self-extractor wraps as well: its archive is found through its block.
    Build("again.exe", {"--title", "Again", "--wrap", "w.exe"});
    Expect({"list", "again.exe"}, 0, {" GPL2\n"});
    Build("rooted.exe", {"--allow-unsafe-names", "--wrap", VARNEX_CORPUS_DIR "/mac_h2_full_subdir.lzh"});
    Expect({"list", "rooted.exe"}, 0, {" /Untitled/subdir/subdir2/hello.txt"});
    // What an independent archiver wrote installs as it was.
    MakeTree();
    ASSERT_EQ(Shell("jlha a2o7 j.lzh in >/dev/null 2>&1"), 0);
    Build("j.exe", {"--wrap", "j.lzh"});
    Expect({"extract", "j.exe", "-d", "x"}, 0);
    EXPECT_EQ(fixtures::Tree(Path("in")), fixtures::Tree(Path("x/in")));
}

// Some archivers store a directory as an empty "-lh0-" member whose name ends in a
// separator: listed, tested and extracted as a directory.
TEST_F(PackCli, StoredMembersNamedLikeDirectoriesAreDirectories) {
    lzh::Member junk = lzh::StoredMember("junk/", {'j'});
    junk.dataCrc ^= 1;
    lzh::WriteFile(Path("d.lzh"), lzh::WriteArchive({lzh::StoredMember("old/dir/", {}), junk,
                                                     lzh::StoredMember("old/dir/f.txt", {'f'})}, false));
    EXPECT_EQ(Expect({"list", "d.lzh"}, 0, {"-lhd-           0          0"}).out.find("-lh0-           0"), npos);
    Expect({"test", "d.lzh"}, 0);
    Expect({"extract", "d.lzh", "-d", "x"}, 0);
    EXPECT_TRUE(fs::is_directory(Path("x/old/dir")) && fs::is_directory(Path("x/junk")));
    EXPECT_EQ(ReadAll(Path("x/old/dir/f.txt")), "f");
}

TEST_F(PackCli, DamagedDataIsReported) {
    WriteAll(Path("in/f.txt"), std::string(5000, 'z'));
    Build("d.exe", {"--method", "lh0", "in/."});
    std::string image = ReadAll(Path("d.exe"));
    image[image.size() - 100] ^= 1;   // inside f.txt's stored data
    WriteAll(Path("d.exe"), image);
    Expect({"test", "d.exe"}, 1, {"CRC ERROR f.txt"});
    // A block that puts the archive past the end: nothing can be tested, so the test fails.
    WriteAll(Path("cut.exe"), image.substr(0, U32At(image, 512) - 1));
    Expect({"test", "cut.exe"}, 1, {"\"cut.exe\" Unexpeted EOF"});
    // Cut inside a long compressed member: the read that comes up short is the error, not
    // whatever the input buffer held before.
    WriteAll(Path("long/t.txt"), fixtures::DataText(fixtures::Kind::Mixed, 2000000, 5));
    Build("long.exe", {"--method", "lh5", "long/."});
    image = ReadAll(Path("long.exe"));
    WriteAll(Path("long-cut.exe"), image.substr(0, image.size() / 2));
    Expect({"test", "long-cut.exe"}, 1, {"\"long-cut.exe\" Read ERROR"});
    // A compressed member whose first block header is all ones: "Bad table" ends the
    // core's run inside the data; extract then removes the file it was writing.
    Build("t.exe", {"--method", "lh5", "in/."});
    image = ReadAll(Path("t.exe"));
    const uint32_t header = U32At(image, 512), packed = U32At(image, header + 7);
    image.replace(header + (uint8_t)image[header], packed, std::string(packed, '\xFF'));
    WriteAll(Path("t.exe"), image);
    Expect({"test", "t.exe"}, 1, {"Bad table\nt.exe: f.txt: the data cannot be decoded"});
    Expect({"extract", "t.exe", "-d", "x"}, 1, {"Bad table\nt.exe: extraction aborted; the file being written was removed"});
    EXPECT_FALSE(fixtures::Exists(Path("x/f.txt")));
    EXPECT_TRUE(fs::is_directory(Path("x")));
    // Damaged data to wrap: the image fails the core's own test and is not written.
    std::string damaged = ReadAll(VARNEX_CORPUS_DIR "/mac_h2_lh5.lzh");
    damaged[damaged.size() / 2] ^= 0x55;
    WriteAll(Path("damaged.lzh"), damaged);
    Expect({"--stub", "stub.exe", "-o", "w.exe", "--wrap", "damaged.lzh"}, 1, {"w.exe did not pass its own test"});
    EXPECT_FALSE(fixtures::Exists(Path("w.exe")));
}

TEST_F(PackCli, BuiltInStub) {
    WriteAll(Path("f.txt"), "f");
    Expect({"-q", "-o", "e.exe", "f.txt"}, 0);
    const std::string stub = ReadAll(VARNEX_STUB), image = ReadAll(Path("e.exe"));
    Expect({"--version"}, 0, {"stub built in: " + std::to_string(stub.size()) + " bytes"});
    ASSERT_GT(stub.size(), 1232u);
    EXPECT_EQ(U32At(image, 512), stub.size());
    EXPECT_EQ(image.substr(0, 512), stub.substr(0, 512));
    EXPECT_EQ(image.substr(1115, stub.size() - 1115), stub.substr(1115));
}

}  // namespace
