// The archive writer, checked against independent LZH readers (lhasa, 7-Zip).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "lzh/archive_writer.h"

namespace {

TEST(ArchiveWriter, ReadableByLhasaAnd7Zip) {
    char tmpl[] = "/tmp/varnex_writer_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    lzh::Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + (i >> 9));
    ASSERT_TRUE(lzh::WriteFile(dir + "/a.lzh", lzh::WriteArchive({lzh::StoredMember("readme.txt", {'h', 'i'}, 1600000000),
                                                                  lzh::DirectoryMember("docs/", 1600000000),
                                                                  lzh::StoredMember("docs/deep/data.bin", big),
                                                                  lzh::StoredMember("empty.txt", {})},
                                                                 false)));
    const std::string cd = "cd '" + dir + "' && ";
    EXPECT_EQ(system((cd + "lhasa t a.lzh >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(system((cd + "lhasa l a.lzh | grep -q 'docs/deep/data.bin'").c_str()), 0);
    EXPECT_EQ(system((cd + "7zz t a.lzh | grep -q 'Everything is Ok'").c_str()), 0);
    EXPECT_EQ(system((cd + "7zz x -oseven a.lzh >/dev/null && test -d seven/docs && test -f seven/empty.txt").c_str()), 0);
    lzh::Bytes back;
    ASSERT_TRUE(lzh::ReadFile(dir + "/seven/docs/deep/data.bin", back));
    EXPECT_EQ(back, big);
    (void)system(("rm -rf '" + dir + "'").c_str());
}

TEST(ArchiveWriter, ConfigBlockAndImage) {
    lzh::SfxConfig c;
    c.windowTitle = std::string(40, 'T');
    c.archiveFlags = 4;
    lzh::Bytes image, archive = lzh::WriteArchive({lzh::NoticeMember("hi")}, true);
    ASSERT_TRUE(lzh::BuildImage(lzh::Bytes(2000, 0x90), c, archive, image));
    ASSERT_EQ(image.size(), 2000 + archive.size());
    EXPECT_EQ(image[512] | image[513] << 8, 2000);                      // the archive follows the stub
    EXPECT_EQ(std::string(image.begin() + 516, image.begin() + 557), std::string(40, 'T') + '\0');
    EXPECT_EQ(image[512 + 601], 4);
    EXPECT_EQ(image[511], 0x90);
    EXPECT_EQ(image[1115], 0x90);                                       // stub bytes outside the block kept
    EXPECT_EQ(archive[0] | archive[1] << 8, lzh::Crc16(lzh::Bytes{'h', 'i'}));   // XOR of one CRC
    std::string error;
    c.windowTitle += "T";
    EXPECT_FALSE(lzh::EncodeConfigBlock(c, image, &error));
    EXPECT_NE(error.find("window title"), std::string::npos);
}

}  // namespace
