// varnex-pack: builds self-extractors from files and directories, and looks inside them
// (list, test, extract) with the stub's own core over the POSIX port.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "project.h"
#include "lzh/archive_writer.h"
#include "lzh/encoder.h"
#include "sfx/settings.h"

namespace pack {

// A failure that ends the run: the message says what and why, naming the file or field.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line that cannot be understood (exit status 2 instead of 1).
struct UsageError : Error {
    using Error::Error;
};

// ---- the command line -------------------------------------------------------------

struct InputPath {
    std::string path;   // on the host
    std::string as;     // member name to store it under (--as); empty: the base name
};

enum class Action { Build, List, Test, Extract, Help, Version };
enum class Answer { Default, Yes, No };

struct Options {
    Action action = Action::Build;
    // Build.
    std::string output;
    std::vector<InputPath> inputs;
    char method = 0;                  // 0: the best of lh5/lh6/lh7; '0', '5', '6', '7'
    int level = lzh::DefaultLevel;
    std::optional<std::string> title, label, dir, command;
    bool restoreAttributes = false;
    bool checksum = false;
    std::string noticeFile, settingsFile;
    std::vector<std::pair<SettingKey, std::string>> sets;     // --set KEY=VALUE
    uint32_t flagBits = 0;            // from --auto-start and friends
    std::string codePage;             // "" (ASCII only), "raw" or a number
    std::string wrap;                 // an existing level-2 archive to take members from
    std::string stub;                 // "" = the embedded stub
    std::string iconFile;             // --icon: the author's .ico in place of the stub's
    std::vector<std::pair<std::string, std::string>> versionInfo;   // canonical key, UTF-8 value
    std::string signPkcs12, signPasswordFile;                       // --sign-pkcs12, --sign-password-file
    std::string elevation = "as-invoker";   // the manifest's requested execution level, as --elevation spells it
    std::string project;                    // --project: where the options below came from, in part
    std::map<std::string, std::string> origins;   // long name -> "FILE:LINE" of a value taken from the project
    bool quiet = false;
    bool allowUnsafeNames = false;
    // List, test, extract.
    std::string file;
    std::string destDir;
    bool verbose = false;             // list: show the settings and notice texts
    Answer answer = Answer::Default;
};

// Throws UsageError for anything it cannot accept.
Options ParseArguments(const std::vector<std::string>& args);
// The options of a build from a project's entries (a project file's, or the window's
// fields) and then command-line arguments, which replace the entries' values. Path values
// are relative to the folder of `file`, and messages about a line name the file and line
// ("" for entries of no file). Throws UsageError.
Options ParseProject(const std::vector<ProjectEntry>& entries, const std::string& file,
                     const std::vector<std::string>& args);
// The long name (without "--") of the option a message is about: messages about an
// option begin with its name. "" for other messages.
std::string OptionNamed(const std::string& message);
// A message about an option with the project file and line the option's value came
// from, if it came from one.
std::string WithOrigin(const Options& options, const std::string& message);
// The directory macros the self-extractor expands at the start of a path.
const std::vector<std::string>& DirectoryMacros();
// A settings key as the options spell it: "WindowTitle" for "$WindowTitle=".
std::string SettingName(SettingKey key);
// Whether a member of this name is read by the self-extractor ("$", "!") rather than
// extracted.
inline bool IsSpecialMember(const std::string& name) { return CaptureModeOf(name.c_str()) != CaptureNone; }
std::string HelpText();
std::string VersionText();

// ---- code pages -------------------------------------------------------------------

// The ANSI code page of the Windows that will run the self-extractor: texts and names
// are converted to it from the host's UTF-8.
class CodePage {
public:
    // "" accepts ASCII only; "raw" stores host bytes unchanged; otherwise a Windows code
    // page number (1252, 932, 65001, ...). Throws UsageError for an unknown one.
    explicit CodePage(const std::string& name = "");
    // Converts; throws Error naming `what` when the text has a character the code page
    // cannot hold.
    std::string Encode(const std::string& utf8, const std::string& what) const;
    // The other way, for display; bytes that do not convert are shown as \xNN.
    std::string Decode(const std::string& bytes) const;
    bool IsLeadByte(uint8_t byte) const;
    uint32_t Number() const { return number_; }   // 0 for "" and "raw"
    bool Raw() const { return raw_; }

private:
    uint32_t number_ = 0;
    bool raw_ = false;
};

// ---- member names -----------------------------------------------------------------

// Why a stored name (in the target code page, '/' between directories, a directory
// ending in '/') must not be stored. Throws Error with a message that shows `shown`.
// Unsafe names (absolute, drive-qualified, macro, "..") pass with allowUnsafe; names
// that the stub would misread ("!" and "$", 0xFF bytes, control bytes, too long) never.
void CheckMemberName(const std::string& name, const CodePage& cp, bool allowUnsafe, const std::string& shown);
// Why the stub would put a member of this name outside the installation directory
// (rooted, drive-qualified, a leading macro, a ".." component), or null. Separators
// are '/', '\\' and 0xFF outside double-byte characters, as the stub reads them.
const char* UnsafeNameReason(const std::string& name, const CodePage& cp);

// ---- what goes into the archive ------------------------------------------------------

struct Source {
    enum Kind { File, Directory, Prepared };
    Kind kind = File;
    std::string name;      // stored bytes
    std::string shown;     // for messages (host UTF-8)
    std::string path;      // File: where to read it
    uint64_t size = 0;     // File: its size
    uint32_t timeStamp = 0;
    uint8_t attributes = 0x20;
    lzh::Member prepared;  // Prepared: taken over from a wrapped archive as it is
};

// Walks the inputs (files and directories, recursively) into sources with checked,
// converted names, sorted by name. Throws Error.
std::vector<Source> CollectInputs(const Options& options, const CodePage& cp);
// Takes the members of an existing level-2 archive. Throws Error.
std::vector<Source> ReadWrappedArchive(const std::string& path, const Options& options, const CodePage& cp);

// ---- building ---------------------------------------------------------------------

// The text of the "$" member from --settings, --set and the flag options; empty when
// none is given. Throws Error naming a value that does not fit.
std::string SettingsText(const Options& options, const CodePage& cp);
// The configuration block's fields from the options. Throws Error naming a field.
lzh::SfxConfig ConfigFromOptions(const Options& options, const CodePage& cp);
// Checks that stub is a bare stub image (no archive of its own). Throws Error.
void CheckStub(const lzh::Bytes& stub, const std::string& shown);

// The steps of a build, in their order, and what a build tells whoever shows its
// progress (the console's bar, the window's): a step begins (for Encode, `work` is the
// bytes the compressor will go through); a member of `size` bytes that it goes through
// `passes` times begins; how much of that member is done, from 0 again for each method
// tried. A display hears of the steps and of the percentage of the compression done
// (Shown); either may throw to abandon the build, and nothing is written then.
enum class BuildStep { Stub, Collect, Encode, Image, Finish, Write };
class BuildProgress {
public:
    virtual ~BuildProgress() = default;
    void Step(BuildStep step, uint64_t work);
    void Member(const std::string& shown, uint64_t size, uint64_t passes);
    void Advance(uint64_t done);

protected:
    virtual void Began(BuildStep, uint64_t /*work*/) {}
    virtual void Shown(int /*percent*/, const std::string& /*member*/) {}

private:
    void Update();
    uint64_t total_ = 0, base_ = 0, memberTotal_ = 0, memberWork_ = 0, lastDone_ = 0, size_ = 0;
    std::string name_;
};
struct BuildSummary {
    size_t files = 0, directories = 0;
    bool settings = false, notice = false;
    uint64_t inputBytes = 0;
    size_t archiveBytes = 0, imageBytes = 0;
};
// The whole build: the self-extractor is written to options.output only when it is
// complete and has passed its own test. Throws Error.
BuildSummary BuildSelfExtractor(const Options& options, BuildProgress& progress);
// What a build wrote, as the command line and the window say it: "OUT: N files, ...".
std::string SummaryText(const Options& options, const BuildSummary& summary);
// The command line's build: the progress bar on a console, the summary line; the exit status.
int Build(const Options& options);

// ---- reading with the stub's core --------------------------------------------------

// A self-extractor, or a plain level-2 archive, read with the stub's own core: the walk's
// steps over the POSIX port, so that what the tools see is what the self-extractor sees,
// its messages included. The member in hand is the core's: Ws->Header, EntryName,
// Attributes and the times. One at a time, as the core has one workspace; the
// destructor releases it and puts the port back.
class CoreArchive {
public:
    // The file's configuration block if it begins with "MZ", else a plain archive at 0.
    // The core's message boxes go to echo (nullptr: nowhere); its lead bytes are cp's.
    // Throws Error when the file cannot be used at all.
    CoreArchive(const std::string& path, const CodePage& cp, FILE* echo);
    ~CoreArchive();
    CoreArchive(const CoreArchive&) = delete;
    CoreArchive& operator=(const CoreArchive&) = delete;

    bool IsImage() const { return isImage_; }
    // Stands at the first member; false when the core cannot (it has said why).
    bool Open();
    // The next member's header; false at the end, or after a failure the core reported.
    bool Next();
    // Decodes the member through the core's sink, keeping nothing: whether the data
    // matches its CRC. A fault inside the data ends the core's run: PosixExit.
    bool Decode();
    // The member's data as the self-extractor keeps a notice ("!") or settings text.
    std::string Text();
    // The member's packed bytes as they stand; false (reported) when the archive ends
    // inside them.
    bool Packed(lzh::Bytes& out);
    // To the next member whatever the data consumed; false (reported) when it cannot.
    bool Skip();
    // Closes the image; with checkSum also compares the checksum as the preflight pass
    // does. False when the walk failed.
    bool Close(bool checkSum);
    // The text of the last message box the core showed, without its quoted subject.
    static std::string LastMessage();

private:
    bool isImage_ = false;
};

// ---- looking inside ---------------------------------------------------------------

int List(const Options& options);
// Tests the image at path (shown as `shown`) with the stub's own core; throws Error
// when a member does not decode to its CRC.
void VerifyImage(const std::string& path, const std::string& shown, const CodePage& cp);
int Test(const Options& options);
int Extract(const Options& options);

// The stub built into the tool.
const lzh::Bytes& EmbeddedStub();

}  // namespace pack
