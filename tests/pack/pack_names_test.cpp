// Member names as the stub will read them: separators outside double-byte characters
// only, and the code page conversions that produce the stored bytes.
#include <gtest/gtest.h>

#include "pack.h"

namespace {

using pack::CodePage;
using pack::UnsafeNameReason;

TEST(PackNames, TrailBytesAreNeverSeparators) {
    CodePage sjis("932"), latin("1252");
    // 0x81 0x5C is one character in code page 932; in 1252 the 0x5C is a backslash.
    const std::string dotsAfterTrail = "\x81\x5C../x";
    EXPECT_EQ(UnsafeNameReason(dotsAfterTrail, sjis), nullptr);
    EXPECT_STREQ(UnsafeNameReason(dotsAfterTrail, latin), "it has a '..' component");
    EXPECT_THROW(pack::CheckMemberName("ab\x95", sjis, false, "n"), pack::Error) << "half a character";
}

TEST(PackNames, EverySeparatorOfTheStubCounts) {
    CodePage none;
    EXPECT_NE(UnsafeNameReason("a\xFF..\xFF" "b", none), nullptr);
    EXPECT_NE(UnsafeNameReason("a\\..", none), nullptr);
    EXPECT_NE(UnsafeNameReason("\\x", none), nullptr);
    EXPECT_NE(UnsafeNameReason("%work%x", none), nullptr);
    EXPECT_EQ(UnsafeNameReason("a/..b/.../c..", none), nullptr);
    EXPECT_EQ(UnsafeNameReason("x%WinDir%/a:b", none), nullptr);
}

TEST(PackNames, CodePageConversions) {
    EXPECT_EQ(CodePage("1252").Encode("é€", "t"), "\xE9\x80");
    EXPECT_EQ(CodePage("cp932").Encode("表ｿ", "t"), "\x95\x5C\xBF");
    EXPECT_EQ(CodePage("raw").Encode("é", "t"), "é");
    EXPECT_EQ(CodePage("utf-8").Encode("é", "t"), "é");
    EXPECT_THROW(CodePage("utf-8").Encode("\xE9", "t"), pack::Error);
    EXPECT_THROW(CodePage("12x"), pack::UsageError);
    EXPECT_EQ(CodePage("932").Decode("\x95\x5C\xFD\x01"), "表\\xFD\\x01");
}

}  // namespace
