// The Wine test bench: environment, images, runs of the driver, transcripts.
#include "wine_bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#ifndef VARNEX_WINDOWS_DIR
#define VARNEX_WINDOWS_DIR ""
#endif

namespace wine {
namespace {

std::string& Why() {
    static std::string why = "the Wine environment was not set up";
    return why;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

// "KIND<tab>key=value<tab>...", with \\, \t, \r, \n escaped in values.
Record Parse(const std::string& line) {
    Record r;
    size_t start = 0;
    for (bool first = true; start <= line.size(); first = false) {
        size_t end = line.find('\t', start);
        if (end == std::string::npos) end = line.size();
        const std::string field = line.substr(start, end - start);
        start = end + 1;
        if (first) {
            r.kind = field;
            continue;
        }
        const size_t eq = field.find('=');
        std::string value;
        for (size_t i = eq == std::string::npos ? field.size() : eq + 1; i < field.size(); i++) {
            char c = field[i];
            if (c == '\\' && i + 1 < field.size()) {
                c = field[++i];
                c = c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
            }
            value += c;
        }
        r.fields[field.substr(0, eq)] = value;
    }
    return r;
}

}  // namespace

std::string Program(const std::string& name) { return EnvOr("VARNEX_WINDOWS_TREE", VARNEX_WINDOWS_DIR) + "/" + name; }

std::string WineCommand() { return "'" + EnvOr("VARNEX_WINE", "wine") + "'"; }

std::string PackStubOption() {
    return getenv("VARNEX_WINDOWS_TREE") ? "--stub '" + Program("Varnex32.exe") + "' " : "";
}

const std::string& Environment::Unavailable() { return Why(); }

void Environment::SetUp() {
    std::string& why = Why();
    for (const char* program : {"Varnex32.exe", "varnex-driver.exe"})
        if (access(Program(program).c_str(), F_OK) != 0) {
            why = "no " + Program(program) + " (build the Windows tree first)";
            return;
        }
    // scripts/test found that this machine cannot run the programs at all.
    if (const char* unrunnable = getenv("VARNEX_WINE_UNRUNNABLE")) {
        why = unrunnable;
        return;
    }
    // The display and the prefix come from scripts/wine-env.sh (varnex_start_xvfb,
    // varnex_wine_prefix), as scripts/test and scripts/demo set them up.
    const std::string display = EnvOr("VARNEX_WINE_DISPLAY", ""), prefix = EnvOr("VARNEX_WINEPREFIX", "");
    if (display.empty() || access((prefix + "/system.reg").c_str(), F_OK) != 0 ||
        (display[0] == ':' && access(("/tmp/.X11-unix/X" + display.substr(1)).c_str(), F_OK) != 0)) {
        why = "no display or Wine prefix: run scripts/test, or source scripts/wine-env.sh and call "
              "varnex_start_xvfb and varnex_wine_prefix first";
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

std::string Bench::WinPath(const std::string& name) const {
    return fixtures::Swapped("Z:" + path + (name.empty() ? "" : "/" + name), '/', '\\');
}

const lzh::Bytes& Bench::Stub() {
    static lzh::Bytes stub;
    if (stub.empty()) lzh::ReadFile(Program("Varnex32.exe"), stub);
    return stub;
}

void Bench::WriteImage(const std::string& name, const lzh::SfxConfig& config, const lzh::Bytes& archive,
                       const lzh::Bytes& stub) {
    lzh::Bytes image;
    std::string error;
    ASSERT_TRUE(lzh::BuildImage(stub, config, archive, image, &error)) << error;
    ASSERT_TRUE(lzh::WriteFile(path + "/" + name, image));
}

Transcript Bench::Run(const std::string& image, const std::string& script, int timeoutSeconds,
                      const std::string& env) {
    Transcript t;
    std::ofstream(path + "/driver-script.txt", std::ios::binary)
        << "timeout " << timeoutSeconds << "\nrun " << WinPath(image) << "\n" << script;
    // The driver bounds every wait itself; the outer limit only catches a hung Wine.
    const std::string cmd = env + " timeout " + std::to_string(timeoutSeconds * 4 + 60) + " " + WineCommand() +
                            " '" + Program("varnex-driver.exe") + "' '" + WinPath("driver-script.txt") + "' 2>'" +
                            path + "/wine-stderr.txt'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return t;
    char buf[8192];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) t.raw.append(buf, n);
    const int status = pclose(p);
    t.driverStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(t.raw);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) t.records.push_back(Parse(line));
    }
    t.errors = fixtures::ReadAll(path + "/wine-stderr.txt");
    return t;
}

}  // namespace wine
