// The decompressor: the bit input, the canonical tables, hand-made block streams and
// damaged ones. Members of real encoders are in decode_roundtrip_test.cpp.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "decode_support.h"
#include "lzh/archive_writer.h"
#include "port/posix_port.h"
#include "sfx/startup.h"

using decode_support::BitWriter;
using Bytes = std::vector<uint8_t>;

// A workspace with one member's packed data in a file, as the walk leaves it before
// DecodeMember; the output goes to a file or nowhere.
class DecodeRun : public ::testing::Test {
protected:
    std::string dir;
    jmp_buf trap;
    uint8_t header[26] = {};

    void SetUp() override {
        PosixResetPort();
        char tmpl[] = "/tmp/varnex_decode_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
        TextCopyPath(Ws->ImagePath, dir + "/image.bin");
        TextCopyPath(Ws->TargetPath, dir + "/out.bin");
        BuildCrcTable(0xA001);
    }
    void TearDown() override {
        PortClose(Ws->ArchiveFile);
        if (PortFileIsOpen(Ws->OutputFile)) PortCloseFile(Ws->OutputFile);
        PortFree(Ws);
        Ws = nullptr;
        PosixSetExitTrap(nullptr);
        (void)system(("rm -rf '" + dir + "'").c_str());
    }
    static void TextCopyPath(char* out, const std::string& s) { snprintf(out, 260, "%s", s.c_str()); }

    // The file holds packed (plus trailing bytes that belong to the next member).
    void Load(const Bytes& packed, char method, uint32_t origSize, uint32_t packedSize, const Bytes& trailing = {}) {
        Bytes file = packed;
        file.insert(file.end(), trailing.begin(), trailing.end());
        ASSERT_TRUE(lzh::WriteFile(Ws->ImagePath, file));
        Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
        header[5] = (uint8_t)method;
        PutU32(header + HdrPackedSize, packedSize);
        PutU32(header + HdrUnpackedSize, origSize);
        Ws->Header = header;
        Ws->InPos = 0xFFFFFFFFu;
        Ws->OutputFile = PortInvalidFile;
    }
    void Load(const Bytes& packed, char method, uint32_t origSize) { Load(packed, method, origSize, (uint32_t)packed.size()); }
    void ToFile() { Ws->OutputFile = PortCreateOutput(Ws->TargetPath); }

    // Runs f; the exit status of AbortRun, or -1 when f returned.
    template <class F> int Aborts(F f) {
        PosixSetExitTrap(&trap);
        if (setjmp(trap) == 0) {
            f();
            PosixSetExitTrap(nullptr);
            return -1;
        }
        PosixSetExitTrap(nullptr);
        return PosixExitStatus();
    }
    // Decodes into the output file; returns its bytes.
    Bytes DecodeToFile() {
        ToFile();
        EXPECT_EQ(Aborts([] { DecodeMember(); }), -1) << LastBox();
        PortCloseFile(Ws->OutputFile);
        Ws->OutputFile = PortInvalidFile;
        Bytes out;
        lzh::ReadFile(Ws->TargetPath, out);
        return out;
    }
    std::vector<std::string> Progress() const {
        std::vector<std::string> out;
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::ItemText && e.id == 102) out.push_back(e.text);
        return out;
    }
    static std::string LastBox() {
        for (auto it = PosixTranscript().rbegin(); it != PosixTranscript().rend(); ++it)
            if (it->kind == PosixEvent::MessageBox) return it->text;
        return "";
    }
    std::string Expected(const char* message) const { return "\"" + std::string(Ws->ImagePath) + "\" " + message; }
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

// ---- the bit input ---------------------------------------------------------------------

TEST_F(DecodeRun, BitInputReadsPiecesOfTheMemberOnlyAndThenZeros) {
    Bytes packed(40000);
    for (size_t i = 0; i < packed.size(); i++) packed[i] = (uint8_t)(i * 7 + (i >> 9));
    Load(packed, '5', 0, 40000, Bytes(100, 0xFF));
    Ws->PackedLeft = 40000;
    BeginMemberDecode('5');
    EXPECT_EQ(FilePosition(), 16384u);
    EXPECT_EQ(Ws->BitBuf, (packed[0] << 8) | packed[1]);
    EXPECT_EQ(TakeBits(0), 0);
    EXPECT_EQ(Ws->BitBuf, (packed[0] << 8) | packed[1]);
    AdvanceBits(17);   // more than the buffer's width
    EXPECT_EQ(Ws->BitBuf, (uint16_t)((((packed[2] << 16) | (packed[3] << 8) | packed[4]) >> 7)));
    AdvanceBits(7);
    for (size_t i = 3; i + 1 < packed.size(); i += 2) {
        ASSERT_EQ(TakeBits(16), (packed[i] << 8) | packed[i + 1]) << i;
        if (i == 16383) EXPECT_EQ(FilePosition(), 32768u);
    }
    EXPECT_EQ(FilePosition(), 40000u);
    EXPECT_EQ(Ws->PackedLeft, 0);
    EXPECT_EQ(TakeBits(16), packed.back() << 8);   // the last byte, then zero bits
    for (int i = 0; i < 4; i++) EXPECT_EQ(TakeBits(16), 0);
    EXPECT_EQ(FilePosition(), 40000u);
}

TEST_F(DecodeRun, BitInputFailsOnAShortArchiveAndReadsNothingForAnEmptyMember) {
    Load(Bytes(20000, 0x5A), '5', 100, 40000);
    Ws->PackedLeft = 40000;
    BeginMemberDecode('5');
    EXPECT_EQ(Aborts([] { for (;;) AdvanceBits(16); }), 1);
    EXPECT_EQ(LastBox(), Expected("Read ERROR"));
    EXPECT_EQ(Ws->Failed, 1);

    PortClose(Ws->ArchiveFile);
    Load(Bytes(8, 0xFF), '6', 0, 0);
    Ws->PackedLeft = 0;
    BeginMemberDecode('6');
    EXPECT_EQ(TakeBits(16), 0);
    EXPECT_EQ(FilePosition(), 0u);
    EXPECT_EQ(Ws->InPos, 0xFFFFFFFFu);
}

// ---- tables ------------------------------------------------------------------------------

TEST_F(DecodeRun, TablesAssignCanonicalCodesShortestFirst) {
    std::vector<uint16_t> table(256, 999);
    const uint8_t halves[] = {1, 1};
    BuildDecodeTable(2, halves, 8, table.data());
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[127], 0);
    EXPECT_EQ(table[128], 1);
    EXPECT_EQ(table[255], 1);
    const uint8_t mixed[] = {2, 1, 3, 3};
    BuildDecodeTable(4, mixed, 8, table.data());
    EXPECT_EQ(table[127], 1);
    EXPECT_EQ(table[128], 0);
    EXPECT_EQ(table[191], 0);
    EXPECT_EQ(table[192], 2);
    EXPECT_EQ(table[224], 3);
    // No used symbol: accepted, and the table keeps what it held.
    const uint8_t none[4] = {};
    BuildDecodeTable(4, none, 8, table.data());
    EXPECT_EQ(table[0], 1);
    EXPECT_EQ(table[255], 3);
}

TEST_F(DecodeRun, LongCodesHangBelowTheTableInSharedNodes) {
    // One code each of 1 to 12 bits, and two of 13 bits: the two 13-bit codes share
    // their first 12 bits, so one node (the first, 510) holds both.
    std::vector<uint8_t> lengths(510, 0);
    for (int len = 1; len <= 12; len++) lengths[100 + len] = (uint8_t)len;
    lengths[7] = 13;
    lengths[300] = 13;
    Ws->Left[510] = Ws->Right[510] = 77;
    BuildDecodeTable(510, lengths.data(), 12, Ws->CodeTable);
    EXPECT_EQ(Ws->CodeTable[0], 101);
    EXPECT_EQ(Ws->CodeTable[4094], 112);   // 1111 1111 1110
    EXPECT_EQ(Ws->CodeTable[4095], 510);
    EXPECT_EQ(Ws->Left[510], 7);
    EXPECT_EQ(Ws->Right[510], 300);
}

TEST_F(DecodeRun, TablesThatAreIncompleteOverFullOrTooLongAreRejected) {
    struct Case { const char* what; std::vector<uint8_t> lengths; };
    const Case cases[] = {
        {"one code of one bit", {1, 0, 0}},
        {"four codes of one bit (sum 2 x 65536)", {1, 1, 1, 1}},
        {"a length above 16", {1, 2, 17, 17}},
        {"incomplete", {2, 2, 2}},
    };
    for (const Case& c : cases) {
        PosixClearTranscript();
        // Exactly the table's size, so any write past it is caught by the sanitizer.
        std::vector<uint16_t> table(256);
        int status = Aborts([&] { BuildDecodeTable((uint16_t)c.lengths.size(), c.lengths.data(), 8, table.data()); });
        EXPECT_EQ(status, 1) << c.what;
        EXPECT_EQ(LastBox(), Expected("Bad table")) << c.what;
    }
}

// ---- block streams -----------------------------------------------------------------------

TEST_F(DecodeRun, SingleSymbolCodesCostNoBits) {
    // One block of 3 symbols; all three codes in the single-symbol form.
    Load({0x00, 0x03, 0x00, 0x00, 0x04, 0x10, 0x00}, '5', 3);
    EXPECT_EQ(DecodeToFile(), Bytes({65, 65, 65}));
    EXPECT_EQ(Ws->Crc, lzh::Crc16(Bytes({65, 65, 65})));
    // A block of one symbol: the next block is read from the zero bits behind the data.
    PortClose(Ws->ArchiveFile);
    Load({0x00, 0x01, 0x00, 0x00, 0x04, 0x10, 0x00}, '5', 3);
    EXPECT_EQ(DecodeToFile(), Bytes({65, 0, 0}));
    EXPECT_EQ(FilePosition(), 7u);
}

TEST_F(DecodeRun, CodeLengthCodeZeroRunFollowsTheThirdLength) {
    BitWriter w;
    w.Put(7, 5);
    for (int len : {2, 2, 2}) w.Put((uint32_t)len, 3);
    w.Put(3, 2);      // symbols 3 to 5 get no code
    w.Put(2, 3);      // symbol 6
    w.Put(0xFFFF, 16);
    Load(w.bytes, '5', 0);
    Ws->PackedLeft = (int32_t)w.bytes.size();
    BeginMemberDecode('5');
    ReadPosLengths(19, 5, 3);
    EXPECT_EQ(Bytes(Ws->PosLengths, Ws->PosLengths + 19), Bytes({2, 2, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Ws->BitBuf, 0xFFFF);

    // Count 4 with the same run: the run takes the count past 4 and ends the list.
    BitWriter v;
    v.Put(4, 5);
    for (int len : {1, 2, 2}) v.Put((uint32_t)len, 3);
    v.Put(3, 2);
    v.Put(0xFFFF, 16);
    PortClose(Ws->ArchiveFile);
    Load(v.bytes, '5', 0);
    Ws->PackedLeft = (int32_t)v.bytes.size();
    BeginMemberDecode('5');
    ReadPosLengths(19, 5, 3);
    EXPECT_EQ(Ws->PosLengths[0], 1);
    EXPECT_EQ(Ws->PosLengths[6], 0);
    EXPECT_EQ(Ws->BitBuf, 0xFFFF);
}

TEST_F(DecodeRun, SurplusPositionLengthsAreReadAndIgnored) {
    // 15 lengths for the 14 symbols of "-lh5-", the long ones in the unary extension.
    BitWriter w;
    w.Put(15, 4);
    for (int len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13, 9}) PutPosLength(w, len);
    w.Put(0xABCD, 16);
    Load(w.bytes, '5', 0);
    Ws->PackedLeft = (int32_t)w.bytes.size();
    BeginMemberDecode('5');
    ReadPosLengths(14, 4, -1);
    EXPECT_EQ(Ws->PosLengths[12], 13);
    EXPECT_EQ(Ws->PosLengths[14], 9);
    EXPECT_EQ(Ws->PosTable[0], 0);
    EXPECT_EQ(Ws->PosTable[254], 7);
    EXPECT_EQ(Ws->PosTable[255], 14);   // the first node
    EXPECT_EQ(Ws->BitBuf, 0xABCD);
}

TEST_F(DecodeRun, ABlockCountOfZeroMeans65536SymbolsAndFullWindowsAreHandedOver) {
    BitWriter w;
    Block b(w, 0, LiteralLengths({{'B', 1}, {'C', 1}}), {}, 4);
    for (int i = 0; i < 65536; i++) b.Literal(i == 65535 ? 'C' : 'B');
    // The second block comes from the zero bits behind the data: its single literal is 0.
    Load(w.bytes, '5', 65537);
    Bytes expected(65536, 'B');
    expected.back() = 'C';
    expected.push_back(0);
    EXPECT_EQ(DecodeToFile(), expected);
    EXPECT_EQ(Ws->Crc, lzh::Crc16(expected));
    EXPECT_EQ(Progress(), std::vector<std::string>({"Extract... 100%", "Extract... 100%"}));
}

TEST_F(DecodeRun, AWindowThatFillsInsideAMatchReportsTheWholeMatch) {
    // 'A', then matches of 256 at position 0 (repeat the last byte); the 256th match
    // crosses the end of the window.
    BitWriter w;
    Block b(w, 257, LiteralLengths({{'A', 1}, {509, 1}}), {}, 4);
    b.Literal('A');
    for (int i = 0; i < 256; i++) b.Match(256, 0);
    Load(w.bytes, '4', 1 + 256 * 256);
    Bytes out = DecodeToFile();
    EXPECT_EQ(out, Bytes(1 + 256 * 256, 'A'));
    // After the first hand-over 65281 + 256 bytes are done: 1 + 256 * 256 = 65537.
    EXPECT_EQ(Progress(), std::vector<std::string>({"Extract... 100%", "Extract... 100%"}));
}

TEST_F(DecodeRun, Position65535ReachesTheByteWritten65536BytesEarlier) {
    for (char method : {'6', '7'}) {
        // The window is not cleared between members: what an earlier one left is there.
        Bytes window(65536);
        for (int i = 0; i < 65536; i++) window[i] = (uint8_t)(i * 31 + (i >> 8));
        std::copy(window.begin(), window.end(), Ws->Window);
        // Single position symbol 16: positions 32768 to 65535, all 15 extra bits.
        BitWriter w;
        Block b(w, 3, LiteralLengths({{'x', 1}, {509, 1}}), {}, 5, 16);
        b.Literal('x');
        b.Match(256, 65535);
        b.Match(256, 40000);
        Load(w.bytes, method, 1 + 512);
        Bytes expected = {'x'};
        window[0] = 'x';
        for (uint32_t position : {65535u, 40000u})
            for (int i = 0; i < 256; i++) {
                uint32_t at = (uint32_t)expected.size();
                expected.push_back(window[at] = window[(at - position - 1) & 0xFFFF]);
            }
        EXPECT_EQ(expected[1], window[1]);   // the first match copies bytes onto themselves
        EXPECT_EQ(DecodeToFile(), expected) << method;
        PortClose(Ws->ArchiveFile);
    }
}
