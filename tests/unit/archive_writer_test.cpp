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

// The configuration block and the image around it are read back by every walk test.
}  // namespace
