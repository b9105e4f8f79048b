// Project files: a build's options kept in a text file under version control, so that a
// CI machine builds the same self-extractor as the author's. One option per line by its
// long name, `title = "My App"`, `auto-start = true`, `input = myapp/.`; '#' or ';' begins
// a comment line. A value in double quotes may hold '#' and surrounding blanks; inside
// quotes \" and \\ stand for " and \, and every other backslash is itself, so that
// Windows paths need no doubling. An unquoted value ends at the line's end or at a '#'
// after a blank.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct ProjectEntry {
    std::string key;     // the option's long name without "--"; "input" for a PATH
    std::string value;
    int line = 0;
};

// The entries of the project file at path, in file order. Throws Error "FILE:LINE: ..."
// (a UsageError) for a line that is not `key = value`, and Error naming the file when it
// cannot be read.
std::vector<ProjectEntry> ReadProject(const std::string& path);

// A path value of a project file as the host should open it: relative to the folder of
// the project file; on POSIX with '/' for every '\' (a project written on Windows may use them).
std::string ProjectPath(const std::string& projectFile, const std::string& value);

// The opposite of ProjectPath, for saving: a path inside the project file's folder
// relative to it, any other as it is, with '/' between its parts.
std::string ProjectRelative(const std::string& projectFile, const std::string& path);

// Writes the entries as a project file that ReadProject reads back to the same entries
// (every value quoted). Throws Error.
void WriteProject(const std::string& path, const std::vector<ProjectEntry>& entries);

}  // namespace pack
