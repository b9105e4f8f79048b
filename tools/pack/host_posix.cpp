// The builder's seam on POSIX systems: stat and readdir, iconv for the code pages, and
// the temporary output removed on SIGINT, SIGTERM and SIGHUP.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pack.h"

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

void WriteAtomically(const std::string& path, const lzh::Bytes& data,
                     const std::function<void(const std::string&)>& verify) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw Error(path + " is a directory");
    std::string temp = dir + "/." + base + ".XXXXXX";
    if (temp.size() >= sizeof g_tempPath) throw Error(path + ": the path is too long");
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    // Block the signals while the temporary is registered, so the handler always sees
    // a complete name.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &old);
    int fd = mkstemp(name.data());
    if (fd >= 0) {
        memcpy(g_tempPath, name.data(), name.size());
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, RemoveTempOnSignal);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) throw Error(path + ": cannot create a file in " + dir + ": " + strerror(errno));

    auto fail = [&](const std::string& what) {
        int err = errno;
        close(fd);
        unlink(name.data());
        g_tempPath[0] = 0;
        throw Error(path + ": " + what + ": " + strerror(err));
    };
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write failed");
        }
        done += (size_t)n;
    }
    // An executable, as far as the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0777 & ~mask) != 0) fail("cannot set its permissions");
    if (fsync(fd) != 0) fail("write failed");
    if (verify) {
        // The descriptor's name is short whatever the output's path is.
        std::string byFd = "/proc/self/fd/" + std::to_string(fd);
        struct stat probe;
        try {
            verify(stat(byFd.c_str(), &probe) == 0 ? byFd : std::string(name.data()));
        } catch (...) {
            close(fd);
            unlink(name.data());
            g_tempPath[0] = 0;
            throw;
        }
    }
    if (close(fd) != 0) {
        int err = errno;
        unlink(name.data());
        g_tempPath[0] = 0;
        throw Error(path + ": write failed: " + strerror(err));
    }
    if (rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        unlink(name.data());
        g_tempPath[0] = 0;
        throw Error(path + ": " + strerror(err));
    }
    g_tempPath[0] = 0;
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

}  // namespace pack
