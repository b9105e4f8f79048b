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

bool HostCreateTemp(const std::string& prefix, HostTemp& temp) {
    temp.name = prefix + "XXXXXX";
    if (temp.name.size() >= sizeof g_tempPath) {
        temp.tooLong = true;
        return false;
    }
    std::vector<char> name(temp.name.begin(), temp.name.end());
    name.push_back(0);
    // Block the signals while the temporary is registered, so the handler always sees
    // a complete name.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &old);
    const int fd = mkstemp(name.data());
    const int err = errno;
    if (fd >= 0) {
        memcpy(g_tempPath, name.data(), name.size());
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, RemoveTempOnSignal);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    temp.name = name.data();
    temp.handle = fd;
    return fd >= 0;
}

bool HostWriteTemp(HostTemp& temp, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write((int)temp.handle, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

bool HostMakeExecutable(HostTemp& temp) {
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod((int)temp.handle, 0777 & ~mask) == 0;
}

bool HostSyncTemp(HostTemp& temp) { return fsync((int)temp.handle) == 0; }

// The descriptor's name is short whatever the output's path is.
std::string HostTempReadPath(const HostTemp& temp) {
    const std::string byFd = "/proc/self/fd/" + std::to_string(temp.handle);
    struct stat probe;
    return stat(byFd.c_str(), &probe) == 0 ? byFd : temp.name;
}

bool HostCloseTemp(HostTemp& temp) {
    const int fd = (int)temp.handle;
    temp.handle = -1;
    return close(fd) == 0;
}

bool HostRenameTemp(HostTemp& temp, const std::string& path) {
    if (rename(temp.name.c_str(), path.c_str()) != 0) return false;
    g_tempPath[0] = 0;
    return true;
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

}  // namespace pack
