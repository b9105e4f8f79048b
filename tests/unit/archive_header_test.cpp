// Member headers: the CRC-16, the validation order, the extended headers and the
// refusal of every header that would make the reader leave its buffer.
#include <functional>

#include "sfx_fixture.h"

namespace {

// A level-2 header from raw parts, so that tests control every byte, order and size.
struct RawHeader {
    char method = '0';
    uint32_t packed = 0, unpacked = 0, stamp = 1000000000;
    uint8_t attr = 0x20, level = 2, os = 'W';
    std::vector<std::pair<uint8_t, lzh::Bytes>> ext;   // in this order
    bool withCrc = true;

    lzh::Bytes Encode(const std::function<void(lzh::Bytes&)>& spoil = nullptr) const {
        lzh::Bytes h = {0, 0, '-', 'l', 'h', uint8_t(method), '-'};
        auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) h.push_back(uint8_t(v >> 8 * i)); };
        u32(packed), u32(unpacked), u32(stamp);
        h.insert(h.end(), {attr, level, 0, 0, os});
        size_t crcAt = 0;
        auto all = ext;
        if (withCrc) all.push_back({0x00, {0, 0}});
        for (auto& [type, data] : all) {
            size_t s = data.size() + 3;
            h.push_back(uint8_t(s)), h.push_back(uint8_t(s >> 8));
            h.push_back(type);
            if (type == 0 && data.size() == 2) crcAt = h.size();
            h.insert(h.end(), data.begin(), data.end());
        }
        h.push_back(0), h.push_back(0);
        h[0] = uint8_t(h.size()), h[1] = uint8_t(h.size() >> 8);
        if (spoil) spoil(h);
        if (withCrc && crcAt) {
            uint16_t c = lzh::Crc16(h.data(), h.size());
            h[crcAt] = uint8_t(c), h[crcAt + 1] = uint8_t(c >> 8);
        }
        return h;
    }
};

lzh::Bytes Name(const std::string& s) { return TextBytes(s); }
lzh::Bytes FileTimes(uint64_t a, uint64_t b, uint64_t c) {
    lzh::Bytes out;
    for (uint64_t v : {a, b, c})
        for (int i = 0; i < 8; i++) out.push_back(uint8_t(v >> 8 * i));
    return out;
}

class Header : public SfxRun {
protected:
    // Opens a file of these bytes as the archive and reads one header.
    HeaderResult Read(const lzh::Bytes& bytes) {
        std::string path = dir + "/h.bin";
        lzh::WriteFile(path, bytes);
        if (!Ws) Prepare(path);
        if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
        Ws->ArchiveFile = PortOpenRead(path.c_str());
        Ws->Failed = 0;
        BuildCrcTable(0xA001);
        PosixClearTranscript();
        return ReadEntryHeader();
    }
    void TearDown() override {
        if (Ws && PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
        SfxRun::TearDown();
    }
    void ExpectBad(const lzh::Bytes& bytes, const char* message = "Bad header") {
        EXPECT_EQ(Read(bytes), HeaderFailed);
        EXPECT_EQ(Ws->Failed, 1);
        auto boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        std::string expected = std::string(message) == "Bad header" ? Quoted(Ws->ImagePath, message) : message;
        EXPECT_EQ(boxes[0], expected);
    }
};

TEST_F(Header, Crc16) {
    Prepare(dir + "/none");
    BuildCrcTable(0xA001);
    EXPECT_EQ(Ws->CrcTable[1], 0xC0C1);
    EXPECT_EQ(Ws->CrcTable[255], 0x4040);
    Ws->Crc = 0;
    EXPECT_EQ(UpdateCrc((const uint8_t*)"abc", 3), 0x9738);
    EXPECT_EQ(UpdateCrc((const uint8_t*)"abc", 0), 0x9738);
    EXPECT_EQ(UpdateCrc((const uint8_t*)"abc", -5), 0x9738);
    // The eight-byte steps agree with the plain byte loop at every length and alignment,
    // also when the CRC runs on across calls.
    lzh::Bytes data(300);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 131 + 7);
    for (int start = 0; start < 8; start++)
        for (int n = 0; n < 40; n++) {
            Ws->Crc = 0x1234;
            UpdateCrc(data.data() + start, n);
            EXPECT_EQ(UpdateCrc(data.data() + start + n, 200), lzh::Crc16(data.data() + start, n + 200, 0x1234));
        }
}

TEST_F(Header, ReadsNamesAttributesAndTimes) {
    RawHeader h;
    h.os = 'w';
    h.ext = {{0x01, Name("c.txt")}, {0x02, Name("a\xFF" "b\xFF")}, {0x40, {0x21, 0}},
             {0x41, FileTimes(lzh::UnixToFileTime(111), lzh::UnixToFileTime(222), lzh::UnixToFileTime(333))}};
    ASSERT_EQ(Read(h.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "a/b/c.txt");
    EXPECT_EQ(Ws->Attributes, 0x21);
    EXPECT_EQ(Ws->CreationTime, 111u);
    EXPECT_EQ(Ws->WriteTime, 222u);
    EXPECT_EQ(Ws->AccessTime, 333u);

    // Other systems' 0x40 and 0x41 are ignored; a FILETIME the conversion rejects keeps
    // the time stamp; the level byte is not examined; backslashes separate as well.
    h.os = 'U';
    h.level = 7;
    h.ext[1].second = Name("a\\b\\");
    ASSERT_EQ(Read(h.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "a/b/c.txt");
    EXPECT_EQ(Ws->Attributes, 0x20);
    EXPECT_EQ(Ws->WriteTime, h.stamp);
    h.os = 'M';
    h.ext[3].second = FileTimes(0, lzh::UnixToFileTime(5), 0);
    ASSERT_EQ(Read(h.Encode()), HeaderReady);
    EXPECT_EQ(Ws->CreationTime, h.stamp);
    EXPECT_EQ(Ws->WriteTime, 5u);

    // A directory part without its closing separator still names a directory.
    h.ext[1].second = Name("a\xFF" "b");
    ASSERT_EQ(Read(h.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "a/b/c.txt");
    // A directory-only header, then a file-only one: nothing carries over.
    RawHeader d;
    d.method = 'd';
    d.ext = {{0x02, Name("docs\xFF")}};
    ASSERT_EQ(Read(d.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "docs/");
    RawHeader f;
    f.ext = {{0x01, Name("x")}, {0x01, Name("last.txt")}, {0x99, Name("unknown")}};
    ASSERT_EQ(Read(f.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "last.txt");
    // A zero byte ends the name; the longest name that fits is accepted.
    f.ext = {{0x02, Name(std::string("ab\0c\xFF", 5))}, {0x01, Name("z")}};
    ASSERT_EQ(Read(f.Encode()), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "ab");
    f.ext = {{0x02, Name(std::string(200, 'd') + "\xFF")}, {0x01, Name(std::string(58, 'f'))}};
    ASSERT_EQ(Read(f.Encode()), HeaderReady);
    EXPECT_EQ(strlen(Ws->EntryName), 259u);
}

TEST_F(Header, EndOfArchive) {
    EXPECT_EQ(Read({}), EndOfArchive);
    EXPECT_EQ(Read({0x40}), EndOfArchive);
    EXPECT_EQ(Read({0, 0, 1, 2}), EndOfArchive);
    // The 0 end marker followed by padding is no header of 256 * n bytes...
    EXPECT_EQ(Read({0, 0xD7, 0x4D, 0xFA, 0x86, 0x86, 0x7C, 0x6A}), EndOfArchive);
    EXPECT_EQ(Read({0, 0x01, '-', 'l', 'h'}), EndOfArchive);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Ws->Failed, 0);
    // ...but a header of exactly 256 bytes is read as one.
    RawHeader h;
    h.ext = {{0x01, Name("f")}, {0x77, lzh::Bytes(256 - 26 - 4 - 5 - 3, 'p')}};
    lzh::Bytes bytes = h.Encode();
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(Read(bytes), HeaderReady);
    EXPECT_STREQ(Ws->EntryName, "f");
}

TEST_F(Header, RefusesMalformedHeaders) {
    RawHeader ok;
    ok.ext = {{0x01, Name("file.txt")}};
    ASSERT_EQ(Read(ok.Encode()), HeaderReady);

    RawHeader noCrc = ok;
    noCrc.withCrc = false;
    ExpectBad(noCrc.Encode());
    // One changed name byte after the CRC was computed.
    lzh::Bytes changed = ok.Encode();
    changed[changed.size() - 4] ^= 1;
    ExpectBad(changed);
    for (char m : {'1', '3', '8', 's'}) {
        RawHeader bad = ok;
        bad.method = m;
        ExpectBad(bad.Encode());
    }
    for (size_t at : {2, 3, 4, 6}) ExpectBad(ok.Encode([&](lzh::Bytes& h) { h[at] = 'x'; }));
    // Truncated body, and sizes that leave no room for the fixed part.
    lzh::Bytes whole = ok.Encode();
    ExpectBad(lzh::Bytes(whole.begin(), whole.end() - 3));
    ExpectBad(ok.Encode([](lzh::Bytes& h) { h[0] = 25, h[1] = 0; }));
    ExpectBad(ok.Encode([](lzh::Bytes& h) { h[0] = 1, h[1] = 0; }));

    // Extended-header sizes that would take the reader out of the buffer.
    auto firstSize = [](uint16_t s) { return [s](lzh::Bytes& h) { h[24] = uint8_t(s), h[25] = uint8_t(s >> 8); }; };
    ExpectBad(ok.Encode(firstSize(2)));
    ExpectBad(ok.Encode(firstSize(1)));
    ExpectBad(ok.Encode(firstSize(uint16_t(whole.size() - 24 - 1))));   // closing size past the end
    ExpectBad(ok.Encode(firstSize(0xFFFF)));
    // Values too short for their type (header CRC, attributes, Windows times).
    for (auto [type, size] : {std::pair<uint8_t, size_t>{0x00, 1}, {0x40, 1}, {0x41, 23}}) {
        RawHeader bad = ok;
        bad.ext.push_back({type, lzh::Bytes(size, 0)});
        ExpectBad(bad.Encode());
    }
    // A name that does not fit EntryName is refused, not cut.
    RawHeader longName;
    longName.ext = {{0x02, Name(std::string(200, 'd') + "\xFF")}, {0x01, Name(std::string(59, 'f'))}};
    ExpectBad(longName.Encode());

    // Sizes of 32768 and more cannot be held; neither can one the allocator refuses.
    ExpectBad({0x40, 0x9C}, "Not enough memory");
    PosixFailAllocation(1);
    ExpectBad(ok.Encode(), "Not enough memory");
    EXPECT_EQ(PosixTranscript()[0].caption, SFX_DEFAULT_TITLE);
    EXPECT_EQ(PosixTranscript()[0].style, 0x2010u);
}

}  // namespace
