// The POSIX port's simulations that the core's tests lean on.
#include <gtest/gtest.h>

#include "port/posix_port.h"

TEST(PosixPort, FileTimeAndSystemTimeAgreeOnTheCalendar) {
    PosixResetPort();
    PortSystemTime st{};
    PortFileTime ft = 116444736000000000ull;   // 1970-01-01
    ASSERT_TRUE(PortFileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.Year, 1970);
    EXPECT_EQ(st.Month, 1);
    EXPECT_EQ(st.Day, 1);
    EXPECT_EQ(st.DayOfWeek, 4);
    PortSystemTime leap{2000, 2, 0, 29, 23, 59, 58, 0};
    ASSERT_TRUE(PortSystemTimeToFileTime(&leap, &ft));
    ASSERT_TRUE(PortFileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.Month, 2);
    EXPECT_EQ(st.Day, 29);
    EXPECT_EQ(st.Second, 58);
    PortSystemTime bad{2100, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(PortSystemTimeToFileTime(&bad, &ft));
}

TEST(PosixPort, CharPrevStepsOverShiftJisPairs) {
    PosixResetPort();
    const char text[] = "a\x95\x5C";   // 'a' then the two bytes of a kanji
    EXPECT_EQ(PortCharPrev(text, text + 3), text + 2);
    PosixSetCodePage(932);
    EXPECT_EQ(PortCharPrev(text, text + 3), text + 1);
    EXPECT_EQ(PortCharPrev(text, text), text);
}
