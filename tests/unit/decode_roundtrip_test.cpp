// Members packed by independent encoders decode to their originals, and damaged
// streams end the same way in DecodeMember's fast loop as in the field-by-field
// reading: same bytes, same hand-overs, same message, same place in the file.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "decode_support.h"
#include "lzh/archive_writer.h"
#include "lzh/encoder.h"
#include "port/posix_port.h"
#include "sfx/startup.h"

namespace {

using Bytes = std::vector<uint8_t>;
using decode_support::FoundMember;
using decode_support::Trace;

Bytes SampleData(std::mt19937& rng, size_t size, int kind) {
    Bytes d(size);
    static const char* words[] = {"window ", "table ", "the ", "of ", "member\n", "archive ", "code ", "0x1F, "};
    size_t i = 0;
    while (i < size) {
        if (kind == 0) {   // text
            for (const char* w = words[rng() % 8]; *w && i < size; w++) d[i++] = (uint8_t)*w;
        } else if (kind == 1) {   // binary with structure: runs, repeats and noise
            uint32_t r = rng() % 4, n = 1 + rng() % 300;
            for (uint32_t k = 0; k < n && i < size; k++, i++)
                d[i] = r == 0 ? 0 : r == 1 && i > 5000 ? d[i - 4999] : (uint8_t)(rng() >> (r * 3));
        } else {
            i = size;   // zeros
        }
    }
    return d;
}

// Outcome of decoding one member one way.
struct Outcome {
    int status = -1;        // AbortRun's status, -1 when it returned
    std::string box;
    Bytes bytes;            // what reached the sink
    uint32_t filePosition = 0, doneCount = 0, crc = 0;
    int32_t windowFill = 0, packedLeft = 0;
    uint16_t bitBuf = 0;
    std::vector<std::string> progress;
};

class DecodeRoundTrip : public ::testing::Test {
protected:
    std::string dir;
    jmp_buf trap;

    void SetUp() override {
        PosixResetPort();
        char tmpl[] = "/tmp/varnex_roundtrip_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        PosixSetExitTrap(nullptr);
        if (Ws) PortFree(Ws);
        Ws = nullptr;
        (void)system(("rm -rf '" + dir + "'").c_str());
    }

    // A fresh workspace over `file`, positioned at offset with `header`.
    void Start(const std::string& file, size_t offset, Bytes& header) {
        if (Ws) PortFree(Ws);
        Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
        snprintf(Ws->ImagePath, sizeof Ws->ImagePath, "%s", file.c_str());
        snprintf(Ws->TargetPath, sizeof Ws->TargetPath, "%s/out.bin", dir.c_str());
        BuildCrcTable(0xA001);
        PosixClearTranscript();
        Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
        PortSeek(Ws->ArchiveFile, (int32_t)offset, 0);
        Ws->Header = header.data();
        Ws->InPos = 0xFFFFFFFFu;
        Ws->OutputFile = PortInvalidFile;
    }
    Outcome Finish(int status, size_t offset) {
        Outcome o;
        o.status = status;
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::MessageBox) o.box = e.text;
        o.filePosition = PortSeek(Ws->ArchiveFile, 0, 1) - (uint32_t)offset;
        o.doneCount = Ws->DoneCount;
        o.windowFill = Ws->WindowFill;
        o.packedLeft = Ws->PackedLeft;
        o.bitBuf = Ws->BitBuf;
        o.crc = Ws->Crc;
        PortClose(Ws->ArchiveFile);
        return o;
    }
    template <class F> int Trapped(F f) {
        PosixSetExitTrap(&trap);
        int status = setjmp(trap) == 0 ? (f(), -1) : PosixExitStatus();
        PosixSetExitTrap(nullptr);
        return status;
    }

    Outcome Fast(const std::string& file, size_t offset, Bytes header) {
        Start(file, offset, header);
        Ws->OutputFile = PortCreateOutput(Ws->TargetPath);
        // A second name keeps what was written before an abort deletes the file.
        std::string kept = dir + "/kept.bin";
        unlink(kept.c_str());
        EXPECT_EQ(link(Ws->TargetPath, kept.c_str()), 0);
        int status = Trapped([] { DecodeMember(); });
        if (status == -1) PortCloseFile(Ws->OutputFile);
        Outcome o = Finish(status, offset);
        lzh::ReadFile(kept, o.bytes);
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::ItemText && e.id == 102) o.progress.push_back(e.text);
        return o;
    }
    Outcome Reference(const std::string& file, size_t offset, Bytes header) {
        Start(file, offset, header);
        Trace t;
        int status = Trapped([&] { decode_support::ReferenceDecode(t); });
        Outcome o = Finish(status, offset);
        o.bytes = t.bytes;
        o.crc = lzh::Crc16(t.bytes);
        uint32_t total = Ws->OrigSize;
        for (uint32_t done : t.progress) {
            uint32_t q = total / 100, percent = total == 0 ? 0 : q == 0 ? 100 : std::min(done / q, 100u);
            o.progress.push_back("Extract... " + std::to_string(percent) + "%");
        }
        return o;
    }

    // Decodes every compressed member of an archive file both ways; the fast result
    // must equal the original (when given) and the reference in every respect.
    void CheckArchive(const std::string& file, const std::vector<Bytes>* originals, bool intact = true) {
        Bytes archive;
        ASSERT_TRUE(lzh::ReadFile(file, archive));
        std::vector<FoundMember> members = decode_support::ListMembers(archive);
        ASSERT_FALSE(members.empty()) << file;
        for (size_t i = 0; i < members.size(); i++) {
            const FoundMember& m = members[i];
            char method = (char)m.header[HdrMethodChar];
            if (method < '4' || method > '7') continue;
            Outcome fast = Fast(file, m.dataOffset, m.header);
            Outcome ref = Reference(file, m.dataOffset, m.header);
            SCOPED_TRACE(file + " member " + m.name);
            if (intact) {
                ASSERT_EQ(fast.status, -1) << fast.box;
                EXPECT_EQ(fast.crc, GetU16(&m.header[HdrDataCrc]));
                EXPECT_EQ(fast.filePosition, GetU32(&m.header[HdrPackedSize]));
            }
            if (originals) EXPECT_TRUE(fast.bytes == (*originals)[i]);
            // What can be seen: the message, and the bytes and progress reports before it.
            EXPECT_EQ(fast.status, ref.status);
            EXPECT_EQ(fast.box, ref.box);
            EXPECT_TRUE(fast.bytes == ref.bytes);
            EXPECT_EQ(fast.progress, ref.progress);
            if (fast.status == -1) {
                EXPECT_EQ(fast.crc, ref.crc);
                EXPECT_EQ(fast.filePosition, ref.filePosition);
                EXPECT_EQ(fast.doneCount, ref.doneCount);
                EXPECT_EQ(fast.windowFill, ref.windowFill);
                EXPECT_EQ(fast.packedLeft, ref.packedLeft);
                EXPECT_EQ(fast.bitBuf, ref.bitBuf);
            }
        }
    }
};

TEST_F(DecodeRoundTrip, MembersOfOurEncoderInAllFourMethods) {
    std::mt19937 rng(4);
    std::vector<lzh::Member> members;
    std::vector<Bytes> originals;
    const size_t sizes[] = {0, 1, 100, 65535, 65536, 65537, 140000, 300000};
    for (int n = 0; n < 16; n++) {
        size_t size = n < 8 ? sizes[n] : rng() % 300000;
        Bytes data = SampleData(rng, size, n % 3);
        char method = "4567"[n % 4];
        lzh::Member m;
        m.name = "m" + std::to_string(n);
        m.method = method;
        // "-lh4-" shares the format of "-lh5-"; the decoder only sees the label.
        m.packed = lzh::Compress(data.data(), data.size(), method == '4' ? '5' : method, 1 + n % 9);
        m.unpackedSize = (uint32_t)data.size();
        m.dataCrc = lzh::Crc16(data);
        members.push_back(m);
        originals.push_back(data);
    }
    std::string file = dir + "/ours.lzh";
    ASSERT_TRUE(lzh::WriteFile(file, lzh::WriteArchive(members, false)));
    CheckArchive(file, &originals);
}

TEST_F(DecodeRoundTrip, MembersOfAnIndependentEncoder) {
    std::mt19937 rng(7);
    std::vector<Bytes> originals;
    std::string names;
    for (int n = 0; n < 6; n++) {
        Bytes data = SampleData(rng, n == 0 ? 0 : rng() % 300000, n % 3);
        std::string name = "f" + std::to_string(n);
        ASSERT_TRUE(lzh::WriteFile(dir + "/" + name, data));
        originals.push_back(data);
        names += " " + name;
    }
    for (char method : {'5', '6', '7'}) {
        std::string archive = std::string("j") + method + ".lzh";
        std::string cmd = "cd '" + dir + "' && jlha a2o" + method + "q " + archive + names + " >/dev/null 2>&1";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        // The encoder stores what does not shrink; only compressed members are checked.
        Bytes bytes;
        ASSERT_TRUE(lzh::ReadFile(dir + "/" + archive, bytes));
        std::vector<FoundMember> found = decode_support::ListMembers(bytes);
        ASSERT_EQ(found.size(), originals.size());
        CheckArchive(dir + "/" + archive, &originals);
    }
}

TEST_F(DecodeRoundTrip, CorpusArchivesDecodeToWhatLhasaExtracts) {
    // (The OS-9/68k archive is left out: its extended headers run two bytes past its
    // header size, and the header reader refuses it before any data is decoded.)
    const char* files[] = {"mac_h2_lh5.lzh", "mac_h2_nm_lh5.lzh", "x68k_h2_lh5.lzh", "atari_h2_lh5_no_header_crc.lzh"};
    for (const char* name : files) {
        std::string file = std::string(VARNEX_CORPUS_DIR) + "/" + name;
        std::string out = dir + "/lhasa.out";
        ASSERT_EQ(system(("lhasa pq '" + file + "' > '" + out + "'").c_str()), 0);
        Bytes extracted, archive;
        ASSERT_TRUE(lzh::ReadFile(out, extracted));
        ASSERT_TRUE(lzh::ReadFile(file, archive));
        CheckArchive(file, nullptr);
        FoundMember m = decode_support::ListMembers(archive).at(0);
        Bytes ours = Fast(file, m.dataOffset, m.header).bytes;
        // One Mac member is a MacBinary file (128-byte header, data fork padded to 128);
        // lhasa prints its data fork.
        size_t at = ours.size() == extracted.size() ? 0 : 128;
        ASSERT_GE(ours.size(), at + extracted.size()) << name;
        EXPECT_TRUE(Bytes(ours.begin() + (long)at, ours.begin() + (long)(at + extracted.size())) == extracted) << name;
    }
}

// Damage: truncation, flipped bits, a wrong packed size. Every outcome is a
// message, a CRC that differs, or (rarely) the same bytes, never a crash or a hang;
// and the fast loop ends exactly as the field-by-field reading does.
TEST_F(DecodeRoundTrip, DamagedStreamsEndAsTheFieldByFieldReadingEnds) {
    std::mt19937 rng(11);
    Bytes data = SampleData(rng, 120000, 1);
    lzh::Member m;
    m.name = "d";
    m.method = '6';
    m.packed = lzh::Compress(data.data(), data.size(), '6', 5);
    m.unpackedSize = (uint32_t)data.size();
    m.dataCrc = lzh::Crc16(data);
    Bytes good = lzh::WriteArchive({m}, false);
    size_t dataStart = good.size() - 1 - m.packed.size();
    std::string file = dir + "/bad.lzh";
    int reported = 0, wrong = 0;
    for (int round = 0; round < 60; round++) {
        Bytes bad = good;
        if (round < 8) {
            bad.resize(dataStart + m.packed.size() * round / 8);   // short archive
        } else if (round < 12) {
            PutU32(&bad[HdrPackedSize], (uint32_t)m.packed.size() - 1000 * (round - 7));   // packed size too small
        } else {
            for (int k = 0; k <= round % 4; k++)
                bad[dataStart + rng() % m.packed.size()] ^= (uint8_t)(1u << (rng() % 8));
        }
        ASSERT_TRUE(lzh::WriteFile(file, bad));
        SCOPED_TRACE("round " + std::to_string(round));
        CheckArchive(file, nullptr, false);
        Outcome o = Fast(file, dataStart, Bytes(bad.begin(), bad.begin() + (long)dataStart));
        if (o.status == 1) reported++;
        else if (o.crc != m.dataCrc) wrong++;
        if (round < 8) EXPECT_EQ(o.box, "\"" + file + "\" Read ERROR");
        if (o.status == -1) EXPECT_LE(o.filePosition, GetU32(&bad[HdrPackedSize]));
    }
    EXPECT_GT(reported, 8);
    EXPECT_GT(wrong, 0);
}

// Tables a damaged stream can make: a count above 510, a zero run past the last
// entry, single symbols outside their alphabets, an empty code whose table still
// holds an earlier one. All end in "Bad table" or in bytes, within the arrays.
TEST_F(DecodeRoundTrip, ImpossibleTablesAreRejectedOrStayInsideTheArrays) {
    using decode_support::BitWriter;
    struct Case { const char* what; std::function<void(BitWriter&)> write; bool rejected; };
    auto header = [](BitWriter& w, uint32_t count) {
        w.Put(count, 16);
        w.Put(3, 5);              // code-length code: symbols 0-2, lengths 1, 2, 2
        w.Put(1, 3), w.Put(2, 3), w.Put(2, 3), w.Put(0, 2);
    };
    const Case cases[] = {
        {"literal count 511", [&](BitWriter& w) { header(w, 1); w.Put(511, 9); }, true},
        {"zero run past entry 509",
         [&](BitWriter& w) { header(w, 1); w.Put(500, 9); w.Put(0b11, 2); w.Put(0x1FF, 9); }, true},
        {"literal single symbol 511",
         [&](BitWriter& w) { header(w, 1); w.Put(0, 9); w.Put(511, 9); w.Put(0, 4); w.Put(0, 4); }, true},
        {"code-length single symbol 25",
         [&](BitWriter& w) { w.Put(1, 16); w.Put(0, 5); w.Put(25, 5); w.Put(3, 9); }, true},
        {"position single symbol 15 of 14",
         [&](BitWriter& w) {
             header(w, 2); w.Put(0, 9); w.Put(300, 9); w.Put(0, 4); w.Put(15, 4);
         }, true},
        {"empty literal code over a table never built",
         [&](BitWriter& w) { header(w, 9); w.Put(3, 9); w.Put(0, 3); w.Put(0, 4); w.Put(0, 4); }, false},
        {"empty position code over the code-length table",
         [&](BitWriter& w) {
             header(w, 9); w.Put(0, 9); w.Put(256, 9); w.Put(2, 4); w.Put(0, 3); w.Put(0, 3);
         }, false},
    };
    for (const Case& c : cases) {
        BitWriter w;
        c.write(w);
        for (int i = 0; i < 64; i++) w.Put(0xA5, 8);
        lzh::Member m;
        m.name = "t";
        m.method = '5';
        m.packed = w.bytes;
        m.unpackedSize = 1000;
        Bytes archive = lzh::WriteArchive({m}, false);
        std::string file = dir + "/t.lzh";
        ASSERT_TRUE(lzh::WriteFile(file, archive));
        SCOPED_TRACE(c.what);
        CheckArchive(file, nullptr, false);
        size_t dataStart = archive.size() - 1 - m.packed.size();
        Outcome o = Fast(file, dataStart, Bytes(archive.begin(), archive.begin() + (long)dataStart));
        if (c.rejected) EXPECT_EQ(o.box, "\"" + file + "\" Bad table");
    }
}

}  // namespace
