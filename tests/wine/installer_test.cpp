// Whole installations with the real Varnex32.exe under Wine: images built by varnex-pack
// and by the archive writer, answered through the UI driver like a person would, then
// checked on disk (bytes, times, attributes) and in what the person saw.
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "lzh/encoder.h"
#include "wine_bench.h"

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;
using fixtures::Exists;
using fixtures::ReadAll;
using fixtures::Tree;
using fixtures::WriteAll;
using fixtures::TextBytes;

Bytes Varied(size_t size, uint32_t seed) { return fixtures::Data(fixtures::Kind::Text, size, seed); }

// Whether a file appears within the time: the closing command starts record_args.exe
// without waiting for it, so its record shows up a little after the installer has ended
// (and one that must not run would have been started before the installer ended).
bool AppearsWithin(const std::string& path, int milliseconds) {
    for (int i = 0; i < milliseconds / 50 && !Exists(path); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Exists(path);
}

int Pack(const std::string& args) {
    return system(("'" VARNEX_PACK "' -q " + wine::PackStubOption() + args + " >/dev/null 2>&1").c_str());
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override { WINE_BENCH_REQUIRED(); }

    std::string Path(const std::string& rel) const { return bench / rel; }

    // record_args.exe under a name with a blank, as the closing command with two
    // parameters (the second one quoted).
    std::string RecorderCommand() {
        fs::create_directories(Path("tools dir"));
        std::error_code ec;
        fs::copy_file(wine::Program("record_args.exe"), Path("tools dir/record args.exe"),
                      fs::copy_options::overwrite_existing, ec);
        if (ec) ADD_FAILURE() << "no " << wine::Program("record_args.exe") << ": " << ec.message();
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
                             const std::string& script, const std::string& exe = "setup.exe",
                             const std::string& env = "") {
        bench.WriteImage(exe, config, lzh::WriteArchive(members, false));
        return bench.Run(exe, script, 30, env);
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

// samples/basic plus an empty directory, a read-only file, an empty file, a large file and
// names with blanks, each file with its own time, packed with a checksum; a directory
// typed in quotes, OK, the progress line, every file byte-identical with its time and
// its read-only attribute (SetFileTime, SetFileAttributesA); status 1.
TEST_P(SampleFolder, InstallsIntoATypedDirectory) {
    const std::string method = GetParam(), src = Path("src"), out = Path("Typed Dir");
    fs::copy(VARNEX_SOURCE_DIR "/samples/basic", src, fs::copy_options::recursive);
    fs::create_directories(src + "/empty dir");
    WriteAll(src + "/data/Read Only.txt", "do not change\r\n");
    WriteAll(src + "/data/zero.bin", "");
    WriteAll(src + "/Large Sample.bin", fixtures::DataText(fixtures::Kind::Text, 3000000, 7));
    std::map<std::string, time_t> times;
    for (const auto& e : fs::recursive_directory_iterator(src))
        if (e.is_regular_file()) times[fs::relative(e.path(), src).string()] = 1234567890 + 3601 * times.size();
    for (const auto& [rel, when] : times) ASSERT_TRUE(fixtures::SetModified(src + "/" + rel, when)) << rel;
    chmod((src + "/data/Read Only.txt").c_str(), 0444);
    ASSERT_EQ(Pack("--method " + method + " --checksum --restore-attributes --title 'Sample Setup' -o '" +
                   Path("setup.exe") + "' '" + src + "/.'"),
              0);

    // "Large Sample.bin" sorts first, so the first 100% in the progress line is its end;
    // its path does not fit the line and is shown shortened. A percentage may stand for
    // one pump only, too short to be read from outside: the program records every text
    // of the line as it sets it (SET), and the driver reads what the pump shows (TEXT).
    RUN(t, bench.Run("setup.exe",
                     "expect-dialog\nwatch 102\ntype 100 \"" + bench.WinPath("Typed Dir") +
                         "\"\npress 1\nfollow 101 *.../Large Sample.bin\nfollow 102 Extract... 100%\nexit\n",
                     60));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.First("DIALOG")["caption"], "Sample Setup");
    EXPECT_EQ(t.ExitStatus(), 1);
    auto percents = [&t](const char* kind) {
        std::vector<int> out;
        for (const wine::Record& r : t.All(kind)) {
            int p = -1;
            if (r["id"] == "102" && sscanf(r["text"].c_str(), "Extract... %d%%", &p) == 1) out.push_back(p);
        }
        return out;
    };
    const std::vector<int> set = percents("SET"), seen = percents("TEXT");
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back(), 100);
    EXPECT_TRUE(std::is_sorted(set.begin(), set.end())) << "the percentage went back";
    // A stored copy runs too fast to be caught between two of its steps; decoding is
    // where a person waits and watches the real pump repaint.
    if (method != "lh0")
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }))
            << "no step between 0% and 100% was seen";

    EXPECT_TRUE(Tree(out) == Tree(src)) << "the installed tree differs";
    struct stat st;
    for (const auto& [rel, when] : times) {
        ASSERT_EQ(stat((out + "/" + rel).c_str(), &st), 0) << rel;
        EXPECT_EQ(st.st_mtime, when) << rel;
        EXPECT_EQ((st.st_mode & 0222) == 0, rel == "data/Read Only.txt") << rel << ": read-only";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, SampleFolder, ::testing::Values("lh0", "lh5", "lh6", "lh7"),
                         [](const auto& info) { return std::string(info.param); });

// ---- stopping an installation ---------------------------------------------------------------

TEST_F(Installer, CancelDuringALargeMemberRemovesItsPartAndStartsNothing) {
    lzh::SfxConfig config = Into("out");
    config.command = RecorderCommand();
    RUN(t, Install(config,
                   {lzh::StoredMember("a.txt", TextBytes("first")), lzh::PackedMember("b big.bin", Varied(6000000, 11), '6', 1),
                    lzh::StoredMember("c.txt", TextBytes("last"))},
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
// status 1. (Which answer the policy asks for is proven natively.) The question about
// old.txt comes right after a.txt, while the progress line repaints only now and then:
// the dialog behind the box still shows old.txt's path.
TEST_F(Installer, OverwriteQuestionAnsweredYesAndCancel) {
    WriteAll(Path("out/old.txt"), "old");
    WriteAll(Path("out/stop.txt"), "mine");
    lzh::Member replaced = lzh::StoredMember("old.txt", TextBytes("new"), 1000000000, 0x21);
    replaced.writeAttributes = replaced.writeWindowsTimes = true;
    replaced.attributes16 = 0x21;   // read-only, archive
    replaced.creationTime = lzh::UnixToFileTime(900000000);
    replaced.writeTime = lzh::UnixToFileTime(1100000000);
    replaced.accessTime = lzh::UnixToFileTime(1200000000);
    lzh::SfxConfig config = Into("out");
    config.windowTitle = "Replace";
    config.restoreAttributes = 1;
    config.command = RecorderCommand();
    RUN(t, Install(config,
                   {lzh::StoredMember("a.txt", TextBytes("first")), replaced,
                    lzh::PackedMember("stop.txt", TextBytes("archived stop"), '5', 6),
                    lzh::StoredMember("z.txt", TextBytes("archived z"))},
                   "expect-dialog\nwatch 101\npress 1\nexpect-box\nwait-painted 101 */old.txt\npress Yes\n"
                   "expect-box\npress Cancel\nexit\n"));
    std::string boxes;
    for (const wine::Record& b : t.All("BOX"))
        boxes += b["caption"] + "|" + b["icon"] + "|" + b["buttons"] + "|" + b["text"] + "\n";
    const std::string out = fixtures::Swapped(bench.WinPath("out"), '\\', '/');
    EXPECT_EQ(boxes, "Replace|question|Yes,No,Cancel|\"" + out + "/old.txt\" Overwrite?\n" +
                         "Replace|question|Yes,No,Cancel|\"" + out + "/stop.txt\" Overwrite?\n");
    EXPECT_EQ(t.ExitStatus(), 1);
    struct stat st;   // before reading, which moves the access time
    ASSERT_EQ(stat(Path("out/old.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1100000000);
    EXPECT_EQ(st.st_atime, 1200000000);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only was not restored";
    EXPECT_EQ(ReadAll(Path("out/old.txt")), "new");
    EXPECT_EQ(ReadAll(Path("out/a.txt")), "first");
    EXPECT_EQ(ReadAll(Path("out/stop.txt")), "mine");
    EXPECT_FALSE(Exists(Path("out/z.txt")));
    EXPECT_FALSE(AppearsWithin(Path("out/record-args.txt"), 1500));
}

// A settings member sets title, label, a directory with %WORK% and the command; the
// accepted notice after it already carries the new title. A member whose name starts
// with a macro lands where the macro says. ShellExecuteA runs the command in the
// installation directory with its parameters.
TEST_F(Installer, SettingsMemberConfiguresTheRunAndTheCommand) {
    // The bench directory's name is unique, and so is a name made of it.
    const std::string unique = "varnex-e2e-" + fs::path(bench.Dir()).filename().string();
    const std::string settings = "$WindowTitle=Configured Setup\r\n$InstallTitle=Install where?\n"
                                 "$InstallDir=%WORK%\\" + unique + "\r$Command=" + RecorderCommand() + "\r\n";
    RUN(t, Install(lzh::SfxConfig(),
                   {lzh::SettingsMember(settings), lzh::NoticeMember("Go on?"),
                    lzh::PackedMember("docs/readme.txt", Varied(70000, 5), '7', 6),
                    lzh::PackedMember("b.txt", Varied(20000, 6), '4', 6),
                    lzh::StoredMember("%WORK%/" + unique + "-m/c.txt", TextBytes("c"))},
                   "expect-box\npress Yes\nexpect-dialog\npress 1\nexit\n"));
    EXPECT_EQ(t.Box()["caption"], "Configured Setup");
    EXPECT_EQ(t.First("DIALOG")["caption"], "Configured Setup");
    EXPECT_EQ(t.Control(103)["text"], "Install where?");
    EXPECT_EQ(t.ExitStatus(), 1);

    // %WORK% is the temporary directory of the Wine user, on drive C: of the prefix.
    const std::string dir = t.Control(100)["text"], tail = "\\Temp\\" + unique;
    ASSERT_GT(dir.size(), tail.size());
    ASSERT_EQ(dir.substr(0, 3) + dir.substr(dir.size() - tail.size()), "C:\\" + tail);
    const std::string host = fixtures::Swapped(std::string(getenv("WINEPREFIX")) + "/drive_c/" + dir.substr(3), '\\', '/');
    struct RemoveAtEnd {
        std::string dir;
        ~RemoveAtEnd() { std::error_code ec; fs::remove_all(dir, ec), fs::remove_all(dir + "-m", ec); }
    } cleanup{host};
    EXPECT_TRUE(TextBytes(ReadAll(host + "/docs/readme.txt")) == Varied(70000, 5));
    EXPECT_TRUE(TextBytes(ReadAll(host + "/b.txt")) == Varied(20000, 6));
    EXPECT_EQ(ReadAll(host + "-m/c.txt"), "c");
    ASSERT_TRUE(AppearsWithin(host + "/record-args.txt", 20000)) << "the command did not run in " << dir;
    EXPECT_EQ(ReadAll(host + "/record-args.txt"),
              "cwd=" + dir + "\ncmdline=\"" + bench.WinPath("tools dir") +
                  "\\record args.exe\" first \"second arg\"\narg=first\narg=second arg\n");
}

// The stub moved to another preferred base by pefile, which applies the image's base
// relocations (tests/image/pe_read_back.py): a missing or wrong one leaves code or data
// pointing at the old place and the installation fails. "$Flag=1" makes the dialog's
// real timer confirm it: nobody presses OK.
TEST_F(Installer, MovedStubInstallsConfirmedByItsTimer) {
    const std::string moved = Path("moved-stub.exe");
    ASSERT_EQ(system(("'" VARNEX_PYTHON "' '" VARNEX_SOURCE_DIR "/tests/image/pe_read_back.py' rebase '" +
                      wine::Program("Varnex32.exe") + "' '" + moved + "' 0x10000000").c_str()),
              0);
    Bytes stub;
    ASSERT_TRUE(lzh::ReadFile(moved, stub));
    ASSERT_EQ(stub.size(), wine::Bench::Stub().size());
    EXPECT_TRUE(stub != wine::Bench::Stub()) << "pefile did not move the stub";
    bench.WriteImage("setup.exe", Into("out"),
                     lzh::WriteArchive({lzh::SettingsMember("$flag=1\r\n"), lzh::StoredMember("stored.txt", TextBytes("stored")),
                                        lzh::PackedMember("lh7.txt", TextBytes(std::string(20000, '7')), '7', 6)},
                                       false),
                     stub);
    RUN(t, bench.Run("setup.exe", "expect-dialog\nexit\n"));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.All("DIALOG").size(), 1u);
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_EQ(ReadAll(Path("out/stored.txt")), "stored");
    EXPECT_EQ(ReadAll(Path("out/lh7.txt")), std::string(20000, '7'));
}

// "&Reference..." opens the chooser of the program's own template in the program's folder,
// whose name has a blank: its OK puts it into the field in quotes, the installation goes
// there without them.
TEST_F(Installer, ChosenDirectoryWithABlankIsQuotedInTheField) {
    fs::create_directories(Path("my setup"));
    RUN(t, Install(lzh::SfxConfig(), {lzh::StoredMember("a.txt", TextBytes("chosen"))},
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

// Under a Japanese ANSI code page (932) the installer reads Shift_JIS names; the second
// byte of "表" (0x95 0x5C) and "ソ" (0x83 0x5C) is a backslash and must not split a name.
// Wine takes its ANSI code page from LC_ALL by the name alone; Wine keeps Unix names in
// UTF-8.
TEST_F(Installer, ShiftJisNamesUnderAJapaneseCodePage) {
    const std::string hyouji = "\x95\x5C\x8E\xA6", sofuto = "\x83\x5C\x83\x74\x83\x67",   // 表示, ソフト
        nihongo = "\x93\xFA\x96\x7B\x8C\xEA";                                                // 日本語
    RUN(t, Install(Into("jp"),
                   {lzh::DirectoryMember(hyouji + "/"), lzh::StoredMember(hyouji + "/" + sofuto + ".txt", TextBytes("soft")),
                    lzh::PackedMember(nihongo + "/" + hyouji + ".bin", TextBytes("nine\r\n"), '5', 6)},
                   "expect-dialog\npress 1\nexit\n", "setup.exe", "LC_ALL=ja_JP.UTF-8"));
    ExpectNoBoxes(t);
    EXPECT_EQ(t.ExitStatus(), 1);
    const std::map<std::string, std::string> expected = {
        {"表示/", ""}, {"表示/ソフト.txt", "soft"}, {"日本語/", ""}, {"日本語/表示.bin", "nine\r\n"}};
    EXPECT_EQ(Tree(Path("jp")), expected);
}

// The dialog answers WM_QUERYDRAGICON with the author's icon (--icon); the stub's own is
// another.
TEST_F(Installer, DialogShowsTheAuthorsIcon) {
    WriteAll(Path("app.ico"), ReadAll(VARNEX_SOURCE_DIR "/tests/data/app.ico"));
    const std::string sample = " '" VARNEX_SOURCE_DIR "/samples/basic/.'";
    ASSERT_EQ(Pack("-o '" + Path("plain.exe") + "'" + sample), 0);
    ASSERT_EQ(Pack("--icon '" + Path("app.ico") + "' -o '" + Path("branded.exe") + "'" + sample), 0);
    for (const auto& [exe, same] : {std::make_pair("branded.exe", "1"), std::make_pair("plain.exe", "0")}) {
        RUN(t, bench.Run(exe, "expect-dialog\ndrag-icon " + bench.WinPath("app.ico") + "\npress 2\nexit\n"));
        EXPECT_EQ(t.First("ICON")["handle"] + " " + t.First("ICON")["same"], std::string("1 ") + same) << exe;
        EXPECT_EQ(t.ExitStatus(), 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new wine::Environment);
    return RUN_ALL_TESTS();
}
