// Member headers: the CRC-16, names, times, the end of the archive, and the refusal of
// every header that would make the reader leave its buffer.
#include <functional>

#include "sfx_fixture.h"

namespace {

using Ext = std::pair<uint8_t, lzh::Bytes>;

// A level-2 header from raw parts, so that tests control every byte, order and size;
// the header CRC, when there is one, comes first and is sealed after spoil() ran.
lzh::Bytes RawHeader(std::vector<Ext> ext, uint8_t os = 'W', bool withCrc = true,
                     const std::function<void(lzh::Bytes&)>& spoil = nullptr) {
    lzh::Bytes h = {0, 0, '-', 'l', 'h', '0', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xCA, 0x9A, 0x3B, 0x20, 2, 0, 0, os};
    if (withCrc) ext.insert(ext.begin(), {0x00, {0, 0}});
    for (auto& [type, data] : ext) {
        h.insert(h.end(), {uint8_t(data.size() + 3), uint8_t((data.size() + 3) >> 8), type});
        h.insert(h.end(), data.begin(), data.end());
    }
    h.insert(h.end(), {0, 0});
    PutU16(&h[0], uint16_t(h.size()));
    if (spoil) spoil(h);
    return withCrc ? fixtures::Reseal(h) : h;
}
lzh::Bytes Bytes(const std::string& s) { return TextBytes(s); }
// Three FILETIMEs; 0 stays a FILETIME of 0, which the conversion rejects.
lzh::Bytes Times(uint32_t a, uint32_t b, uint32_t c) {
    lzh::Bytes out;
    for (uint32_t t : {a, b, c})
        for (int i = 0; i < 8; i++) out.push_back(uint8_t((t ? lzh::UnixToFileTime(t) : 0) >> 8 * i));
    return out;
}

class Header : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(dir + "/none");
    }
    HeaderResult Read(const lzh::Bytes& bytes) {
        lzh::WriteFile(dir + "/h.bin", bytes);
        if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
        Ws->ArchiveFile = PortOpenRead((dir + "/h.bin").c_str());
        Ws->Failed = 0;
        BuildCrcTable(0xA001);
        PosixClearTranscript();
        return ReadEntryHeader();
    }
    // The header is refused with one box and Failed set.
    void ExpectRefused(const lzh::Bytes& bytes, const std::string& box) {
        EXPECT_EQ(Read(bytes), HeaderFailed);
        EXPECT_EQ(Ws->Failed, 1);
        EXPECT_EQ(Boxes(), Strings{box});
    }
};

TEST_F(Header, Crc16) {
    BuildCrcTable(0xA001);
    Ws->Crc = 0;
    EXPECT_EQ(UpdateCrc((const uint8_t*)"abc", 3), 0x9738);
    EXPECT_EQ(UpdateCrc((const uint8_t*)"abc", -5), 0x9738);
    // The eight-byte steps and the 16-byte folding of long runs agree with the plain byte
    // loop at every length and alignment, from any start value.
    const lzh::Bytes data = fixtures::Data(fixtures::Kind::Noise, 70000, 1);
    for (int start = 0; start < 8; start++)
        for (int n = 0; n < 40; n++) {
            Ws->Crc = 0x1234;
            UpdateCrc(data.data() + start, n);
            EXPECT_EQ(UpdateCrc(data.data() + start + n, 200), lzh::Crc16(data.data() + start, n + 200, 0x1234));
        }
    for (uint32_t n : {63u, 64u, 65u, 79u, 80u, 1000u, 4097u, 65536u, 69999u}) {
        Ws->Crc = (uint16_t)(n * 40503u);
        EXPECT_EQ(UpdateCrc(data.data() + 1, (int32_t)n), lzh::Crc16(data.data() + 1, n, (uint16_t)(n * 40503u))) << n;
    }
}

TEST_F(Header, NamesAttributesAndTimes) {
    std::vector<Ext> ext = {{0x01, Bytes("c.txt")}, {0x02, Bytes("a\xFF" "b\xFF")}, {0x40, {0x21, 0}}, {0x41, Times(111, 222, 333)}};
    ASSERT_EQ(Read(RawHeader(ext, 'w')), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "a/b/c.txt");
    EXPECT_EQ(Ws->Attributes, 0x21);
    EXPECT_EQ(std::vector<uint32_t>({Ws->CreationTime, Ws->WriteTime, Ws->AccessTime}), std::vector<uint32_t>({111, 222, 333}));
    // Other systems' 0x40 and 0x41 are ignored; backslashes separate as well; a directory
    // part without its closing separator still names a directory.
    ext[1].second = Bytes("a\\b");
    ASSERT_EQ(Read(RawHeader(ext, 'U')), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "a/b/c.txt");
    EXPECT_EQ(Ws->Attributes, 0x20);
    EXPECT_EQ(Ws->WriteTime, 1000000000u);
    // A FILETIME the conversion rejects keeps the time stamp.
    ext[3].second = Times(0, 5, 6);
    ASSERT_EQ(Read(RawHeader(ext, 'M')), HeaderReady);
    EXPECT_EQ(Ws->CreationTime, 1000000000u);
    EXPECT_EQ(Ws->AccessTime, 6u);
    // Directory only; then file only (nothing carries over); a zero byte ends the name;
    // the longest name that fits.
    ASSERT_EQ(Read(RawHeader({{0x02, Bytes("docs\xFF")}})), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "docs/");
    ASSERT_EQ(Read(RawHeader({{0x01, Bytes("x")}, {0x01, Bytes("last")}, {0x99, Bytes("?")}})), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "last");
    ASSERT_EQ(Read(RawHeader({{0x02, Bytes(std::string("ab\0c\xFF", 5))}, {0x01, Bytes("z")}})), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "ab");
    ASSERT_EQ(Read(RawHeader({{0x02, Bytes(std::string(200, 'd') + "\xFF")}, {0x01, Bytes(std::string(58, 'f'))}})), HeaderReady);
    EXPECT_EQ(strlen(Ws->EntryName), 259u);
    // Written on a Japanese system: a directory part that ends in a character whose trail
    // byte is 0x5C (表) has no closing separator, so one is put before the file name.
    PosixSetCodePage(932);
    ASSERT_EQ(Read(RawHeader({{0x02, Bytes("\x95\x5C")}, {0x01, Bytes("f")}})), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "\x95\x5C/f");
}

TEST_F(Header, EndOfArchive) {
    for (const lzh::Bytes& end : {lzh::Bytes{}, lzh::Bytes{0x40}, lzh::Bytes{0, 0, 1},
                                  lzh::Bytes{0, 0xD7, 0x4D, 0xFA, 0x86, 0x86, 0x7C}, lzh::Bytes{0, 1, '-', 'l'}})
        EXPECT_EQ(Read(end), EndOfArchive);   // the 0 end marker, also followed by padding
    EXPECT_TRUE(Boxes().empty());
    // A real header of 256 * n bytes still reads as one.
    lzh::Bytes h = RawHeader({{0x01, Bytes("f")}, {0x77, lzh::Bytes(218, 'p')}});
    ASSERT_EQ(h.size(), 256u);
    EXPECT_EQ(Read(h), HeaderReady);
}

TEST_F(Header, RefusesMalformedHeaders) {
    const std::vector<Ext> ok = {{0x01, Bytes("file.txt")}};
    const std::string bad = Quoted(Ws->ImagePath, "Bad header");
    auto set = [](size_t at, uint16_t v) { return [=](lzh::Bytes& h) { h[at] = uint8_t(v), h[at + 1] = uint8_t(v >> 8); }; };
    const size_t size = RawHeader(ok).size();
    ExpectRefused(RawHeader(ok, 'W', false), bad);                               // no header CRC
    lzh::Bytes changed = RawHeader(ok);
    changed[32] ^= 1;                                                          // a name byte after the CRC
    ExpectRefused(changed, bad);
    for (size_t at : {2, 3, 4, 6}) ExpectRefused(RawHeader(ok, 'W', true, set(at, 'x')), bad);
    ExpectRefused(RawHeader(ok, 'W', true, [](lzh::Bytes& h) { h[5] = '1'; }), bad);
    ExpectRefused(lzh::Bytes(changed.begin(), changed.end() - 3), bad);         // cut short
    ExpectRefused(RawHeader(ok, 'W', true, set(0, 25)), bad);                  // no room for the fixed part
    // Extended-header sizes that would take the reader out of the buffer.
    for (size_t s : {size_t(1), size_t(2), size - 25, size_t(0xFFFF)}) ExpectRefused(RawHeader(ok, 'W', true, set(24, uint16_t(s))), bad);
    // Values too short for their type (header CRC, attributes, Windows times).
    for (auto [type, n] : {std::pair<uint8_t, size_t>{0x00, 1}, {0x40, 1}, {0x41, 23}})
        ExpectRefused(RawHeader({{0x01, Bytes("f")}, {type, lzh::Bytes(n, 0)}}), bad);
    // A name longer than EntryName is refused, not cut.
    ExpectRefused(RawHeader({{0x02, Bytes(std::string(200, 'd') + "\xFF")}, {0x01, Bytes(std::string(59, 'f'))}}), bad);
    // 32768 bytes and more cannot be held; neither can what the allocator refuses.
    ExpectRefused({0x40, 0x9C, '-', 'l', 'h', '0', '-'}, "Not enough memory");
    PosixFailAllocation(1);
    ExpectRefused(RawHeader(ok), "Not enough memory");
    EXPECT_EQ(PosixTranscript()[0].style, 0x2010u);
}

}  // namespace
