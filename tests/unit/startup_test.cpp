// The whole run from SfxStartup: workspace, configuration block, preflight, dialog and
// exit status; and the real-world archives of the corpus through the preflight pass.
#include <dirent.h>
#include <unistd.h>

#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

using Step = PosixDialogStep;
using lzh::StoredMember;

class Startup : public SfxRun {
protected:
    int32_t Run(const std::string& image, const std::vector<Step>& script) {
        PosixSetModulePath(image);
        PosixSetDialogScript(script);
        int32_t status = SfxStartup(nullptr);
        EXPECT_EQ(Ws, nullptr);   // released on every way out that returns
        return status;
    }
    static bool DialogShown() {
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::Dialog) return true;
        return false;
    }
};

TEST_F(Startup, FailuresBeforeTheDialogEndWithZero) {
    std::string image = WriteImage({StoredMember("a.txt", TextBytes("a"))});
    PosixFailAllocation(1);
    EXPECT_EQ(Run(image, {}), 0);
    ASSERT_EQ(PosixTranscript().size(), 1u);
    const PosixEvent& box = PosixTranscript()[0];
    EXPECT_EQ(box.text, "Not enough memory");
    EXPECT_EQ(box.caption, SFX_DEFAULT_TITLE);
    EXPECT_EQ(box.style, 0x2010u);
    EXPECT_EQ(box.owner, nullptr);

    // A notice declined: no dialog. (The workspace stays: the process ends there.)
    PosixClearTranscript();
    PosixQueueAnswer(PortIdNo);
    PosixSetModulePath(WriteImage({lzh::NoticeMember("Read me")}));
    EXPECT_EQ(SfxStartup(nullptr), 0);
    EXPECT_FALSE(DialogShown());
}

TEST_F(Startup, DialogResultIsTheStatus) {
    lzh::SfxConfig c;
    c.installDir = "";
    std::string image = WriteImage({lzh::SettingsMember("$WindowTitle=Installer"), StoredMember("f.txt", TextBytes("data"))}, c);
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(Run(image, {{Step::Command, IdCancel}}), 0);
    EXPECT_TRUE(DialogShown());
    EXPECT_EQ(PosixItemText(IdDirField), cwd);   // empty InstallDir: the current directory
    bool titled = false;
    for (const auto& e : PosixTranscript()) titled |= e.kind == PosixEvent::WindowText && e.text == "Installer";
    EXPECT_TRUE(titled);

    PosixClearTranscript();
    EXPECT_EQ(Run(image, {{Step::Type, IdDirField, dir + "/target"}, {Step::Command, IdOk}}), 1);
    EXPECT_EQ(Contents(dir + "/target/f.txt"), "data");

    PosixFailDialog(true);
    EXPECT_EQ(Run(image, {}), -1);
}

TEST_F(Startup, ConfigurationBlock) {
    // Every string field filled to its last byte: each is cut at its end.
    lzh::Bytes image(3000, 0);
    for (size_t i = 512 + 4; i < 512 + 598; i++) image[i] = 'x';
    lzh::WriteFile(Image(), image);
    Prepare(Image());
    EXPECT_EQ(strlen(Ws->Config.WindowTitle), 40u);
    EXPECT_EQ(strlen(Ws->Config.InstallTitle), 40u);
    EXPECT_EQ(strlen(Ws->Config.InstallDir), 255u);
    EXPECT_EQ(strlen(Ws->Config.Command), 255u);

    // A short image: what was read counts, the rest stays zero, the title defaults.
    image.assign(512 + 4, 0);
    image[512] = 0x34, image[513] = 0x12;
    lzh::WriteFile(Image(), image);
    Prepare(Image());
    uint32_t offset = Ws->Config.ArchiveOffset;   // a packed field: no reference to it
    EXPECT_EQ(offset, 0x1234u);
    EXPECT_STREQ(Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);

    // ShowError cuts an overlong subject to the message buffer.
    std::string subject(2000, 's');
    ShowError("Bad header", subject.c_str());
    EXPECT_EQ(PosixTranscript().back().text, "\"" + subject.substr(0, 1022));
}

// The corpus archives through the preflight pass: those without a header CRC and the
// "-lh1-" one are refused; the rest pass. Stored ones are then extracted and compared
// with what lhasa extracts (7-Zip for the Mac ones, which lhasa wraps in MacBinary).
TEST_F(Startup, CorpusArchives) {
    std::vector<std::string> names;
    if (DIR* d = opendir(VARNEX_CORPUS_DIR)) {
        while (dirent* e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    int seen = 0, extracted = 0;
    for (const std::string& name : names) {
        if (name.size() < 5 || name.substr(name.size() - 4) != ".lzh") continue;
        SCOPED_TRACE(name);
        seen++;
        lzh::Bytes archive;
        ASSERT_TRUE(lzh::ReadFile(std::string(VARNEX_CORPUS_DIR) + "/" + name, archive));
        Prepare(WriteImage(archive));
        PosixClearTranscript();
        bool refused = name.find("no_header_crc") != std::string::npos || name.find("lh1") != std::string::npos;
        EXPECT_EQ(WalkArchive(nullptr, PreflightPass), !refused);
        EXPECT_EQ(Boxes(), refused ? std::vector<std::string>{Quoted(Image(), "Bad header")} : std::vector<std::string>{});
        // Stored members only, and not the rooted name (it would go to the real root).
        bool stored = name.find("lh0") != std::string::npos || name.find("_subdir") != std::string::npos;
        if (refused || !stored || name.find("full_subdir") != std::string::npos) continue;
        std::string want = dir + "/oracle", cmd = "mkdir -p '" + want + "' && cd '" + want + "' && " +
                                             (name.substr(0, 4) == "mac_" ? "7zz x -y '" : "lhasa xq '") + VARNEX_CORPUS_DIR + "/" + name + "' >/dev/null && find . -type f | sort";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[512];
        std::vector<std::string> files;
        while (fgets(line, sizeof line, p)) files.push_back(std::string(line + 2, strcspn(line + 2, "\n")));
        pclose(p);
        ASSERT_FALSE(files.empty());
        EXPECT_TRUE(Extract("mine"));
        for (const auto& f : files) EXPECT_TRUE(Contents(dir + "/mine/" + f) == Contents(want + "/" + f)) << f;
        extracted++;
        (void)system(("rm -rf '" + want + "' '" + dir + "/mine'").c_str());
    }
    EXPECT_GE(seen, 14);
    EXPECT_EQ(extracted, 7);
}

}  // namespace
