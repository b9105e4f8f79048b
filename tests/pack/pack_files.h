// What the varnex-pack tests share: a scratch directory with a stand-in stub (the MS-DOS
// header, the empty block at 512, a PE signature at 1232) that nothing runs, and
// varnex-pack started as a child process, natively or under Wine.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../common/fixtures.h"

namespace packtest {

using fixtures::ReadAll;
using fixtures::WriteAll;

// The little-endian 32-bit value at `at`.
inline uint32_t U32At(const std::string& s, size_t at) {
    return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8 | (uint8_t)s[at + 2] << 16 | (uint32_t)(uint8_t)s[at + 3] << 24;
}


// A scratch directory with the stand-in stub as stub.exe.
struct PackDir : fixtures::ScratchDir {
    PackDir() {
        std::string stub(1300, '\0');
        stub[0] = 'M', stub[1] = 'Z', stub[60] = (char)0xD0, stub[61] = 0x04;
        WriteAll(*this / "stub.exe", stub.replace(1232, 4, std::string("PE\0\0", 4)));
    }
};

// A build of varnex-pack and how to start it: the Linux one directly, a Windows one
// under Wine (which maps Z: to /, so the host's absolute paths and the working
// directory reach it unchanged).
struct Builder {
    std::string name, exe;
    std::vector<std::string> launcher, env;   // the program that starts exe; NAME=VALUE for it
    std::string wineserver;                   // Wine's server for its prefix
};

inline const Builder& LinuxBuild() {
    static const Builder b{"linux", VARNEX_PACK_EXE};
    return b;
}

// Starts varnex-pack in dir; stdout goes to `out` unless that is empty, stderr to `err`.
inline pid_t StartPack(const std::string& dir, std::vector<std::string> args, const std::string& out,
                       const std::string& err, const Builder& builder = LinuxBuild()) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!out.empty()) dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<std::string> all = builder.launcher;
        all.push_back(builder.exe);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (const std::string& e : builder.env) putenv(strdup(e.c_str()));
        execv(argv[0], argv.data());
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
inline Result Run(const std::string& dir, const std::vector<std::string>& args, const Builder& builder = LinuxBuild()) {
    const std::string out = dir + "/.out", err = dir + "/.err";
    Result r;
    // Wine's server ends a moment after its last program; one started in that moment can
    // find it gone before the program runs (seen on a loaded machine): start it again.
    for (int attempt = 0; attempt < 3; attempt++) {
        int status = WaitStatus(StartPack(dir, args, out, err, builder));
        r = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
        std::filesystem::remove(out), std::filesystem::remove(err);
        if (builder.launcher.empty() || r.err.find("wine client error") == std::string::npos) break;
    }
    // A Windows program writes its text with CRLF line ends; the cases compare lines.
    if (!builder.launcher.empty())
        for (std::string* text : {&r.out, &r.err})
            for (size_t at; (at = text->find("\r\n")) != std::string::npos;) text->erase(at, 1);
    return r;
}

// Runs varnex-pack in dir, expecting `status` and each of `texts` in what it printed
// (standard output, then standard error).
inline Result Expect(const std::string& dir, const std::vector<std::string>& args, int status,
                     std::initializer_list<std::string> texts = {}, const Builder& builder = LinuxBuild()) {
    Result r = Run(dir, args, builder);
    EXPECT_EQ(r.status, status) << r.out << r.err;
    for (const std::string& t : texts)
        EXPECT_NE((r.out + r.err).find(t), std::string::npos) << t << " not in:\n" << r.out << r.err;
    return r;
}

// The builds by name: "linux", and the Windows builds "windows-i686" (under the 32-bit
// Wine) and "windows-x86_64" (under wine64), each in a Wine prefix of its own below the
// build tree.
inline const Builder* FindBuild(const std::string& name) {
    static const std::string prefixes = VARNEX_WINE_PREFIXES, quiet = "WINEDEBUG=-all",
                             noAddOns = "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d";
    static const Builder i686{"windows-i686", VARNEX_PACK_WIN32_EXE, {"/usr/bin/wine"},
                              {"WINEPREFIX=" + prefixes + "/win32", "WINEARCH=win32", quiet, noAddOns},
                              "/usr/bin/wineserver"};
    static const Builder x86_64{"windows-x86_64", VARNEX_PACK_WIN64_EXE, {"/usr/lib/wine/wine64"},
                                {"WINEPREFIX=" + prefixes + "/win64", "WINEARCH=win64",
                                 "WINELOADER=/usr/lib/wine/wine64", quiet, noAddOns},
                                "/usr/lib/wine/wineserver64"};
    return name == "windows-i686" ? &i686 : name == "windows-x86_64" ? &x86_64 : &LinuxBuild();
}

// Whether the build runs here; why not in *why. A Windows build is asked for its
// version under a lock, since the first run makes its Wine prefix.
inline bool Runs(const Builder& b, std::string* why) {
    if (&b == &LinuxBuild()) return true;
    if (access(b.exe.c_str(), R_OK) != 0) {
        *why = b.exe + " is not built (scripts/build builds it)";
        return false;
    }
    std::filesystem::create_directories(VARNEX_WINE_PREFIXES);
    const int lock = open((std::string(VARNEX_WINE_PREFIXES) + "/" + b.name + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    flock(lock, LOCK_EX);
    fixtures::ScratchDir dir;
    const bool fresh = access((b.env[0].substr(b.env[0].find('=') + 1) + "/system.reg").c_str(), R_OK) != 0;
    const Result r = Run(dir.path, {"--version"}, b);
    // A new prefix is finished in the background; the tests start when it is done.
    if (fresh) WaitStatus(StartPack(dir.path, {"-w"}, "", dir / ".err", {b.name, b.wineserver, {}, b.env}));
    close(lock);
    *why = r.err.find("Exec format error") != std::string::npos
               ? "this kernel does not run 32-bit programs (IA-32 emulation is off), so Wine cannot run it"
               : "Wine could not run it (status " + std::to_string(r.status) + "): " + r.err.substr(0, r.err.find('\n'));
    return r.status == 0 && r.out.find("varnex-pack") != std::string::npos;
}

// The fixture of the builder's tests: a PackDir, the build of varnex-pack in use (Linux by
// default), and the calls every case makes there.
class PackTest : public ::testing::Test {
protected:
    std::string Path(const std::string& rel) const { return dir_ / rel; }
    int Shell(const std::string& cmd) { return system(("cd '" + dir_.path + "' && " + cmd).c_str()); }
    Result Run(const std::vector<std::string>& args) { return packtest::Run(dir_.path, args, *builder_); }
    Result Expect(const std::vector<std::string>& args, int status, std::initializer_list<std::string> texts = {}) {
        return packtest::Expect(dir_.path, args, status, texts, *builder_);
    }
    // Builds OUT from the arguments with `stub` (by default the stand-in, which list, test
    // and extract can read); expects success.
    void Build(const std::string& out, std::vector<std::string> args, const std::string& stub = "stub.exe") {
        args.insert(args.begin(), {"-q", "--stub", stub, "-o", out});
        Expect(args, 0);
    }

    PackDir dir_;
    const Builder* builder_ = &LinuxBuild();
};

}  // namespace packtest
