// Bad input end to end under Wine, one row per error path of the real build (which input
// is refused for which reason is proven natively). Each row answers the boxes like a
// person would and checks the error box (caption, text with its quoted subject, icon),
// the exit status and the disk: files completed before the fault stay, the one being
// written is gone, later members never appear, and nothing outside the installation
// directory changes.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

#include "lzh/encoder.h"
#include "wine_bench.h"

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;
using fixtures::ReadAll;
using fixtures::TextBytes;

const char* const Title = "Hardening";

class Hardening : public ::testing::Test {
protected:
    void SetUp() override {
        WINE_BENCH_REQUIRED();
        config.windowTitle = Title;
        config.installDir = bench.WinPath("out");
    }

    std::string Out(const std::string& name) const { return bench.Dir() + "/out/" + name; }

    // Everything below the bench directory except the installation directory and the
    // driver's own files: what a run must leave as it found it.
    std::set<std::string> Outside() const {
        std::set<std::string> seen;
        for (const auto& e : fs::recursive_directory_iterator(bench.Dir())) {
            const std::string rel = fs::relative(e.path(), bench.Dir()).string();
            if (rel.rfind("out", 0) != 0 && rel != "driver-script.txt" && rel != "wine-stderr.txt")
                seen.insert(rel + ":" + std::to_string(e.is_directory() ? 0 : e.file_size()));
        }
        return seen;
    }

    // Runs setup.exe; checks its last box (the error; a leading "%image%" in text stands
    // for the image's path in quotes) and that nothing outside the installation directory
    // changed.
    wine::Transcript RunExpectingBox(const std::string& script, const std::string& text,
                                     const std::string& caption = Title) {
        const std::set<std::string> before = Outside();
        wine::Transcript t = bench.Run("setup.exe", script);
        EXPECT_EQ(t.driverStatus, 0);
        const wine::Record box = t.All("BOX").empty() ? wine::Record() : t.All("BOX").back();
        EXPECT_EQ(box["caption"], caption);
        EXPECT_EQ(box["text"], text.find("%image%") == 0 ? "\"" + t.ImagePath() + "\"" + text.substr(7) : text);
        EXPECT_EQ(box["icon"] + " " + box["buttons"], "error OK");
        EXPECT_EQ(Outside(), before) << "something outside the installation directory changed";
        return t;
    }

    wine::Bench bench;
    lzh::SfxConfig config;
};

// Found before the dialog: one box, no dialog, nothing made; status 0. A header too large
// to hold has a box of its own; the stub as no builder left it (an all-zero block: the
// walk reads "MZ" as a header size) shows the default caption; the size of the real file
// bounds the data.
TEST_F(Hardening, DamagedArchivesAreRefusedBeforeTheDialog) {
    Bytes truncated = lzh::EncodeHeader(lzh::StoredMember("a.txt", Bytes(5000, 'x')));
    truncated.resize(truncated.size() + 2500, 'x');   // half the promised data, no end mark
    const struct {
        const char* what;
        Bytes archive;
        const char* text;
        bool zeroBlock;
    } rows[] = {
        {"a header size of 40000", Bytes{0x40, 0x9C, '-', 'l', 'h', '0', '-', 0, 0}, "Not enough memory", false},
        {"packed data running past the end", truncated, "%image% Unexpeted EOF", false},
        {"an all-zero block", truncated, "%image% Bad header", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        bench.WriteImage("setup.exe", config, row.archive);
        if (row.zeroBlock) {
            Bytes image;
            ASSERT_TRUE(lzh::ReadFile(bench.Dir() + "/setup.exe", image));
            std::fill_n(image.begin() + ConfigBlockOffset, ConfigBlockSize, 0);
            ASSERT_TRUE(lzh::WriteFile(bench.Dir() + "/setup.exe", image));
        }
        const wine::Transcript t = RunExpectingBox("expect-box\npress OK\nexit\n", row.text,
                                                   row.zeroBlock ? "Varnex V2.14.w32.0001" : Title);
        SCOPED_TRACE(t.raw + t.errors);
        EXPECT_EQ(t.All("BOX").size(), 1u);
        EXPECT_TRUE(t.All("DIALOG").empty());
        EXPECT_EQ(t.ExitStatus(), 0);
        EXPECT_FALSE(fs::exists(bench.Dir() + "/out"));
    }
}

// Met while extracting: good.txt is done before, sub/bad.bin fails, later.txt never
// comes; status 1. CreateFileA on a directory (after "Overwrite?" answered Yes), a short
// read of the image, a full volume (a 1 MB tmpfs, a 2 MB member; last, as it may skip).
TEST_F(Hardening, FaultsDuringExtractionKeepCompletedFilesOnly) {
    lzh::Member shortStored = lzh::StoredMember("sub/bad.bin", TextBytes("abcd"));
    shortStored.unpackedSize = 100000;   // more than the rest of the image holds
    const struct {
        const char* what;
        lzh::Member bad;
        const char* text;
    } rows[] = {
        {"a directory in the way", lzh::StoredMember("sub/bad.bin", TextBytes("abcd")), "Open ERROR"},
        {"a stored member cut short", shortStored, "Read ERROR"},
        {"a full volume", lzh::StoredMember("sub/bad.bin", fixtures::Data(fixtures::Kind::Noise, 2 << 20, 1)),
         "Write ERROR"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool inTheWay = row.text[0] == 'O', imageFault = row.text[0] == 'R';
        fs::remove_all(bench.Dir() + "/out");
        fs::create_directories(Out(inTheWay ? "sub/bad.bin" : "sub"));
        std::unique_ptr<fixtures::SmallVolume> volume;
        if (row.text[0] == 'W' && !(volume = std::make_unique<fixtures::SmallVolume>(Out("sub")))->mounted)
            GTEST_SKIP() << "cannot mount a small volume here (the POSIX-port walk test covers a full volume)";
        bench.WriteImage("setup.exe", config,
                         lzh::WriteArchive({lzh::StoredMember("good.txt", TextBytes("good")), row.bad,
                                            lzh::StoredMember("later.txt", TextBytes("later"))},
                                           false));
        const std::string target = fixtures::Swapped(bench.WinPath("out"), '\\', '/') + "/sub/bad.bin";
        const wine::Transcript t = RunExpectingBox(
            std::string("expect-dialog\npress 1\n") + (inTheWay ? "expect-box\npress Yes\n" : "") +
                "expect-box\npress OK\nexit\n",
            (imageFault ? std::string("%image%") : "\"" + target + "\"") + " " + row.text);
        SCOPED_TRACE(t.raw + t.errors);
        EXPECT_EQ(t.All("BOX").size(), inTheWay ? 2u : 1u);
        EXPECT_EQ(t.ExitStatus(), 1);
        EXPECT_EQ(ReadAll(Out("good.txt")), "good");
        EXPECT_EQ(ReadAll(Out("later.txt")), "<missing>");
        EXPECT_EQ(fs::is_directory(Out("sub/bad.bin")) ? "<directory>" : ReadAll(Out("sub/bad.bin")),
                  inTheWay ? "<directory>" : "<missing>");
    }
}

}  // namespace
