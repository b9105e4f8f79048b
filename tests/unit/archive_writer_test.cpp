// The archive writer, checked against independent LZH readers (lhasa, 7-Zip) and by
// decoding its header bytes by hand.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "lzh/archive_writer.h"

namespace {

std::string TempDir() {
    char tmpl[] = "/tmp/varnex_writer_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

// Runs a shell command and returns its exit status and output.
int RunTool(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    return pclose(p);
}

lzh::Bytes Text(const std::string& s) { return lzh::Bytes(s.begin(), s.end()); }

TEST(ArchiveWriter, CrcAndHeaderLayout) {
    EXPECT_EQ(lzh::Crc16(Text("abc")), 0x9738);
    EXPECT_EQ(lzh::Crc16(Text("123456789")), 0xBB3D);

    lzh::Member m = lzh::StoredMember("dir/sub/file.txt", Text("hello"), 0x5F000000, 0x21);
    m.osId = 'w';
    m.writeWindowsTimes = true;
    m.creationTime = 1, m.writeTime = 2, m.accessTime = 3;
    lzh::Bytes h = lzh::EncodeHeader(m);
    ASSERT_EQ(h[0] | h[1] << 8, int(h.size()));
    EXPECT_EQ(std::string(h.begin() + 2, h.begin() + 7), "-lh0-");
    EXPECT_EQ(h[20], 2);
    EXPECT_EQ(h[h.size() - 1], 0);
    EXPECT_EQ(h[h.size() - 2], 0);
    // Walk the chain: header CRC first, then name, directory, times.
    std::string types;
    size_t p = 24, crcAt = 0;
    std::string dir;
    for (unsigned s; (s = h[p] | h[p + 1] << 8) != 0; p += s) {
        ASSERT_LE(p + s + 2, h.size() + 2);
        types += char('0' + h[p + 2]);
        if (h[p + 2] == 0) crcAt = p + 3;
        if (h[p + 2] == 2) dir.assign(h.begin() + p + 3, h.begin() + p + s);
    }
    EXPECT_EQ(p, h.size() - 2);
    EXPECT_EQ(types, std::string("012") + char('0' + 0x41));
    EXPECT_EQ(dir, "dir\xFFsub\xFF");
    uint16_t stored = h[crcAt] | h[crcAt + 1] << 8;
    h[crcAt] = h[crcAt + 1] = 0;
    EXPECT_EQ(lzh::Crc16(h), stored);

    lzh::HeaderFaults wrong;
    wrong.wrongHeaderCrc = true;
    EXPECT_NE(lzh::EncodeHeader(m, wrong), lzh::EncodeHeader(m));
    lzh::HeaderFaults none;
    none.omitHeaderCrc = true;
    EXPECT_EQ(lzh::EncodeHeader(m, none).size(), lzh::EncodeHeader(m).size() - 5);
}

// The independent readers list and test what we write: names with directories, a
// directory member, an empty member, and the closing 0 byte.
TEST(ArchiveWriter, ReadableByLhasaAnd7Zip) {
    std::string dir = TempDir();
    lzh::Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + (i >> 9));
    std::vector<lzh::Member> members = {
        lzh::StoredMember("readme.txt", Text("first member\n"), 1600000000),
        lzh::DirectoryMember("docs/", 1600000000),
        lzh::StoredMember("docs/deep/data.bin", big, 1600000000),
        lzh::StoredMember("empty.txt", {}, 1600000000),
    };
    std::string path = dir + "/a.lzh";
    ASSERT_TRUE(lzh::WriteFile(path, lzh::WriteArchive(members, false)));

    std::string out;
    ASSERT_EQ(RunTool("lhasa t " + path, out), 0) << out;
    EXPECT_EQ(out.find("CRC"), std::string::npos) << out;
    ASSERT_EQ(RunTool("lhasa l " + path, out), 0) << out;
    EXPECT_NE(out.find("docs/deep/data.bin"), std::string::npos) << out;
    EXPECT_NE(out.find("70000"), std::string::npos) << out;

    ASSERT_EQ(RunTool("7zz t " + path, out), 0) << out;
    EXPECT_NE(out.find("Everything is Ok"), std::string::npos) << out;
    ASSERT_EQ(RunTool("7zz l " + path, out), 0) << out;
    EXPECT_NE(out.find("readme.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("empty.txt"), std::string::npos) << out;

    // Extracting with lhasa gives back the bytes.
    ASSERT_EQ(RunTool("cd " + dir + " && lhasa xq a.lzh", out), 0) << out;
    lzh::Bytes back;
    ASSERT_TRUE(lzh::ReadFile(dir + "/docs/deep/data.bin", back));
    EXPECT_EQ(back, big);
    RunTool("rm -rf " + dir, out);
}

TEST(ArchiveWriter, ConfigBlockAndImage) {
    lzh::SfxConfig c;
    c.windowTitle = std::string(40, 'T');
    c.installDir = "%WORK%\\x";
    c.archiveFlags = 4;
    c.restoreAttributes = 1;
    lzh::Bytes block;
    ASSERT_TRUE(lzh::EncodeConfigBlock(c, block));
    ASSERT_EQ(block.size(), 603u);
    EXPECT_EQ(block[4 + 39], 'T');
    EXPECT_EQ(block[4 + 40], 0);
    EXPECT_EQ(std::string((const char*)&block[86]), "%WORK%\\x");
    EXPECT_EQ(block[601], 4);
    EXPECT_EQ(block[602], 1);

    std::string error;
    c.windowTitle += "T";
    EXPECT_FALSE(lzh::EncodeConfigBlock(c, block, &error));
    EXPECT_NE(error.find("window title"), std::string::npos);
    c.windowTitle.pop_back();

    lzh::Bytes stub(2000, 0x90), image, archive = lzh::WriteArchive({lzh::NoticeMember("hi")}, true);
    ASSERT_TRUE(lzh::BuildImage(stub, c, archive, image));
    ASSERT_EQ(image.size(), 2000 + archive.size());
    EXPECT_EQ(image[512] | image[513] << 8 | image[514] << 16 | image[515] << 24, 2000);
    EXPECT_EQ(image[511], 0x90);
    EXPECT_EQ(image[1115], 0x90);
    EXPECT_TRUE(std::equal(archive.begin(), archive.end(), image.begin() + 2000));
    // The checksum in front is the XOR of the data CRCs.
    EXPECT_EQ(archive[0] | archive[1] << 8, lzh::Crc16(Text("hi")));
}

}  // namespace
