// The Wine test bench: builds self-extractor images from the real stub, runs them under
// Wine through the UI driver (varnex-driver.exe) and hands back what the driver saw:
//
//   wine::Bench bench;
//   bench.WriteImage("setup.exe", config, archive);
//   wine::Transcript t = bench.Run("setup.exe", "expect-box\npress OK\nexit\n");
//   EXPECT_EQ(t.Box()["text"], "\"" + t.ImagePath() + "\" Bad header");
//
// The display and the Wine prefix are those of scripts/wine-env.sh. The Windows programs
// come from the tree the host tree was built against (build/win32), or from the tree
// VARNEX_WINDOWS_TREE names, run by VARNEX_WINE ("wine" otherwise): scripts/test points
// them at the x86-64 stand-in (build/win64) and Wine's 64-bit loader where the kernel runs
// no 32-bit programs. What only the i686 image can show is checked without Wine
// (tests/image/pe_read_back.py).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../common/fixtures.h"
#include "lzh/archive_writer.h"

namespace wine {

// One line of the driver's transcript: its kind (BOX, DIALOG, CONTROL, TEXT, EXIT, IMAGE,
// STARTED, LOADED, ICON, TIMEOUT, ERROR) and its fields ("" when missing).
struct Record {
    std::string kind;
    std::map<std::string, std::string> fields;
    std::string operator[](const std::string& key) const {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
};

struct Transcript {
    std::vector<Record> records;
    int driverStatus = -1;   // 0: the script ran through; 3: a wait timed out
    std::string raw;         // the driver's output, for failure messages
    std::string errors;      // Wine's standard error

    std::vector<Record> All(const std::string& kind) const {
        std::vector<Record> out;
        for (const Record& r : records)
            if (r.kind == kind) out.push_back(r);
        return out;
    }
    // The first record of a kind; an empty record when there is none.
    Record First(const std::string& kind) const {
        const std::vector<Record> all = All(kind);
        return all.empty() ? Record() : all[0];
    }
    Record Box() const { return First("BOX"); }
    // The path of the image as the program sees it (e.g. Z:\tmp\...\setup.exe).
    std::string ImagePath() const { return First("IMAGE")["path"]; }
    // The exit status the driver reported, or -1000 when the program did not end.
    int ExitStatus() const { return First("EXIT").kind.empty() ? -1000 : atoi(First("EXIT")["status"].c_str()); }
    // The CONTROL record of a dialog control (its first).
    Record Control(int id) const {
        for (const Record& r : All("CONTROL"))
            if (r["id"] == std::to_string(id)) return r;
        return Record();
    }
};

// Xvfb and the Wine prefix. Skips become failures when VARNEX_REQUIRE_WINE=1 is set (the
// full test run), so a missing piece cannot pass unnoticed there.
class Environment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    // Empty when the bench can run; otherwise why not.
    static const std::string& Unavailable();
};

class Bench : public fixtures::ScratchDir {   // a fresh directory, which Wine sees through drive Z:
public:
    const std::string& Dir() const { return path; }
    // The Windows path of a file or directory of the bench directory.
    std::string WinPath(const std::string& name) const;
    // The stub's bytes, unchanged.
    static const lzh::Bytes& Stub();

    // stub + the configuration block + archive; ArchiveOffset is the stub's size.
    void WriteImage(const std::string& name, const lzh::SfxConfig& config, const lzh::Bytes& archive,
                    const lzh::Bytes& stub = Stub());

    // Runs the image through the driver with the script (after "run <image>"); timeout
    // is each wait's limit in seconds, env "NAME=value ..." for Wine and the programs.
    Transcript Run(const std::string& image, const std::string& script, int timeoutSeconds = 30,
                   const std::string& env = "");
};

// A program of the Windows tree, e.g. "varnex-driver.exe" or "test/Varnex32-unprotected.exe".
std::string Program(const std::string& name);
// The command that runs a Windows program, quoted for the shell.
std::string WineCommand();
// "--stub '<the stub>' " when varnex-pack must be told to use the tree's stub instead of
// the one built into it (the stand-in); empty otherwise.
std::string PackStubOption();

using fixtures::ReadAll;

}  // namespace wine

// Skips the test when Wine cannot run here (or fails it when the run requires Wine).
#define WINE_BENCH_REQUIRED()                                                                       \
    do {                                                                                            \
        if (!wine::Environment::Unavailable().empty()) {                                            \
            if (getenv("VARNEX_REQUIRE_WINE"))                                                      \
                FAIL() << "Wine bench unavailable: " << wine::Environment::Unavailable();           \
            GTEST_SKIP() << "Wine bench not run: " << wine::Environment::Unavailable();             \
        }                                                                                           \
    } while (0)
