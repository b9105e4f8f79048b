// The decompressor: hand-made block streams, members of our encoder and of an independent
// one, damaged streams and impossible tables.
// Every stream must end the same way in DecodeMember's fast loop as in the
// field-by-field reading (decode_support.h).
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
using decode_support::Outcome;
using Bytes = std::vector<uint8_t>;

// What an earlier member left in the window, which is not cleared between members.
uint8_t OldWindow(uint32_t i) { return (uint8_t)(i * 31 + (i >> 8)); }

class Decoder : public SfxRun {
protected:
    std::string image;
    Bytes header = Bytes(26);
    int decoded = 0;   // members CheckImage decoded

    void SetUp() override {
        SfxRun::SetUp();
        image = dir + "/image.bin";
        ASSERT_TRUE(BeginRun());
    }
    void TearDown() override {
        Ws->Header = nullptr;   // the test's own buffer, not the allocator's
        SfxRun::TearDown();
    }
    // An image that holds only this member's packed data (and what follows it); its header.
    Bytes Member(const Bytes& file, char method, uint32_t origSize, uint32_t packedSize = 0xFFFFFFFFu) {
        EXPECT_TRUE(lzh::WriteFile(image, file));
        Bytes h(26);
        h[HdrMethodChar] = (uint8_t)method;
        PutU32(&h[HdrPackedSize], packedSize == 0xFFFFFFFFu ? (uint32_t)file.size() : packedSize);
        PutU32(&h[HdrUnpackedSize], origSize);
        return h;
    }
    // The member decoded both ways, the same in every visible respect; the fast loop's
    // outcome, its workspace left behind.
    Outcome BothWays(const Bytes& memberHeader, uint32_t at) {
        header = memberHeader;
        decode_support::StartMember(image, header.data(), at, OldWindow);
        const Outcome ref = decode_support::DecodeStarted(false, dir + "/out.bin", at);
        decode_support::StartMember(image, header.data(), at, OldWindow);
        const Outcome fast = decode_support::DecodeStarted(true, dir + "/out.bin", at);
        EXPECT_EQ(decode_support::Difference(fast, ref), "");
        return fast;
    }
    // Every compressed member of the image (found by the core's header reader) both ways,
    // each giving its recorded CRC.
    void CheckImage() {
        for (uint32_t at = 0;;) {
            decode_support::StartMember(image, nullptr, at, nullptr);
            const HeaderResult r = ReadEntryHeader();
            ASSERT_NE(r, HeaderFailed);
            if (r == EndOfArchive) break;
            const Bytes h(Ws->Header, Ws->Header + GetU16(Ws->Header));
            const uint32_t data = PortSeek(Ws->ArchiveFile, 0, 1);
            SCOPED_TRACE(Ws->EntryName);
            ReleaseHeader();
            at = data + GetU32(&h[HdrPackedSize]);
            if (h[HdrMethodChar] < '4' || h[HdrMethodChar] > '7') continue;
            Outcome o = BothWays(h, data);
            decoded++;
            ASSERT_EQ(o.status, -1) << o.box;
            EXPECT_EQ(std::tie(o.crc, o.position), std::make_tuple(GetU16(&h[HdrDataCrc]), GetU32(&h[HdrPackedSize])));
        }
    }
    std::string Expected(const char* message) const { return "\"" + image + "\" " + message; }
};

// A block header whose literal/length code has the one-bit symbols lo and hi (509 is a
// match of 256), or lo alone when they are equal (no bits then), and whose position code
// is the single symbol posSymbol: every match then has that symbol's extra bits only.
struct Block {
    BitWriter& w;
    uint32_t lo, hi, posSymbol;
    Block(BitWriter& writer, uint32_t count, uint32_t low, uint32_t high, uint32_t posCountBits, uint32_t pos = 0)
        : w(writer), lo(low), hi(high), posSymbol(pos) {
        w.Put(count, 16);
        if (lo == hi) {
            w.Put(0, 5), w.Put(0, 5), w.Put(0, 9), w.Put(lo, 9);
        } else {
            // Code-length code: symbols 0 (a zero length) and 3 (length 1) of one bit each;
            // all 510 lengths follow one by one, so a zero run ends at the last entry.
            w.Put(4, 5), w.Put(1, 3), w.Put(0, 3), w.Put(0, 3), w.Put(0, 2), w.Put(1, 3);
            w.Put(510, 9);
            for (uint32_t s = 0; s < 510; s++) w.Put(s == lo || s == hi, 1);
        }
        w.Put(0, posCountBits), w.Put(posSymbol, posCountBits);
    }
    void Literal(uint32_t s) {
        if (lo != hi) w.Put(s == hi, 1);
    }
    void Match(uint32_t length, uint32_t position) {
        Literal(length + 253);
        if (posSymbol >= 2) w.Put(position - (1u << (posSymbol - 1)), posSymbol - 1);
    }
};

// ---- block streams -----------------------------------------------------------------------

TEST_F(Decoder, HandMadeStreams) {
    struct Case {
        char method;
        Bytes expected;
        std::function<void(BitWriter&)> write;
        std::vector<uint32_t> progress = {};   // the percentages reported, where they tell
    };
    Bytes aThenB(1, 'A'), bThenC(65535, 'B');
    aThenB.insert(aThenB.end(), 0x8001, 'B');
    aThenB.push_back(0);
    bThenC.push_back('C'), bThenC.resize(102400, 0);
    std::vector<Case> cases = {
        // Blocks whose codes each have one symbol, back to back: the first block's literal
        // is read over the second header (its count's top bit set) and must take none of
        // it; behind the data the stream reads as zero bits, a block of 0s.
        {'5', aThenB, [](BitWriter& w) { Block(w, 1, 'A', 'A', 4), Block(w, 0x8001, 'B', 'B', 4); }},
        // A block count of 0 means 65536 symbols; a literal that fills the window counts as
        // done at the hand-over (64% of 102400; a byte less would be 63%).
        {'5', bThenC, [](BitWriter& w) {
             Block b(w, 0, 'B', 'C', 4);
             for (int i = 0; i < 65536; i++) b.Literal(i == 65535 ? 'C' : 'B');
         }, {64, 100}},
        // The window fills inside a match: the whole match counts as done at the hand-over.
        {'4', Bytes(1 + 256 * 256, 'A'), [](BitWriter& w) {
             Block b(w, 257, 'A', 509, 4);
             b.Literal('A');
             for (int i = 0; i < 256; i++) b.Match(256, 0);
         }},
    };
    // Position 65535 reaches the byte written 65536 bytes earlier, what an earlier member left.
    for (char method : {'6', '7'}) {
        Bytes window(65536), expected = {'x'};
        for (uint32_t i = 0; i < 65536; i++) window[i] = OldWindow(i);
        window[0] = 'x';
        for (uint32_t position : {65535u, 40000u})
            for (int i = 0; i < 256; i++) {
                uint32_t at = (uint32_t)expected.size();
                expected.push_back(window[at] = window[(at - position - 1) & 0xFFFF]);
            }
        cases.push_back({method, expected, [](BitWriter& w) {
                             Block b(w, 3, 'x', 509, 5, 16);
                             b.Literal('x'), b.Match(256, 65535), b.Match(256, 40000);
                         }});
    }
    // A last match that runs past the recorded size: exactly that many bytes reach the sink
    // (and the CRC), in the run loop, at the window's end, across a hand-over and at the
    // member's end on the window's end; the whole match is in the window.
    const struct { uint8_t byte; uint32_t matches, over; } past[] = {
        {'A', 1, 1}, {0, 1, 1}, {'A', 2, 255}, {0, 2, 200}, {'A', 256, 10}, {0, 256, 1}, {'A', 256, 255}, {'A', 257, 255}};
    for (auto k : past)
        cases.push_back({'5', Bytes(1 + 256 * k.matches - k.over, k.byte), [k](BitWriter& w) {
                             Block b(w, 1 + k.matches, k.byte, 509, 4);
                             b.Literal(k.byte);
                             for (uint32_t i = 0; i < k.matches; i++) b.Match(256, 0);
                             w.Put(0xFFFF, 16);   // a stream that went on would read this
                         }});
    for (const Case& k : cases) {
        BitWriter w;
        k.write(w);
        const uint32_t size = (uint32_t)k.expected.size();
        SCOPED_TRACE(std::string(1, k.method) + " size " + std::to_string(size));
        Outcome o = BothWays(Member(w.bytes, k.method, size), 0);
        ASSERT_EQ(o.status, -1) << o.box;
        EXPECT_TRUE(o.bytes == k.expected);
        EXPECT_EQ(o.crc, lzh::Crc16(k.expected));
        EXPECT_EQ(o.position, w.bytes.size());
        EXPECT_EQ(o.progress.size(), (size + 65535) / 65536);
        if (!k.progress.empty()) EXPECT_EQ(o.progress, k.progress);
        EXPECT_EQ(Ws->Window[(o.fill - 1) & 0xFFFF], k.expected.back());
    }
}

// ---- members of real encoders ------------------------------------------------------------

TEST_F(Decoder, MembersOfOurEncoderAndAnIndependentOne) {
    std::vector<lzh::Member> members;
    std::string names;
    const size_t sizes[] = {0, 1, 100, 65535, 65536, 65537, 140000, 300000};
    for (uint32_t n = 0; n < 16; n++) {
        const size_t size = n < 8 ? sizes[n] : n * 18749;
        const Bytes data = n % 3 == 2 ? Bytes(size, 0) : fixtures::Data(n % 3 ? fixtures::Kind::Mixed : fixtures::Kind::Text, size, n);
        lzh::Member m = StoredMember("m" + std::to_string(n), data);
        m.method = "4567"[n % 4];   // "-lh4-" shares the format of "-lh5-"
        m.packed = lzh::Compress(data.data(), data.size(), m.method == '4' ? '5' : m.method, 1 + n % 9);
        members.push_back(m);
        if (n != 0 && n != 3 && n != 7 && n < 13) continue;   // a few for the independent encoder
        ASSERT_TRUE(lzh::WriteFile(dir + "/" + m.name, data));
        names += " " + m.name;
    }
    ASSERT_TRUE(lzh::WriteFile(image, lzh::WriteArchive(members, false)));
    CheckImage();
    for (char method : {'5', '6', '7'}) {
        SCOPED_TRACE(method);
        std::string cmd = "cd '" + dir + "' && rm -f a.lzh && jlha a2o" + std::string(1, method) + "q a.lzh" + names +
                          " >/dev/null 2>&1 && mv a.lzh image.bin";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        CheckImage();
    }
    EXPECT_EQ(decoded, 16 + 3 * 5);   // ours, the independent encoder's (it stores the empty file)
}

// ---- damaged streams -------------------------------------------------------------------

TEST_F(Decoder, DamagedStreamsEndAsTheFieldByFieldReadingEnds) {
    const Bytes data = fixtures::Data(fixtures::Kind::Mixed, 120000, 11), packed = lzh::Compress(data.data(), data.size(), '6', 5);
    const uint16_t crc = lzh::Crc16(data);
    std::mt19937 rng(11);
    int detected = 0;   // a message or a CRC that differs
    for (int round = 0; round < 60; round++) {
        Bytes bad = packed;
        uint32_t packedSize = (uint32_t)packed.size();
        if (round < 8)
            bad.resize(packed.size() * round / 8);   // a short archive
        else if (round < 12)
            packedSize -= 1000 * (round - 7);   // too small a size
        else
            for (int k = 0; k <= round % 4; k++) bad[rng() % packed.size()] ^= (uint8_t)(1u << (rng() % 8));
        SCOPED_TRACE("round " + std::to_string(round));
        Outcome o = BothWays(Member(bad, '6', (uint32_t)data.size(), packedSize), 0);
        if (round < 8) EXPECT_EQ(o.box, Expected("Read ERROR"));
        if (o.status == -1) EXPECT_LE(o.position, packedSize);
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
        {true, [&](BitWriter& w) { Block(w, 1, 'A', 'A', 4, 14); }},
        {true, [&](BitWriter& w) { head(w, 2); w.Put(0, 9); w.Put(300, 9); w.Put(0, 4); w.Put(15, 4); }},
        {false, [&](BitWriter& w) { head(w, 9); w.Put(3, 9); w.Put(0, 3); w.Put(0, 8); }},
        {false, [&](BitWriter& w) { head(w, 9); w.Put(0, 9); w.Put(256, 9); w.Put(2, 4); w.Put(0, 6); }},
    };
    for (const auto& [rejected, write] : cases) {
        BitWriter w;
        write(w);
        for (int i = 0; i < 64; i++) w.Put(0xA5, 8);
        Outcome o = BothWays(Member(w.bytes, '5', 9), 0);
        EXPECT_EQ(o.box, rejected ? Expected("Bad table") : "") << &write - &cases[0].second;
    }
}

}  // namespace
