// varnex-pack stopped half-way: by a signal while compressing or while writing, or by a
// volume that fills up. The previous output stays as it was and no temporary is left.
#include <signal.h>
#include <string.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "pack_files.h"

namespace {

namespace fs = std::filesystem;

using packtest::ReadAll;
using packtest::WaitStatus;

void WriteNoise(const fs::path& p, size_t size) {
    std::mt19937_64 rng(11);
    std::string data(size, 0);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t v = rng();
        memcpy(&data[i], &v, 8);
    }
    packtest::WriteAll(p, data);
}

class PackInterrupt : public ::testing::Test {
protected:
    void SetUp() override { dir_ = packtest::ScratchDir(); }
    void TearDown() override {
        if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
        fs::remove_all(dir_);
    }

    // Starts a quiet build with the stand-in stub, stderr to err.txt.
    pid_t Start(std::vector<std::string> args) {
        args.insert(args.begin(), {"-q", "--stub", "stub.exe"});
        return packtest::StartPack(dir_, args, "", dir_ / "err.txt");
    }
    // Entries of a directory that look like the builder's temporary for `base`.
    static int Temporaries(const fs::path& dir, const std::string& base) {
        int n = 0;
        for (auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().rfind("." + base + ".", 0) == 0;
        return n;
    }

    fs::path dir_;
    std::string mounted_;
};

TEST_F(PackInterrupt, SignalsLeaveThePreviousOutputAndNoTemporary) {
    WriteNoise(dir_ / "in/noise.bin", 48 << 20);
    std::ofstream(dir_ / "out.exe") << "previous";
    {
        SCOPED_TRACE("SIGINT while compressing");
        pid_t pid = Start({"--method", "lh5", "-o", "out.exe", "in"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, SIGINT);
        int status = WaitStatus(pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the build ended before the signal; use a larger input";
        EXPECT_EQ(WTERMSIG(status), SIGINT);
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
        EXPECT_EQ(Temporaries(dir_, "out.exe"), 0);
    }
    {
        SCOPED_TRACE("SIGTERM as soon as the temporary output appears");
        // Stored, the 48 MB reach the writing step at once and take a while to write
        // and sync, so the signal lands while the temporary is being filled.
        pid_t pid = Start({"--method", "lh0", "-o", "out.exe", "in"});
        bool seen = false;
        for (int i = 0; i < 20000 && !seen; i++) {
            seen = Temporaries(dir_, "out.exe") > 0;
            if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        kill(pid, SIGTERM);
        int status = WaitStatus(pid);
        ASSERT_TRUE(seen) << "no temporary output was ever seen";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the build ended before the signal";
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
        EXPECT_EQ(Temporaries(dir_, "out.exe"), 0);
    }
}

TEST_F(PackInterrupt, FullVolumeGivesOneMessageAndNoOutput) {
    const fs::path vol = dir_ / "vol";
    fs::create_directories(vol);
    if (mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a small volume here";
    mounted_ = vol.string();
    WriteNoise(dir_ / "in/noise.bin", 2 << 20);
    pid_t pid = Start({"--method", "lh0", "-o", "vol/out.exe", "in"});
    int status = WaitStatus(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string err = ReadAll(dir_ / "err.txt");
    EXPECT_NE(err.find("vol/out.exe: write failed: No space left on device"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(fs::is_empty(vol)) << "a partial output or temporary was left";
}

}  // namespace
