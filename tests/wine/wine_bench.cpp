// The Wine test bench: environment, images, runs of the driver, transcripts.
#include "wine_bench.h"

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

namespace wine {
namespace {

std::string& Why() {
    static std::string why = "the Wine environment was not set up";
    return why;
}
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
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
    // The display and the prefix come from scripts/wine-env.sh (varnex_start_xvfb,
    // varnex_wine_prefix), as scripts/test and scripts/demo set them up.
    const std::string display = EnvOr("VARNEX_WINE_DISPLAY", ""), prefix = EnvOr("VARNEX_WINEPREFIX", "");
    if (display.empty() || prefix.empty() || !Exists(prefix + "/system.reg")) {
        why = "no display or Wine prefix: run scripts/test, or source scripts/wine-env.sh and call "
              "varnex_start_xvfb and varnex_wine_prefix first";
        return;
    }
    if (display[0] == ':' && !Exists("/tmp/.X11-unix/X" + display.substr(1))) {
        why = "display " + display + " is not there";
        return;
    }
    setenv("DISPLAY", display.c_str(), 1);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    // Programs the stub starts are started by the same loader.
    if (getenv("VARNEX_WINE")) setenv("WINELOADER", getenv("VARNEX_WINE"), 0);
    why.clear();
}

void Environment::TearDown() {
    if (Why().empty()) (void)!system("wineserver -k >/dev/null 2>&1");
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
