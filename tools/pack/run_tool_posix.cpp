// RunFileTool on POSIX systems: a private temporary directory, posix_spawnp, and the
// interrupt signals held back until the temporaries are gone.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sign.h"

extern char** environ;

namespace pack {

namespace {

// Holds SIGINT, SIGTERM and SIGHUP back while it lives; one that arrived meanwhile is
// delivered when it ends, after the destructors declared after it have run.
class HoldSignals {
public:
    HoldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &old_);
    }
    ~HoldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HoldSignals(const HoldSignals&) = delete;
    HoldSignals& operator=(const HoldSignals&) = delete;
    const sigset_t& Old() const { return old_; }

private:
    sigset_t old_;
};

// A directory of our own below TMPDIR, removed with what is in it.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnex-pack.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        if (!mkdtemp(name.data())) throw Error("cannot create a temporary directory in " + pattern.substr(0, pattern.rfind('/')) + ": " + strerror(errno));
        path_ = name.data();
    }
    ~TempDir() {
        for (const char* f : {"/input", "/output", "/messages"}) unlink((path_ + f).c_str());
        rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace

int RunFileTool(const std::string& program, const std::vector<std::string>& args, const lzh::Bytes& input,
                lzh::Bytes& output, std::string& messages) {
    HoldSignals hold;
    TempDir dir;
    const std::string in = dir / "input", out = dir / "output", log = dir / "messages";
    if (!lzh::WriteFile(in, input)) throw Error(in + ": " + strerror(errno));

    std::vector<std::string> argv = {program};
    for (const std::string& a : args) argv.push_back(a == kToolInput ? in : a == kToolOutput ? out : a);
    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The program gets the signals this process had before, so Ctrl-C ends it.
    posix_spawnattr_setsigmask(&attributes, &hold.Old());
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, program.c_str(), &files, &attributes, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        messages = program + ": " + strerror(spawned);
        return spawned == ENOENT || spawned == EACCES ? kToolMissing : 127;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    lzh::Bytes text;
    if (lzh::ReadFile(log, text)) messages.assign(text.begin(), text.end());
    if (WIFSIGNALED(status)) {
        messages += "\n" + program + " ended by signal " + std::to_string(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    const int code = WEXITSTATUS(status);
    if (code == 0 && !lzh::ReadFile(out, output)) {
        messages += "\n" + program + " wrote no output";
        return 1;
    }
    return code;
}

}  // namespace pack
