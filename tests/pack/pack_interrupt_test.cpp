// varnex-pack stopped half-way: by a signal while compressing or while writing, or by a
// volume that fills up. The previous output stays as it was and no temporary is left.
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <thread>

#include "pack_files.h"

namespace {

using packtest::ReadAll;
using packtest::WaitStatus;

class PackInterrupt : public ::testing::Test {
protected:
    void SetUp() override { fixtures::WriteAll(dir_ / "out.exe", "previous"); }
    void TearDown() override {
        if (mounted_) umount2((dir_ / "vol").c_str(), MNT_DETACH);
    }
    // Starts a quiet build of in/, `size` bytes of noise, with the stand-in stub; stderr
    // to err.txt.
    pid_t Start(size_t size, const std::string& method, const std::string& out) {
        fixtures::WriteAll(dir_ / "in/noise.bin", fixtures::DataText(fixtures::Kind::Noise, size, 11));
        return packtest::StartPack(dir_.path, {"-q", "--stub", "stub.exe", "--method", method, "-o", out, "in"}, "",
                                   dir_ / "err.txt");
    }
    // Entries that look like the builder's temporary for out.exe.
    int Temporaries() {
        int n = 0;
        for (auto& e : std::filesystem::directory_iterator(dir_.path))
            n += e.path().filename().string().rfind(".out.exe.", 0) == 0;
        return n;
    }

    packtest::PackDir dir_;
    bool mounted_ = false;
};

TEST_F(PackInterrupt, SignalsLeaveThePreviousOutputAndNoTemporary) {
    // SIGINT while compressing; SIGTERM as soon as the temporary output appears: stored,
    // the 48 MB reach the writing step at once and take a while to write and sync, so the
    // signal lands while the temporary is being filled.
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        pid_t pid = Start(48 << 20, sig == SIGINT ? "lh5" : "lh0", "out.exe");
        bool seen = sig == SIGINT;
        if (sig == SIGINT) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < 20000 && !seen; i++)
            if (!(seen = Temporaries() > 0)) std::this_thread::sleep_for(std::chrono::microseconds(500));
        kill(pid, sig);
        int status = WaitStatus(pid);
        ASSERT_TRUE(seen) << "no temporary output was ever seen";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the build ended before the signal; use a larger input";
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
        EXPECT_EQ(Temporaries(), 0);
    }
}

TEST_F(PackInterrupt, FullVolumeGivesOneMessageAndNoOutput) {
    std::filesystem::create_directories(dir_ / "vol");
    if (mount("tmpfs", (dir_ / "vol").c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a small volume here";
    mounted_ = true;
    int status = WaitStatus(Start(2 << 20, "lh0", "vol/out.exe"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string err = ReadAll(dir_ / "err.txt");
    EXPECT_NE(err.find("vol/out.exe: write failed: No space left on device"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "vol")) << "a partial output or temporary was left";
}

}  // namespace
