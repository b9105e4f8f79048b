// The command line of varnex-pack.
#include <string.h>

#include <CLI/CLI.hpp>
#include <map>
#include <set>

#include "branding.h"
#include "option_table.h"
#include "pack.h"
#include "project.h"
#include "sfx/settings.h"

namespace pack {

namespace {

// "WindowTitle, InstallTitle, ..." with `last` before the last one.
std::string SettingNames(const char* last) {
    std::string out;
    for (int k = 0; k < KeyCount; k++)
        out += (k == 0 ? "" : k + 1 < KeyCount ? ", " : last) + SettingName((SettingKey)k);
    return out;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

void ParseSet(Options& o, const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) throw UsageError("--set takes KEY=VALUE, not '" + text + "'");
    std::string key = text.substr(0, eq);
    if (!key.empty() && key[0] == '$') key.erase(0, 1);
    for (int k = 0; k < KeyCount; k++) {
        if (EqualNoCase(key, SettingName((SettingKey)k))) {
            o.sets.emplace_back((SettingKey)k, text.substr(eq + 1));
            return;
        }
    }
    throw UsageError("--set: unknown key '" + text.substr(0, eq) + "' (known: " + SettingNames(", ") + ")");
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

// The commands an option belongs to.
enum Use : unsigned { ForBuild = 1, ForList = 2, ForTest = 4, ForExtract = 8, ForLooking = 14, ForAll = 15 };

unsigned UseOf(Action a) {
    switch (a) {
    case Action::List: return ForList;
    case Action::Test: return ForTest;
    case Action::Extract: return ForExtract;
    default: return ForBuild;
    }
}

// Why an option given to a command it does not belong to is refused.
std::string MisplacedOption(const std::string& name, unsigned use) {
    if (use == ForBuild) return "option " + name + " is for building, not for this command";
    if (use == (ForBuild | ForExtract)) return "option " + name + " is for building and extract only";
    if (use == ForList) return "option " + name + " is for list only";
    return "option " + name + " is for extract only";
}

// --help: the usage lines and what PATH means first, then the table's groups, every
// description wrapped to an 80-column console.
class HelpLayout : public CLI::Formatter {
public:
    HelpLayout() { column_width(kColumn); }
    std::string make_usage(const CLI::App*, std::string) const override {
        return "Usage:\n"
               "  varnex-pack [options] -o OUT.exe PATH...   build a self-extractor\n"
               "  varnex-pack list [-v] FILE                 list a self-extractor or a plain .lzh\n"
               "                                             (-v: with its settings and notice)\n"
               "  varnex-pack test FILE                      decode every member and check its CRC\n"
               "  varnex-pack extract FILE -d DIR [--yes|--no]\n"
               "                                             unpack it as the self-extractor would\n\n"
               "Each PATH is stored under its own name (its last component); a directory is stored\n"
               "with everything below it, and \"DIR/.\" stores only what is inside DIR. Directories\n"
               "become directory members, empty ones included. Time stamps are the files'\n"
               "modification times; a read-only file is stored read-only. Members are stored in\n"
               "name order, and the same inputs give a byte-identical self-extractor.\n";
    }
    std::string make_description(const CLI::App*) const override { return ""; }
    std::string make_option_desc(const CLI::Option* opt) const override {
        std::string out, line;
        const std::string& text = opt->get_description();
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            const std::string word = text.substr(at, end - at);
            if (!line.empty() && line.size() + 1 + word.size() > kWidth - kColumn) {
                out += line + "\n";
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
            at = end + 1;
        }
        return out + line;
    }

private:
    static const size_t kColumn = 27, kWidth = 79;
};

// The one table of options: what they mean, what --help shows, what the library checks.
// The values land in the parser's own strings and flags and are read in command-line
// order afterwards, since --as belongs to the PATH after it and a later -N wins.
struct Parser {
    CLI::App app{"", "varnex-pack"};
    std::map<const CLI::Option*, unsigned> use;
    std::vector<const CLI::Option*> levels;   // -1 ... -9
    CLI::Option *paths = nullptr, *as = nullptr, *yes = nullptr, *no = nullptr, *version = nullptr, *level = nullptr;
    std::vector<std::string> pathValues, asValues, setValues, versionInfoValues;
    std::string method;
    int levelValue = lzh::DefaultLevel;
    bool flag = false;   // flags whose effect is read from their count

    explicit Parser(Options& o) {
        app.footer(
            "Names the stub would misread are refused: \"!\" and \"$\" at the top level (notice and\n"
            "settings), names with the byte 0xFF or a backslash outside a double-byte character\n"
            "(both are directory separators in the self-extractor), control characters, and names\n"
            "over 259 bytes.");
        app.formatter(std::make_shared<HelpLayout>());
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->disable_flag_override();
        // Shown in the usage lines rather than as an option of its own.
        paths = app.add_option("PATH", pathValues)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->group("");
        use[paths] = ForAll;
        AddOutputAndCompression(o);
        AddConfiguration(o);
        AddMembers(o);
        AddBranding(o);
        AddGeneral(o);
    }

private:
    static constexpr const char* kBuilding = "Building";

    CLI::Option* Value(const char* names, std::string& to, const char* type, const std::string& text,
                       unsigned u = ForBuild) {
        CLI::Option* opt = app.add_option(names, to, text)->type_name(type)->group(u == ForBuild ? kBuilding : "General");
        use[opt] = u;
        return opt;
    }
    void Optional(const char* names, std::optional<std::string>& to, const char* type, const std::string& text) {
        CLI::Option* opt = app.add_option_function<std::string>(names, [&to](const std::string& v) { to = v; }, text)
                               ->type_name(type)->group(kBuilding);
        use[opt] = ForBuild;
    }
    CLI::Option* OnOff(const char* names, bool& to, const char* text, unsigned u = ForBuild, const char* group = nullptr) {
        CLI::Option* opt = app.add_flag(names, to, text)->group(group ? group : u == ForBuild ? kBuilding : "General");
        use[opt] = u;
        return opt;
    }
    void Bit(Options& o, const char* names, uint32_t bit, const char* text) {
        CLI::Option* opt = app.add_flag_callback(names, [&o, bit] { o.flagBits |= bit; }, text)->group(kBuilding);
        use[opt] = ForBuild;
    }
    CLI::Option* List(const char* names, std::vector<std::string>& to, const char* type, const std::string& text) {
        CLI::Option* opt = app.add_option(names, to, text)->type_name(type)->group(kBuilding)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->allow_extra_args(false);
        use[opt] = ForBuild;
        return opt;
    }

    void AddOutputAndCompression(Options& o) {
        Value("-o,--output", o.output, "FILE", "the self-extractor to write (replaced only when complete)");
        use[app.add_option("--method", method, "lh0 (stored), lh5, lh6, lh7 or best (default: best)")
                ->type_name("M")->group(kBuilding)] = ForBuild;
        for (char n = '1'; n <= '9'; n++) {
            const std::string name = std::string("-") + n;
            const char* text = n == '1' ? "fastest compression; -2 ... -8 lie between"
                             : n == '9' ? "smallest output (default: -6)" : "";
            CLI::Option* opt = app.add_flag(name, flag, text)->group(n == '1' || n == '9' ? kBuilding : "");
            use[opt] = ForBuild;
            levels.push_back(opt);
        }
        level = app.add_option("--level", levelValue, "the compression level as a number, as -N gives it")
                    ->type_name("N")->check(CLI::Range(1, 9).description(""))->group(kBuilding);
        use[level] = ForBuild;
    }

    // The configuration block, the settings and the notice.
    void AddConfiguration(Options& o) {
        Optional("--title", o.title, "T", "window title (at most 40 bytes)");
        Optional("--label", o.label, "L", "label above the directory field (at most 40 bytes)");
        std::string macros;
        for (const std::string& m : DirectoryMacros()) macros += (macros.empty() ? "" : ", ") + m;
        Optional("--dir", o.dir, "D", "default installation directory (at most 255 bytes; may begin with " + macros + ")");
        Optional("--command", o.command, "C", "started after extraction (at most 255 bytes)");
        OnOff("--restore-attributes", o.restoreAttributes, "extracted files get their stored attributes");
        OnOff("--checksum", o.checksum, "an integrity sum that the self-extractor checks");
        Value("--notice", o.noticeFile, "FILE", "a notice the user must accept (at most 1023 bytes)");
        Value("--settings", o.settingsFile, "FILE", "settings text stored as the \"$\" member");
        List("--set", setValues, "KEY=VALUE", "one settings line: " + SettingNames(" or ") + " (a decimal number)");
        Bit(o, "--auto-start", FlagAutoStartOn, "start extracting without waiting for OK");
        Bit(o, "--overwrite-all", FlagOverwriteAllOn, "replace existing files without asking");
        Bit(o, "--skip-if-not-newer", FlagSkipIfNotNewerOn, "keep existing files that are not older");
    }

    // Where the members come from besides the PATHs.
    void AddMembers(Options& o) {
        as = List("--as", asValues, "NAME", "store the next PATH under NAME ('/' between directories)");
        Value("--wrap", o.wrap, "ARCHIVE",
              "take the members of an existing level-2 archive, or of a self-extractor (to build it anew "
              "with other options)");
        Value("--stub", o.stub, "FILE", "the stub to use instead of the one built in");
    }

    void AddBranding(Options& o) {
        Value("--icon", o.iconFile, "FILE.ico",
              "the self-extractor's icon (every image of the file, PNG images included) in place of the stub's");
        List("--version-info", versionInfoValues, "KEY=VALUE",
             "a string of the version information Windows shows under Properties > Details: ProductName, "
             "FileDescription, CompanyName, LegalCopyright, ProductVersion, FileVersion, OriginalFilename, "
             "Comments, InternalName, LegalTrademarks, PrivateBuild or SpecialBuild (UTF-8). FileVersion and "
             "ProductVersion that begin with up to four dotted numbers (1.2.3.4) also fill the numeric fields");
        Value("--sign-pkcs12", o.signPkcs12, "FILE",
              "sign the self-extractor with Authenticode (SHA-256) with the certificate and key of a PKCS#12 "
              "file, by osslsigncode; SOURCE_DATE_EPOCH, if set, is the signing time");
        Value("--sign-password-file", o.signPasswordFile, "F", "the PKCS#12 file's password, on the first line of F");
        Value("--elevation", o.elevation, "E",
              "the rights the self-extractor asks Windows for: as-invoker (the default: the user's own), "
              "highest-available or require-administrator (needed to write under Program Files)")
            ->check(CLI::IsMember({"as-invoker", "highest-available", "require-administrator"}).description(""));
        Value("--project", o.project, "FILE",
              "read build options from FILE, one per line by its long name (title = \"My App\", auto-start = "
              "true, input = DIR for a PATH; '#' begins a comment); paths in it are relative to FILE's folder, "
              "and the command line's options replace the file's");
    }

    // What more than one command takes, and list's and extract's own options.
    void AddGeneral(Options& o) {
        Value("--codepage", o.codePage, "N",
              "the ANSI code page of the target Windows for names and texts (1252, 932, 936, 949, 950, "
              "65001, ...; \"raw\" keeps the host's bytes); without it, names and texts must be ASCII. For "
              "list and extract: the code page of the stored names", ForAll);
        OnOff("--allow-unsafe-names", o.allowUnsafeNames,
              "allow names that leave the installation directory (\"..\" components, rooted or "
              "drive-qualified names, macros); for extract: unpack them", ForBuild | ForExtract, "General");
        OnOff("-q,--quiet", o.quiet, "no summary, no progress bar (test: say only what fails)", ForAll);
        OnOff("-v,--verbose", o.verbose, "(list) with the settings and notice texts", ForList, "Looking inside");
        Value("-d,--directory", o.destDir, "DIR", "(extract) where to unpack", ForExtract)->group("Looking inside");
        yes = OnOff("-y,--yes", flag, "(extract) accept the notice and replace existing files", ForExtract,
                    "Looking inside");
        no = OnOff("-n,--no", flag,
                   "(extract) decline the notice and keep existing files; by default the notice is accepted "
                   "and existing files are kept", ForExtract, "Looking inside");
        app.set_help_flag("-h,--help", "this text")->group("General");
        version = app.add_flag("--version", flag, "the version")->group("General");
        use[version] = ForAll;
    }
};

}  // namespace

std::string SettingName(SettingKey key) {
    const std::string spelt = SettingKeys[key];   // "$Name="
    return spelt.substr(1, spelt.size() - 2);
}

namespace {

// The options a parse was given, by long name ("input" for the PATHs).
std::set<std::string> GivenNames(const Parser& p) {
    std::set<std::string> names;
    for (const auto& [opt, use] : p.use)
        if (opt->count()) names.insert(opt == p.paths ? "input" : opt->get_lnames().empty() ? "" : opt->get_lnames()[0]);
    return names;
}

// The file and line a message about a project's line begins with, if it came from a file.
std::string Where(const std::string& where) { return where.empty() ? "" : where + ": "; }

// Values that name a file on the building machine: a project gives them relative to itself.
bool NamesHostFile(const CLI::Option* opt) {
    static const std::set<std::string> kTypes = {"FILE", "FILE.ico", "F", "ARCHIVE"};
    return opt->get_positional() || kTypes.count(opt->get_type_name());
}

// A project's entries as command-line arguments, to go before the command line's own.
// What the command line gives replaces the project's: a single value by coming later, a
// repeated option's values as a whole (the PATHs together with their --as), so these are
// left out. origins gets the "FILE:LINE" of each option taken from a file.
std::vector<std::string> ProjectArguments(const std::vector<ProjectEntry>& entries, const std::string& file,
                                          const std::set<std::string>& given,
                                          std::map<std::string, std::string>& origins) {
    Options checked;
    Parser p(checked);
    std::map<std::string, const CLI::Option*> options = {{"input", p.paths}};
    for (const auto& [opt, use] : p.use)
        if ((use & ForBuild) && !opt->get_lnames().empty()) options[opt->get_lnames()[0]] = opt;
    std::map<std::string, int> lines;
    std::vector<std::string> args;
    for (const ProjectEntry& e : entries) {
        const std::string where = file.empty() ? "" : file + ":" + std::to_string(e.line);
        const auto found = options.find(e.key);
        if (e.key == "project") throw UsageError(Where(where) + "a project file cannot name another project");
        if (found == options.end())
            throw UsageError(Where(where) + "unknown key '" + e.key +
                             "' (a project takes the long names of the build options, and input for a PATH)");
        const CLI::Option* opt = found->second;
        const bool repeated = opt->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
        if (!repeated && lines.count(e.key))
            throw UsageError(Where(where) + "" + e.key + " is given twice (also on line " + std::to_string(lines[e.key]) + ")");
        lines[e.key] = e.line;
        if (given.count(e.key == "as" ? "input" : e.key)) continue;
        origins[e.key] = where;
        try {
            if (e.key == "set") ParseSet(checked, e.value);
            if (e.key == "version-info") ParseVersionInfo(checked, e.value);
        } catch (const UsageError& error) {
            throw UsageError(Where(where) + "" + error.what());
        }
        if (opt->get_expected_min() == 0) {   // a flag
            if (e.value != "true" && e.value != "false")
                throw UsageError(Where(where) + "" + e.key + " takes true or false, not '" + e.value + "'");
            if (e.value == "true") args.push_back("--" + e.key);
            continue;
        }
        const std::string value = NamesHostFile(opt) ? ProjectPath(file, e.value) : e.value;
        args.push_back(opt == p.paths ? value : "--" + e.key + "=" + value);
    }
    return args;
}

// The options of one reading of the arguments (after the command word), checked one by
// one; whether a build has all it needs is checked afterwards.
Options ParseTokens(Action action, const std::vector<std::string>& args, std::set<std::string>* given) {
    Options o;
    o.action = action;
    Parser p(o);
    std::vector<std::string> reversed(args.rbegin(), args.rend());   // the library takes them last first
    try {
        p.app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o.action = Action::Help;
        return o;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    if (p.version->count()) {
        o.action = Action::Version;
        return o;
    }
    const unsigned here = UseOf(o.action);
    for (const auto& [opt, use] : p.use)
        if (opt->count() && !(use & here)) throw UsageError(MisplacedOption(opt->get_name(), use));
    if (given) *given = GivenNames(p);

    if (!p.method.empty()) o.method = ParseMethod(p.method);
    for (const std::string& s : p.setValues) ParseSet(o, s);
    for (const std::string& v : p.versionInfoValues) ParseVersionInfo(o, v);
    // In command-line order: a NAME of --as goes with the PATH after it; the last -N or
    // --level wins.
    size_t nextPath = 0, nextAs = 0;
    std::optional<std::string> pendingAs;
    for (const CLI::Option* opt : p.app.parse_order()) {
        if (opt == p.as) {
            pendingAs = p.asValues[nextAs++];
        } else if (opt == p.paths && o.action == Action::Build) {
            o.inputs.push_back({p.pathValues[nextPath++], pendingAs.value_or("")});
            pendingAs.reset();
        } else if (opt == p.level) {
            o.level = p.levelValue;
        }
        for (size_t n = 0; n < p.levels.size(); n++)
            if (opt == p.levels[n]) o.level = (int)n + 1;
    }

    if (o.action == Action::Build) {
        if (pendingAs) throw UsageError("--as " + *pendingAs + " is not followed by a path");
        return o;
    }
    if (p.yes->count() && p.no->count()) throw UsageError("--yes and --no exclude each other");
    o.answer = p.yes->count() ? Answer::Yes : p.no->count() ? Answer::No : Answer::Default;
    if (p.pathValues.size() != 1)
        throw UsageError(std::string(p.pathValues.empty() ? "no file given" : "more than one file given") +
                         " (usage: varnex-pack list|test|extract FILE)");
    o.file = p.pathValues[0];
    if (o.action == Action::Extract && o.destDir.empty()) throw UsageError("extract needs a directory: -d DIR");
    return o;
}

}  // namespace

std::string OptionNamed(const std::string& message) {
    if (message.rfind("--", 0) != 0) return "";
    const size_t end = message.find_first_of(" :=", 2);
    return message.substr(2, end == std::string::npos ? end : end - 2);
}

std::string WithOrigin(const Options& o, const std::string& message) {
    const auto origin = o.origins.find(OptionNamed(message));
    return origin == o.origins.end() || origin->second.empty() ? message : origin->second + ": " + message;
}

// Checks that a build has all it needs.
void CheckComplete(const Options& o) {
    if (o.output.empty()) throw UsageError("no output file: give -o OUT.exe");
    if (o.inputs.empty() && o.wrap.empty()) throw UsageError("nothing to pack: give files, directories or --wrap");
    if (!o.signPasswordFile.empty() && o.signPkcs12.empty())
        throw UsageError(WithOrigin(o, "--sign-password-file goes with --sign-pkcs12"));
}

Options ParseProject(const std::vector<ProjectEntry>& entries, const std::string& file,
                     const std::vector<std::string>& args) {
    std::set<std::string> names;
    ParseTokens(Action::Build, args, &names);
    std::map<std::string, std::string> origins;
    std::vector<std::string> all = ProjectArguments(entries, file, names, origins);
    all.insert(all.end(), args.begin(), args.end());
    Options fromFile, o;
    fromFile.origins = origins;
    try {
        o = ParseTokens(Action::Build, all, nullptr);
    } catch (const UsageError& e) {
        throw UsageError(WithOrigin(fromFile, e.what()));
    }
    o.origins = std::move(origins);
    CheckComplete(o);
    return o;
}

Options ParseArguments(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("nothing to do: give -o OUT.exe and what to pack, or list|test|extract FILE");
    Action action = Action::Build;
    if (args[0] == "list") action = Action::List;
    else if (args[0] == "test") action = Action::Test;
    else if (args[0] == "extract") action = Action::Extract;
    const std::vector<std::string> given(args.begin() + (action == Action::Build ? 0 : 1), args.end());

    Options o = ParseTokens(action, given, nullptr);
    if (o.action != Action::Build) return o;
    if (!o.project.empty()) return ParseProject(ReadProject(o.project), o.project, given);
    CheckComplete(o);
    return o;
}

std::string HelpText() {
    Options ignored;
    Parser p(ignored);
    return p.app.help();
}

std::string VersionText() {
    std::string s = std::string("varnex-pack ") + VARNEX_VERSION + " (stub " SFX_DEFAULT_TITLE ", ";
    s += "stub built in: " + std::to_string(EmbeddedStub().size()) + " bytes";
    return s + ")";
}

}  // namespace pack

// ---- the table as data, for the manual page and the completion (option_table.h) -----

namespace pack {

std::vector<OptionEntry> OptionTable() {
    static const std::pair<unsigned, const char*> kCommands[] = {
        {ForBuild, "build"}, {ForList, "list"}, {ForTest, "test"}, {ForExtract, "extract"}};
    Options ignored;
    Parser p(ignored);
    std::vector<OptionEntry> table;
    for (const CLI::Option* opt : p.app.get_options()) {
        if (opt->get_positional()) continue;
        OptionEntry e;
        for (const std::string& s : opt->get_snames()) e.names.push_back("-" + s);
        for (const std::string& l : opt->get_lnames()) e.names.push_back("--" + l);
        if (opt->get_expected_min() > 0) e.valueType = opt->get_type_name();
        e.repeatable = opt->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
        e.description = opt->get_description();
        e.group = opt->get_group();
        const auto use = p.use.find(opt);   // --help is the one option the table leaves out
        for (const auto& [bit, name] : kCommands)
            if ((use == p.use.end() ? ForAll : use->second) & bit) e.commands.push_back(name);
        table.push_back(e);
    }
    return table;
}

std::string UsageText() { return HelpLayout().make_usage(nullptr, ""); }

std::string FooterText() {
    Options ignored;
    return Parser(ignored).app.get_footer();
}

}  // namespace pack
