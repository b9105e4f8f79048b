// The whole run from SfxStartup: workspace, configuration block, preflight, dialog and
// exit status; and which real-world archives of the corpus the preflight pass takes.
#include <unistd.h>

#include "sfx/startup.h"
#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

using Step = PosixDialogStep;

class Startup : public SfxRun {
protected:
    int32_t Run(const std::string& image, const std::vector<Step>& script) {
        PosixSetModulePath(image);
        PosixSetDialogScript(script);
        PosixClearTranscript();
        return SfxStartup(nullptr);
    }
    static bool Shown(PosixEvent::Kind kind, const char* text) { return !Events(kind, text).empty(); }
};

TEST_F(Startup, ExitStatus) {
    std::string image = WriteImage({lzh::SettingsMember("$WindowTitle=Installer"), StoredMember("f.txt", TextBytes("data"))});
    PosixFailAllocation(1);
    EXPECT_EQ(Run(image, {}), 0);
    ASSERT_EQ(PosixTranscript().size(), 1u);
    const PosixEvent& box = PosixTranscript()[0];
    EXPECT_EQ(std::tie(box.text, box.caption, box.style, box.owner),
              std::make_tuple("Not enough memory", SFX_DEFAULT_TITLE, 0x2010u, nullptr));
    // Cancel: 0, after the dialog offered the current directory (empty InstallDir).
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(Run(image, {{Step::Command, IdCancel}}), 0);
    EXPECT_TRUE(Shown(PosixEvent::WindowText, "Installer"));
    EXPECT_FALSE(Shown(PosixEvent::Timer, "")) << "no automatic start unless the settings ask for one";
    EXPECT_EQ(PosixItemText(IdDirField), cwd);
    EXPECT_EQ(Run(image, {{Step::Type, IdDirField, dir + "/target"}, {Step::Command, IdOk}}), 1);
    EXPECT_EQ(Contents(dir + "/target/f.txt"), "data");
    EXPECT_EQ(Ws, nullptr);   // released
    PosixFailDialog(true);
    EXPECT_EQ(Run(image, {}), -1);
    PosixFailDialog(false);
    // A notice declined: no dialog, 0. (The workspace stays: the process ends there.)
    PosixQueueAnswer(PortIdNo);
    EXPECT_EQ(Run(WriteImage({lzh::NoticeMember("Read me")}), {}), 0);
    EXPECT_FALSE(Shown(PosixEvent::Dialog, "SfxDialog"));
}

TEST_F(Startup, ConfigurationBlock) {
    // Every string field filled to its last byte is cut at its end; ShowError cuts an
    // overlong subject to the message buffer.
    lzh::Bytes image(3000, 0);
    std::fill(image.begin() + 516, image.begin() + 1110, 'x');
    lzh::WriteFile(Image(), image);
    Prepare(Image());
    const SfxConfigBlock& c = Ws->Config;
    EXPECT_EQ(std::vector<size_t>({strlen(c.WindowTitle), strlen(c.InstallTitle), strlen(c.InstallDir), strlen(c.Command)}),
              std::vector<size_t>({40, 40, 255, 255}));
    ShowError("Bad header", std::string(2000, 's').c_str());
    EXPECT_EQ(Boxes(), Strings{"\"" + std::string(1022, 's')});
}

// The corpus through the preflight pass: those without a header CRC and the "-lh1-" one
// are refused before anything is written, the rest pass.
TEST_F(Startup, CorpusArchives) {
    const std::vector<fixtures::CorpusArchive> corpus = fixtures::Corpus(VARNEX_CORPUS_DIR);
    EXPECT_EQ(corpus.size(), 14u);
    for (const auto& [name, refused] : corpus) {
        SCOPED_TRACE(name);
        lzh::Bytes archive;
        lzh::ReadFile(VARNEX_CORPUS_DIR "/" + name, archive);
        Prepare(WriteImage(archive));
        EXPECT_EQ(WalkArchive(nullptr, PreflightPass), !refused);
        EXPECT_EQ(Boxes(), refused ? Strings{Quoted(Image(), "Bad header")} : Strings{});
    }
}

}  // namespace
