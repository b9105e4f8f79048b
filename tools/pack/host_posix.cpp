// The builder's seam on POSIX systems: stat and readdir, iconv for the code pages, the
// temporary output removed on SIGINT, SIGTERM and SIGHUP, and RunFileTool by
// posix_spawnp in a private temporary directory, the signals held back until it is gone.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pack.h"

extern char** environ;

namespace pack {

namespace {

// iconv, closed on every path out.
class Converter {
public:
    Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != (iconv_t)-1; }
    // Converts as much as possible; returns the errno that stopped it (0 = all done) and
    // leaves *consumed at the first input byte not converted.
    int Run(const std::string& in, std::string& out, size_t* consumed) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char buf[1024];
        int err = 0;
        while (srcLeft > 0) {
            char* dst = buf;
            size_t dstLeft = sizeof buf;
            size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buf, sizeof buf - dstLeft);
            if (r == (size_t)-1 && errno != E2BIG) {
                err = errno;
                break;
            }
        }
        if (!err) {
            char* dst = buf;
            size_t dstLeft = sizeof buf;
            iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
            out.append(buf, sizeof buf - dstLeft);
        }
        *consumed = in.size() - srcLeft;
        return err;
    }

private:
    iconv_t cd_;
};

std::string IconvName(uint32_t codePage) { return "CP" + std::to_string(codePage); }

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

// ---- the temporary output, removed on every way out ------------------------------

char g_tempPath[4096];

void RemoveTempOnSignal(int sig) {
    if (g_tempPath[0]) unlink(g_tempPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

const char kHostSeparators[] = "/";

std::vector<std::string> HostArguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

bool HostStat(const std::string& path, HostFileInfo& info) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    info.directory = S_ISDIR(st.st_mode);
    info.regular = S_ISREG(st.st_mode);
    // Windows knows one permission: read-only.
    info.readOnly = !(st.st_mode & S_IWUSR);
    info.size = (uint64_t)st.st_size;
    info.writeTime = st.st_mtime;
    info.identity[0] = (uint64_t)st.st_dev;
    info.identity[1] = (uint64_t)st.st_ino;
    return true;
}

bool HostListDirectory(const std::string& dir, std::vector<std::string>& names) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    errno = 0;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    int err = errno;
    closedir(d);
    errno = err;
    return err == 0;
}

bool HostReadFile(const std::string& path, lzh::Bytes& data) { return lzh::ReadFile(path, data); }

FILE* HostOpenFile(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

bool HostStderrIsConsole() { return isatty(2); }

bool HostCreateTemp(const std::string& prefix, HostTemp& temp) {
    temp.name = prefix + "XXXXXX";
    if (temp.name.size() >= sizeof g_tempPath) {
        temp.tooLong = true;
        return false;
    }
    std::vector<char> name(temp.name.begin(), temp.name.end());
    name.push_back(0);
    int fd, err;
    {
        // The signals wait while the temporary is registered, so the handler always sees
        // a complete name.
        HoldSignals hold;
        fd = mkstemp(name.data());
        err = errno;
        if (fd >= 0) {
            memcpy(g_tempPath, name.data(), name.size());
            for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, RemoveTempOnSignal);
        }
    }
    errno = err;
    temp.name = name.data();
    temp.handle = fd;
    return fd >= 0;
}

const char* HostFillTemp(HostTemp& temp, const uint8_t* data, size_t size) {
    const int fd = (int)temp.handle;
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno != EINTR) return "write failed: ";
        if (n > 0) done += (size_t)n;
    }
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0777 & ~mask) != 0) return "cannot set its permissions: ";
    return fsync(fd) == 0 ? nullptr : "write failed: ";
}

// The descriptor's name is short whatever the output's path is.
std::string HostTempReadPath(const HostTemp& temp) {
    const std::string byFd = "/proc/self/fd/" + std::to_string(temp.handle);
    struct stat probe;
    return stat(byFd.c_str(), &probe) == 0 ? byFd : temp.name;
}

const char* HostCommitTemp(HostTemp& temp, const std::string& path) {
    const int fd = (int)temp.handle;
    temp.handle = -1;
    if (close(fd) != 0) return "write failed: ";
    if (rename(temp.name.c_str(), path.c_str()) != 0) return "";
    g_tempPath[0] = 0;
    return nullptr;
}

void HostRemoveTemp(HostTemp& temp) {
    const int err = errno;
    if (temp.handle >= 0) close((int)temp.handle);
    temp.handle = -1;
    unlink(temp.name.c_str());
    g_tempPath[0] = 0;
    errno = err;
}

bool HostCodePageKnown(uint32_t codePage) { return Converter(IconvName(codePage), "UTF-8").ok(); }

size_t HostEncode(uint32_t codePage, const std::string& utf8, std::string& out) {
    Converter conv(IconvName(codePage), "UTF-8");
    size_t consumed = 0;
    return conv.Run(utf8, out, &consumed) == 0 ? std::string::npos : consumed;
}

size_t HostDecode(uint32_t codePage, const std::string& bytes, std::string& out) {
    Converter conv("UTF-8", IconvName(codePage));
    size_t consumed = 0;
    conv.Run(bytes, out, &consumed);
    return consumed;
}

// ---- running a tool on a temporary file (signing) ------------------------------------
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
