// Whole installations with the real Varnex32.exe under Wine: images built by varnex-pack
// and by the archive writer, answered through the UI driver like a person would, then
// checked on disk (bytes, times, attributes) and in what the person saw.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "lzh/encoder.h"
#include "wine_bench.h"

#ifndef VARNEX_PACK
#define VARNEX_PACK ""
#endif

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;

using fixtures::Exists;
using fixtures::Kind;
using fixtures::ReadAll;
using fixtures::Tree;
using fixtures::WriteAll;
using wine::Text;

void SetMtime(const std::string& path, time_t t) {
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

time_t Mtime(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// Whether a file appears within the time: the closing command starts record_args.exe
// without waiting for it, so its record shows up a little after the installer has ended
// (and one that must not run would have been started before the installer ended).
bool AppearsWithin(const std::string& path, int milliseconds) {
    for (int i = 0; i < milliseconds / 50; i++) {
        if (Exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Exists(path);
}

Bytes VariedData(size_t size, uint32_t seed) { return fixtures::Data(Kind::Text, size, seed); }
std::string VariedText(size_t size, uint32_t seed) { return fixtures::DataText(Kind::Text, size, seed); }

// Removes a path when the test ends, however it ends.
struct RemoveAtEnd {
    std::string path;
    ~RemoveAtEnd() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// A tree as name -> size and CRC-16 ("d/" -> "dir"): equal trees compare equal, and a
// failure stays readable however large the files are.
std::map<std::string, std::string> Digest(const std::map<std::string, std::string>& tree) {
    std::map<std::string, std::string> out;
    for (const auto& [rel, data] : tree)
        out[rel] = rel.back() == '/' ? "dir"
                                     : std::to_string(data.size()) + " bytes, CRC " +
                                           std::to_string(lzh::Crc16((const uint8_t*)data.data(), data.size()));
    return out;
}

int Pack(const std::string& args) {
    const std::string cmd = std::string("'") + VARNEX_PACK + "' -q " + wine::PackStubOption() + args + " >/dev/null 2>&1";
    return system(cmd.c_str());
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override { WINE_BENCH_REQUIRED(); }

    std::string Path(const std::string& rel) const { return bench.Dir() + "/" + rel; }

    // record_args.exe under a name with a blank, as the closing command with two
    // parameters (the second one quoted).
    std::string RecorderCommand() {
        const std::string dir = Path("tools dir");
        fs::create_directories(dir);
        std::error_code ec;
        fs::copy_file(wine::Program("record_args.exe"), dir + "/record args.exe", fs::copy_options::overwrite_existing, ec);
        if (ec) ADD_FAILURE() << "no " << wine::Program("record_args.exe") << " (build the Windows tree): " << ec.message();
        return "\"" + bench.WinPath("tools dir") + "\\record args.exe\" first \"second arg\"";
    }

    // A configuration that installs into the bench's `dir`.
    lzh::SfxConfig Into(const std::string& dir) const {
        lzh::SfxConfig config;
        config.installDir = bench.WinPath(dir);
        return config;
    }
    // The members behind the stub as `exe`, run with the driver's script.
    wine::Transcript Install(const lzh::SfxConfig& config, const std::vector<lzh::Member>& members,
                             const std::string& script, const std::string& exe = "setup.exe") {
        bench.WriteImage(exe, config, lzh::WriteArchive(members, false));
        return bench.Run(exe, script);
    }
    // A path below the bench as the installer shows it: Windows form with forward slashes.
    std::string Shown(const std::string& rel) const {
        std::string p = bench.WinPath(rel);
        std::replace(p.begin(), p.end(), '\\', '/');
        return p;
    }

    wine::Bench bench;
};

// The transcript `t` of a run the driver completed; its record is shown on any failure.
#define RUN(t, ...)                         \
    const wine::Transcript t = __VA_ARGS__; \
    SCOPED_TRACE(t.raw + t.errors);         \
    ASSERT_EQ(t.driverStatus, 0)

void ExpectNoBoxes(const wine::Transcript& t) {
    for (const wine::Record& b : t.All("BOX")) ADD_FAILURE() << "unexpected box: " << b["text"];
}

// ---- the sample folder, packed with every method ------------------------------------------

class SampleFolder : public Installer, public ::testing::WithParamInterface<const char*> {};

// samples/basic plus what a folder in the field holds: an empty directory, a read-only
// file, an empty file, a large file and names with blanks. Every entry gets its own
// modification time, which the builder stores and the installer must restore.
std::map<std::string, time_t> MakeSampleTree(const std::string& root) {
    fs::copy(VARNEX_SOURCE_DIR "/samples/basic", root, fs::copy_options::recursive);
    fs::create_directories(root + "/empty dir");
    WriteAll(root + "/data/Read Only.txt", "do not change\r\n");
    WriteAll(root + "/data/zero.bin", "");
    WriteAll(root + "/Large Sample.bin", VariedText(3000000, 7));
    std::map<std::string, time_t> times;
    time_t t = 1234567890;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) times[fs::relative(e.path(), root).string()] = t += 3601;
    for (const auto& [rel, when] : times) SetMtime(root + "/" + rel, when);
    chmod((root + "/data/Read Only.txt").c_str(), 0444);
    return times;
}

// A directory typed in quotes, OK, the progress line, every file byte-identical with its
// time and its read-only attribute; status 1.
TEST_P(SampleFolder, InstallsIntoATypedDirectory) {
    const std::string method = GetParam();
    const std::string src = Path("src");
    const std::map<std::string, time_t> times = MakeSampleTree(src);
    ASSERT_EQ(Pack("--method " + method + " --restore-attributes --title 'Sample Setup' -o '" +
                   Path("setup.exe") + "' '" + src + "/.'"),
              0);

    // "Large Sample.bin" sorts first, so the first 100% in the progress line is its end.
    RUN(t, bench.Run("setup.exe",
                     "expect-dialog\ntype 100 \"" + bench.WinPath("Typed Dir") +
                         "\"\npress 1\nfollow 101 *.../Large Sample.bin\nfollow 102 Extract... 100%\nexit\n",
                     60));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.First("DIALOG")["caption"], "Sample Setup");
    EXPECT_EQ(t.ExitStatus(), 1);

    // The path does not fit 32 characters: its beginning, ".../" and the file's title.
    const std::string title = "Large Sample.bin", target = Shown("Typed Dir") + "/" + title;
    const std::string shown = target.substr(0, 32 - title.size() - 4 - 1) + ".../" + title;
    std::vector<int> percents;
    for (const wine::Record& r : t.All("TEXT")) {
        if (r["id"] == "101" && r["text"].find("Large") != std::string::npos) EXPECT_EQ(r["text"], shown);
        if (r["id"] == "102") {
            int p = -1;
            ASSERT_EQ(sscanf(r["text"].c_str(), "Extract... %d%%", &p), 1) << r["text"];
            percents.push_back(p);
        }
    }
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << "the percentage went back";
    // A stored copy runs too fast to be caught between two of its steps; decoding is
    // where a person waits and watches.
    if (method != "lh0")
        EXPECT_TRUE(std::any_of(percents.begin(), percents.end(), [](int p) { return p > 0 && p < 100; }))
            << "no step between 0% and 100% was seen";

    const std::string out = Path("Typed Dir");
    EXPECT_EQ(Digest(Tree(out)), Digest(Tree(src)));
    for (const auto& [rel, when] : times) EXPECT_EQ(Mtime(out + "/" + rel), when) << rel;
    struct stat st;
    ASSERT_EQ(stat((out + "/data/Read Only.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only was not restored";
    ASSERT_EQ(stat((out + "/data/table.csv").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, SampleFolder, ::testing::Values("lh0", "lh5", "lh6", "lh7"),
                         [](const auto& info) { return std::string(info.param); });

// ---- stopping an installation ---------------------------------------------------------------

TEST_F(Installer, CancelDuringALargeMemberRemovesItsPartAndStartsNothing) {
    lzh::SfxConfig config = Into("out");
    config.command = RecorderCommand();
    RUN(t, Install(config,
                   {lzh::StoredMember("a.txt", Text("first")), lzh::PackedMember("b big.bin", VariedData(6000000, 11), '6', 1),
                    lzh::StoredMember("c.txt", Text("last"))},
                   "expect-dialog\npress 1\nfollow 101 *b big.bin\npress 2\nexit\n"));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_EQ(ReadAll(Path("out/a.txt")), "first");
    EXPECT_FALSE(Exists(Path("out/b big.bin"))) << "the partly written file survived";
    EXPECT_FALSE(Exists(Path("out/c.txt")));
    EXPECT_FALSE(AppearsWithin(Path("out/record-args.txt"), 1500));
}

// The overwrite question answered Yes and Cancel: Yes replaces and gives the file the
// archived times (creation, access, write, in the header's order) through SetFileTime and
// its attributes, Cancel keeps and ends the installation: nothing after it, no command;
// status 1. (Which answer the policy asks for is proven natively.)
TEST_F(Installer, OverwriteQuestionAnsweredYesAndCancel) {
    WriteAll(Path("out/old.txt"), "old");
    WriteAll(Path("out/stop.txt"), "mine");
    lzh::Member replaced = lzh::StoredMember("old.txt", Text("new"), 1000000000, 0x21);
    replaced.writeAttributes = true;
    replaced.attributes16 = 0x21;   // read-only, archive
    replaced.writeWindowsTimes = true;
    replaced.creationTime = lzh::UnixToFileTime(900000000);
    replaced.writeTime = lzh::UnixToFileTime(1100000000);
    replaced.accessTime = lzh::UnixToFileTime(1200000000);
    lzh::SfxConfig config = Into("out");
    config.windowTitle = "Replace";
    config.restoreAttributes = 1;
    config.command = RecorderCommand();
    RUN(t, Install(config,
                   {replaced,
                    lzh::PackedMember("stop.txt", Text("archived stop"), '5', 6), lzh::StoredMember("z.txt", Text("archived z"))},
                   "expect-dialog\npress 1\nexpect-box\npress Yes\nexpect-box\npress Cancel\nexit\n"));
    const std::vector<wine::Record> boxes = t.All("BOX");
    ASSERT_EQ(boxes.size(), 2u);
    const char* const names[] = {"old.txt", "stop.txt"};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(boxes[i]["caption"], "Replace");
        EXPECT_EQ(boxes[i]["icon"], "question");
        EXPECT_EQ(boxes[i]["buttons"], "Yes,No,Cancel");
        const std::string suffix = std::string(names[i]) + "\" Overwrite?", text = boxes[i]["text"];
        EXPECT_EQ(text.substr(text.size() < suffix.size() ? 0 : text.size() - suffix.size()), suffix);
    }
    EXPECT_EQ(t.ExitStatus(), 1);
    struct stat st;   // before reading, which moves the access time
    ASSERT_EQ(stat(Path("out/old.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1100000000);
    EXPECT_EQ(st.st_atime, 1200000000);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only was not restored";
    EXPECT_EQ(ReadAll(Path("out/old.txt")), "new");
    EXPECT_EQ(ReadAll(Path("out/stop.txt")), "mine");
    EXPECT_FALSE(Exists(Path("out/z.txt")));
    EXPECT_FALSE(AppearsWithin(Path("out/record-args.txt"), 1500));
}

// "$Flag=1" from the settings member: the dialog's real timer confirms it (nobody
// presses OK). What the other bits decide is proven natively.
TEST_F(Installer, AutoStartConfirmsTheDialogByItsTimer) {
    RUN(t, Install(Into("out"), {lzh::SettingsMember("$flag=1\r\n"), lzh::StoredMember("a.txt", Text("auto"))},
                   "expect-dialog\nexit\n"));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.All("DIALOG").size(), 1u);
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_EQ(ReadAll(Path("out/a.txt")), "auto");
}

// A settings member sets title, label, a directory with a macro and the command; the
// accepted notice after it already carries the new title. A member whose name starts with
// a macro lands where the macro says. The command runs in the installation directory
// with its parameters.
TEST_F(Installer, SettingsMemberConfiguresTheRunAndTheCommand) {
    // The bench directory's name is unique, and so is a name made of it.
    const std::string unique = "varnex-e2e-" + fs::path(bench.Dir()).filename().string();
    const std::string settings = "$WindowTitle=Configured Setup\r\n"
                                 "$InstallTitle=Install where?\n"
                                 "$InstallDir=%WORK%\\" + unique + "\r"
                                 "$Command=" + RecorderCommand() + "\r\n";
    RUN(t, Install(lzh::SfxConfig(),
                   {lzh::SettingsMember(settings), lzh::NoticeMember("Go on?"),
                    lzh::PackedMember("docs/readme.txt", VariedData(70000, 5), '7', 6),
                    lzh::PackedMember("b.txt", VariedData(20000, 6), '4', 6),
                    lzh::StoredMember("%WORK%/" + unique + "-m/c.txt", Text("c"))},
                   "expect-box\npress Yes\nexpect-dialog\npress 1\nexit\n"));
    EXPECT_EQ(t.Box()["caption"], "Configured Setup");
    EXPECT_EQ(t.First("DIALOG")["caption"], "Configured Setup");
    EXPECT_EQ(t.Control(103)["text"], "Install where?");
    EXPECT_EQ(t.ExitStatus(), 1);

    // %WORK% is the temporary directory of the Wine user, on drive C: of the prefix.
    const std::string dir = t.Control(100)["text"];
    const std::string tail = "\\Temp\\" + unique;
    ASSERT_GT(dir.size(), tail.size());
    ASSERT_EQ(dir.substr(0, 3), "C:\\");
    ASSERT_EQ(dir.substr(dir.size() - tail.size()), tail);
    std::string host = std::string(getenv("WINEPREFIX")) + "/drive_c/" + dir.substr(3);
    std::replace(host.begin(), host.end(), '\\', '/');
    RemoveAtEnd cleanup{host}, cleanupMember{host + "-m"};

    EXPECT_EQ(ReadAll(host + "/docs/readme.txt"), VariedText(70000, 5));
    EXPECT_EQ(ReadAll(host + "/b.txt"), VariedText(20000, 6));
    EXPECT_EQ(ReadAll(host + "-m/c.txt"), "c");
    EXPECT_FALSE(Exists(host + "/$"));
    EXPECT_FALSE(Exists(host + "/!"));
    ASSERT_TRUE(AppearsWithin(host + "/record-args.txt", 20000)) << "the command did not run in " << dir;
    EXPECT_EQ(ReadAll(host + "/record-args.txt"),
              "cwd=" + dir + "\ncmdline=\"" + bench.WinPath("tools dir") +
                  "\\record args.exe\" first \"second arg\"\narg=first\narg=second arg\n");
}

// ---- the installation directory ---------------------------------------------------------

// "&Reference..." opens the chooser of the program's own template in the program's folder,
// whose name has a blank: its OK puts it into the field in quotes, the installation goes
// there without them.
TEST_F(Installer, ChosenDirectoryWithABlankIsQuotedInTheField) {
    fs::create_directories(Path("my setup"));
    RUN(t, Install(lzh::SfxConfig(), {lzh::StoredMember("a.txt", Text("chosen"))},
                   "expect-dialog\npress 104\nexpect-dialog\npress 1\nwait-gone\nback\nshow\npress 1\nexit\n",
                   "my setup/setup.exe"));
    const std::vector<wine::Record> dialogs = t.All("DIALOG");
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[1]["caption"], "Extracting directory");
    std::vector<std::string> field;
    for (const wine::Record& r : t.All("CONTROL")) {
        if (r["id"] == "100") field.push_back(r["text"]);
        if (r["id"] == "1121") EXPECT_EQ(r["class"], "ListBox");   // the template's directory list
    }
    ASSERT_EQ(field.size(), 2u);
    EXPECT_EQ(field[1], "\"" + bench.WinPath("my setup") + "\"");
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_EQ(ReadAll(Path("my setup/a.txt")), "chosen");
}

// ---- names in a double-byte code page ---------------------------------------------------

// Under a Japanese ANSI code page (932) the installer reads Shift_JIS names; the second
// byte of "表" (0x95 0x5C) and "ソ" (0x83 0x5C) is a backslash and must not split a name.
TEST_F(Installer, ShiftJisNamesUnderAJapaneseCodePage) {
    const std::string hyouji = "\x95\x5C\x8E\xA6";               // 表示
    const std::string sofuto = "\x83\x5C\x83\x74\x83\x67";       // ソフト
    const std::string nihongo = "\x93\xFA\x96\x7B\x8C\xEA";      // 日本語
    if (system("locale -a 2>/dev/null | grep -qiE '^ja_JP\\.utf-?8$'") != 0) {
        if (getenv("VARNEX_REQUIRE_WINE")) FAIL() << "no ja_JP.UTF-8 locale (scripts/install-deps makes it)";
        GTEST_SKIP() << "no ja_JP.UTF-8 locale (scripts/install-deps makes it)";
    }
    const std::vector<lzh::Member> members = {
        lzh::DirectoryMember(hyouji + "/"), lzh::StoredMember(hyouji + "/" + sofuto + ".txt", Text("soft")),
        lzh::PackedMember(nihongo + "/" + hyouji + ".bin", VariedData(9000, 9), '5', 6)};
    // Wine takes its ANSI code page from LC_ALL by the name alone (LANG is not enough
    // here); the glibc locale need not be generated.
    const char* old = getenv("LC_ALL");
    const std::string saved = old ? old : "";
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    const wine::Transcript t = Install(Into("jp"), members, "expect-dialog\npress 1\nexit\n");
    if (old)
        setenv("LC_ALL", saved.c_str(), 1);
    else
        unsetenv("LC_ALL");
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    ExpectNoBoxes(t);
    EXPECT_EQ(t.ExitStatus(), 1);
    // Wine keeps Unix names in UTF-8.
    std::map<std::string, std::string> expected = {
        {"表示/", ""},
        {"表示/ソフト.txt", "soft"},
        {"日本語/", ""},
        {"日本語/表示.bin", VariedText(9000, 9)}};
    EXPECT_EQ(Digest(Tree(Path("jp"))), Digest(expected));
}

// ---- the author's icon, version information and signature --------------------------------

class Branded : public Installer {
protected:
    void SetUp() override {
        Installer::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(system(("'" VARNEX_PYTHON "' '" PE_CHECK "' make-ico '" + Path("app.ico") + "'").c_str()), 0);
        WriteAll(Path("src/readme.txt"), "Read me.\r\n");
        WriteAll(Path("src/data/table.bin"), VariedText(200000, 3));
    }
};

// Windows' own functions read what --version-info wrote: the neutral Unicode table, its
// translation, the strings (one outside the 16-bit range) and the fixed numbers.
TEST_F(Branded, WindowsReadsTheVersionInformation) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"ProductName", "Setup \xF0\x9D\x84\x9E \xE2\x9C\x93"}, {"FileVersion", "1.2.3.4"},
        {"ProductVersion", "2.5 beta"}, {"CompanyName", "ACME"}, {"LegalCopyright", "\xC2\xA9 2024 ACME"}};
    std::string args = "--icon '" + Path("app.ico") + "'", names;
    for (const auto& [k, v] : keys) args += " --version-info '" + k + "=" + v + "'", names += " " + k;
    ASSERT_EQ(Pack(args + " -o '" + Path("branded.exe") + "' '" + Path("src") + "'"), 0);
    const std::string out = Path("version.txt");
    ASSERT_EQ(system(("timeout 300 " + wine::WineCommand() + " '" + wine::Program("version_probe.exe") + "' '" +
                      bench.WinPath("branded.exe") + "'" + names +
                      " >'" + out + "' 2>/dev/null").c_str()),
              0) << ReadAll(out);
    std::string want = "translation=0000:04B0\nfixed-file=1.2.3.4\nfixed-product=2.5.0.0\n";
    for (const auto& [k, v] : keys) want += k + "=" + v + "\n";
    std::string got = ReadAll(out);
    got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
    EXPECT_EQ(got, want);
}

// The dialog answers WM_QUERYDRAGICON with the author's icon; the stub's own is another.
TEST_F(Branded, DialogShowsTheAuthorsIcon) {
    ASSERT_EQ(Pack("-o '" + Path("plain.exe") + "' '" + Path("src") + "'"), 0);
    ASSERT_EQ(Pack("--icon '" + Path("app.ico") + "' -o '" + Path("branded.exe") + "' '" + Path("src") + "'"), 0);
    for (const auto& [exe, same] : {std::make_pair("branded.exe", "1"), std::make_pair("plain.exe", "0")}) {
        RUN(t, bench.Run(exe, "expect-dialog\ndrag-icon " + bench.WinPath("app.ico") + "\npress 2\nexit\n"));
        EXPECT_EQ(t.First("ICON")["handle"], "1") << exe;
        EXPECT_EQ(t.First("ICON")["same"], same) << exe;
        EXPECT_EQ(t.ExitStatus(), 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new wine::Environment);
    return RUN_ALL_TESTS();
}
