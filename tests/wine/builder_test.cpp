// The builder's window (varnex-builder.exe) under Wine, driven as a person would: its
// fields and Build give the command line's bytes, Save writes a project from which the
// Linux build makes the same bytes, a bad field is named in a box with nothing written,
// and Cancel during a long build leaves nothing behind.
#include <filesystem>

#include "wine_bench.h"

namespace {

namespace fs = std::filesystem;
using fixtures::ReadAll;
using fixtures::WriteAll;

class BuilderWindow : public ::testing::Test {
protected:
    void SetUp() override {
        WINE_BENCH_REQUIRED();
        fs::copy_file(wine::Program("varnex-builder.exe"), bench.Dir() + "/varnex-builder.exe");
        WriteAll(Path("myapp/readme.txt"), "Read me.\r\n");
        WriteAll(Path("myapp/sub/data.txt"), std::string(5000, 'd'));
        WriteAll(Path("notice.txt"), "Agree?");
    }
    std::string Path(const std::string& name) const { return bench.Dir() + "/" + name; }
    // Starts the window with a folder or a project and runs the driver's script.
    wine::Transcript Start(const std::string& name, const std::string& script) {
        return bench.Run("varnex-builder.exe\t\"" + bench.WinPath(name) + "\"", "expect-dialog\n" + script, 60);
    }
    // The Linux build (with its own stub, as the window's), in the bench directory.
    int Pack(const std::string& args) {
        return system(("cd '" + bench.Dir() + "' && '" VARNEX_PACK "' -q " + args + " >/dev/null 2>&1").c_str());
    }
    wine::Bench bench;
};

TEST_F(BuilderWindow, FieldsBuildTheCommandLinesBytesAndSaveAProjectTheLinuxBuildReads) {
    WriteAll(Path("setup.vxp"), "# by hand\ninput = myapp/.\noutput = setup.exe\n");
    const wine::Transcript t = Start("setup.vxp", "type 1003 My App\ncheck 1031\nselect 1020 lh5\ntype 1007 " +
                                                      bench.WinPath("notice.txt") + "\npress Save...\npress Build\n"
                                                      "expect-box\npress No\nback\npress Close\nexit\n");
    ASSERT_EQ(t.driverStatus, 0) << t.raw;
    EXPECT_EQ(t.Control(1001)["text"], bench.WinPath("myapp")) << "the project's folder, found from its folder";
    const std::string written = "Written: " + bench.WinPath("setup.exe") + ": 2 files, 1 directories, settings, notice;";
    EXPECT_EQ(t.Box()["text"].substr(0, written.size()), written) << t.raw;
    // The saved project keeps its paths relative; the Linux build reads it to the same bytes,
    // and the command line with the same options gives them too.
    const std::string project = ReadAll(Path("setup.vxp"));
    for (const char* line : {"input = \"myapp/.\"\n", "title = \"My App\"\n", "notice = \"notice.txt\"\n",
                             "auto-start = \"true\"\n", "method = \"lh5\"\n"})
        EXPECT_NE(project.find(line), std::string::npos) << line << project;
    ASSERT_EQ(Pack("--project setup.vxp -o linux.exe"), 0);
    ASSERT_EQ(Pack("-o cli.exe --title 'My App' --auto-start --method lh5 --notice notice.txt myapp/."), 0);
    EXPECT_EQ(ReadAll(Path("setup.exe")), ReadAll(Path("linux.exe")));
    EXPECT_EQ(ReadAll(Path("setup.exe")), ReadAll(Path("cli.exe")));
}

// Started with a folder, the window proposes "<name>-setup.exe" beside it and the name as
// title; a damaged icon is refused with the builder's message, and nothing is written.
TEST_F(BuilderWindow, AFolderIsProposedAndAFailureIsShownWithNothingWritten) {
    WriteAll(Path("bad.ico"), "not an icon");
    const wine::Transcript t = Start("myapp", "type 1008 " + bench.WinPath("bad.ico") +
                                                  "\npress Build\nexpect-box\npress OK\nback\npress Close\nexit\n");
    ASSERT_EQ(t.driverStatus, 0) << t.raw;
    EXPECT_EQ(t.Control(1002)["text"], bench.WinPath("myapp-setup.exe"));
    EXPECT_EQ(t.Control(1003)["text"], "myapp");
    EXPECT_EQ(t.Box()["text"].rfind("--icon " + bench.WinPath("bad.ico") + " is not an icon file", 0), 0u) << t.raw;
    EXPECT_FALSE(fs::exists(Path("myapp-setup.exe")));
}

// Cancel while a large folder is compressed: the build ends, and neither the output nor a
// temporary is left.
TEST_F(BuilderWindow, CancelDuringABuildLeavesNothing) {
    const lzh::Bytes noise = fixtures::Data(fixtures::Kind::Noise, 64 << 20, 7);
    WriteAll(Path("myapp/large.bin"), std::string(noise.begin(), noise.end()));
    const wine::Transcript t = Start("myapp", "press Build\nsleep 1500\npress Cancel\n"
                                              "wait-text 1051 Cancelled*\npress Close\nexit\n");
    ASSERT_EQ(t.driverStatus, 0) << t.raw;
    EXPECT_EQ(t.First("TEXT")["text"], "Cancelled: nothing was written.");
    EXPECT_FALSE(fs::exists(Path("myapp-setup.exe")));
    EXPECT_EQ(fixtures::Temporaries(bench.Dir(), "myapp-setup.exe"), 0);
}

}  // namespace
