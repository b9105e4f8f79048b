// The installer dialog over the POSIX port's simulated screen and a real image.
#include <sys/stat.h>

#include <tuple>

#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

using Step = PosixDialogStep;

// A workspace as start-up hands it to the dialog, over an image holding one stored
// member of 200000 bytes (four progress reports).
class Dialog : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(WriteImage({StoredMember("big.bin", lzh::Bytes(200000, 'v'))}));
        mkdir((dir + "/My Dir").c_str(), 0700);
        TextCopy(Ws->Config.WindowTitle, 41, "Setup Title");
        TextCopy(Ws->Config.InstallDir, 256, "C:\\Apps");
    }
    // The dialog's result, or the status AbortRun ended the process with.
    intptr_t Show(const std::vector<Step>& script) {
        PosixSetDialogScript(script);
        intptr_t result = 0;
        int status = Aborts([&] { result = PortDialogBox(nullptr, "SfxDialog", nullptr, SfxDialogProc, 0); });
        return status >= 0 ? status : result;
    }
    bool Exists(const std::string& path) { return fixtures::Exists(dir + path); }
};

TEST_F(Dialog, StartShowsTheConfigurationAndArmsTheTimerOnlyWithAutoStart) {
    EXPECT_EQ(Show({{Step::Type, IdDirField, std::string(300, 'x')}, {Step::Close}}), 0);
    EXPECT_EQ(Events(PosixEvent::WindowText, "Setup Title").size(), 1u);
    EXPECT_EQ(PosixItemText(IdDirLabel), "Install &Directory:");   // empty InstallTitle
    EXPECT_EQ(PosixItemText(IdDirField).size(), 255u);
    EXPECT_TRUE(Events(PosixEvent::Timer).empty());

    AutoStart = 1;
    TextCopy(Ws->Config.InstallTitle, 41, "Target folder:");
    EXPECT_EQ(Show({{Step::Command, IdCancel}}), 0);
    EXPECT_EQ(PosixItemText(IdDirLabel), "Target folder:");
    EXPECT_EQ(PosixItemText(IdDirField), "C:\\Apps");
    auto timers = Events(PosixEvent::Timer);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(std::make_tuple(timers[0].id, timers[0].style), std::make_tuple(1, 700u));
}

TEST_F(Dialog, OkRefusesNetworkPathsThenExtractsIntoTheUnquotedDirectory) {
    EXPECT_EQ(Show({{Step::Type, IdDirField, "\\\\server\\share"}, {Step::Command, IdOk},
                    {Step::Type, IdDirField, "//server/share"}, {Step::Command, IdOk},
                    {Step::Type, IdDirField, "\"" + dir + "/My \"Dir\""}, {Step::Command, IdOk}}),
              1);
    auto boxes = Events(PosixEvent::MessageBox);
    ASSERT_EQ(boxes.size(), 2u);
    for (const PosixEvent& box : boxes)
        EXPECT_EQ(std::make_tuple(box.text, box.caption, box.style, box.owner != nullptr),
                  std::make_tuple("Invalid directory", "Setup Title", 0x2030u, true));
    EXPECT_EQ(Ws->ChosenDir, dir + "/My Dir");
    EXPECT_TRUE(Exists("/My Dir/big.bin"));
    EXPECT_EQ(PosixItemText(IdProgressPercent), "Extract... 100%");
    // Only the accepted OK disables the controls.
    EXPECT_EQ(Events(PosixEvent::EnableItem).size(), 3u);
    EXPECT_FALSE(PosixItemEnabled(IdOk) || PosixItemEnabled(IdReference) || PosixItemEnabled(IdDirField));
}

TEST_F(Dialog, TimerConfirmsWithTheFieldAsTypedAndFiresOnce) {
    AutoStart = 1;
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::FireTimer}, {Step::FireTimer}}), 1);
    EXPECT_TRUE(Exists("/big.bin"));
    EXPECT_EQ(Events(PosixEvent::EndDialog).size(), 1u);
}

// Once the person acts the automatic start is dropped: with Reference (the chooser's own
// loop would let it fire) and with OK pressed by hand.
TEST_F(Dialog, ReferenceAndOkStopTheAutomaticStart) {
    AutoStart = 1;
    PosixSetChooserResult("");
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::Command, IdReference}, {Step::FireTimer}, {Step::Close}}), 0);
    EXPECT_FALSE(Exists("/big.bin"));
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::Command, IdOk}}), 1);
    EXPECT_FALSE(PosixTimerArmed(1));
}

// At the first progress report the timer's late OK and a Cancel are waiting; the pass's
// pump must ignore the one and act on the other.
TEST_F(Dialog, DuringExtractionCancelEndsTheRunAndALateOkIsIgnored) {
    AutoStart = 1;
    bool staged = false;
    PosixSetItemTextHook([&](int32_t id, const char* text) {
        if (id != IdProgressPercent || TextEqual(text, "Extract... 0%") || staged) return;
        staged = true;
        PortWindow dialog = PosixTranscript().back().owner;
        SfxDialogProc(dialog, PortWmTimer, 1, 0);
        PosixPostCommand(IdCancel);
        EXPECT_EQ(SfxDialogProc(dialog, PortWmClose, 0, 0), 0);   // the platform makes it Cancel
        EXPECT_NE(SfxDialogProc(dialog, PortWmQueryDragIcon, 0, 0), 0);   // icon still held
    });
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::Command, IdOk}}), 1);
    EXPECT_TRUE(staged);
    EXPECT_EQ(PosixItemText(IdProgressPercent), "Extract... 32%");
    EXPECT_FALSE(Exists("/big.bin"));
    EXPECT_EQ(Events(PosixEvent::EnableItem).size(), 3u);
    EXPECT_TRUE(Events(PosixEvent::EndDialog).empty());
}

TEST_F(Dialog, ChooserResultGoesIntoTheFieldQuotedWhenItHasASpace) {
    PosixSetChooserResult("C:\\Program Files\\App\\work.txt");
    Show({{Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "\"C:\\Program Files\\App\"");
    EXPECT_EQ(RunState.DialogIcon, nullptr);   // released when the dialog ends

    PosixSetChooserResult("D:\\work.txt");   // a drive root keeps only letter and colon
    Show({{Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "D:");

    PosixSetChooserResult("");   // cancelled: the field keeps its text
    Show({{Step::Type, IdDirField, "F:\\kept"}, {Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "F:\\kept");
}

}  // namespace
