// The decompressor: the bit input, the canonical tables, hand-made block streams,
// members of independent encoders, and damaged streams, which must end the same way in
// DecodeMember's fast loop as in the field-by-field reading (decode_support.h).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "decode_support.h"
#include "lzh/encoder.h"
#include "sfx_fixture.h"

namespace {

using decode_support::BitWriter;
using decode_support::FoundMember;
using Bytes = std::vector<uint8_t>;

// What one decoding leaves that can be seen: the message, the bytes and progress
// reports handed over until then; after a normal end also the bit input's state.
struct Outcome {
    int status = -1;   // AbortRun's status, -1 when the decoder returned
    std::string box;
    Bytes bytes;
    std::vector<std::string> progress;
    uint32_t position = 0, done = 0, crc = 0;
    int32_t fill = 0, packedLeft = 0;
    uint16_t bitBuf = 0;
};

// Every progress report as its percentage, whether or not the progress line changed.
std::vector<std::string> Reports;

class Decoder : public SfxRun {
protected:
    std::string image;
    Bytes header = Bytes(26);
    size_t offset = 0;

    void SetUp() override {
        SfxRun::SetUp();
        image = dir + "/image.bin";
        Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
        snprintf(Ws->ImagePath, sizeof Ws->ImagePath, "%s", image.c_str());
    }
    void TearDown() override {
        PortClose(Ws->ArchiveFile);
        Ws->Header = nullptr;   // the test's own buffer, not the allocator's
        SfxRun::TearDown();
    }

    // A fresh workspace as the walk leaves it before the member's data: the image
    // open at `at`, the header set, the input buffer empty, no output.
    void Start(const Bytes& memberHeader, size_t at) {
        PortClose(Ws->ArchiveFile);
        memset(Ws, 0, sizeof *Ws);
        snprintf(Ws->ImagePath, sizeof Ws->ImagePath, "%s", image.c_str());
        snprintf(Ws->TargetPath, sizeof Ws->TargetPath, "%s/out.bin", dir.c_str());
        BuildCrcTable(0xA001);
        PosixClearTranscript();
        header = memberHeader;
        offset = at;
        Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
        PortSeek(Ws->ArchiveFile, (int32_t)at, 0);
        Ws->Header = header.data();
        Ws->InPos = 0xFFFFFFFFu;
        Ws->OutputFile = PortInvalidFile;
    }
    // An image that holds only this member's packed data (and what follows it).
    void Member(const Bytes& file, char method, uint32_t origSize, uint32_t packedSize = 0xFFFFFFFFu) {
        ASSERT_TRUE(lzh::WriteFile(image, file));
        Bytes h(26);
        h[HdrMethodChar] = (uint8_t)method;
        PutU32(&h[HdrPackedSize], packedSize == 0xFFFFFFFFu ? (uint32_t)file.size() : packedSize);
        PutU32(&h[HdrUnpackedSize], origSize);
        Start(h, 0);
    }

    Outcome Finish(int status) {
        Outcome o;
        o.status = status;
        for (const auto& e : PosixTranscript()) {
            if (e.kind == PosixEvent::MessageBox) o.box = e.text;
        }
        o.position = PortSeek(Ws->ArchiveFile, 0, 1) - (uint32_t)offset;
        o.done = Ws->DoneCount;
        o.fill = Ws->WindowFill;
        o.packedLeft = Ws->PackedLeft;
        o.bitBuf = Ws->BitBuf;
        o.crc = Ws->Crc;
        return o;
    }
    // DecodeMember into a file (a second name keeps its bytes when an abort deletes it).
    Outcome Fast() {
        Ws->OutputFile = PortCreateOutput(Ws->TargetPath);
        std::string kept = dir + "/kept.bin";
        unlink(kept.c_str());
        EXPECT_EQ(link(Ws->TargetPath, kept.c_str()), 0);
        WindowSink = DeliverWindow;
        Reports.clear();
        ProgressHook = [](PortWindow) { Reports.push_back("Extract... " + std::to_string(Ws->PercentWanted - 1) + "%"); };
        int status = Aborts([] { DecodeMember(); });
        ProgressHook = nullptr;
        if (status == -1) PortCloseFile(Ws->OutputFile);
        Ws->OutputFile = PortInvalidFile;
        Outcome o = Finish(status);
        o.progress = Reports;
        lzh::ReadFile(kept, o.bytes);
        return o;
    }
    Outcome Reference() {
        decode_support::Trace t;
        int status = Aborts([&] { decode_support::ReferenceDecode(t); });
        Outcome o = Finish(status);
        o.bytes = t.bytes;
        o.crc = lzh::Crc16(t.bytes);
        uint32_t total = Ws->OrigSize, q = total / 100;
        for (uint32_t done : t.progress)
            o.progress.push_back("Extract... " +
                                 std::to_string(total == 0 ? 0 : q == 0 ? 100 : std::min(done / q, 100u)) + "%");
        return o;
    }
    Bytes DecodeToFile() {
        Outcome o = Fast();
        EXPECT_EQ(o.status, -1) << o.box;
        return o.bytes;
    }

    // Decodes every compressed member of the image both ways: the same in every
    // visible respect, and (when intact) the original with its CRC.
    void CheckBothWays(const std::vector<Bytes>* originals, bool intact = true) {
        Bytes archive;
        ASSERT_TRUE(lzh::ReadFile(image, archive));
        std::vector<FoundMember> members = decode_support::ListMembers(archive);
        ASSERT_FALSE(members.empty());
        for (size_t i = 0; i < members.size(); i++) {
            const FoundMember& m = members[i];
            if (m.header[HdrMethodChar] < '4' || m.header[HdrMethodChar] > '7') continue;
            SCOPED_TRACE("member " + m.name);
            Start(m.header, m.dataOffset);
            Outcome fast = Fast();
            Start(m.header, m.dataOffset);
            Outcome ref = Reference();
            if (intact) {
                ASSERT_EQ(fast.status, -1) << fast.box;
                EXPECT_EQ(fast.crc, GetU16(&m.header[HdrDataCrc]));
                EXPECT_EQ(fast.position, GetU32(&m.header[HdrPackedSize]));
            }
            if (originals) EXPECT_TRUE(fast.bytes == (*originals)[i]);
            EXPECT_TRUE(fast.bytes == ref.bytes);
            EXPECT_EQ(std::tie(fast.status, fast.box, fast.progress), std::tie(ref.status, ref.box, ref.progress));
            if (fast.status == -1)
                EXPECT_EQ(std::tie(fast.crc, fast.position, fast.done, fast.fill, fast.packedLeft, fast.bitBuf),
                          std::tie(ref.crc, ref.position, ref.done, ref.fill, ref.packedLeft, ref.bitBuf));
        }
    }
    // An archive of one member; decoding such an image (damaged or not) both ways, then fast.
    static Bytes OneMember(const Bytes& packed, char method, uint32_t size, uint16_t crc = 0) {
        lzh::Member m;
        m.name = "m";
        m.method = method;
        m.packed = packed;
        m.unpackedSize = size;
        m.dataCrc = crc;
        return lzh::WriteArchive({m}, false);
    }
    Outcome DecodeImage(const Bytes& archive, size_t start) {
        EXPECT_TRUE(lzh::WriteFile(image, archive));
        CheckBothWays(nullptr, false);
        Start(Bytes(archive.begin(), archive.begin() + (long)start), start);
        return Fast();
    }
    std::string Expected(const char* message) const { return "\"" + image + "\" " + message; }
    static std::string LastBox() { return Boxes().empty() ? "" : Boxes().back(); }
    uint32_t FilePosition() const { return PortSeek(Ws->ArchiveFile, 0, 1); }
};

// ---- hand-made blocks -------------------------------------------------------------------

// Canonical codes for a list of lengths, as the decoder's tables assign them.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (int len = 1; len <= 16; len++) {
        for (size_t s = 0; s < lengths.size(); s++)
            if (lengths[s] == len) codes[s] = code++;
        code <<= 1;
    }
    return codes;
}

void PutPosLength(BitWriter& w, int len) {
    if (len < 7) return w.Put((uint32_t)len, 3);
    w.Put(7, 3);
    for (int i = 7; i < len; i++) w.Put(1, 1);
    w.Put(0, 1);
}

// A block whose literal/length code has the given lengths (510 entries or fewer) and
// whose position code is either explicit or a single symbol (posLengths empty). The
// code-length code gives symbols 0-12 four bits and 13-18 five bits, so every length
// and every run can be written.
struct Block {
    BitWriter& w;
    std::vector<int> lit, pos;
    std::vector<uint32_t> litCodes, posCodes, clCodes;
    uint32_t posBits;
    Block(BitWriter& writer, uint32_t count, std::vector<int> litLengths, std::vector<int> posLengths,
          uint32_t posCountBits, uint32_t singlePos = 0)
        : w(writer), lit(std::move(litLengths)), pos(std::move(posLengths)), posBits(posCountBits) {
        std::vector<int> cl(19, 4);
        for (int s = 13; s < 19; s++) cl[s] = 5;
        clCodes = CanonicalCodes(cl);
        w.Put(count, 16);
        w.Put(19, 5);
        for (int i = 0; i < 19; i++) {
            w.Put((uint32_t)cl[i], 3);
            if (i == 2) w.Put(0, 2);   // the zero run after the third length
        }
        w.Put((uint32_t)lit.size(), 9);
        for (size_t i = 0; i < lit.size(); i++) Cl(lit[i] ? lit[i] + 2 : 0);
        litCodes = CanonicalCodes(lit);
        if (pos.empty()) {
            w.Put(0, posCountBits);
            w.Put(singlePos, posCountBits);
        } else {
            w.Put((uint32_t)pos.size(), posCountBits);
            for (int len : pos) PutPosLength(w, len);
            posCodes = CanonicalCodes(pos);
        }
    }
    void Cl(int symbol) { w.Put(clCodes[symbol], symbol < 13 ? 4 : 5); }
    void Literal(int s) { w.Put(litCodes[s], (uint32_t)lit[s]); }
    // A match of length 3-256; the position symbol is explicit unless the code is single.
    void Match(int length, uint32_t position) {
        Literal(length + 253);
        uint32_t j = 0;
        while ((2u << j) <= position) j++;
        j = position < 2 ? position : j + 1;
        if (!pos.empty()) w.Put(posCodes[j], (uint32_t)pos[j]);
        if (j >= 2) w.Put(position - (1u << (j - 1)), j - 1);
    }
};

std::vector<int> LiteralLengths(std::initializer_list<std::pair<int, int>> symbols) {
    std::vector<int> lengths(510, 0);
    for (auto [s, len] : symbols) lengths[s] = len;
    return lengths;
}

// ---- the bit input and the tables ---------------------------------------------------

TEST_F(Decoder, BitInputReadsPiecesOfTheMemberOnlyThenZerosAndFailsOnAShortFile) {
    Bytes packed(40000);
    for (size_t i = 0; i < packed.size(); i++) packed[i] = (uint8_t)(i * 7 + (i >> 9));
    Bytes file = packed;
    file.insert(file.end(), 100, 0xFF);   // the next member
    Member(file, '5', 0, 40000);
    Ws->PackedLeft = 40000;
    BeginMemberDecode('5');
    EXPECT_EQ(FilePosition(), 16384u);
    EXPECT_EQ(TakeBits(0), 0);
    EXPECT_EQ(Ws->BitBuf, (packed[0] << 8) | packed[1]);
    AdvanceBits(17);
    EXPECT_EQ(Ws->BitBuf, (uint16_t)(((packed[2] << 16) | (packed[3] << 8) | packed[4]) >> 7));
    AdvanceBits(7);
    for (size_t i = 3; i + 1 < packed.size(); i += 2) {
        ASSERT_EQ(TakeBits(16), (packed[i] << 8) | packed[i + 1]) << i;
        if (i == 16383) EXPECT_EQ(FilePosition(), 32768u);
    }
    EXPECT_EQ(TakeBits(16), packed.back() << 8);
    EXPECT_EQ(TakeBits(16), 0);
    EXPECT_EQ(FilePosition(), 40000u);

    Member(Bytes(20000, 0x5A), '5', 100, 40000);
    Ws->PackedLeft = 40000;
    BeginMemberDecode('5');
    EXPECT_EQ(Aborts([] { for (;;) AdvanceBits(16); }), 1);
    EXPECT_EQ(LastBox(), Expected("Read ERROR"));

    Member(Bytes(8, 0xFF), '6', 0, 0);
    BeginMemberDecode('6');
    EXPECT_EQ(TakeBits(16), 0);
    EXPECT_EQ(FilePosition(), 0u);
}

TEST_F(Decoder, TablesThatAreIncompleteOverFullOrTooLongAreRejected) {
    const std::vector<uint8_t> cases[] = {{1, 0, 0}, {1, 1, 1, 1}, {1, 2, 17, 17}, {2, 2, 2}};
    for (const auto& lengths : cases) {
        std::vector<uint16_t> table(256);   // exactly the table: the sanitizer sees any overrun
        EXPECT_EQ(Aborts([&] { BuildDecodeTable((uint16_t)lengths.size(), lengths.data(), 8, table.data()); }), 1);
        EXPECT_EQ(LastBox(), Expected("Bad table"));
    }
}

TEST_F(Decoder, LengthListsWithZeroRunsUnaryLengthsAndSurplusEntries) {
    // Code-length code, count 7 and a zero run of 3 after the third length.
    BitWriter w;
    w.Put(7, 5);
    for (int len : {2, 2, 2}) w.Put((uint32_t)len, 3);
    w.Put(3, 2);
    w.Put(2, 3);
    // Position code of "-lh5-": 15 lengths for 14 symbols, long ones in unary.
    w.Put(15, 4);
    for (int len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13, 9}) PutPosLength(w, len);
    w.Put(0xABCD, 16);
    Member(w.bytes, '5', 0);
    Ws->PackedLeft = (int32_t)w.bytes.size();
    BeginMemberDecode('5');
    ReadPosLengths(19, 5, 3);
    EXPECT_EQ(Bytes(Ws->PosLengths, Ws->PosLengths + 8), Bytes({2, 2, 2, 0, 0, 0, 2, 0}));
    ReadPosLengths(14, 4, -1);
    // [14] is read and stored, but not part of the code.
    EXPECT_EQ(std::make_tuple(Ws->PosLengths[12], Ws->PosLengths[14], Ws->PosTable[254], Ws->PosTable[255], Ws->BitBuf),
              std::make_tuple(13, 9, 7, 14, 0xABCD));
}

// ---- block streams -----------------------------------------------------------------------

TEST_F(Decoder, SingleSymbolCodesCostNoBits) {
    // Blocks whose three codes each have one symbol, back to back: the first block's
    // literal is read over the second header (its count's top bit set) and must take
    // none of it; behind the data the stream reads as zero bits, a block of 0s.
    BitWriter w;
    for (auto [count, symbol] : {std::pair<uint32_t, uint32_t>{1, 'A'}, {0x8001, 'B'}}) {
        w.Put(count, 16);
        w.Put(0, 5), w.Put(0, 5), w.Put(0, 9), w.Put(symbol, 9), w.Put(0, 4), w.Put(0, 4);
    }
    Bytes expected(0x8001, 'B');
    expected.insert(expected.begin(), 'A');
    expected.push_back(0);
    Member(w.bytes, '5', (uint32_t)expected.size());
    EXPECT_TRUE(DecodeToFile() == expected);
    EXPECT_EQ(FilePosition(), w.bytes.size());
}

TEST_F(Decoder, ABlockCountOfZeroMeans65536SymbolsAndFullWindowsAreHandedOver) {
    BitWriter w;
    Block b(w, 0, LiteralLengths({{'B', 1}, {'C', 1}}), {}, 4);
    for (int i = 0; i < 65536; i++) b.Literal(i == 65535 ? 'C' : 'B');
    Member(w.bytes, '5', 65537);
    Bytes expected(65536, 'B');
    expected.back() = 'C';
    expected.push_back(0);
    Outcome o = Fast();
    EXPECT_TRUE(o.bytes == expected);
    EXPECT_EQ(o.crc, lzh::Crc16(expected));
    EXPECT_EQ(o.progress, std::vector<std::string>({"Extract... 100%", "Extract... 100%"}));
}

TEST_F(Decoder, AWindowThatFillsInsideAMatchReportsTheWholeMatch) {
    // 'A', then matches of 256 at position 0; the 256th crosses the window's end.
    BitWriter w;
    Block b(w, 257, LiteralLengths({{'A', 1}, {509, 1}}), {}, 4);
    b.Literal('A');
    for (int i = 0; i < 256; i++) b.Match(256, 0);
    Member(w.bytes, '4', 1 + 256 * 256);
    Outcome o = Fast();
    EXPECT_TRUE(o.bytes == Bytes(1 + 256 * 256, 'A'));
    // 65537 done of 65537 at the first hand-over (65281 before the match would be 99%).
    EXPECT_EQ(o.progress, std::vector<std::string>({"Extract... 100%", "Extract... 100%"}));
}

TEST_F(Decoder, Position65535ReachesTheByteWritten65536BytesEarlier) {
    for (char method : {'6', '7'}) {
        BitWriter w;
        Block b(w, 3, LiteralLengths({{'x', 1}, {509, 1}}), {}, 5, 16);   // position symbol 16 only
        b.Literal('x');
        b.Match(256, 65535);
        b.Match(256, 40000);
        Member(w.bytes, method, 1 + 512);
        // The window is not cleared between members: what an earlier one left is there.
        Bytes window(65536);
        for (int i = 0; i < 65536; i++) Ws->Window[i] = window[i] = (uint8_t)(i * 31 + (i >> 8));
        Bytes expected = {'x'};
        window[0] = 'x';
        for (uint32_t position : {65535u, 40000u})
            for (int i = 0; i < 256; i++) {
                uint32_t at = (uint32_t)expected.size();
                expected.push_back(window[at] = window[(at - position - 1) & 0xFFFF]);
            }
        EXPECT_TRUE(DecodeToFile() == expected) << method;
    }
}

// A last match that runs past the recorded size: exactly OrigSize bytes reach the sink
// (and the CRC), both ways, in the run loop, at the window's end, and across a hand-over.
TEST_F(Decoder, ALastMatchThatRunsPastTheSizeIsCutAtIt) {
    struct Case {
        uint8_t byte;
        uint32_t matches, over;   // matches of 256 after one literal; bytes past the size
    } cases[] = {{'A', 1, 1}, {0, 1, 1}, {'A', 2, 255}, {0, 2, 200},
                 {'A', 256, 10}, {0, 256, 1}, {'A', 256, 255},   // the last match crosses the window's end
                 {'A', 257, 255}};                                // the member ends at the window's end
    for (const Case& k : cases) {
        BitWriter w;
        Block b(w, 1 + k.matches, LiteralLengths({{k.byte, 1}, {509, 1}}), {}, 4);
        b.Literal(k.byte);
        for (uint32_t i = 0; i < k.matches; i++) b.Match(256, 0);
        w.Put(0xFFFF, 16);   // a stream that went on would read this
        const uint32_t size = 1 + 256 * k.matches - k.over;
        SCOPED_TRACE("size " + std::to_string(size));
        Member(w.bytes, '5', size);
        Outcome fast = Fast();
        Member(w.bytes, '5', size);
        Outcome ref = Reference();
        EXPECT_TRUE(fast.bytes == Bytes(size, k.byte));
        EXPECT_EQ(fast.crc, lzh::Crc16(Bytes(size, k.byte)));
        EXPECT_TRUE(fast.bytes == ref.bytes);
        EXPECT_EQ(std::tie(fast.status, fast.progress, fast.position, fast.done, fast.fill),
                  std::tie(ref.status, ref.progress, ref.position, ref.done, ref.fill));
        EXPECT_EQ(fast.progress.size(), size < 65536 ? 1u : 1u + (size > 65536));
        EXPECT_EQ(Ws->Window[(fast.fill - 1) & 0xFFFF], k.byte) << "the whole match is in the window";
    }
}

// ---- members of real encoders ------------------------------------------------------------

// Text, mixed data and (kind 2) zeros, of a size and seed drawn from rng.
Bytes SampleData(std::mt19937& rng, size_t size, int kind) {
    return kind == 2 ? Bytes(size, 0) : fixtures::Data(kind ? fixtures::Kind::Mixed : fixtures::Kind::Text, size, rng());
}

TEST_F(Decoder, MembersOfOurEncoderInAllFourMethods) {
    std::mt19937 rng(4);
    std::vector<lzh::Member> members;
    std::vector<Bytes> originals;
    const size_t sizes[] = {0, 1, 100, 65535, 65536, 65537, 140000, 300000};
    for (int n = 0; n < 16; n++) {
        Bytes data = SampleData(rng, n < 8 ? sizes[n] : rng() % 300000, n % 3);
        lzh::Member m;
        m.name = "m" + std::to_string(n);
        m.method = "4567"[n % 4];   // "-lh4-" shares the format of "-lh5-"
        m.packed = lzh::Compress(data.data(), data.size(), m.method == '4' ? '5' : m.method, 1 + n % 9);
        m.unpackedSize = (uint32_t)data.size();
        m.dataCrc = lzh::Crc16(data);
        members.push_back(m);
        originals.push_back(data);
    }
    ASSERT_TRUE(lzh::WriteFile(image, lzh::WriteArchive(members, false)));
    CheckBothWays(&originals);
}

TEST_F(Decoder, MembersOfAnIndependentEncoder) {
    std::mt19937 rng(7);
    std::vector<Bytes> originals;
    std::string names;
    for (int n = 0; n < 6; n++) {
        originals.push_back(SampleData(rng, n == 0 ? 0 : rng() % 300000, n % 3));
        ASSERT_TRUE(lzh::WriteFile(dir + "/f" + std::to_string(n), originals.back()));
        names += " f" + std::to_string(n);
    }
    for (char method : {'5', '6', '7'}) {
        std::string cmd = "cd '" + dir + "' && rm -f a.lzh && jlha a2o" + std::string(1, method) + "q a.lzh" + names +
                          " >/dev/null 2>&1 && mv a.lzh image.bin";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        SCOPED_TRACE(method);
        CheckBothWays(&originals);
    }
}

TEST_F(Decoder, CorpusArchivesDecodeToWhatLhasaExtracts) {
    // Every "-lh5-" one but the OS-9/68k archive: its extended headers run past its
    // header size, and the header reader refuses it before any data is decoded.
    int seen = 0;
    for (const auto& [name, refused] : fixtures::Corpus(VARNEX_CORPUS_DIR)) {
        if (name.find("lh5") == std::string::npos || name.rfind("osk", 0) == 0) continue;
        seen++;
        std::string file = std::string(VARNEX_CORPUS_DIR) + "/" + name;
        ASSERT_EQ(system(("cp '" + file + "' '" + image + "' && lhasa pq '" + file + "' > '" + dir + "/x'").c_str()), 0);
        Bytes extracted, archive;
        ASSERT_TRUE(lzh::ReadFile(dir + "/x", extracted));
        ASSERT_TRUE(lzh::ReadFile(image, archive));
        SCOPED_TRACE(name);
        CheckBothWays(nullptr);
        FoundMember m = decode_support::ListMembers(archive).at(0);
        Start(m.header, m.dataOffset);
        Bytes ours = DecodeToFile();
        // A MacBinary member (128-byte header, data fork padded to 128): lhasa prints the data fork.
        size_t at = ours.size() == extracted.size() ? 0 : 128;
        ASSERT_GE(ours.size(), at + extracted.size());
        EXPECT_TRUE(Bytes(ours.begin() + (long)at, ours.begin() + (long)(at + extracted.size())) == extracted);
    }
    EXPECT_EQ(seen, 4);
}

// ---- damaged streams -------------------------------------------------------------------

TEST_F(Decoder, DamagedStreamsEndAsTheFieldByFieldReadingEnds) {
    std::mt19937 rng(11);
    Bytes data = SampleData(rng, 120000, 1), packed = lzh::Compress(data.data(), data.size(), '6', 5);
    const uint16_t crc = lzh::Crc16(data);
    const Bytes good = OneMember(packed, '6', (uint32_t)data.size(), crc);
    const size_t start = good.size() - 1 - packed.size();
    int detected = 0;   // a message or a CRC that differs
    for (int round = 0; round < 60; round++) {
        Bytes bad = good;
        if (round < 8)
            bad.resize(start + packed.size() * round / 8);   // a short archive
        else if (round < 12)
            PutU32(&bad[HdrPackedSize], (uint32_t)packed.size() - 1000 * (round - 7));   // too small a size
        else
            for (int k = 0; k <= round % 4; k++) bad[start + rng() % packed.size()] ^= (uint8_t)(1u << (rng() % 8));
        SCOPED_TRACE("round " + std::to_string(round));
        Outcome o = DecodeImage(bad, start);
        if (round < 8) EXPECT_EQ(o.box, Expected("Read ERROR"));
        if (o.status == -1) EXPECT_LE(o.position, GetU32(&bad[HdrPackedSize]));
        detected += round >= 8 && (o.status == 1 || o.crc != crc);
    }
    // A flip can hit the bits behind the last code; nearly all damage must show.
    EXPECT_GE(detected, 48);
}

// A count above 510, a zero run past the last entry, single symbols outside their
// alphabets: "Bad table". Empty codes over tables built for something else: bytes,
// within the arrays, the same both ways.
TEST_F(Decoder, ImpossibleTablesAreRejectedOrStayInsideTheArrays) {
    auto head = [](BitWriter& w, uint32_t count) {
        w.Put(count, 16);
        w.Put(3, 5);   // code-length code: symbols 0-2 with lengths 1, 2, 2
        w.Put(1, 3), w.Put(2, 3), w.Put(2, 3), w.Put(0, 2);
    };
    const std::pair<bool, std::function<void(BitWriter&)>> cases[] = {
        {true, [&](BitWriter& w) { head(w, 1); w.Put(511, 9); }},
        {true, [&](BitWriter& w) { head(w, 1); w.Put(500, 9); w.Put(0b11, 2); w.Put(0x1FF, 9); }},
        {true, [&](BitWriter& w) { head(w, 1); w.Put(0, 9); w.Put(511, 9); w.Put(0, 8); }},
        {true, [&](BitWriter& w) { w.Put(1, 16); w.Put(0, 5); w.Put(25, 5); }},
        {true, [&](BitWriter& w) { head(w, 2); w.Put(0, 9); w.Put(300, 9); w.Put(0, 4); w.Put(15, 4); }},
        {false, [&](BitWriter& w) { head(w, 9); w.Put(3, 9); w.Put(0, 3); w.Put(0, 8); }},
        {false, [&](BitWriter& w) { head(w, 9); w.Put(0, 9); w.Put(256, 9); w.Put(2, 4); w.Put(0, 6); }},
    };
    for (const auto& [rejected, write] : cases) {
        BitWriter w;
        write(w);
        for (int i = 0; i < 64; i++) w.Put(0xA5, 8);
        Bytes archive = OneMember(w.bytes, '5', 9);
        Outcome o = DecodeImage(archive, archive.size() - 1 - w.bytes.size());
        EXPECT_EQ(o.box, rejected ? Expected("Bad table") : "") << &write - &cases[0].second;
    }
}

}  // namespace
