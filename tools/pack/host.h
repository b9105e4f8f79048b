// The builder's seam to the operating system: one file per system (host_posix.cpp,
// host_win32.cpp) behind these declarations. Everything else of varnex-pack (options,
// names, collection, building, inspection) is shared. Paths and names are UTF-8 strings
// on both systems; failures leave errno set, so that messages read the same everywhere.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "lzh/archive_writer.h"

namespace pack {

// The command line after the program's name, in UTF-8. On Windows it is read from the
// wide command line, whatever the ANSI code page is, and the console shows UTF-8 output
// until the program ends (its own code page is put back then, Ctrl-C included).
std::vector<std::string> HostArguments(int argc, char** argv);

// The characters that separate directories in a path given on the command line.
extern const char kHostSeparators[];

struct HostFileInfo {
    bool directory = false;
    bool regular = false;
    bool readOnly = false;      // Windows' read-only attribute; no owner write permission on POSIX
    uint64_t size = 0;
    int64_t writeTime = 0;      // seconds since 1970 (UTC)
    uint64_t identity[2] = {0, 0};   // the same pair for the same file (device and inode)
};
// Follows symbolic links. False with errno set when there is nothing to read.
bool HostStat(const std::string& path, HostFileInfo& info);
// The names in a directory, "." and ".." left out, in no particular order. False with
// errno set.
bool HostListDirectory(const std::string& dir, std::vector<std::string>& names);
// A whole file. False with errno set.
bool HostReadFile(const std::string& path, lzh::Bytes& data);
// fopen by UTF-8 name.
FILE* HostOpenFile(const std::string& path, const char* mode);
// Whether standard error is a terminal or console (the progress bar is drawn only there).
bool HostStderrIsConsole();

// Writes data to path through a temporary in the same directory and a rename, so that
// an error never leaves a half-written file: a full disk, an interrupt (Ctrl-C or
// Ctrl-Break on Windows; SIGINT, SIGTERM, SIGHUP on POSIX) or a failing verify removes
// the temporary. verify, if given, is called with a path of the complete temporary
// before the rename and may throw to abandon it. Throws Error. (Shared: output.cpp.)
void WriteAtomically(const std::string& path, const lzh::Bytes& data,
                     const std::function<void(const std::string&)>& verify = {});

// The system calls WriteAtomically is made of. A temporary is registered for removal on
// an interrupt from its creation until it is renamed or removed. Create fails with errno
// set; Fill and Commit return null or the words for what failed, with errno set.
struct HostTemp {
    std::string name;
    intptr_t handle = -1;   // the open file; -1 once closed
    bool tooLong = false;   // the name would not fit the interrupt handler
};
// A new file whose name is prefix and a unique ending, open for writing.
bool HostCreateTemp(const std::string& prefix, HostTemp& temp);
// Writes data, makes the file executable as far as the umask allows (POSIX) and puts it
// on the disk; then HostTempReadPath names it for reading while it is still open.
const char* HostFillTemp(HostTemp& temp, const uint8_t* data, size_t size);
std::string HostTempReadPath(const HostTemp& temp);
// Closes it and moves it over path.
const char* HostCommitTemp(HostTemp& temp, const std::string& path);
// Closes (if open) and deletes it.
void HostRemoveTemp(HostTemp& temp);

// ---- running a tool on temporary files (signing) ---------------------------------------

// Arguments of RunFileTool that stand for its two temporary files.
extern const char* const kToolInput;    // a file holding `input`
extern const char* const kToolOutput;   // a file the program writes, read into `output`
// RunFileTool's result when the program cannot be started (it is not installed).
constexpr int kToolMissing = -1;

// Runs `program` (looked up in PATH) with `args`, standard input empty, its standard
// output and error collected in `messages`; returns its exit status, or kToolMissing.
// The temporaries are removed on every way out, an interrupt included: Ctrl-C ends the
// program, and this process only after the temporaries are gone. Throws Error when the
// temporaries cannot be written.
int RunFileTool(const std::string& program, const std::vector<std::string>& args, const lzh::Bytes& input,
                lzh::Bytes& output, std::string& messages);

// ---- code pages ---------------------------------------------------------------------

// Whether the system converts to and from this Windows code page (not 65001, which
// the shared code handles itself).
bool HostCodePageKnown(uint32_t codePage);
// Converts valid UTF-8 into the code page: the offset of the first character it lacks,
// or std::string::npos when all of it converted.
size_t HostEncode(uint32_t codePage, const std::string& utf8, std::string& out);
// Converts bytes of the code page into UTF-8 as far as they convert: the number of
// bytes taken (all of them, or up to a sequence that does not convert).
size_t HostDecode(uint32_t codePage, const std::string& bytes, std::string& out);

}  // namespace pack
