// The settings text: keys, line separators, value limits and the "$Flag=" bits.
#include <tuple>

#include "sfx_fixture.h"

namespace {

class Settings : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(dir + "/none");   // no image: an empty block
    }
    void Apply(const std::string& text) {
        TextCopy(Ws->SettingsText, sizeof Ws->SettingsText, text.c_str());
        ApplySettings();
    }
    // AutoStart, OverwriteAll, SkipIfNotNewer, RestoreAttributes after "$Flag=value".
    using S = std::tuple<int, int, int, int>;
    S Flags(const std::string& value, S start = {0, 0, 0, 0}) {
        std::tie(AutoStart, OverwriteAll, SkipIfNotNewer, std::ignore) = start;
        Ws->Config.RestoreAttributes = uint8_t(std::get<3>(start));
        Apply("$Flag=" + value);
        return {AutoStart, OverwriteAll, SkipIfNotNewer, Ws->Config.RestoreAttributes};
    }
};

TEST_F(Settings, FlagBitsInOrder) {
    EXPECT_EQ(Flags("3"), S(1, 1, 0, 0));
    EXPECT_EQ(Flags("257"), S(0, 0, 0, 0));   // set, then cleared
    EXPECT_EQ(Flags("2056"), S(0, 0, 1, 0));  // 0x808: the high bit wins
    EXPECT_EQ(Flags("8", S(0, 0, 1, 0)), S(0, 0, 0, 0));
    EXPECT_EQ(Flags("16"), S(0, 0, 0, '/'));
    EXPECT_EQ(Flags("4096", S(0, 0, 0, 1)), S(0, 0, 0, 0));
    EXPECT_EQ(Flags("0x10", S(1, 1, 1, 1)), S(1, 1, 1, 1));   // reads as 0
    EXPECT_EQ(Flags("-1", S(1, 1, 0, 1)), S(0, 0, 1, 0));
    EXPECT_EQ(Flags("  +2junk"), S(0, 1, 0, 0));
    EXPECT_EQ(Flags("99999999999999999999"), S(0, 0, 1, 0));   // wraps to 0x630FFFFF, no overflow
}

TEST_F(Settings, KeysLinesAndValues) {
    SfxConfigBlock& c = Ws->Config;
    // Keys in any case at the start of a line; any run of control bytes separates lines.
    Apply("$windowtitle=Title \xE3\x81\x82 \r\n\r\n $Command=no\r$INSTALLTITLE=Where?\n$command=go.exe\t$flag=2");
    EXPECT_EQ(std::make_tuple(std::string(c.WindowTitle), std::string(c.InstallTitle), std::string(c.Command), OverwriteAll),
              std::make_tuple("Title \xE3\x81\x82 ", "Where?", "go.exe", 1));
    // InstallDir: the first non-empty value, and only while the field is empty.
    Apply("$InstallDir=\n$InstallDir=%WORK%\\a\n$InstallDir=second");
    Apply("$InstallDir=third");
    EXPECT_STREQ(c.InstallDir, "%WORK%\\a");
    // 255 bytes of a long value, the rest of its line skipped; titles cut to 40 bytes.
    Apply("$Command=" + std::string(300, 'c') + "\n$WindowTitle=" + std::string(60, 'w') + "\n$InstallTitle=i");
    EXPECT_EQ(std::make_tuple(std::string(c.Command), std::string(c.WindowTitle), std::string(c.InstallTitle)),
              std::make_tuple(std::string(255, 'c'), std::string(40, 'w'), "i"));
    Apply("$WindowTitle=");
    EXPECT_STREQ(c.WindowTitle, "");
}

}  // namespace
