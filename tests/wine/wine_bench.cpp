// The Wine test bench: environment, images, runs of the driver, transcripts.
#include "wine_bench.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#ifndef VARNEX_WINDOWS_DIR
#define VARNEX_WINDOWS_DIR ""
#endif
#ifndef VARNEX_WINEPREFIX
#define VARNEX_WINEPREFIX "/tmp/varnex-wineprefix"
#endif

namespace wine {
namespace {

std::string& Why() {
    static std::string why = "the Wine environment was not set up";
    return why;
}
pid_t XvfbPid = 0;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

// Starts Xvfb on a display number of its own; returns the number or -1. The number is
// named rather than left to -displayfd alone: servers started that way were seen without
// lock files on a machine with parallel runs, and our programs then failed to open any
// window. Named numbers from 300 on keep lock files and stay clear of the low numbers
// that -displayfd hands out.
int StartXvfb() {
    for (int attempt = 0; attempt < 20; attempt++) {
        const int number = 300 + (int)((getpid() + attempt * 37) % 600);
        if (Exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
        int fds[2];
        if (pipe(fds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 3);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(null, 1), dup2(null, 2);
            const std::string display = ":" + std::to_string(number);
            execlp("Xvfb", "Xvfb", display.c_str(), "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten",
                   "tcp", (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return -1;
        }
        char buf[16] = "";
        ssize_t n = read(fds[0], buf, sizeof buf - 1);   // Xvfb writes the number when it is ready
        // The read end stays open for the server's life: a later write of the server to
        // a closed pipe would end it with SIGPIPE.
        if (n > 0) {
            XvfbPid = pid;
            return atoi(buf);
        }
        close(fds[0]);
        kill(pid, SIGTERM);   // the number was taken after all: try another
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

Record Parse(const std::string& line) {
    Record r;
    size_t start = 0;
    bool first = true;
    while (start <= line.size()) {
        size_t end = line.find('\t', start);
        if (end == std::string::npos) end = line.size();
        std::string field = line.substr(start, end - start);
        if (first) {
            r.kind = field;
            first = false;
        } else {
            size_t eq = field.find('=');
            r.fields[field.substr(0, eq)] = eq == std::string::npos ? "" : Unescape(field.substr(eq + 1));
        }
        start = end + 1;
    }
    return r;
}

}  // namespace

// ---- transcripts -----------------------------------------------------------------

std::vector<Record> Transcript::All(const std::string& kind) const {
    std::vector<Record> out;
    for (const Record& r : records)
        if (r.kind == kind) out.push_back(r);
    return out;
}

Record Transcript::First(const std::string& kind) const {
    for (const Record& r : records)
        if (r.kind == kind) return r;
    return Record();
}

int Transcript::ExitStatus() const {
    Record r = First("EXIT");
    return r.kind.empty() ? -1000 : atoi(r["status"].c_str());
}

Record Transcript::Control(int id) const {
    for (const Record& r : records)
        if (r.kind == "CONTROL" && r["id"] == std::to_string(id)) return r;
    return Record();
}

// ---- the Windows tree -----------------------------------------------------------------

std::string Program(const std::string& name) { return EnvOr("VARNEX_WINDOWS_TREE", VARNEX_WINDOWS_DIR) + "/" + name; }

std::string WineCommand() { return "'" + EnvOr("VARNEX_WINE", "wine") + "'"; }

bool StandIn() {
    // The machine field of the stub's file header: 0x8664 for x86-64.
    const lzh::Bytes& stub = Bench::Stub();
    if (stub.size() < 64) return false;
    const size_t pe = stub[60] | stub[61] << 8 | stub[62] << 16 | (size_t)stub[63] << 24;
    return pe + 6 <= stub.size() && stub[pe + 4] == 0x64 && stub[pe + 5] == 0x86;
}

std::string PackStubOption() {
    return getenv("VARNEX_WINDOWS_TREE") ? "--stub '" + Program("Varnex32.exe") + "' " : "";
}

// ---- the environment ------------------------------------------------------------------

const std::string& Environment::Unavailable() { return Why(); }

void Environment::SetUp() {
    std::string& why = Why();
    if (!Exists(Program("Varnex32.exe"))) {
        why = "no stub at '" + Program("Varnex32.exe") + "' (build the Windows tree first)";
        return;
    }
    if (!Exists(Program("varnex-driver.exe"))) {
        why = "no driver at '" + Program("varnex-driver.exe") + "' (build the Windows tree first)";
        return;
    }
    if (system(("command -v " + WineCommand() + " >/dev/null 2>&1").c_str()) != 0) {
        why = "wine is not installed (no " + WineCommand() + ")";
        return;
    }
    // scripts/test found that this machine cannot run 32-bit programs at all.
    if (const char* unrunnable = getenv("VARNEX_WINE_UNRUNNABLE")) {
        why = unrunnable;
        return;
    }
    // A display: the one given, else an Xvfb of our own.
    std::string display = EnvOr("VARNEX_WINE_DISPLAY", "");
    if (!display.empty() && display[0] == ':' && !Exists("/tmp/.X11-unix/X" + display.substr(1))) {
        fprintf(stderr, "display %s is not there; starting an Xvfb of our own\n", display.c_str());
        display.clear();
    }
    if (display.empty()) {
        int n = StartXvfb();
        if (n < 0) {
            why = "Xvfb could not be started";
            return;
        }
        display = ":" + std::to_string(n);
    }
    const std::string prefix = EnvOr("VARNEX_WINEPREFIX", VARNEX_WINEPREFIX);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    // A prefix holds programs of one kind: the stand-in needs a 64-bit one.
    setenv("WINEARCH", StandIn() ? "win64" : "win32", 1);
    // Programs the stub starts are started by the same loader.
    if (getenv("VARNEX_WINE")) setenv("WINELOADER", getenv("VARNEX_WINE"), 0);
    setenv("WINEDEBUG", "-all", 1);
    // No Mono or Gecko installers, no menu entries or file associations on the host.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    if (!Exists(prefix + "/system.reg")) {
        std::string cmd = WineCommand() + " wineboot -i >/dev/null 2>&1 && wineserver -w";
        if (system(cmd.c_str()) != 0 || !Exists(prefix + "/system.reg")) {
            why = "wineboot could not make the prefix " + prefix;
            return;
        }
    }
    // A program that crashes must end (and fail its test), not wait behind a crash dialog.
    (void)!system((WineCommand() + " reg add 'HKCU\\Software\\Wine\\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f "
                                   ">/dev/null 2>&1").c_str());
    why.clear();
}

void Environment::TearDown() {
    if (Why().empty()) (void)!system("wineserver -k >/dev/null 2>&1");
    if (XvfbPid > 0) {
        kill(XvfbPid, SIGTERM);
        waitpid(XvfbPid, nullptr, 0);
        XvfbPid = 0;
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---- the bench ---------------------------------------------------------------------------

Bench::Bench() {
    char pattern[] = "/tmp/varnex-wine-XXXXXX";
    if (mkdtemp(pattern)) dir_ = pattern;
}

Bench::~Bench() {
    if (!dir_.empty() && !getenv("VARNEX_KEEP_WINE_DIRS")) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string Bench::WinPath(const std::string& name) const {
    std::string path = "Z:" + dir_ + (name.empty() ? "" : "/" + name);
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

const lzh::Bytes& Bench::Stub() {
    static lzh::Bytes stub;
    if (stub.empty()) lzh::ReadFile(Program("Varnex32.exe"), stub);
    return stub;
}

void Bench::WriteImage(const std::string& name, const lzh::SfxConfig& config, const lzh::Bytes& archive) {
    lzh::Bytes image;
    std::string error;
    ASSERT_TRUE(lzh::BuildImage(Stub(), config, archive, image, &error)) << error;
    ASSERT_TRUE(lzh::WriteFile(dir_ + "/" + name, image));
}

Transcript Bench::Run(const std::string& image, const std::string& script, int timeoutSeconds) {
    Transcript t;
    {
        std::ofstream s(dir_ + "/driver-script.txt", std::ios::binary);
        s << "timeout " << timeoutSeconds << "\nrun " << WinPath(image) << "\n" << script;
    }
    // The driver bounds every wait itself; the outer limit only catches a hung Wine.
    const std::string cmd = "timeout " + std::to_string(timeoutSeconds * 4 + 60) + " " + WineCommand() + " '" +
                            Program("varnex-driver.exe") + "' '" + WinPath("driver-script.txt") + "' 2>'" + dir_ +
                            "/wine-stderr.txt'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return t;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) t.raw.append(buf, n);
    int status = pclose(p);
    for (size_t start = 0; start < t.raw.size();) {
        size_t end = t.raw.find('\n', start);
        if (end == std::string::npos) end = t.raw.size();
        std::string line = t.raw.substr(start, end - start);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) t.records.push_back(Parse(line));
        start = end + 1;
    }
    t.driverStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(dir_ + "/wine-stderr.txt");
    t.errors.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    return t;
}

}  // namespace wine
