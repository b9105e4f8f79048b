// Project files (project.h). Read here rather than by the command-line library's
// configuration reader: that one takes a '#' inside a quoted value for a comment and skips
// a line it cannot read without a word, and a project's title or notice may hold a '#'.
#include "project.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include "pack.h"

namespace pack {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && Blank(s[b])) b++;
    while (e > b && Blank(s[e - 1])) e--;
    return s.substr(b, e - b);
}

bool KeyCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

// The value after '=', quoted or not; the message says what is wrong with it.
std::string Value(const std::string& text, std::string& wrong) {
    if (text.empty() || text[0] != '"') {
        size_t end = 0;
        while (end < text.size() && !(text[end] == '#' && end > 0 && Blank(text[end - 1]))) end++;
        return Trimmed(text.substr(0, end));
    }
    std::string value;
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; i++) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) i++;
        value += text[i];
    }
    if (i == text.size()) wrong = "the quoted value has no closing '\"'";
    const std::string rest = Trimmed(text.substr(std::min(i + 1, text.size())));
    if (wrong.empty() && !rest.empty() && rest[0] != '#' && rest[0] != ';')
        wrong = "'" + rest + "' follows the quoted value";
    return value;
}

}  // namespace

std::vector<ProjectEntry> ReadProject(const std::string& path) {
    lzh::Bytes data;
    if (!HostReadFile(path, data)) throw Error("--project " + path + ": " + strerror(errno));
    std::string text(data.begin(), data.end());
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);   // Notepad's UTF-8 mark
    std::vector<ProjectEntry> entries;
    size_t at = 0;
    for (int line = 1; at < text.size() || line == 1; line++) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string content = text.substr(at, end - at);
        at = end + 1;
        if (!content.empty() && content.back() == '\r') content.pop_back();
        content = Trimmed(content);
        if (content.empty() || content[0] == '#' || content[0] == ';') continue;
        const std::string where = path + ":" + std::to_string(line) + ": ";
        if (content.find('\0') != std::string::npos) throw UsageError(where + "a NUL byte");
        const size_t eq = content.find('=');
        const std::string key = Trimmed(content.substr(0, std::min(eq, content.size())));
        bool keyOk = !key.empty();
        for (char c : key) keyOk = keyOk && KeyCharacter(c);
        if (eq == std::string::npos || !keyOk)
            throw UsageError(where + "not an option line ('long-name = value'): " + content);
        std::string wrong;
        std::string value = Value(Trimmed(content.substr(eq + 1)), wrong);
        if (!wrong.empty()) throw UsageError(where + key + ": " + wrong);
        entries.push_back({key, std::move(value), line});
    }
    return entries;
}

std::string ProjectPath(const std::string& projectFile, const std::string& value) {
    // Windows takes either separator; POSIX only '/', and names with a backslash are
    // refused as members anyway.
    std::string v = value;
    if (!strchr(kHostSeparators, '\\'))
        for (char& c : v)
            if (c == '\\') c = '/';
    const bool rooted = (!v.empty() && v[0] == '/') || (v.size() > 1 && v[1] == ':');
    const size_t slash = projectFile.find_last_of(kHostSeparators);
    if (rooted || slash == std::string::npos) return v.empty() || v[0] != '-' ? v : "./" + v;
    return projectFile.substr(0, slash + 1) + v;
}

std::string ProjectRelative(const std::string& projectFile, const std::string& path) {
    std::string p = path, folder = projectFile.substr(0, projectFile.find_last_of(kHostSeparators) + 1);
    for (std::string* s : {&p, &folder})
        for (char& c : *s)
            if (c == '\\') c = '/';
    // Windows' names do not heed case; a POSIX folder that differs only in case is rare
    // enough that a path kept whole there loses nothing.
    const bool inside = !folder.empty() && p.size() > folder.size() &&
                        strncasecmp(p.c_str(), folder.c_str(), folder.size()) == 0;
    return inside ? p.substr(folder.size()) : p;
}

void WriteProject(const std::string& path, const std::vector<ProjectEntry>& entries) {
    std::string text = "# A self-extractor's options: varnex-pack --project " +
                       path.substr(path.find_last_of(kHostSeparators) + 1) + "\n";
    for (const ProjectEntry& e : entries) {
        text += e.key + " = \"";
        for (char c : e.value) text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        text += "\"\n";
    }
    WriteAtomically(path, lzh::Bytes(text.begin(), text.end()));
}

}  // namespace pack
