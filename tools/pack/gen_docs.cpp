// varnex-gen-docs: writes the manual page varnex-pack(1) and the bash completion of
// varnex-pack from the builder's own option table (option_table.h) at build time, so
// that neither can disagree with --help and an option added to the table appears in
// both. What the table cannot say (what the program is for, exit statuses, the
// environment, files and examples) is written here.
// Usage: varnex-gen-docs MANPAGE COMPLETION
#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "option_table.h"

namespace {

using pack::OptionEntry;

// Plain text as roff text: a backslash prints as one, a '-' that does not join two parts
// of a word ("self-extractor") is the minus sign options begin with, so that an option
// copied from the page is typed as such, and a line that begins with '.' or '\'' is not
// taken for a request.
std::string Roff(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        const char before = i ? text[i - 1] : '\n';
        if (before == '\n' && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-' && !isalnum((unsigned char)before)) out += "\\-";
        else out += c;
    }
    return out;
}

std::string Bold(const std::string& s) { return "\\fB" + Roff(s) + "\\fR"; }
std::string Italic(const std::string& s) { return "\\fI" + Roff(s) + "\\fR"; }

// The commands in the table's order; "build" is the one without a word of its own.
std::vector<std::string> Commands(const std::vector<OptionEntry>& table) {
    std::vector<std::string> commands;
    for (const OptionEntry& e : table)
        for (const std::string& c : e.commands)
            if (std::find(commands.begin(), commands.end(), c) == commands.end()) commands.push_back(c);
    return commands;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// One usage line of --help: "varnex-pack list [-v] FILE", what it does, its command.
struct Usage {
    std::string synopsis, summary, command;
};

// The usage lines and the paragraph after them, as --help opens with them: a line that
// begins with the program's name is a synopsis, its text after three spaces its
// summary; a deeper indented line goes on with the summary above it.
void ReadUsage(const std::vector<std::string>& commands, std::vector<Usage>& usages, std::string& paragraph) {
    std::istringstream in(pack::UsageText());
    std::string line;
    const std::string program = "  varnex-pack ";
    while (std::getline(in, line) && !(line.empty() && !usages.empty())) {
        if (line.compare(0, program.size(), program) == 0) {
            const size_t gap = line.find("   ");
            Usage u{line.substr(2, gap - 2), "", "build"};
            if (gap != std::string::npos) u.summary = line.substr(line.find_first_not_of(' ', gap));
            std::string name, word;
            std::istringstream(u.synopsis) >> name >> word;
            if (Contains(commands, word)) u.command = word;
            usages.push_back(u);
        } else if (!usages.empty() && line.compare(0, 4, "    ") == 0) {
            usages.back().summary += (usages.back().summary.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
        }
    }
    while (std::getline(in, line)) paragraph += (paragraph.empty() ? "" : "\n") + line;
}

// A synopsis in the manual's fonts: the program, commands and options bold, what the
// user fills in italic, brackets and bars upright.
std::string Synopsis(const std::string& synopsis, const std::vector<std::string>& commands) {
    std::string out, word;
    auto flush = [&] {
        if (word.empty()) return;
        out += word[0] == '-' || word == "varnex-pack" || Contains(commands, word) ? Bold(word) : Italic(word);
        word.clear();
    };
    for (char c : synopsis) {
        if (c == ' ' || c == '[' || c == ']' || c == '|') {
            flush();
            out += c;
        } else {
            word += c;
        }
    }
    flush();
    return out;
}

std::string Sentence(std::string text) {
    if (!text.empty()) text[0] = (char)toupper((unsigned char)text[0]);
    return text + ".";
}

std::string Names(const OptionEntry& e) {
    std::string out;
    for (const std::string& n : e.names) out += (out.empty() ? "" : ", ") + Bold(n);
    return e.valueType.empty() ? out : out + " " + Italic(e.valueType);
}

std::string ManPage(const std::vector<OptionEntry>& table) {
    const std::vector<std::string> commands = Commands(table);
    std::vector<Usage> usages;
    std::string paragraph;
    ReadUsage(commands, usages, paragraph);
    std::ostringstream m;
    m << ".\\\" Made by varnex-gen-docs from the option table of varnex-pack; do not edit.\n"
      << ".TH VARNEX\\-PACK 1 \"\" \"varnex\\-pack " VARNEX_VERSION "\" \"User Commands\"\n"
      << ".SH NAME\nvarnex\\-pack \\- build Varnex32 self-extractors; list, test and unpack them\n"
      << ".SH SYNOPSIS\n";
    for (const Usage& u : usages) m << Synopsis(u.synopsis, commands) << "\n.br\n";
    m << ".SH DESCRIPTION\n"
         "\\fBvarnex\\-pack\\fR makes Varnex32 self-extractors: small 32-bit Windows programs that carry an "
         "LZH archive and, when a person starts one, ask for the installation directory, extract every "
         "member with its time stamps and attributes, and may start a command afterwards. It compresses "
         "with its own LZH encoder, fills the configuration block of the stub it carries, and can give "
         "the result an icon, version information and an Authenticode signature. It lists, tests and "
         "unpacks self-extractors and plain .lzh archives with the stub's own core, so it reports what "
         "the self-extractor would.\n.PP\n"
      << Roff(paragraph) << "\n.PP\n" << Roff(pack::FooterText()) << "\n";

    m << ".SH COMMANDS\n";
    for (const Usage& u : usages) {
        m << ".TP\n" << Synopsis(u.synopsis, commands) << "\n" << Roff(Sentence(u.summary)) << "\nIts options:";
        std::string sep = " ";
        for (const OptionEntry& e : table) {
            if (e.group.empty() || !Contains(e.commands, u.command) || e.commands.size() == commands.size()) continue;
            m << sep << Bold(e.names.back());
            sep = ", ";
        }
        m << (sep == " " ? " " : ", and ") << "those of every command.\n";
    }

    m << ".SH OPTIONS\nOptions for every command: ";
    std::string sep;
    for (const OptionEntry& e : table)
        if (!e.group.empty() && e.commands.size() == commands.size()) {
            m << sep << Bold(e.names.back());
            sep = ", ";
        }
    m << ". The last of an option given twice counts, unless it says otherwise.\n";
    std::vector<std::string> groups;
    for (const OptionEntry& e : table)
        if (!e.group.empty() && !Contains(groups, e.group)) groups.push_back(e.group);
    for (const std::string& g : groups) {
        m << ".SS " << Roff(g) << "\n";
        for (const OptionEntry& e : table) {
            if (e.group != g) continue;
            m << ".TP\n" << Names(e) << "\n" << Roff(e.description) << (e.repeatable ? "; may be given more than once" : "")
              << "\n";
        }
    }

    m << ".SH \"EXIT STATUS\"\n"
         ".TP\n.B 0\nThe self-extractor was written, or the archive listed, tested or unpacked, without a fault.\n"
         ".TP\n.B 1\nAn error, which the message on standard error names: a file that cannot be read or "
         "written, a name or text the self-extractor would misread, a member that does not decode or whose "
         "CRC differs, a stub that cannot be used, a signature that could not be made.\n"
         ".TP\n.B 2\nA command line that cannot be understood: an unknown option, a missing value, an option "
         "given to a command it does not belong to.\n"
         ".SH ENVIRONMENT\n"
         ".TP\n.B SOURCE_DATE_EPOCH\nThe signing time of \\fB\\-\\-sign\\-pkcs12\\fR, in seconds since 1970, so "
         "that a signed self-extractor is reproducible as well. Nothing else that varnex\\-pack writes depends on "
         "the clock.\n"
         ".TP\n.B TMPDIR\nWhere the image is kept for \\fBosslsigncode\\fR while it signs (default /tmp).\n"
         ".TP\n.B PATH\nWhere \\fBosslsigncode\\fR is found.\n"
         ".SH FILES\n"
         ".TP\n/usr/share/varnex/Varnex32.exe\nThe stub: the same bytes as the one built into varnex\\-pack, for "
         "\\fB\\-\\-stub\\fR or a look at it.\n"
         ".TP\n/usr/share/doc/varnex\\-pack/\nREADME.md (compressed), the licence (copyright) and the changelog.\n"
         ".TP\n/usr/share/bash\\-completion/completions/varnex\\-pack\nThe completion of commands and options for bash.\n"
         ".PP\nThese are the paths of the Debian package. \\fBcmake \\-\\-install\\fR puts the same files below "
         "its prefix (/usr/local unless \\fB\\-\\-prefix\\fR names another), with README.md and LICENSE in "
         "share/doc/varnex.\n"
         ".SH EXAMPLES\n"
         "Pack the folder myapp (its contents, not the folder itself) into an installer that proposes a "
         "directory, restores attributes, checks its own integrity and opens the README when done:\n"
         ".PP\n.RS\n.nf\n"
         "varnex\\-pack \\-o setup.exe \\-\\-title \"My App\" \\-\\-dir \"%WinRoot%\\eMy App\" \\e\n"
         "    \\-\\-command \"notepad.exe README.txt\" \\-\\-restore\\-attributes \\-\\-checksum myapp/.\n"
         ".fi\n.RE\n.PP\nLook at it, test it and unpack it here, declining its notice:\n"
         ".PP\n.RS\n.nf\nvarnex\\-pack list \\-v setup.exe\nvarnex\\-pack test setup.exe\n"
         "varnex\\-pack extract setup.exe \\-d unpacked \\-\\-no\n.fi\n.RE\n"
         ".PP\nSign it reproducibly, with the time of the last commit:\n"
         ".PP\n.RS\n.nf\nSOURCE_DATE_EPOCH=$(git log \\-1 \\-\\-format=%ct) varnex\\-pack \\-o setup.exe \\e\n"
         "    \\-\\-sign\\-pkcs12 signer.p12 \\-\\-sign\\-password\\-file signer.pass myapp/.\n.fi\n.RE\n"
         ".SH \"SEE ALSO\"\n"
         ".BR lhasa (1),\n.BR 7zz (1),\n.BR wrestool (1)\n";
    return m.str();
}

// The bash completion: the command words first, then the long options of the command
// on the line, files after an option that takes a value (directories after one that
// takes a DIR), files for the operands.
std::string Completion(const std::vector<OptionEntry>& table) {
    const std::vector<std::string> commands = Commands(table);
    std::string words, dirValues, fileValues;
    for (const std::string& c : commands)
        if (c != "build") words += (words.empty() ? "" : " ") + c;
    for (const OptionEntry& e : table)
        for (const std::string& n : e.names) {
            if (e.valueType.empty()) continue;
            std::string& to = e.valueType == "DIR" ? dirValues : fileValues;
            to += (to.empty() ? "" : "|") + n;
        }
    std::string pattern = words;
    std::replace(pattern.begin(), pattern.end(), ' ', '|');
    std::ostringstream b;
    b << "# bash completion for varnex-pack, made by varnex-gen-docs from its option table.\n"
         "_varnex_pack() {\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command=build options\n"
         "    case ${COMP_WORDS[1]} in " << pattern << ") command=${COMP_WORDS[1]} ;; esac\n"
         "    case $prev in\n"
         "        " << dirValues << ") COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
         "        " << fileValues << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "    esac\n"
         "    case $command in\n";
    for (const std::string& c : commands) {
        b << "        " << c << ") options=\"";
        std::string sep;
        for (const OptionEntry& e : table)
            if (Contains(e.commands, c))
                for (const std::string& n : e.names)
                    if (n.compare(0, 2, "--") == 0) {
                        b << sep << n;
                        sep = " ";
                    }
        b << "\" ;;\n";
    }
    b << "    esac\n"
         "    if [[ $cur == -* ]]; then\n"
         "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         "    elif ((COMP_CWORD == 1)); then\n"
         "        COMPREPLY=($(compgen -W \"" << words << "\" -- \"$cur\") $(compgen -f -- \"$cur\"))\n"
         "    else\n"
         "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "    fi\n"
         "}\n"
         "complete -o filenames -F _varnex_pack varnex-pack\n";
    return b.str();
}

bool Write(const char* path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) fprintf(stderr, "varnex-gen-docs: cannot write %s\n", path);
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: varnex-gen-docs MANPAGE COMPLETION\n", stderr);
        return 2;
    }
    const std::vector<OptionEntry> table = pack::OptionTable();
    return Write(argv[1], ManPage(table)) && Write(argv[2], Completion(table)) ? 0 : 1;
}
