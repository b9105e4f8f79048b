// The real Varnex32.exe under Wine: what a person sees and what ends up on disk.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "lzh/encoder.h"
#include "wine_bench.h"

namespace {

using lzh::Bytes;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A run that fails in the preflight pass: exactly one error box with the image as the
// subject, no dialog, exit status 0.
void ExpectPreflightFailure(const wine::Transcript& t, const std::string& message,
                            const std::string& caption = "Varnex V2.14.w32.0001") {
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    ASSERT_EQ(t.All("BOX").size(), 1u);
    const wine::Record box = t.Box();
    EXPECT_EQ(box["caption"], caption);
    EXPECT_EQ(box["text"], "\"" + t.ImagePath() + "\" " + message);
    EXPECT_EQ(box["icon"], "error");
    EXPECT_EQ(box["buttons"], "OK");
    EXPECT_TRUE(t.All("DIALOG").empty());
    EXPECT_EQ(t.ExitStatus(), 0);
}

const char* const OneBox = "expect-box\npress OK\nexit\n";

class Wine : public ::testing::Test {
protected:
    void SetUp() override { WINE_BENCH_REQUIRED(); }
    wine::Bench bench;
};

TEST_F(Wine, BrokenImagesEndInOneErrorBoxAndStatusZero) {
    {
        SCOPED_TRACE("a block no archiver wrote: the MZ signature is read as a header");
        bench.WriteRawImage("zero.exe", Bytes(lzh::ConfigBlockSize, 0), {});
        ExpectPreflightFailure(bench.Run("zero.exe", OneBox), "Bad header");
    }
    {
        SCOPED_TRACE("ArchiveOffset beyond the end of the file");
        Bytes block(lzh::ConfigBlockSize, 0);
        const uint32_t beyond = (uint32_t)wine::Bench::Stub().size() + 4096;
        for (int i = 0; i < 4; i++) block[i] = (uint8_t)(beyond >> (8 * i));
        bench.WriteRawImage("beyond.exe", block, {});
        ExpectPreflightFailure(bench.Run("beyond.exe", OneBox), "Unexpeted EOF");
    }
    {
        SCOPED_TRACE("a member header without the header-CRC extended header");
        lzh::Member m = lzh::StoredMember("a.txt", Text("data"));
        lzh::HeaderFaults faults;
        faults.omitHeaderCrc = true;
        Bytes archive = lzh::EncodeHeader(m, faults);
        archive.insert(archive.end(), m.packed.begin(), m.packed.end());
        archive.push_back(0);
        lzh::SfxConfig config;
        config.windowTitle = "Broken Header";
        bench.WriteImage("nocrc.exe", config, archive);
        ExpectPreflightFailure(bench.Run("nocrc.exe", OneBox), "Bad header", "Broken Header");
    }
    {
        SCOPED_TRACE("a sound archive behind a wrong XOR checksum");
        std::vector<lzh::Member> members = {lzh::StoredMember("a.txt", Text("alpha")),
                                            lzh::StoredMember("b.txt", Text("beta"))};
        Bytes archive = lzh::WriteArchive(members, true);
        archive[0] ^= 0x01;
        lzh::SfxConfig config;
        config.archiveFlags = 0x04;
        bench.WriteImage("tampered.exe", config, archive);
        ExpectPreflightFailure(bench.Run("tampered.exe", OneBox), "Tampered DATA");
    }
}

// A whole installation: the dialog as configured, OK, the files on disk, status 1.
TEST_F(Wine, ExtractsEveryMemberAfterOk) {
    Bytes big(200000);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)("varnex "[i % 7] + (i / 4096) % 3);
    std::vector<lzh::Member> members = {
        lzh::DirectoryMember("docs/"),
        lzh::StoredMember("docs/Read Me First.markdown", Text("read me\r\n")),
        lzh::PackedMember("data/big.bin", big, '5', lzh::DefaultLevel),
        lzh::StoredMember("hello.txt", Text("hello")),
    };
    lzh::SfxConfig config;
    config.windowTitle = "Bench Setup";
    config.installTitle = "Where to:";
    config.installDir = bench.WinPath("out");
    config.archiveFlags = 0x04;
    bench.WriteImage("setup.exe", config, lzh::WriteArchive(members, true));

    const wine::Transcript t = bench.Run("setup.exe", "expect-dialog\npress 1\nexit\n");
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    EXPECT_EQ(t.First("DIALOG")["caption"], "Bench Setup");
    EXPECT_EQ(t.Control(103)["text"], "Where to:");
    EXPECT_EQ(t.Control(100)["text"], bench.WinPath("out"));
    EXPECT_EQ(t.Control(1)["enabled"], "1");
    EXPECT_TRUE(t.All("BOX").empty());
    EXPECT_EQ(t.ExitStatus(), 1);
    const std::string out = bench.Dir() + "/out/";
    EXPECT_TRUE(IsDir(out + "docs"));
    // The volume allows long names, so the name stays as it is.
    EXPECT_EQ(ReadAll(out + "docs/Read Me First.markdown"), "read me\r\n");
    EXPECT_EQ(ReadAll(out + "hello.txt"), "hello");
    EXPECT_EQ(ReadAll(out + "data/big.bin"), std::string(big.begin(), big.end()));
}

// Existing files: the question box, Yes replaces, No keeps; the replaced file gets the
// archived times (creation, access, write in that order of the header) and attributes.
TEST_F(Wine, AsksBeforeReplacingAndRestoresTimesAndAttributes) {
    ASSERT_EQ(mkdir((bench.Dir() + "/out").c_str(), 0777), 0);
    std::ofstream(bench.Dir() + "/out/old.txt") << "old";
    std::ofstream(bench.Dir() + "/out/keep.txt") << "kept";
    lzh::Member replaced = lzh::StoredMember("old.txt", Text("new"), 1000000000, 0x21);
    replaced.writeAttributes = true;
    replaced.attributes16 = 0x21;   // read-only, archive
    replaced.writeWindowsTimes = true;
    replaced.creationTime = lzh::UnixToFileTime(900000000);
    replaced.writeTime = lzh::UnixToFileTime(1100000000);
    replaced.accessTime = lzh::UnixToFileTime(1200000000);
    lzh::SfxConfig config;
    config.windowTitle = "Replace";
    config.installDir = bench.WinPath("out");
    config.restoreAttributes = 1;
    bench.WriteImage("setup.exe", config,
                     lzh::WriteArchive({replaced, lzh::StoredMember("keep.txt", Text("archived"))}, false));

    const wine::Transcript t = bench.Run("setup.exe",
                                         "expect-dialog\npress 1\n"
                                         "expect-box\npress Yes\n"
                                         "expect-box\npress No\n"
                                         "exit\n");
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    const std::vector<wine::Record> boxes = t.All("BOX");
    ASSERT_EQ(boxes.size(), 2u);
    for (const wine::Record& box : boxes) {
        EXPECT_EQ(box["caption"], "Replace");
        EXPECT_EQ(box["icon"], "question");
        EXPECT_EQ(box["buttons"], "Yes,No,Cancel");
    }
    const std::string suffix = "old.txt\" Overwrite?";
    EXPECT_EQ(boxes[0]["text"].substr(boxes[0]["text"].size() - suffix.size()), suffix);
    EXPECT_EQ(t.ExitStatus(), 1);

    const std::string out = bench.Dir() + "/out/";
    struct stat st;   // before reading, which moves the access time
    ASSERT_EQ(stat((out + "old.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1100000000);
    EXPECT_EQ(st.st_atime, 1200000000);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only was not restored";
    EXPECT_EQ(ReadAll(out + "old.txt"), "new");
    EXPECT_EQ(ReadAll(out + "keep.txt"), "kept");
}

TEST_F(Wine, DialogRefusesNetworkPathsAndCancelEndsWithZero) {
    lzh::SfxConfig config;
    config.installDir = bench.WinPath("out");
    bench.WriteImage("setup.exe", config, lzh::WriteArchive({lzh::StoredMember("a.txt", Text("a"))}, false));
    const wine::Transcript t = bench.Run("setup.exe",
                                         "expect-dialog\n"
                                         "type 100 \\\\server\\share\n"
                                         "press 1\n"
                                         "expect-box\n"
                                         "press OK\n"
                                         "back\n"
                                         "show\n"
                                         "press 2\n"
                                         "exit\n");
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    const wine::Record box = t.Box();
    EXPECT_EQ(box["text"], "Invalid directory");
    EXPECT_EQ(box["caption"], "Varnex V2.14.w32.0001");
    EXPECT_EQ(box["icon"], "warning");
    // The dialog stays as it was, field and buttons enabled.
    const std::vector<wine::Record> dialogs = t.All("DIALOG");
    ASSERT_EQ(dialogs.size(), 2u);
    int enabledOk = 0;
    for (const wine::Record& r : t.All("CONTROL"))
        if (r["id"] == "1" && r["enabled"] == "1") enabledOk++;
    EXPECT_EQ(enabledOk, 2);
    EXPECT_EQ(t.ExitStatus(), 0);
    EXPECT_FALSE(IsDir(bench.Dir() + "/out"));
}

// "&Reference..." opens the directory chooser from the program's own template; its OK
// puts the chooser's current directory (where the program was started) into the field.
TEST_F(Wine, ReferenceChoosesADirectoryForTheField) {
    bench.WriteImage("setup.exe", lzh::SfxConfig(), lzh::WriteArchive({}, false));
    const wine::Transcript t = bench.Run("setup.exe",
                                         "expect-dialog\npress 104\n"
                                         "expect-dialog\npress 1\nwait-gone\n"
                                         "back\nshow\npress 2\nexit\n");
    SCOPED_TRACE(t.raw + t.errors);
    ASSERT_EQ(t.driverStatus, 0);
    const std::vector<wine::Record> dialogs = t.All("DIALOG");
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[1]["caption"], "Extracting directory");
    std::vector<std::string> field;
    for (const wine::Record& r : t.All("CONTROL")) {
        if (r["id"] == "100") field.push_back(r["text"]);
        if (r["id"] == "1121") EXPECT_EQ(r["class"], "ListBox");   // the template's directory list
    }
    ASSERT_EQ(field.size(), 2u);
    EXPECT_EQ(field[1], bench.WinPath(""));
    EXPECT_EQ(t.ExitStatus(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new wine::Environment);
    return RUN_ALL_TESTS();
}
