// The core's directory macros, volume query, name scans and time conversions on the real
// platform: paths_probe.exe runs them under Wine, in the ANSI code pages 1252 and 932;
// the results must name real directories, agree with the platform's own answers and
// agree line by line with the POSIX port running the same code.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "path_ops.h"
#include "port/posix_port.h"
#include "wine_bench.h"

namespace {

TEST(WinePaths, MacrosNamesAndTimesAgreeWithThePlatformAndThePosixPort) {
    WINE_BENCH_REQUIRED();
    const std::string probe = wine::Program("paths_probe.exe");
    ASSERT_EQ(access(probe.c_str(), F_OK), 0) << "no " << probe << " (build the Windows tree)";
    wine::Bench bench;
    for (uint32_t cp : {0u, 932u}) {
        SCOPED_TRACE("code page " + std::to_string(cp));
        const std::string out = bench / "probe.txt";
        ASSERT_EQ(system(("LC_ALL=" + std::string(cp ? "ja_JP.UTF-8" : "en_US.UTF-8") + " timeout 300 " +
                          wine::WineCommand() + " '" + probe + "' >'" + out + "' 2>/dev/null").c_str()),
                  0);
        std::vector<std::string> lines;
        std::map<std::string, std::string> seen;   // "kind key" -> the rest
        std::istringstream in(fixtures::ReadAll(out));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            const size_t key = line.find(' '), rest = line.find(' ', key + 1);
            if (rest != std::string::npos) seen[line.substr(0, rest)] = line.substr(rest + 1);
        }
        EXPECT_EQ(lines.empty() ? "" : lines[0], cp ? "acp 932" : "acp 1252");

        // Each macro expands to the platform's directory, and that directory exists.
        const std::string windir = seen["api windir"], sysdir = seen["api sysdir"], temp = seen["api temp"];
        ASSERT_GT(windir.size(), 2u);
        ASSERT_FALSE(sysdir.empty());
        const std::map<std::string, std::string> expected = {
            {"%WinDir%", windir}, {"%SystemDir%", sysdir}, {"%WinRoot%\\", windir.substr(0, 2) + "\\"},
            {"%windir%/system32", windir + "\\system32"}, {"%WORK%", temp.empty() ? windir + "\\TEMP" : temp}};
        for (const auto& [macro, dir] : expected) EXPECT_EQ(seen["macro " + macro], dir + " 1") << macro;
        // kernel32.dll is found in the system directory; Wine's drives keep long names.
        EXPECT_EQ(strcasecmp(seen["target %Search%/kernel32.dll"].c_str(), (sysdir + "\\kernel32.dll").c_str()), 0)
            << seen["target %Search%/kernel32.dll"];
        EXPECT_EQ(seen["volume C:\\"] + " " + seen["volume Z:\\"], "255 255");

        // The real lead-byte test, previous-character step, file title and FILETIME
        // conversions give what the POSIX port gives, rejections included.
        PosixResetPort();
        PosixSetCodePage(cp);
        const std::vector<std::string> native = pathops::Lines();
        PosixResetPort();
        ASSERT_GE(lines.size(), native.size());
        const auto tail = lines.end() - (long)native.size();
        const auto diff = std::mismatch(native.begin(), native.end(), tail);
        EXPECT_TRUE(diff.first == native.end()) << "POSIX port: " << *diff.first << "\nWin32:      " << *diff.second;
    }
}

}  // namespace
