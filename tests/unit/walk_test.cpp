// The two walks: preflight (notice, settings, integrity sum), extraction (files, the
// overwrite policy, failures, progress, the closing command) and the archive faults.
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>

#include "lzh/encoder.h"
#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

class Walk : public SfxRun {
protected:
    static bool Preflight() { return WalkArchive(nullptr, PreflightPass); }
    std::string Out(const std::string& name) { return dir + "/out/" + name; }
    void Existing(const std::string& name, time_t mtime) {
        fixtures::WriteAll(Out(name), "old");
        fixtures::SetModified(Out(name), mtime);
    }
    // The process's open file descriptors: a walk that ends closes what it opened.
    static size_t OpenFiles() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
        return n;
    }
};

TEST_F(Walk, PreflightNoticeSettingsAndChecksum) {
    lzh::SfxConfig c;
    c.archiveFlags = 4;
    std::vector<lzh::Member> members = {lzh::SettingsMember("$WindowTitle=Setup\r\n$Flag=3"),
                                        StoredMember("a", TextBytes("aaa")), lzh::NoticeMember("Agree?\nReally?")};
    Prepare(WriteImage(members, c));
    EXPECT_TRUE(Preflight());
    ASSERT_EQ(PosixTranscript().size(), 1u);
    const PosixEvent& notice = PosixTranscript()[0];
    EXPECT_EQ(std::tie(notice.text, notice.caption, notice.style), std::make_tuple("Agree?\nReally?", "Setup", 0x2024u));
    EXPECT_EQ(AutoStart + OverwriteAll, 2);
    // No: the walk reads on, but a later settings member is not applied.
    members.push_back(lzh::SettingsMember("$WindowTitle=Later"));
    Prepare(WriteImage(members, c));
    PosixQueueAnswer(PortIdNo);
    EXPECT_FALSE(Preflight());
    EXPECT_STREQ(Ws->Config.WindowTitle, "Setup");
    // One member's CRC changed in its (valid) header: the sum no longer matches.
    members.pop_back();
    uint16_t sum = lzh::ChecksumOf(members);
    members[1].dataCrc ^= 1;
    lzh::Bytes archive = lzh::WriteArchive(members, true);
    archive[0] = uint8_t(sum), archive[1] = uint8_t(sum >> 8);
    Prepare(WriteImage(archive, c));
    EXPECT_FALSE(Preflight());
    EXPECT_EQ(Boxes().back(), Quoted(Image(), "Tampered DATA"));
}

// A notice of 70000 bytes arrives in two chunks: the box shows its first 1023 bytes, not
// the start of the last chunk. Settings are kept up to 4095 bytes; a zero byte ends a text.
TEST_F(Walk, CaptureKeepsTheStartOfTheText) {
    const std::string notice = fixtures::DataText(fixtures::Kind::Text, 70000, 1);
    Prepare(WriteImage({lzh::NoticeMember(notice), lzh::SettingsMember("$Command=run\n" + std::string(5000, 'x') + "\n$Flag=2"),
                        StoredMember("!", TextBytes(std::string("short\0hidden", 12)))}));
    EXPECT_TRUE(Preflight());
    EXPECT_EQ(Boxes(), (Strings{notice.substr(0, 1023), "short"}));
    EXPECT_STREQ(Ws->Config.Command, "run");
    EXPECT_EQ(OverwriteAll, 0);
}

TEST_F(Walk, ArchiveFaultsEndTheWalk) {
    lzh::Bytes archive = lzh::WriteArchive({StoredMember("a", TextBytes("hello")), StoredMember("b", lzh::Bytes(20, 'x'))}, false);
    const size_t second = 1232 + archive[0] + 5;
    // Rewrites the second header's packed size (and its header CRC).
    auto packedSize = [&](uint32_t v) {
        return [=](lzh::Bytes& img) {
            lzh::Bytes h(img.begin() + second, img.begin() + second + img[second]);
            PutU32(&h[HdrPackedSize], v);
            h = fixtures::Reseal(h);
            std::copy(h.begin(), h.end(), img.begin() + second);
        };
    };
    struct Case {
        std::function<void(lzh::Bytes&)> spoil;
        const char* message;
    } cases[] = {
        {[](lzh::Bytes& img) { std::fill(img.begin() + 512, img.begin() + 516, 0); }, "Bad header"},   // reads "MZ"...
        {[](lzh::Bytes& img) { PutU32(&img[512], uint32_t(img.size() + 1)); }, "Unexpeted EOF"},
        {[](lzh::Bytes& img) { img.resize(img.size() - 9); }, "Unexpeted EOF"},
        // 2^32 - 16 must not move the file backwards (and read the same header forever).
        {packedSize(0xFFFFFFF0u), "Unexpeted EOF"},
        {packedSize(0x80000000u), "Unexpeted EOF"},
        // An archive that starts at the very end is empty, not cut.
        {[](lzh::Bytes& img) { PutU32(&img[512], uint32_t(img.size())); }, nullptr},
    };
    for (const Case& k : cases) {
        lzh::Bytes img;
        lzh::BuildImage(lzh::Bytes(1232, 0), {}, archive, img);
        img[0] = 'M', img[1] = 'Z';
        k.spoil(img);
        lzh::WriteFile(Image(), img);
        Prepare(Image());
        const size_t open = OpenFiles();
        EXPECT_EQ(Preflight(), k.message == nullptr);
        EXPECT_EQ(Boxes(), k.message ? Strings{Quoted(Image(), k.message)} : Strings{});
        EXPECT_EQ(Ws->ArchiveFile, PortInvalidImage);
        EXPECT_EQ(OpenFiles(), open) << "the image was left open";
    }
    TextCopy(Ws->ImagePath, 260, (dir + "/missing").c_str());
    PosixClearTranscript();
    EXPECT_FALSE(Preflight());
    EXPECT_EQ(Boxes(), Strings{Quoted(dir + "/missing", "Open ERROR")});
    // A cut notice: a read fault inside member data ends the process with 1.
    lzh::Bytes cut = lzh::WriteArchive({lzh::NoticeMember(std::string(100, 'n'))}, false);
    cut.resize(cut.size() - 50);
    Prepare(WriteImage(cut));
    EXPECT_EQ(Aborts([] { Preflight(); }), 1);
    EXPECT_EQ(Boxes(), Strings{Quoted(Image(), "Read ERROR")});
}

TEST_F(Walk, ExtractsFilesAndDirectories) {
    const lzh::Bytes big = fixtures::Data(fixtures::Kind::Noise, 100000, 1);
    lzh::SfxConfig c;
    c.command = "\"my tool.exe\"  -a \"b c\"";
    // Stored members named like directories (as some archivers write them): directories,
    // even one that carries data; nothing is opened.
    lzh::Member storedDir = StoredMember("with/data/", TextBytes("junk"));
    storedDir.dataCrc ^= 1;
    Prepare(WriteImage({lzh::NoticeMember("hi"), lzh::SettingsMember("$Flag=0"), lzh::DirectoryMember("empty/d/"),
                        StoredMember("big.bin", big, 1600000000), StoredMember("sub/!", TextBytes("bang")), StoredMember("!x", TextBytes("x")),
                        StoredMember("stored/d/", {}), storedDir,
                        StoredMember("zero", {})},
                       c));
    EXPECT_TRUE(Extract("out"));
    EXPECT_TRUE(Contents(Out("big.bin")) == std::string(big.begin(), big.end()));
    // Only the names "!" and "$" themselves are the notice and the settings.
    EXPECT_EQ(Contents(Out("sub/!")) + Contents(Out("!x")) + Contents(Out("zero")) + Contents(Out("!")) + Contents(Out("$")),
              "bangx<missing><missing>");
    struct stat st;
    EXPECT_EQ(stat(Out("big.bin").c_str(), &st) == 0 ? st.st_mtime : 0, 1600000000);
    for (const char* d : {"empty/d", "stored/d", "with/data"})
        EXPECT_TRUE(stat(Out(d).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << d;
    EXPECT_TRUE(Boxes().empty());
    // Progress: 65% after the first 65536 bytes of 100000. The 0% of each member and a
    // repeated 100% are put up only when nothing replaces them first: here the walk's end
    // after a member of 0 bytes.
    EXPECT_EQ(Texts(PosixEvent::ItemText, IdProgressPercent), (Strings{"Extract... 65%", "Extract... 100%", "Extract... 0%"}));
    // The closing command: the program without quotes, parameters as written.
    const PosixEvent& shell = PosixTranscript().back();
    EXPECT_EQ(std::tie(shell.text, shell.caption, shell.extra), std::make_tuple("my tool.exe", "-a \"b c\"", dir + "/out"));
    // A volume that keeps names short (its longest name is not 255, or it does not say)
    // gets every component of the target in 8.3, the chosen directory's too: so it is
    // named relative to the scratch directory, whose own name is longer.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    for (uint32_t longest : {12u, 0u}) {
        PosixSetVolumeMaxComponent(longest);
        Prepare(WriteImage({StoredMember("Long Name.text/LongFileName.html", TextBytes("l"))}));
        TextCopy(Ws->ChosenDir, 256, ("v" + std::to_string(longest)).c_str());
        EXPECT_TRUE(ExtractChosen());
        EXPECT_EQ(Contents(dir + "/v" + std::to_string(longest) + "/Long_Nam.tex/LongFile.htm"), "l") << longest;
    }
    std::filesystem::current_path(cwd);
}

// Under Win32s the stored times are local times shifted by "TZ" (JST-9: nine hours
// ahead): the header's stamp, which also decides "not newer", and the Windows times;
// elsewhere they stay as stored. The file gets the write and access times of the Windows
// times.
TEST_F(Walk, Win32sShiftsTheStoredTimesByTz) {
    lzh::Member timed = StoredMember("timed", TextBytes("t"));
    timed.writeWindowsTimes = true;
    timed.creationTime = timed.accessTime = lzh::UnixToFileTime(1400000000);
    timed.writeTime = lzh::UnixToFileTime(1450000000);
    setenv("TZ", "JST-9", 1);
    for (int win32s : {0, 1}) {
        const std::string base = std::to_string(win32s) + "/";
        Existing(base + "stamped", 1600000000 + 3600);   // newer than the stamp, older than shifted
        Prepare(WriteImage({StoredMember("stamped", TextBytes("s"), 1600000000), timed}));
        IsWin32s = win32s;
        SkipIfNotNewer = OverwriteAll = 1;
        EXPECT_TRUE(Extract("out/" + base));
        EXPECT_EQ(Contents(Out(base + "stamped")), win32s ? "s" : "old");
        struct stat st = {};
        EXPECT_EQ(stat(Out(base + "timed").c_str(), &st), 0);   // no ASSERT: TZ is reset below
        EXPECT_EQ(std::make_pair(st.st_mtime, st.st_atime),
                  std::make_pair(time_t(1450000000 + win32s * 32400), time_t(1400000000 + win32s * 32400)));
    }
    unsetenv("TZ");
}

// Members whose packed data carries bytes the data does not use (stored, and compressed
// through the decoder): the next header is still found where the packed size says.
TEST_F(Walk, NextHeaderFollowsThePackedSize) {
    lzh::Member stored = StoredMember("s.txt", TextBytes("abc"));
    lzh::Member packed = lzh::PackedMember("p.txt", lzh::Bytes(5000, 'p'), '5', 6);
    for (lzh::Member* m : {&stored, &packed}) m->packed.insert(m->packed.end(), 40, 0x55);
    Prepare(WriteImage({stored, packed, lzh::NoticeMember("last")}));
    EXPECT_TRUE(Preflight());
    EXPECT_EQ(Boxes(), Strings{"last"});
    PosixClearTranscript();
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Contents(Out("s.txt")) + Contents(Out("p.txt")), "abc" + std::string(5000, 'p'));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Walk, OverwritePolicy) {
    const uint32_t stamp = 1600000000;
    Prepare(WriteImage({StoredMember("a", TextBytes("A"), stamp), StoredMember("b", TextBytes("B"), stamp),
                        StoredMember("c", TextBytes("C"), stamp)}));
    Existing("a", stamp);
    Existing("b", stamp - 1);
    PosixQueueAnswer(PortIdNo);
    PosixQueueAnswer(PortIdYes);
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Boxes(), (Strings{Quoted(Out("a"), "Overwrite?"), Quoted(Out("b"), "Overwrite?")}));
    EXPECT_EQ(std::make_tuple(PosixTranscript()[2].style, PosixTranscript()[2].owner),
              std::make_tuple(0x2023u, reinterpret_cast<PortWindow>(0x1234)));   // owned by the dialog
    EXPECT_EQ(PosixTranscript()[1].text, "Extract... 0%");   // put up before the box can show it
    EXPECT_EQ(Contents(Out("a")) + Contents(Out("b")) + Contents(Out("c")), "oldBC");
    // Not newer: an equal time is skipped silently, one second older replaced unasked.
    SkipIfNotNewer = OverwriteAll = 1;
    Existing("a", stamp);
    Existing("b", stamp - 1);
    PosixClearTranscript();
    EXPECT_TRUE(Extract("out"));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Contents(Out("a")) + Contents(Out("b")), "oldB");
    // Cancel ends the walk without a message; nothing after it, no command.
    SkipIfNotNewer = OverwriteAll = 0;
    TextCopy(Ws->Config.Command, 256, "run");
    unlink(Out("b").c_str());
    PosixClearTranscript();
    PosixQueueAnswer(PortIdCancel);
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Contents(Out("b")), "<missing>");
    EXPECT_NE(PosixTranscript().back().kind, PosixEvent::Shell);
    // A read-only file is reset and replaced only with RestoreAttributes.
    OverwriteAll = 1;
    chmod(Out("a").c_str(), 0444);
    PosixClearTranscript();
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes(), Strings{Quoted(Out("a"), "Open ERROR")});
    EXPECT_EQ(PosixTranscript()[1].text, "Extract... 0%");   // an error box shows it too
    Ws->Config.RestoreAttributes = 1;
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Contents(Out("a")), "A");
}

TEST_F(Walk, OutputFailures) {
    lzh::Member bad = StoredMember("bad", TextBytes("payload"));
    bad.dataCrc ^= 0x100;
    lzh::SfxConfig c;
    c.command = "never";
    Prepare(WriteImage({StoredMember("first", TextBytes("1")), bad, StoredMember("after", TextBytes("2"))}, c));
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes(), Strings{Quoted(dir + "/out/bad", "CRC ERROR")});
    EXPECT_EQ(Contents(dir + "/out/first") + Contents(dir + "/out/bad") + Contents(dir + "/out/after"), "1<missing><missing>");
    EXPECT_NE(PosixTranscript().back().kind, PosixEvent::Shell);
    PosixClearTranscript();
    PosixFailClose(true);
    EXPECT_FALSE(Extract("out2"));
    PosixFailClose(false);
    EXPECT_EQ(Boxes(), Strings{Quoted(dir + "/out2/first", "Close ERROR")});
    EXPECT_EQ(Contents(dir + "/out2/first"), "<missing>");

    // A full volume: the partly written file is deleted, the process ends with 1.
    Prepare(WriteImage({StoredMember("done", TextBytes("ok")), StoredMember("big", lzh::Bytes(200000, 'z'))}));
    PosixSetWriteBudget(70000);
    Choose("out3");
    EXPECT_EQ(Aborts([] { ExtractChosen(); }), 1);
    PosixSetWriteBudget(UINT64_MAX);
    EXPECT_EQ(Boxes(), Strings{Quoted(dir + "/out3/big", "Write ERROR")});
    EXPECT_EQ(Contents(dir + "/out3/big") + Contents(dir + "/out3/done"), "<missing>ok");
}

TEST_F(Walk, CommandSplittingCutsTheProgramToItsBuffer) {
    char dest[8];
    EXPECT_STREQ(SplitCommand(dest, sizeof dest, " \tsetup.exe  /q x"), "/q x");
    EXPECT_STREQ(dest, "setup.e");   // cut to the buffer, the split unchanged
}

}  // namespace
