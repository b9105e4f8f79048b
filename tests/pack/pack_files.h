// What the varnex-pack tests share: whole-file reads and writes, a scratch directory with
// a stand-in stub (the MS-DOS header, the empty block at 512, a PE signature at 1232) that
// nothing runs, and varnex-pack started as a child process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace packtest {

inline std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::filesystem::path& p, const std::string& data) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

// The little-endian 32-bit value at `at`.
inline uint32_t U32At(const std::string& s, size_t at) {
    return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8 | (uint8_t)s[at + 2] << 16 | (uint32_t)(uint8_t)s[at + 3] << 24;
}

inline std::string StandInStub() {
    std::string stub(1300, '\0');
    stub[0] = 'M', stub[1] = 'Z';
    stub[60] = (char)0xD0, stub[61] = 0x04;
    stub.replace(1232, 4, std::string("PE\0\0", 4));
    return stub;
}

// A new directory with the stand-in stub as stub.exe.
inline std::filesystem::path ScratchDir() {
    char tmpl[] = "/tmp/varnex-pack-test.XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    WriteAll(std::filesystem::path(tmpl) / "stub.exe", StandInStub());
    return tmpl;
}

// Starts varnex-pack in dir; stdout goes to `out` unless that is empty, stderr to `err`.
inline pid_t StartPack(const std::filesystem::path& dir, std::vector<std::string> args,
                       const std::filesystem::path& out, const std::filesystem::path& err) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!out.empty()) dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<char*> argv{const_cast<char*>(VARNEX_PACK_EXE)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(VARNEX_PACK_EXE, argv.data());
        _exit(127);
    }
    return pid;
}

inline int WaitStatus(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs varnex-pack in dir to its end.
inline Result Run(const std::filesystem::path& dir, const std::vector<std::string>& args) {
    const std::filesystem::path out = dir / ".out", err = dir / ".err";
    int status = WaitStatus(StartPack(dir, args, out, err));
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
    std::filesystem::remove(out), std::filesystem::remove(err);
    return r;
}

}  // namespace packtest
