// The stub against DLLs planted in its download folder, as an attacker would try it: a
// DLL named like one that Windows' own libraries load by name, left beside the
// self-extractor, and Wine told to prefer such native DLLs to its own (on Windows there
// are no others). And the stub moved to another base by an independent tool, which only
// its relocations make work.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "lzh/encoder.h"
#include "wine_bench.h"

#ifndef VARNEX_PYTHON
#define VARNEX_PYTHON "python3"
#endif

namespace {

namespace fs = std::filesystem;
using lzh::Bytes;
using wine::ReadAll;
using wine::Text;

std::string Join(const std::set<std::string>& names, const char* separator) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : separator) + n;
    return out;
}

// Sets an environment variable for the life of the object.
struct ScopedEnv {
    std::string name, old;
    bool had;
    ScopedEnv(const char* n, const std::string& value) : name(n), had(getenv(n) != nullptr) {
        if (had) old = getenv(n);
        setenv(n, value.c_str(), 1);
    }
    ~ScopedEnv() { had ? (void)setenv(name.c_str(), old.c_str(), 1) : (void)unsetenv(name.c_str()); }
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

// The DLLs of Wine's +loaddll trace ('Loaded L"C:\\windows\\system32\\user32.dll" at
// ...'), lower case, of the process `pid` when the trace carries process ids (+pid writes
// "pid:tid:" in hex before each line), else of every process.
std::set<std::string> LoadedDlls(const std::string& trace, int pid) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%04x:", pid);
    std::set<std::string> mine, all;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(":trace:loaddll:");
        const size_t name = line.find("Loaded L\"");
        if (at == std::string::npos || name == std::string::npos) continue;
        const size_t end = line.find('"', name + 9);
        std::string path = line.substr(name + 9, end == std::string::npos ? std::string::npos : end - name - 9);
        const std::string dll = Lower(path.substr(path.find_last_of("\\/") + 1));
        if (dll.size() > 4 && dll.compare(dll.size() - 4, 4, ".exe") == 0) continue;
        all.insert(dll);
        if (line.compare(0, strlen(prefix), prefix) == 0 && std::count(line.begin(), line.begin() + (long)at, ':') == 1)
            mine.insert(dll);
    }
    return mine.empty() ? all : mine;
}

// The programs that loaded a planted DLL of the directory, as "dll <- program" lines in
// lower case (Windows may name a module in the case it was asked for).
std::set<std::string> Markers(const std::string& dir, const std::string& programs) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = Lower(e.path().filename().string());
        if (e.path().extension() != ".loaded") continue;
        std::istringstream lines(Lower(ReadAll(e.path().string())));
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find(programs) != std::string::npos)
                out.insert(name.substr(0, name.size() - 7) + " <- " + line);
        }
    }
    return out;
}

class PlantedDlls : public ::testing::Test {
protected:
    void SetUp() override { WINE_BENCH_REQUIRED(); }

    // A copy of the planted DLL under each name in the bench's directory `dir`.
    void Plant(wine::Bench& bench, const std::string& dir, const std::set<std::string>& names) {
        for (const std::string& name : names) {
            std::error_code ec;
            fs::copy_file(wine::Program("planted.dll"), bench.Dir() + "/" + dir + "/" + name,
                          fs::copy_options::overwrite_existing, ec);
            ASSERT_FALSE(ec) << wine::Program("planted.dll") << " (build the Windows tree): " << ec.message();
        }
    }

    // Wine prefers native DLLs of these names, found where Windows would look.
    static std::string Overrides(const std::set<std::string>& names) {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : ",") + n.substr(0, n.rfind('.'));
        return (list.empty() ? "" : list + "=n,b;") + "mscoree,mshtml=;winemenubuilder.exe=d";
    }

    // A whole installation from the download folder "dl": the notice, the dialog, the
    // directory chooser, loads of `names` inside the stub (the driver's load-by-name), the
    // extraction and the closing command; then a damaged image and its error box. Returns
    // the transcripts.
    std::vector<wine::Transcript> Install(wine::Bench& bench, const Bytes& stub, const std::set<std::string>& names,
                                          int timeoutSeconds) {
        fs::create_directories(bench.Dir() + "/dl");
        fs::create_directories(bench.Dir() + "/tools");
        std::error_code ec;
        fs::copy_file(wine::Program("record_args.exe"), bench.Dir() + "/tools/record.exe",
                      fs::copy_options::overwrite_existing, ec);
        lzh::SfxConfig config;
        config.command = bench.WinPath("tools") + "\\record.exe done";
        const auto image = [&](const std::string& name, const Bytes& archive) {
            Bytes bytes;
            std::string error;
            ASSERT_TRUE(lzh::BuildImage(stub, config, archive, bytes, &error)) << error;
            ASSERT_TRUE(lzh::WriteFile(bench.Dir() + "/dl/" + name, bytes));
        };
        image("setup.exe", lzh::WriteArchive({lzh::NoticeMember("Install?"), lzh::StoredMember("a.txt", Text("a")),
                                              lzh::PackedMember("b.txt", Text(std::string(5000, 'b')), '5', 6)},
                                             false));
        lzh::HeaderFaults wrongCrc;
        wrongCrc.wrongHeaderCrc = true;
        Bytes damaged = lzh::EncodeHeader(lzh::StoredMember("a.txt", Text("a")), wrongCrc);
        damaged.insert(damaged.end(), {'a', 0});
        image("broken.exe", damaged);
        return {bench.Run("dl/setup.exe", "expect-box\npress Yes\nexpect-dialog\npress 104\nexpect-dialog\npress 1\n"
                                          "wait-gone\nback\nload-by-name " + Join(names, " ") + "\ntype 100 " +
                                          bench.WinPath("out") + "\npress 1\nexit\n",
                          timeoutSeconds),
                bench.Run("dl/broken.exe", "expect-box\npress OK\nexit\n", timeoutSeconds)};
    }
};

// The DLLs that Windows' own libraries (themes, the desktop window manager, version
// information, cryptography, the property system, profiles, access control) load by name
// after a program's entry, the ones the stub loads ahead where it cannot restrict the
// search: a DLL of each name is planted. A whole installation loads none of them, and a
// load by name inside the stub after its entry finds none of them beside the image; the
// test-only build without the protection finds planted ones there.
//
// Not planted: what Wine itself takes from the program's folder whatever the program
// asks. Wine brings DLLs into every program with the stub's imports before its first
// instruction (found with the import probe; on Windows those are KnownDLLs and their
// dependencies, which come from the system directory whatever the search order), and it
// looks up the delayed imports of its own libraries (ole32.dll for imm32.dll, msimg32.dll
// for uxtheme.dll) without the directories that SetDefaultDllDirectories set, where
// Windows keeps to them: under Wine every program loads DLLs of those names from its folder.
const std::set<std::string> LoadedByName = {"cryptbase.dll", "dwmapi.dll", "ntmarta.dll", "profapi.dll",
                                            "propsys.dll",   "userenv.dll", "uxtheme.dll", "version.dll"};

TEST_F(PlantedDlls, NoneIsFoundBesideTheImageWhileTheUnprotectedBuildFindsThem) {
    Bytes unprotected;
    const std::string unprotectedPath = wine::Program("test/Varnex32-unprotected.exe");
    ASSERT_TRUE(lzh::ReadFile(unprotectedPath, unprotected)) << unprotectedPath;
    // What Wine brings into the import probe, which ends at its entry, it brings into the
    // stub before the stub's first instruction.
    std::set<std::string> beforeEntry;
    {
        ScopedEnv debug("WINEDEBUG", "-all,+pid,+loaddll");
        wine::Bench bench;
        fs::create_directories(bench.Dir() + "/probe");
        fs::copy_file(wine::Program("import_probe.exe"), bench.Dir() + "/probe/probe.exe");
        const wine::Transcript t = bench.Run("probe/probe.exe", "exit\n", 20);
        ASSERT_EQ(t.ExitStatus(), 0) << t.raw << t.errors;
        beforeEntry = LoadedDlls(t.errors, atoi(t.First("STARTED")["pid"].c_str()));
    }
    std::set<std::string> planted;
    std::set_difference(LoadedByName.begin(), LoadedByName.end(), beforeEntry.begin(), beforeEntry.end(),
                        std::inserter(planted, planted.end()));
    printf("Loaded by Wine before the first instruction: %s\nPlanted: %s\n", Join(beforeEntry, " ").c_str(),
           Join(planted, " ").c_str());
    ASSERT_FALSE(planted.empty());
    for (const bool protectedStub : {true, false}) {
        SCOPED_TRACE(protectedStub ? "the stub" : "the unprotected build");
        wine::Bench bench;
        fs::create_directories(bench.Dir() + "/dl");
        Plant(bench, "dl", planted);
        ScopedEnv overrides("WINEDLLOVERRIDES", Overrides(planted));
        // The unprotected build may stumble over what it loads: it need not get far.
        const std::vector<wine::Transcript> runs =
            Install(bench, protectedStub ? wine::Bench::Stub() : unprotected, planted, protectedStub ? 30 : 10);
        SCOPED_TRACE(runs[0].raw + runs[0].errors + runs[1].raw);
        std::set<std::string> beside;
        const std::string downloads = Lower(bench.WinPath("dl")) + "\\";
        for (const wine::Record& r : runs[0].All("LOADED"))
            if (Lower(r["path"]).compare(0, downloads.size(), downloads) == 0) beside.insert(r["name"]);
        std::set<std::string> markers = Markers(bench.Dir() + "/dl", "setup.exe");
        const std::set<std::string> broken = Markers(bench.Dir() + "/dl", "broken.exe");
        markers.insert(broken.begin(), broken.end());
        printf("%s: %zu planted DLLs found by name, %zu loaded\n", protectedStub ? "stub" : "unprotected build",
               beside.size(), markers.size());
        if (!protectedStub) {
            EXPECT_FALSE(beside.empty()) << "the unprotected build found no planted DLL: this test cannot fail";
            continue;
        }
        EXPECT_EQ(runs[0].All("LOADED").size(), planted.size());
        EXPECT_TRUE(beside.empty()) << Join(beside, " ");
        EXPECT_TRUE(markers.empty()) << Join(markers, "\n");
        EXPECT_EQ(runs[0].ExitStatus(), 1);
        EXPECT_EQ(ReadAll(bench.Dir() + "/out/b.txt"), std::string(5000, 'b'));
        EXPECT_EQ(runs[1].Box()["text"], "\"" + runs[1].ImagePath() + "\" Bad header");
    }
}

// The stub moved to another preferred base by pefile, which applies the image's base
// relocations (tests/image/pe_read_back.py): a missing or wrong one leaves code or data
// pointing at the old place, and the installation fails. (Every method is installed by
// the sample-folder scenarios; one stored and one decoded member are enough here.)
TEST(MovedStub, Installs) {
    WINE_BENCH_REQUIRED();
    wine::Bench bench;
    const std::string moved = bench.Dir() + "/moved-stub.exe";
    ASSERT_EQ(system(("'" VARNEX_PYTHON "' '" VARNEX_SOURCE_DIR "/tests/image/pe_read_back.py' rebase '" +
                      wine::Program("Varnex32.exe") + "' '" + moved + "' 0x10000000").c_str()),
              0);
    Bytes stub;
    ASSERT_TRUE(lzh::ReadFile(moved, stub));
    ASSERT_EQ(stub.size(), wine::Bench::Stub().size());
    EXPECT_TRUE(stub != wine::Bench::Stub()) << "pefile did not move the stub";
    std::vector<lzh::Member> members = {lzh::StoredMember("stored.txt", Text("stored"))};
    members.push_back(lzh::PackedMember("lh7.txt", Text(std::string(20000, '7')), '7', 6));
    lzh::SfxConfig config;
    config.installDir = bench.WinPath("out");
    Bytes image;
    std::string error;
    ASSERT_TRUE(lzh::BuildImage(stub, config, lzh::WriteArchive(members, false), image, &error)) << error;
    ASSERT_TRUE(lzh::WriteFile(bench.Dir() + "/setup.exe", image));
    const wine::Transcript t = bench.Run("setup.exe", "expect-dialog\npress 1\nexit\n");
    SCOPED_TRACE(t.raw + t.errors);
    EXPECT_EQ(t.ExitStatus(), 1);
    EXPECT_TRUE(t.All("BOX").empty());
    EXPECT_EQ(ReadAll(bench.Dir() + "/out/stored.txt"), "stored");
    EXPECT_EQ(ReadAll(bench.Dir() + "/out/lh7.txt"), std::string(20000, '7'));
}

}  // namespace
