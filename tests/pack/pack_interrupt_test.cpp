// varnex-pack stopped half-way: by a signal while compressing or while writing, or by a
// volume that fills up. The previous output stays as it was and no temporary is left.
#include <signal.h>

#include <chrono>
#include <thread>

#include "pack_files.h"

namespace {

using packtest::ReadAll;
using packtest::WaitStatus;

class PackInterrupt : public ::testing::Test {
protected:
    void SetUp() override { fixtures::WriteAll(dir_ / "out.exe", "previous"); }
    // Starts a quiet build of in/, `size` bytes of noise, with the stand-in stub; stderr
    // to err.txt.
    pid_t Start(size_t size, const std::string& method, const std::string& out) {
        fixtures::WriteAll(dir_ / "in/noise.bin", fixtures::DataText(fixtures::Kind::Noise, size, 11));
        return packtest::StartPack(dir_.path, {"-q", "--stub", "stub.exe", "--method", method, "-o", out, "in"}, "",
                                   dir_ / "err.txt");
    }
    int Temporaries() { return fixtures::Temporaries(dir_.path, "out.exe"); }

    packtest::PackDir dir_;
};

TEST_F(PackInterrupt, SignalsLeaveThePreviousOutputAndNoTemporary) {
    // SIGINT while compressing (no temporary exists before the image is complete, and 48 MB
    // take seconds to compress); SIGTERM as soon as the temporary output appears: stored,
    // the 48 MB reach the writing step at once and take a while to write and sync, so the
    // signal lands while the temporary is being filled.
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        pid_t pid = Start(48 << 20, sig == SIGINT ? "lh5" : "lh0", "out.exe");
        bool ready = false;   // at the step the signal is meant for
        if (sig == SIGINT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ready = Temporaries() == 0;
        }
        for (int i = 0; i < 20000 && sig == SIGTERM && !ready; i++)
            if (!(ready = Temporaries() > 0)) std::this_thread::sleep_for(std::chrono::microseconds(500));
        kill(pid, sig);
        int status = WaitStatus(pid);
        ASSERT_TRUE(ready) << (sig == SIGINT ? "the build was writing already" : "no temporary output was ever seen");
        ASSERT_TRUE(WIFSIGNALED(status)) << "the build ended before the signal; use a larger input";
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
        EXPECT_EQ(Temporaries(), 0);
    }
}

TEST_F(PackInterrupt, FullVolumeGivesOneMessageAndNoOutput) {
    const fixtures::SmallVolume volume(dir_ / "vol");
    if (!volume.mounted) GTEST_SKIP() << "cannot mount a small volume here";
    int status = WaitStatus(Start(2 << 20, "lh0", "vol/out.exe"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string err = ReadAll(dir_ / "err.txt");
    EXPECT_NE(err.find("vol/out.exe: write failed: No space left on device"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "vol")) << "a partial output or temporary was left";
}

}  // namespace
