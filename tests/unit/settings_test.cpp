// The settings text: keys, line separators, value limits and the "$Flag=" bits.
#include <tuple>

#include "sfx_fixture.h"

namespace {

class Settings : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(dir + "/none");   // no image: an empty block with the default title
    }
    void Apply(const std::string& text) {
        TextCopy(Ws->SettingsText, sizeof Ws->SettingsText, text.c_str());
        ApplySettings();
    }
    // AutoStart, OverwriteAll, SkipIfNotNewer, RestoreAttributes.
    using Switches = std::tuple<int, int, int, int>;
    Switches Flags(const std::string& value, Switches start = {0, 0, 0, 0}) {
        std::tie(AutoStart, OverwriteAll, SkipIfNotNewer, std::ignore) = start;
        Ws->Config.RestoreAttributes = uint8_t(std::get<3>(start));
        Apply("$Flag=" + value);
        return {AutoStart, OverwriteAll, SkipIfNotNewer, Ws->Config.RestoreAttributes};
    }
};

TEST_F(Settings, FlagBitsInOrder) {
    using S = Switches;
    EXPECT_EQ(Flags("3"), S(1, 1, 0, 0));
    EXPECT_EQ(Flags("257"), S(0, 0, 0, 0));        // set, then cleared
    EXPECT_EQ(Flags("2056"), S(0, 0, 1, 0));       // 0x808: the high bit wins
    EXPECT_EQ(Flags("8", S(0, 0, 1, 0)), S(0, 0, 0, 0));
    EXPECT_EQ(Flags("16"), S(0, 0, 0, '/'));
    EXPECT_EQ(Flags("4096", S(0, 0, 0, 1)), S(0, 0, 0, 0));
    EXPECT_EQ(Flags("0x10", S(1, 1, 1, 1)), S(1, 1, 1, 1));   // reads as 0
    EXPECT_EQ(Flags("-1", S(1, 1, 0, 1)), S(0, 0, 1, 0));
    EXPECT_EQ(Flags("  +2junk"), S(0, 1, 0, 0));
    EXPECT_EQ(Flags("99999999999999999999"), S(0, 0, 1, 0));   // wraps to 0x630FFFFF, no overflow
    EXPECT_EQ(Flags(""), S(0, 0, 0, 0));
}

TEST_F(Settings, KeysLinesAndValues) {
    SfxConfigBlock& c = Ws->Config;
    // Case-insensitive keys at the start of a line; any run of control bytes separates.
    Apply("$windowtitle=Title \xE3\x81\x82 \r\n\r\n $Command=ignored\r$INSTALLTITLE=Where?\n\n$command=go.exe\t$flag=2");
    EXPECT_STREQ(c.WindowTitle, "Title \xE3\x81\x82 ");
    EXPECT_STREQ(c.InstallTitle, "Where?");
    EXPECT_STREQ(c.Command, "go.exe");
    EXPECT_EQ(OverwriteAll, 1);

    // InstallDir: the first non-empty value wins, and only while the field is empty.
    Apply("$InstallDir=\n$InstallDir=%WORK%\\a\n$InstallDir=second");
    EXPECT_STREQ(c.InstallDir, "%WORK%\\a");
    Apply("$InstallDir=third");
    EXPECT_STREQ(c.InstallDir, "%WORK%\\a");

    // Long values: 255 bytes taken, the rest of the line skipped; titles cut to 40 so
    // they stay inside their fields.
    Apply("$Command=" + std::string(300, 'c') + "\n$WindowTitle=" + std::string(60, 'w') + "\n$InstallTitle=i");
    EXPECT_EQ(std::string(c.Command), std::string(255, 'c'));
    EXPECT_EQ(std::string(c.WindowTitle), std::string(40, 'w'));
    EXPECT_STREQ(c.InstallTitle, "i");
    EXPECT_EQ(c.InstallDir[0], '%');

    // An empty title is allowed; unknown lines and a key with a blank before it change nothing.
    Apply("Hello\n$Unknown=1\n $WindowTitle=no\n$WindowTitle=");
    EXPECT_STREQ(c.WindowTitle, "");
    // The text ends at its NUL even if more follows in the buffer.
    Apply("$Command=a");
    Ws->SettingsText[12] = 0;
    TextCopy(Ws->SettingsText + 13, 30, "$Command=b");
    ApplySettings();
    EXPECT_STREQ(c.Command, "a");
}

}  // namespace
