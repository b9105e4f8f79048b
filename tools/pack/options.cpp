// The command line of varnex-pack.
#include <string.h>

#include "branding.h"
#include "pack.h"
#include "sfx/settings.h"

namespace pack {

namespace {

const char* const kVersion = "1.0";

// Settings keys as the stub knows them, in their canonical spelling.
const char* const kSettingsKeys[] = {"WindowTitle", "InstallTitle", "InstallDir", "Command", "Flag"};

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Reads the arguments one by one; an option's value is the next argument or the part
// after '=' (--title=X).
class ArgReader {
public:
    explicit ArgReader(const std::vector<std::string>& args) : args_(args) {}
    bool Done() const { return pos_ >= args_.size(); }
    const std::string& Next() { return args_[pos_++]; }
    // The value of option `name`; `inlineValue` is what followed '=' if anything.
    std::string Value(const std::string& name, const std::optional<std::string>& inlineValue) {
        if (inlineValue) return *inlineValue;
        if (Done()) throw UsageError("option " + name + " needs a value");
        return Next();
    }

private:
    const std::vector<std::string>& args_;
    size_t pos_ = 0;
};

void ParseSet(Options& o, const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) throw UsageError("--set takes KEY=VALUE, not '" + text + "'");
    std::string key = text.substr(0, eq);
    if (!key.empty() && key[0] == '$') key.erase(0, 1);
    for (const char* k : kSettingsKeys) {
        if (EqualNoCase(key, k)) {
            o.sets.emplace_back(k, text.substr(eq + 1));
            return;
        }
    }
    throw UsageError("--set: unknown key '" + text.substr(0, eq) +
                     "' (known: WindowTitle, InstallTitle, InstallDir, Command, Flag)");
}

void ParseVersionInfo(Options& o, const std::string& text) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) throw UsageError("--version-info takes KEY=VALUE, not '" + text + "'");
    const std::string key = VersionKey(text.substr(0, eq));
    if (key.empty())
        throw UsageError("--version-info: unknown key '" + text.substr(0, eq) + "' (known: " + VersionKeyList() + ")");
    for (const auto& [k, v] : o.versionInfo)
        if (k == key) throw UsageError("--version-info " + key + " is given twice");
    o.versionInfo.emplace_back(key, text.substr(eq + 1));
}

char ParseMethod(const std::string& v) {
    if (v == "lh0") return '0';
    if (v == "lh5") return '5';
    if (v == "lh6") return '6';
    if (v == "lh7") return '7';
    if (v == "best") return 0;
    throw UsageError("--method takes lh0, lh5, lh6, lh7 or best, not '" + v + "'");
}

}  // namespace

Options ParseArguments(const std::vector<std::string>& args) {
    Options o;
    if (args.empty()) throw UsageError("nothing to do: give -o OUT.exe and what to pack, or list|test|extract FILE");
    ArgReader in(args);
    if (!in.Done()) {
        const std::string& first = args[0];
        if (first == "list") o.action = Action::List;
        else if (first == "test") o.action = Action::Test;
        else if (first == "extract") o.action = Action::Extract;
        if (o.action != Action::Build) in.Next();
    }
    const bool building = o.action == Action::Build;
    std::optional<std::string> pendingAs;
    bool optionsEnded = false;
    bool sawYes = false, sawNo = false;
    std::vector<std::string> operands;

    auto buildOnly = [&](const std::string& name) {
        if (!building) throw UsageError("option " + name + " is for building, not for this command");
    };

    while (!in.Done()) {
        std::string arg = in.Next();
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (building) {
                o.inputs.push_back({arg, pendingAs.value_or("")});
                pendingAs.reset();
            } else {
                operands.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        std::string name = arg;
        if (arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        }
        auto flagOnly = [&] {
            if (inlineValue) throw UsageError("option " + name + " takes no value");
        };

        if (name == "--help" || name == "-h") {
            o.action = Action::Help;
            return o;
        }
        if (name == "--version") {
            o.action = Action::Version;
            return o;
        }
        if (name.size() == 2 && name[0] == '-' && name[1] >= '1' && name[1] <= '9') {
            buildOnly(name);
            o.level = name[1] - '0';
        } else if (name == "-o" || name == "--output") {
            buildOnly(name);
            o.output = in.Value(name, inlineValue);
        } else if (name == "--method") {
            buildOnly(name);
            o.method = ParseMethod(in.Value(name, inlineValue));
        } else if (name == "--title") {
            buildOnly(name);
            o.title = in.Value(name, inlineValue);
        } else if (name == "--label") {
            buildOnly(name);
            o.label = in.Value(name, inlineValue);
        } else if (name == "--dir") {
            buildOnly(name);
            o.dir = in.Value(name, inlineValue);
        } else if (name == "--command") {
            buildOnly(name);
            o.command = in.Value(name, inlineValue);
        } else if (name == "--restore-attributes") {
            buildOnly(name), flagOnly();
            o.restoreAttributes = true;
        } else if (name == "--checksum") {
            buildOnly(name), flagOnly();
            o.checksum = true;
        } else if (name == "--notice") {
            buildOnly(name);
            o.noticeFile = in.Value(name, inlineValue);
        } else if (name == "--settings") {
            buildOnly(name);
            o.settingsFile = in.Value(name, inlineValue);
        } else if (name == "--set") {
            buildOnly(name);
            ParseSet(o, in.Value(name, inlineValue));
        } else if (name == "--auto-start") {
            buildOnly(name), flagOnly();
            o.flagBits |= FlagAutoStartOn;
        } else if (name == "--overwrite-all") {
            buildOnly(name), flagOnly();
            o.flagBits |= FlagOverwriteAllOn;
        } else if (name == "--skip-if-not-newer") {
            buildOnly(name), flagOnly();
            o.flagBits |= FlagSkipIfNotNewerOn;
        } else if (name == "--codepage") {
            o.codePage = in.Value(name, inlineValue);
        } else if (name == "--wrap") {
            buildOnly(name);
            o.wrap = in.Value(name, inlineValue);
        } else if (name == "--stub") {
            buildOnly(name);
            o.stub = in.Value(name, inlineValue);
        } else if (name == "--icon") {
            buildOnly(name);
            o.iconFile = in.Value(name, inlineValue);
        } else if (name == "--version-info") {
            buildOnly(name);
            ParseVersionInfo(o, in.Value(name, inlineValue));
        } else if (name == "--sign-pkcs12") {
            buildOnly(name);
            o.signPkcs12 = in.Value(name, inlineValue);
        } else if (name == "--sign-password-file") {
            buildOnly(name);
            o.signPasswordFile = in.Value(name, inlineValue);
        } else if (name == "--as") {
            buildOnly(name);
            pendingAs = in.Value(name, inlineValue);
        } else if (name == "--allow-unsafe-names") {
            if (o.action != Action::Build && o.action != Action::Extract)
                throw UsageError("option " + name + " is for building and extract only");
            flagOnly();
            o.allowUnsafeNames = true;
        } else if (name == "--quiet" || name == "-q") {
            flagOnly();
            o.quiet = true;
        } else if (name == "-v" || name == "--verbose") {
            if (o.action != Action::List) throw UsageError("option " + name + " is for list only");
            flagOnly();
            o.verbose = true;
        } else if (name == "-d" || name == "--directory") {
            if (o.action != Action::Extract) throw UsageError("option " + name + " is for extract only");
            o.destDir = in.Value(name, inlineValue);
        } else if (name == "--yes" || name == "-y" || name == "--no" || name == "-n") {
            if (o.action != Action::Extract) throw UsageError("option " + name + " is for extract only");
            flagOnly();
            (name == "--yes" || name == "-y" ? sawYes : sawNo) = true;
        } else {
            throw UsageError("unknown option '" + arg + "' (see --help)");
        }
    }

    if (building) {
        if (pendingAs) throw UsageError("--as " + *pendingAs + " is not followed by a path");
        if (o.output.empty()) throw UsageError("no output file: give -o OUT.exe");
        if (o.inputs.empty() && o.wrap.empty()) throw UsageError("nothing to pack: give files, directories or --wrap");
        if (!o.signPasswordFile.empty() && o.signPkcs12.empty())
            throw UsageError("--sign-password-file goes with --sign-pkcs12");
        return o;
    }
    if (sawYes && sawNo) throw UsageError("--yes and --no exclude each other");
    o.answer = sawYes ? Answer::Yes : sawNo ? Answer::No : Answer::Default;
    if (operands.size() != 1)
        throw UsageError(std::string(operands.empty() ? "no file given" : "more than one file given") +
                         " (usage: varnex-pack list|test|extract FILE)");
    o.file = operands[0];
    if (o.action == Action::Extract && o.destDir.empty()) throw UsageError("extract needs a directory: -d DIR");
    return o;
}

std::string HelpText() {
    return R"(Usage:
  varnex-pack [options] -o OUT.exe PATH...   build a self-extractor
  varnex-pack list [-v] FILE                 list a self-extractor or a plain .lzh
                                             (-v: with its settings and notice)
  varnex-pack test FILE                      decode every member and check its CRC
  varnex-pack extract FILE -d DIR [--yes|--no]
                                             unpack it as the self-extractor would

Each PATH is stored under its own name (its last component); a directory is stored
with everything below it, and "DIR/." stores only what is inside DIR. Directories
become directory members, empty ones included. Time stamps are the files' modification
times; a file without write permission is stored read-only. Members are stored in
name order, and the same inputs give a byte-identical self-extractor.

Building:
  -o, --output FILE        the self-extractor to write (replaced only when complete)
  --method M               lh0 (stored), lh5, lh6, lh7 or best (default: best)
  -1 ... -9                compression level: faster ... smaller (default: -6)
  --title T                window title (at most 40 bytes)
  --label L                label above the directory field (at most 40 bytes)
  --dir D                  default installation directory (at most 255 bytes; may
                           begin with %WORK%, %WinDir%, %WinRoot%, %SystemDir%)
  --command C              started after extraction (at most 255 bytes)
  --restore-attributes     extracted files get their stored attributes
  --checksum               an integrity sum that the self-extractor checks
  --notice FILE            a notice the user must accept (at most 1023 bytes)
  --settings FILE          settings text stored as the "$" member
  --set KEY=VALUE          one settings line: WindowTitle, InstallTitle, InstallDir,
                           Command or Flag (a decimal number)
  --auto-start             start extracting without waiting for OK
  --overwrite-all          replace existing files without asking
  --skip-if-not-newer      keep existing files that are not older
  --codepage N             the ANSI code page of the target Windows for names and
                           texts (1252, 932, 936, 949, 950, 65001, ...; "raw" keeps
                           the host's bytes). Without it, names and texts must be ASCII.
  --as NAME                store the next PATH under NAME ('/' between directories)
  --allow-unsafe-names     allow names that leave the installation directory (".."
                           components, rooted or drive-qualified names, macros)
  --wrap ARCHIVE           take the members of an existing level-2 archive, or of a
                           self-extractor (to build it anew with other options)
  --stub FILE              the stub to use instead of the one built in
  --icon FILE.ico          the self-extractor's icon (every image of the file, PNG
                           images included) in place of the stub's
  --version-info KEY=VALUE a string of the version information Windows shows under
                           Properties > Details: ProductName, FileDescription,
                           CompanyName, LegalCopyright, ProductVersion, FileVersion,
                           OriginalFilename, Comments, InternalName, LegalTrademarks,
                           PrivateBuild or SpecialBuild (UTF-8). FileVersion and
                           ProductVersion that begin with up to four dotted numbers
                           (1.2.3.4) also fill the numeric fields.
  --sign-pkcs12 FILE       sign the self-extractor with Authenticode (SHA-256) with the
                           certificate and key of a PKCS#12 file, by osslsigncode;
                           SOURCE_DATE_EPOCH, if set, is the signing time
  --sign-password-file F   the PKCS#12 file's password, on the first line of F
  -q, --quiet              no summary, no progress bar

Looking inside:
  --codepage N             (list, extract) the code page of the stored names
  -d, --directory DIR      (extract) where to unpack
  -y, --yes / -n, --no     (extract) the answer to the notice and to "Overwrite?";
                           by default the notice is accepted and existing files
                           are kept
  --allow-unsafe-names     (extract) unpack members whose names lead outside DIR;
                           without it such an archive is refused before anything
                           is written

  -h, --help               this text
  --version                the version

Names the stub would misread are refused: "!" and "$" at the top level (notice and
settings), names with the byte 0xFF or a backslash outside a double-byte character
(both are directory separators in the self-extractor), control characters, and names
over 259 bytes.
)";
}

std::string VersionText() {
    std::string s = std::string("varnex-pack ") + kVersion + " (stub " SFX_DEFAULT_TITLE ", ";
    s += "stub built in: " + std::to_string(EmbeddedStub().size()) + " bytes";
    return s + ")";
}

}  // namespace pack
