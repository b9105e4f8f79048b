// Bad input end to end: damaged images and hostile disks under Wine. Each row builds
// its image, answers the boxes like a person would, and checks the one error box
// (caption, text with its quoted subject, icon), the exit status and the disk: files
// completed before the fault stay, the one being written is gone, later members never
// appear, and nothing outside the installation directory changes.
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "lzh/encoder.h"
#include "wine_bench.h"

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;

const char* const Title = "Hardening";

using fixtures::ReadAll;
using wine::Text;

// Everything below the bench directory except the installation directory and the
// driver's own files: what a run must leave as it found it.
std::set<std::string> Outside(const std::string& dir) {
    std::set<std::string> seen;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), dir).string();
        if (rel == "out" || rel.rfind("out/", 0) == 0 || rel == "driver-script.txt" || rel == "wine-stderr.txt")
            continue;
        seen.insert(rel + ":" + std::to_string(it->is_directory() ? 0 : it->file_size()));
    }
    return seen;
}

// Header, then its data and the end mark, as the archive of the image.
Bytes Archive(const Bytes& header, const Bytes& tail = Text("data")) {
    Bytes a = header;
    a.insert(a.end(), tail.begin(), tail.end());
    a.push_back(0);
    return a;
}

class Hardening : public ::testing::Test {
protected:
    void SetUp() override { WINE_BENCH_REQUIRED(); }

    std::string Out(const std::string& name) const { return bench.Dir() + "/out/" + name; }
    // The subject of a fault of an output file, as the program shows it.
    std::string Target(const std::string& name) const {
        std::string s = bench.WinPath("out") + "/" + name;
        for (char& c : s)
            if (c == '\\') c = '/';
        return s;
    }

    // Runs the image; checks the last box (the error) and that nothing outside the
    // installation directory changed. A leading "%image%" in text stands for the image's
    // path in double quotes. Returns the transcript for the row's own checks.
    wine::Transcript RunExpectingBox(const std::string& script, const std::string& text, const std::string& image,
                                     const std::string& caption = Title) {
        const std::set<std::string> before = Outside(bench.Dir());
        wine::Transcript t = bench.Run(image, script);
        EXPECT_EQ(t.driverStatus, 0);
        const std::vector<wine::Record> boxes = t.All("BOX");
        EXPECT_FALSE(boxes.empty());
        if (boxes.empty()) return t;
        const wine::Record& box = boxes.back();
        EXPECT_EQ(box["caption"], caption);
        EXPECT_EQ(box["text"], text.find("%image%") == 0 ? "\"" + t.ImagePath() + "\"" + text.substr(7) : text);
        EXPECT_EQ(box["icon"], "error");
        EXPECT_EQ(box["buttons"], "OK");
        EXPECT_EQ(Outside(bench.Dir()), before) << "something outside the installation directory changed";
        return t;
    }

    wine::Bench bench;
};

// Faults the preflight pass finds, one row per message the walk can end with before the
// dialog (which header field is refused for which reason is the unit tests' business):
// one box, no dialog, nothing made; status 0, or 1 when the fault lies inside the data
// of a member decoded in this pass. The stub as no builder left it (an all-zero block:
// the walk reads "MZ" as a header size) shows the default caption.
TEST_F(Hardening, DamagedArchivesAreRefusedBeforeTheDialog) {
    const Bytes good = lzh::EncodeHeader(lzh::StoredMember("a.txt", Text("data")));
    lzh::HeaderFaults wrongCrc;
    wrongCrc.wrongHeaderCrc = true;
    Bytes truncated = lzh::EncodeHeader(lzh::StoredMember("a.txt", Bytes(5000, 'x')));
    truncated.resize(truncated.size() + 2500, 'x');   // half the promised data, no end mark
    // A compressed notice is decoded in this pass, so a cut one fails inside its data.
    lzh::Member notice = lzh::PackedMember("!", Text(std::string(3000, 'n')), '5', lzh::DefaultLevel);
    Bytes cutNotice = lzh::EncodeHeader(notice);
    cutNotice.insert(cutNotice.end(), notice.packed.begin(), notice.packed.begin() + notice.packed.size() / 2);

    enum Patch { None, OffsetBeyondEnd, ZeroBlock };
    struct Row {
        const char* what;
        Bytes archive;
        const char* text;
        int status = 0;
        uint8_t archiveFlags = 0;
        Patch patch = None;
    };
    const Row rows[] = {
        {"a wrong header CRC", Archive(lzh::EncodeHeader(lzh::StoredMember("a.txt", Text("data")), wrongCrc)),
         "%image% Bad header"},
        {"a header size of 40000", Bytes{0x40, 0x9C, '-', 'l', 'h', '0', '-', 0, 0}, "Not enough memory"},
        {"packed data running past the end", truncated, "%image% Unexpeted EOF"},
        {"a compressed notice cut short", cutNotice, "%image% Read ERROR", 1},
        {"ArchiveOffset past the end", Archive(good), "%image% Unexpeted EOF", 0, 0, OffsetBeyondEnd},
        {"a sound archive behind a wrong checksum", [] {
             Bytes a = lzh::WriteArchive({lzh::StoredMember("a.txt", Text("alpha"))}, true);
             a[0] ^= 0x01;
             return a;
         }(),
         "%image% Tampered DATA", 0, 0x04},
        {"an all-zero block", Archive(good), "%image% Bad header", 0, 0, ZeroBlock},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        lzh::SfxConfig config;
        config.windowTitle = Title;
        config.installDir = bench.WinPath("out");
        config.archiveFlags = row.archiveFlags;
        bench.WriteImage("setup.exe", config, row.archive);
        if (row.patch != None) {
            Bytes image;
            ASSERT_TRUE(lzh::ReadFile(bench.Dir() + "/setup.exe", image));
            const uint32_t beyond = uint32_t(image.size() + 4096);
            for (int i = 0; i < 4; i++) image[ConfigBlockOffset + i] = uint8_t(beyond >> (8 * i));
            if (row.patch == ZeroBlock) std::fill_n(image.begin() + ConfigBlockOffset, ConfigBlockSize, 0);
            ASSERT_TRUE(lzh::WriteFile(bench.Dir() + "/setup.exe", image));
        }
        const wine::Transcript t = RunExpectingBox("expect-box\npress OK\nexit\n", row.text, "setup.exe",
                                                   row.patch == ZeroBlock ? "Varnex V2.14.w32.0001" : Title);
        SCOPED_TRACE(t.raw + t.errors);
        EXPECT_EQ(t.All("BOX").size(), 1u);
        EXPECT_TRUE(t.All("DIALOG").empty());
        EXPECT_EQ(t.ExitStatus(), row.status);
        EXPECT_FALSE(fs::exists(bench.Dir() + "/out"));
    }
}

// Faults met while extracting: good.txt is done before, sub/bad.bin fails, later.txt
// never comes. Status 1 in every case.
TEST_F(Hardening, FaultsDuringExtractionKeepCompletedFilesOnly) {
    struct Row {
        const char* what;
        lzh::Member bad;
        std::function<void()> prepare;   // what is in the way on disk
        const char* text;
        bool asked;                      // "Overwrite?" comes first (answered Yes)
        std::string left;                // sub/bad.bin afterwards
    };
    lzh::Member stored = lzh::StoredMember("sub/bad.bin", Text("abcd"));
    lzh::Member shortStored = stored;
    shortStored.unpackedSize = 100000;   // more than the rest of the image holds
    const Row rows[] = {
        {"a directory in the way", stored, [&] { fs::create_directories(Out("sub/bad.bin")); }, "Open ERROR", true,
         ""},
        {"a stored member cut short", shortStored, [] {}, "Read ERROR", false, "<missing>"},
    };
    lzh::SfxConfig config;
    config.windowTitle = Title;
    config.installDir = bench.WinPath("out");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(bench.Dir() + "/out");
        row.prepare();
        bench.WriteImage("setup.exe", config,
                         lzh::WriteArchive({lzh::StoredMember("good.txt", Text("good")), row.bad,
                                            lzh::StoredMember("later.txt", Text("later"))},
                                           false));
        const bool imageFault = row.text[0] != 'O';
        const std::string text = imageFault ? std::string("%image% ") + row.text
                                            : "\"" + Target("sub/bad.bin") + "\" " + row.text;
        const wine::Transcript t =
            RunExpectingBox(std::string("expect-dialog\npress 1\n") + (row.asked ? "expect-box\npress Yes\n" : "") +
                                "expect-box\npress OK\nexit\n",
                            text, "setup.exe");
        SCOPED_TRACE(t.raw + t.errors);
        EXPECT_EQ(t.All("BOX").size(), row.asked ? 2u : 1u);
        EXPECT_EQ(t.ExitStatus(), 1);
        EXPECT_EQ(ReadAll(Out("good.txt")), "good");
        EXPECT_EQ(ReadAll(Out("later.txt")), "<missing>");
        if (row.left.empty())
            EXPECT_TRUE(fs::is_directory(Out("sub/bad.bin")));
        else
            EXPECT_EQ(ReadAll(Out("sub/bad.bin")), row.left);
    }
}

// A full volume: a 1 MB tmpfs as the installation directory, a 2 MB member.
TEST_F(Hardening, FullVolumeEndsWithWriteErrorAndNoPartialFile) {
    const std::string out = bench.Dir() + "/out";
    fs::create_directories(out);
    if (mount("tmpfs", out.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small volume here (the POSIX-port walk test covers a full volume)";
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{out};

    const Bytes big = fixtures::Data(fixtures::Kind::Noise, 2 << 20, 1);
    lzh::SfxConfig config;
    config.windowTitle = Title;
    config.installDir = bench.WinPath("out");
    bench.WriteImage("setup.exe", config,
                     lzh::WriteArchive({lzh::StoredMember("good.txt", Text("good")), lzh::StoredMember("big.bin", big),
                                        lzh::StoredMember("later.txt", Text("later"))},
                                       false));
    const wine::Transcript t = RunExpectingBox("expect-dialog\npress 1\nexpect-box\npress OK\nexit\n",
                                               "\"" + Target("big.bin") + "\" Write ERROR", "setup.exe");
    SCOPED_TRACE(t.raw + t.errors);
    EXPECT_EQ(t.All("BOX").size(), 1u);
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_EQ(ReadAll(Out("good.txt")), "good");
    EXPECT_EQ(ReadAll(Out("big.bin")), "<missing>");
    EXPECT_EQ(ReadAll(Out("later.txt")), "<missing>");
}

}  // namespace
