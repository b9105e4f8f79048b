// The stub against DLLs planted in its download folder, as an attacker would try it: a
// DLL named like one that Windows' own libraries load by name, left beside the
// self-extractor, and Wine told to prefer such native DLLs to its own (on Windows there
// are no others).
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "lzh/encoder.h"
#include "wine_bench.h"

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;
using wine::ReadAll;
using fixtures::TextBytes;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

std::string Join(const std::set<std::string>& names, const char* separator) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : separator) + n;
    return out;
}

// The DLLs, in lower case, that Wine's +loaddll trace ('Loaded L"C:\\windows\\system32\\
// user32.dll" at ...') shows the process `pid` loading (+pid writes "pid:tid:" in hex
// before each line).
std::set<std::string> LoadedDlls(const std::string& trace, int pid) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%04x:", pid);
    std::set<std::string> dlls;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(":trace:loaddll:"), name = line.find("Loaded L\"");
        if (at == std::string::npos || name == std::string::npos || line.compare(0, strlen(prefix), prefix) != 0 ||
            std::count(line.begin(), line.begin() + (long)at, ':') != 1)
            continue;
        const std::string path = line.substr(name + 9, line.find('"', name + 9) - name - 9);
        const std::string dll = Lower(path.substr(path.find_last_of("\\/") + 1));
        if (dll.size() < 4 || dll.compare(dll.size() - 4, 4, ".exe") != 0) dlls.insert(dll);
    }
    return dlls;
}

// The DLLs that Windows' own libraries (themes, the desktop window manager, version
// information, cryptography, the property system, profiles, access control) load by name
// after a program's entry, the ones the stub loads ahead where it cannot restrict the
// search: a DLL of each name is planted. A whole installation (notice, dialog, chooser,
// extraction, closing command) and an error box load none of them, and a load by name
// inside the stub after its entry finds none of them beside the image; the test-only
// build without the protection finds planted ones there.
//
// Not planted: what Wine itself takes from the program's folder whatever the program
// asks. Wine brings DLLs into every program with the stub's imports before its first
// instruction (found with the import probe; on Windows those are KnownDLLs and their
// dependencies, which come from the system directory whatever the search order), and it
// looks up the delayed imports of its own libraries (ole32.dll for imm32.dll, msimg32.dll
// for uxtheme.dll) without the directories that SetDefaultDllDirectories set, where
// Windows keeps to them: under Wine every program loads DLLs of those names from its folder.
TEST(PlantedDlls, NoneIsFoundBesideTheImageWhileTheUnprotectedBuildFindsThem) {
    WINE_BENCH_REQUIRED();
    const std::set<std::string> loadedByName = {"cryptbase.dll", "dwmapi.dll",  "ntmarta.dll", "profapi.dll",
                                                "propsys.dll",   "userenv.dll", "uxtheme.dll", "version.dll"};
    Bytes unprotected;
    ASSERT_TRUE(lzh::ReadFile(wine::Program("test/Varnex32-unprotected.exe"), unprotected));
    // What Wine brings into the import probe, which ends at its entry, it brings into the
    // stub before the stub's first instruction.
    std::set<std::string> beforeEntry, planted;
    {
        wine::Bench bench;
        fs::create_directories(bench / "probe");
        fs::copy_file(wine::Program("import_probe.exe"), bench / "probe/probe.exe");
        const wine::Transcript t = bench.Run("probe/probe.exe", "exit\n", 20, "WINEDEBUG=-all,+pid,+loaddll");
        ASSERT_EQ(t.ExitStatus(), 0) << t.raw << t.errors;
        beforeEntry = LoadedDlls(t.errors, atoi(t.First("STARTED")["pid"].c_str()));
    }
    std::set_difference(loadedByName.begin(), loadedByName.end(), beforeEntry.begin(), beforeEntry.end(),
                        std::inserter(planted, planted.end()));
    printf("Loaded by Wine before the first instruction: %s\nPlanted: %s\n", Join(beforeEntry, " ").c_str(),
           Join(planted, " ").c_str());
    ASSERT_FALSE(planted.empty());
    std::string overrides;   // Wine prefers native DLLs of these names, found where Windows would look
    for (const std::string& n : planted) overrides += n.substr(0, n.rfind('.')) + ",";
    const std::string env = "WINEDLLOVERRIDES='" + overrides + "=n,b;mscoree,mshtml=;winemenubuilder.exe=d'";

    for (const bool protectedStub : {true, false}) {
        SCOPED_TRACE(protectedStub ? "the stub" : "the unprotected build");
        wine::Bench bench;
        fs::create_directories(bench / "dl");
        fs::create_directories(bench / "tools");
        for (const std::string& name : planted) fs::copy_file(wine::Program("planted.dll"), bench / ("dl/" + name));
        fs::copy_file(wine::Program("record_args.exe"), bench / "tools/record.exe");
        lzh::SfxConfig config;
        config.command = bench.WinPath("tools") + "\\record.exe done";
        const Bytes& stub = protectedStub ? wine::Bench::Stub() : unprotected;
        bench.WriteImage("dl/setup.exe", config,
                         lzh::WriteArchive({lzh::NoticeMember("Install?"), lzh::StoredMember("a.txt", TextBytes("a")),
                                            lzh::PackedMember("b.txt", TextBytes(std::string(5000, 'b')), '5', 6)},
                                           false),
                         stub);
        lzh::HeaderFaults wrongCrc;
        wrongCrc.wrongHeaderCrc = true;
        Bytes damaged = lzh::EncodeHeader(lzh::StoredMember("a.txt", TextBytes("a")), wrongCrc);
        damaged.insert(damaged.end(), {'a', 0});
        bench.WriteImage("dl/broken.exe", config, damaged, stub);
        // The unprotected build may stumble over what it loads: it need not get far.
        const int timeout = protectedStub ? 30 : 10;
        const wine::Transcript install = bench.Run(
            "dl/setup.exe",
            "expect-box\npress Yes\nexpect-dialog\npress 104\nexpect-dialog\npress 1\nwait-gone\nback\nload-by-name " +
                Join(planted, " ") + "\ntype 100 " + bench.WinPath("out") + "\npress 1\nexit\n",
            timeout, env);
        const wine::Transcript broken = bench.Run("dl/broken.exe", "expect-box\npress OK\nexit\n", timeout, env);
        SCOPED_TRACE(install.raw + install.errors + broken.raw);
        std::set<std::string> beside, markers;
        const std::string downloads = Lower(bench.WinPath("dl")) + "\\";
        for (const wine::Record& r : install.All("LOADED"))
            if (Lower(r["path"]).compare(0, downloads.size(), downloads) == 0) beside.insert(r["name"]);
        // A planted DLL leaves "<its name>.loaded" with the path of each program that loaded it.
        for (const auto& e : fs::directory_iterator(bench / "dl")) {
            const std::string programs = Lower(ReadAll(e.path()));
            if (e.path().extension() == ".loaded" &&
                (programs.find("setup.exe") != std::string::npos || programs.find("broken.exe") != std::string::npos))
                markers.insert(e.path().filename().string() + ": " + programs);
        }
        printf("%s: %zu planted DLLs found by name, %zu loaded\n", protectedStub ? "stub" : "unprotected build",
               beside.size(), markers.size());
        if (!protectedStub) {
            EXPECT_FALSE(beside.empty()) << "the unprotected build found no planted DLL: this test cannot fail";
            continue;
        }
        EXPECT_EQ(install.All("LOADED").size(), planted.size());
        EXPECT_TRUE(beside.empty()) << Join(beside, " ");
        EXPECT_TRUE(markers.empty()) << Join(markers, "\n");
        EXPECT_EQ(install.ExitStatus(), 1);
        EXPECT_EQ(ReadAll(bench / "out/b.txt"), std::string(5000, 'b'));
        EXPECT_EQ(broken.Box()["text"], "\"" + broken.ImagePath() + "\" Bad header");
    }
}

}  // namespace
