// The two walks: preflight (notice, settings, integrity sum), extraction (files, the
// overwrite policy, CRC and close failures, progress, the closing command) and the
// faults that end a walk or the process.
#include <sys/stat.h>
#include <sys/time.h>

#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

using lzh::Member;
using lzh::StoredMember;

class Walk : public SfxRun {
protected:
    bool Preflight() { return WalkArchive(nullptr, PreflightPass); }
    std::string Out(const std::string& name) { return dir + "/out/" + name; }
    static time_t MTime(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
    }
    std::vector<std::string> ItemTexts(int32_t id) {
        std::vector<std::string> out;
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::ItemText && e.id == id) out.push_back(e.text);
        return out;
    }
};

TEST_F(Walk, PreflightNoticeSettingsAndChecksum) {
    lzh::SfxConfig c;
    c.archiveFlags = 4;
    std::vector<Member> members = {lzh::SettingsMember("$WindowTitle=Setup\r\n$Flag=3\r\n"),
                                   StoredMember("a.txt", TextBytes("aaa")), lzh::NoticeMember("Agree?\nReally?")};
    Prepare(WriteImage(members, c));
    PosixQueueAnswer(PortIdYes);
    EXPECT_TRUE(Preflight());
    ASSERT_EQ(PosixTranscript().size(), 1u);
    const PosixEvent& notice = PosixTranscript()[0];
    EXPECT_EQ(notice.text, "Agree?\nReally?");
    EXPECT_EQ(notice.caption, "Setup");   // the settings came first
    EXPECT_EQ(notice.style, 0x2024u);
    EXPECT_EQ(notice.owner, nullptr);
    EXPECT_EQ(AutoStart, 1);
    EXPECT_EQ(OverwriteAll, 1);
    EXPECT_EQ(Ws->ArchiveFile, PortInvalidFile);
    EXPECT_EQ(Ws->Header, nullptr);

    // No: the walk reads on, but a later settings member is not applied.
    members.push_back(lzh::SettingsMember("$WindowTitle=Later"));
    Prepare(WriteImage(members, c));
    PosixClearTranscript();
    PosixQueueAnswer(PortIdNo);
    EXPECT_FALSE(Preflight());
    EXPECT_STREQ(Ws->Config.WindowTitle, "Setup");
    EXPECT_EQ(Boxes().size(), 1u);

    // One member's CRC changed in its header (the header CRC still right): tampered.
    members.pop_back();
    members[1].dataCrc ^= 1;
    lzh::Bytes archive = lzh::WriteArchive(members, true);
    members[1].dataCrc ^= 1;
    uint16_t sum = lzh::ChecksumOf(members);
    archive[0] = uint8_t(sum), archive[1] = uint8_t(sum >> 8);
    Prepare(WriteImage(archive, c));
    PosixClearTranscript();
    EXPECT_FALSE(Preflight());
    EXPECT_EQ(Boxes().back(), Quoted(Image(), "Tampered DATA"));
    // Without the flag the same bytes after the checksum position are just members.
    c.archiveFlags = 0x30;
    Prepare(WriteImage(members, c));
    PosixClearTranscript();
    EXPECT_TRUE(Preflight());
}

TEST_F(Walk, CaptureKeepsTheStartOfTheText) {
    // A notice of 70000 bytes arrives in two chunks; the box shows its first 1023 bytes.
    std::string notice;
    for (int i = 0; notice.size() < 70000; i++) notice += "line " + std::to_string(i) + "\n";
    std::string settings = "$Command=run.exe\n" + std::string(5000, 'x') + "\n$Flag=2\n";
    Prepare(WriteImage({lzh::NoticeMember(notice), lzh::SettingsMember(settings),
                        StoredMember("!", TextBytes(std::string("short\0hidden", 12)))}));
    EXPECT_TRUE(Preflight());
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], notice.substr(0, 1023));
    EXPECT_EQ(boxes[1], "short");
    EXPECT_STREQ(Ws->Config.Command, "run.exe");
    EXPECT_EQ(OverwriteAll, 0);   // beyond the 4095 bytes kept
}

TEST_F(Walk, ArchiveFaultsEndTheWalk) {
    // No archiver wrote the block: the walk reads the image's start as a header.
    lzh::Bytes mz(3000, 0);
    mz[0] = 'M', mz[1] = 'Z';
    lzh::WriteFile(dir + "/setup.exe", mz);
    Prepare(Image());
    EXPECT_STREQ(Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
    EXPECT_FALSE(Preflight());
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(Image(), "Bad header")});

    struct Case {
        const char* what;
        std::function<void(lzh::Bytes&)> spoil;
        const char* message;
    };
    lzh::Bytes good = lzh::WriteArchive({StoredMember("a", TextBytes("hello")), StoredMember("b", lzh::Bytes(20, 'x'))}, false);
    const size_t second = 1232 + good[0] + 5;
    // Header CRC as the writer places it: the first extended header, data at 27.
    auto patchSecond = [second](lzh::Bytes& img, size_t at, uint8_t value) {
        uint8_t* h = &img[second];
        h[at] = value;
        h[27] = h[28] = 0;
        uint16_t crc = lzh::Crc16(h, h[0]);
        h[27] = uint8_t(crc), h[28] = uint8_t(crc >> 8);
    };
    std::vector<Case> cases = {
        {"offset past the end", [](lzh::Bytes& img) { img[512] = 0xF0, img[514] = 0x10; }, "Unexpeted EOF"},
        {"offset of 3 GiB", [](lzh::Bytes& img) { img[515] = 0xC0; }, "Unexpeted EOF"},
        {"member cut short", [&](lzh::Bytes& img) { img.resize(img.size() - 9); }, "Unexpeted EOF"},
        // A packed size of 2^32 - 16 must not move the file backwards (or loop).
        {"packed size wraps", [&](lzh::Bytes& img) {
             for (int i = 0; i < 4; i++) patchSecond(img, HdrPackedSize + i, i ? 0xFF : 0xF0);
         }, "Unexpeted EOF"},
        {"packed size 2 GiB", [&](lzh::Bytes& img) { patchSecond(img, HdrPackedSize + 3, 0x80); }, "Unexpeted EOF"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        lzh::Bytes img;
        lzh::BuildImage(lzh::Bytes(1232, 0), {}, good, img);
        k.spoil(img);
        lzh::WriteFile(Image(), img);
        Prepare(Image());
        PosixClearTranscript();
        EXPECT_FALSE(Preflight());
        auto boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], Quoted(Image(), k.message));
        EXPECT_EQ(Ws->ArchiveFile, PortInvalidFile);
    }

    // The image itself cannot be opened.
    TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, (dir + "/missing.exe").c_str());
    PosixClearTranscript();
    EXPECT_FALSE(Preflight());
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(dir + "/missing.exe", "Open ERROR")});

    // A stored notice whose data is cut: read fault inside member data aborts with 1.
    lzh::Bytes cut = lzh::WriteArchive({lzh::NoticeMember(std::string(100, 'n'))}, false);
    cut.resize(cut.size() - 50);
    Prepare(WriteImage(cut));
    PosixClearTranscript();
    EXPECT_EQ(Aborts([&] { Preflight(); }), 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(Image(), "Read ERROR")});
}

TEST_F(Walk, ExtractsFilesDirectoriesAndSkipsSpecialMembers) {
    lzh::Bytes big(100000);
    for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i ^ (i >> 8));
    Member withTimes = StoredMember("sub/!", TextBytes("bang"), 1500000000, 0x21);
    withTimes.osId = 'W';
    withTimes.writeWindowsTimes = true;
    withTimes.creationTime = lzh::UnixToFileTime(1400000000);
    withTimes.writeTime = lzh::UnixToFileTime(1450000000);
    withTimes.accessTime = lzh::UnixToFileTime(1460000000);
    lzh::SfxConfig c;
    c.command = "\"my tool.exe\"  -a \"b c\"";
    Prepare(WriteImage({lzh::NoticeMember("hi"), lzh::SettingsMember("$Flag=0"), lzh::DirectoryMember("empty/d/"),
                        StoredMember("big.bin", big, 1600000000), withTimes, StoredMember("zero", {})},
                       c));
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Contents(Out("big.bin")), std::string(big.begin(), big.end()));
    EXPECT_EQ(MTime(Out("big.bin")), 1600000000);
    EXPECT_EQ(Contents(Out("sub/!")), "bang");
    EXPECT_EQ(MTime(Out("sub/!")), 1450000000);
    EXPECT_EQ(Contents(Out("zero")), "");
    struct stat st;
    EXPECT_EQ(stat(Out("empty/d").c_str(), &st), 0);
    EXPECT_NE(Contents(Out("!")), "hi");
    EXPECT_EQ(Contents(Out("$")), "<missing>");
    EXPECT_TRUE(Boxes().empty());

    // Progress of the 100000-byte member: 0, then 65 after the first chunk, then 100.
    auto percent = ItemTexts(IdProgressPercent);
    std::vector<std::string> bigProgress(percent.begin() + 1, percent.begin() + 4);
    EXPECT_EQ(bigProgress, (std::vector<std::string>{"Extract... 0%", "Extract... 65%", "Extract... 100%"}));
    EXPECT_EQ(percent.back(), "Extract... 0%");   // total 0

    // The closing command: program without quotes, parameters as written.
    const PosixEvent& shell = PosixTranscript().back();
    ASSERT_EQ(shell.kind, PosixEvent::Shell);
    EXPECT_EQ(shell.text, "my tool.exe");
    EXPECT_EQ(shell.caption, "-a \"b c\"");
    EXPECT_EQ(shell.extra, dir + "/out");
}

TEST_F(Walk, OverwritePolicy) {
    const uint32_t stamp = 1600000000;
    Prepare(WriteImage({StoredMember("a", TextBytes("new a"), stamp), StoredMember("b", TextBytes("new b"), stamp),
                        StoredMember("c", TextBytes("new c"), stamp)}));
    auto existing = [&](const std::string& name, time_t mtime) {
        lzh::WriteFile(Out(name), TextBytes("old"));
        struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        utimes(Out(name).c_str(), tv);
    };
    mkdir((dir + "/out").c_str(), 0755);
    existing("a", stamp);
    existing("b", stamp - 1);
    // Asked for each: No keeps a, Yes replaces b, c is new.
    PosixQueueAnswer(PortIdNo);
    PosixQueueAnswer(PortIdYes);
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Quoted(Out("a"), "Overwrite?"), Quoted(Out("b"), "Overwrite?")}));
    EXPECT_EQ(PosixTranscript()[2].style, 0x2023u);
    EXPECT_EQ(Contents(Out("a")) + Contents(Out("b")) + Contents(Out("c")), "oldnew bnew c");

    // Not newer: equal time skipped silently, one second older replaced without asking.
    SkipIfNotNewer = 1;
    OverwriteAll = 1;
    existing("a", stamp);
    existing("b", stamp - 1);
    PosixClearTranscript();
    EXPECT_TRUE(Extract("out"));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Contents(Out("a")) + Contents(Out("b")), "oldnew b");

    // Cancel ends the walk: no message, nothing after it, no command.
    SkipIfNotNewer = OverwriteAll = 0;
    TextCopy(Ws->Config.Command, sizeof Ws->Config.Command, "run");
    existing("a", stamp);
    unlink(Out("b").c_str());
    PosixClearTranscript();
    PosixQueueAnswer(PortIdCancel);
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Contents(Out("b")), "<missing>");
    EXPECT_NE(PosixTranscript().back().kind, PosixEvent::Shell);

    // A read-only file with RestoreAttributes: reset, replaced, archived attributes set.
    Ws->Config.RestoreAttributes = 1;
    OverwriteAll = 1;
    chmod(Out("a").c_str(), 0444);
    PosixClearTranscript();
    EXPECT_TRUE(Extract("out"));
    EXPECT_EQ(Contents(Out("a")), "new a");
    // Without it the read-only file cannot be created.
    Ws->Config.RestoreAttributes = 0;
    chmod(Out("a").c_str(), 0444);
    PosixClearTranscript();
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(Out("a"), "Open ERROR")});
}

TEST_F(Walk, OutputFailures) {
    Member bad = StoredMember("bad", TextBytes("payload"));
    bad.dataCrc ^= 0x100;
    lzh::SfxConfig c;
    c.command = "never";
    Prepare(WriteImage({StoredMember("first", TextBytes("1")), bad, StoredMember("after", TextBytes("2"))}, c));
    EXPECT_FALSE(Extract("out"));
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(Out("bad"), "CRC ERROR")});
    EXPECT_EQ(Contents(Out("first")), "1");
    EXPECT_EQ(Contents(Out("bad")), "<missing>");
    EXPECT_EQ(Contents(Out("after")), "<missing>");
    EXPECT_NE(PosixTranscript().back().kind, PosixEvent::Shell);

    PosixClearTranscript();
    PosixFailClose(true);
    EXPECT_FALSE(Extract("out2"));
    PosixFailClose(false);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(dir + "/out2/first", "Close ERROR")});
    EXPECT_EQ(Contents(dir + "/out2/first"), "<missing>");

    // A full volume: the partly written file is deleted and the process ends with 1.
    Prepare(WriteImage({StoredMember("done", TextBytes("ok")), StoredMember("big", lzh::Bytes(200000, 'z'))}));
    PosixClearTranscript();
    PosixSetWriteBudget(70000);
    Choose("out3");
    EXPECT_EQ(Aborts([&] { ExtractChosen(); }), 1);
    PosixSetWriteBudget(UINT64_MAX);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Quoted(dir + "/out3/big", "Write ERROR")});
    EXPECT_EQ(Contents(dir + "/out3/big"), "<missing>");
    EXPECT_EQ(Contents(dir + "/out3/done"), "ok");

    // Cancel pressed while the progress line shows 65%: abort with 1, file deleted.
    PosixClearTranscript();
    PosixSetItemTextHook([](int32_t id, const char* text) {
        if (id == IdProgressPercent && std::string(text) == "Extract... 32%") Ws->CancelRequested = 1;
    });
    Choose("out4");
    EXPECT_EQ(Aborts([&] { ExtractChosen(); }), 1);
    PosixSetItemTextHook(nullptr);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Contents(dir + "/out4/big"), "<missing>");
    EXPECT_EQ(Ws->OutputFile, PortInvalidFile);
    EXPECT_EQ(Ws->ArchiveFile, PortInvalidFile);
}

TEST_F(Walk, ProgressAndCommandSplitting) {
    Prepare(dir + "/none");
    auto percent = [&](uint32_t done, uint32_t total) {
        PosixClearTranscript();
        ReportProgress(done, total);
        auto texts = ItemTexts(IdProgressPercent);
        return texts.empty() ? std::string() : texts.back();
    };
    EXPECT_EQ(percent(0, 0), "Extract... 0%");
    EXPECT_EQ(percent(1, 99), "Extract... 100%");
    EXPECT_EQ(percent(199, 200), "Extract... 99%");
    EXPECT_EQ(percent(0xFFFFFFFF, 0xFFFFFFFF), "Extract... 100%");

    char dest[8];
    const char* rest = SplitCommand(dest, sizeof dest, " \tsetup.exe  /q x");
    EXPECT_STREQ(dest, "setup.e");   // cut to the buffer, the split unchanged
    EXPECT_STREQ(rest, "/q x");
    rest = SplitCommand(dest, sizeof dest, "\"unclosed");
    EXPECT_STREQ(dest, "unclose");
    EXPECT_STREQ(rest, "");
    rest = SplitCommand(dest, sizeof dest, "one");
    EXPECT_STREQ(dest, "one");
    EXPECT_STREQ(rest, "");
}

}  // namespace
