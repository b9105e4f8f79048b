// The core's directory macros, volume query and time conversions on the real platform:
// paths_probe.exe runs them under Wine; the results must name real directories, agree
// with the platform's own answers and agree with the native build of the same code.
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "path_ops.h"
#include "port/posix_port.h"
#include "sfx/timestamps.h"
#include "wine_bench.h"

namespace {

struct Probe {
    std::map<std::string, std::string> api, volume, target;
    std::map<std::string, std::pair<std::string, bool>> macro;   // expansion, is a directory
    std::vector<std::vector<std::string>> utof, ftou;
    std::string raw;
};

std::vector<std::string> Split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}
std::string Join(const std::vector<std::string>& w, size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; i++) s += (i > from ? " " : "") + w[i];
    return s;
}

// The probe's output lines; locale and argument go to Wine and the probe.
std::vector<std::string> RunProbeLines(const wine::Bench& bench, const std::string& locale = "",
                                       const std::string& argument = "") {
    const std::string out = bench.Dir() + "/probe.txt";
    const std::string cmd = (locale.empty() ? "" : "LC_ALL=" + locale + " ") + "timeout 300 " + wine::WineCommand() +
                            " '" + wine::Program("paths_probe.exe") + "' " + argument + " >'" + out + "' 2>'" + bench.Dir() +
                            "/probe-stderr.txt'";
    std::vector<std::string> lines;
    if (system(cmd.c_str()) != 0) return lines;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

Probe RunProbe(const wine::Bench& bench) {
    Probe p;
    for (const std::string& line : RunProbeLines(bench)) {
        p.raw += line + "\n";
        std::vector<std::string> w = Split(line);
        if (w.size() < 3) continue;
        if (w[0] == "api") p.api[w[1]] = Join(w, 2, w.size());
        if (w[0] == "volume") p.volume[w[1]] = w[2];
        if (w[0] == "target") p.target[w[1] + " " + w[2]] = Join(w, 3, w.size());
        if (w[0] == "macro" && w.size() >= 4) p.macro[w[1]] = {Join(w, 2, w.size() - 1), w.back() == "1"};
        if (w[0] == "utof" && w.size() == 4) p.utof.push_back(w);
        if (w[0] == "ftou" && w.size() == 4) p.ftou.push_back(w);
    }
    return p;
}

// The probe runs once per test program.
const Probe& ProbeResults() {
    static const Probe probe = [] {
        wine::Bench bench;
        return RunProbe(bench);
    }();
    return probe;
}

bool SameNoCase(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

#define PROBE_REQUIRED()                                                                    \
    do {                                                                                    \
        WINE_BENCH_REQUIRED();                                                              \
        const std::string probe = wine::Program("paths_probe.exe");                       \
        if (access(probe.c_str(), F_OK) != 0) {                                             \
            if (getenv("VARNEX_REQUIRE_WINE")) FAIL() << "no probe at " << probe;           \
            GTEST_SKIP() << "no probe at " << probe;                                        \
        }                                                                                   \
    } while (0)

TEST(WinePaths, MacrosAndTimesAgreeWithThePlatformAndTheNativeCore) {
    PROBE_REQUIRED();
    const Probe& p = ProbeResults();
    SCOPED_TRACE(p.raw.substr(0, 1500));
    const std::string windir = p.api.count("windir") ? p.api.at("windir") : "";
    const std::string sysdir = p.api.count("sysdir") ? p.api.at("sysdir") : "";
    ASSERT_GT(windir.size(), 2u);
    ASSERT_FALSE(sysdir.empty());

    // Each macro expands to the platform's directory, and that directory exists.
    const std::string temp = p.api.count("temp") ? p.api.at("temp") : "";
    const std::map<std::string, std::string> expected = {
        {"%WinDir%", windir}, {"%SystemDir%", sysdir}, {"%WinRoot%\\", windir.substr(0, 2) + "\\"},
        {"%windir%/system32", windir + "\\system32"}, {"%WORK%", temp.empty() ? windir + "\\TEMP" : temp},
    };
    for (const auto& e : expected) {
        ASSERT_TRUE(p.macro.count(e.first)) << e.first;
        EXPECT_EQ(p.macro.at(e.first).first, e.second) << e.first;
        EXPECT_TRUE(p.macro.at(e.first).second) << e.first << " is no directory";
    }
    // kernel32.dll is found in the system directory.
    EXPECT_TRUE(SameNoCase(p.target.at("C:\\Inst %Search%/kernel32.dll"), sysdir + "\\kernel32.dll"));
    // Wine's drives keep long names.
    EXPECT_EQ(p.volume.at("C:\\"), "255");
    EXPECT_EQ(p.volume.at("Z:\\"), "255");

    // The platform's FILETIME/SYSTEMTIME conversions and the native ones give the same
    // results, rejections included.
    ASSERT_EQ(p.utof.size(), 2008u);
    for (const auto& w : p.utof) {
        PortFileTime ft = 0;
        int ok = UnixToFileTime((uint32_t)std::stoul(w[1]), &ft);
        ASSERT_EQ(std::to_string(ok) + " " + std::to_string(ft), w[2] + " " + w[3]) << "seconds " << w[1];
    }
    ASSERT_EQ(p.ftou.size(), 2007u);
    for (const auto& w : p.ftou) {
        PortFileTime ft = std::stoull(w[1]);
        uint32_t s = 0xDEADBEEF;
        int ok = FileTimeToUnix(&ft, &s);
        ASSERT_EQ(std::to_string(ok) + " " + std::to_string(s), w[2] + " " + w[3]) << "filetime " << w[1];
    }
}

// The real lead-byte test and previous-character step (and the real file title) give
// the same scans, sanitising and display as the POSIX port, with and without DBCS.
TEST(WinePaths, NameScansAgreeWithTheNativeCoreInBothCodePages) {
    PROBE_REQUIRED();
    wine::Bench bench;
    for (uint32_t cp : {0u, 932u}) {
        const std::vector<std::string> lines =
            RunProbeLines(bench, cp ? "ja_JP.UTF-8" : "en_US.UTF-8", "names");
        const std::vector<std::string> names = pathops::Names();
        ASSERT_EQ(lines.size(), names.size() + 1) << cp;
        ASSERT_EQ(lines[0], cp ? "acp 932" : "acp 1252");
        PosixResetPort();
        PosixSetCodePage(cp);
        for (size_t i = 0; i < names.size(); i++)
            EXPECT_EQ(lines[i + 1], "name " + std::to_string(i) + " " + pathops::Run(names[i]))
                << "code page " << cp << ", name " << pathops::Hex(names[i]);
        PosixResetPort();
    }
}

}  // namespace
