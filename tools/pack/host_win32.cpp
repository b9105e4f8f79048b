// The builder's seam on Windows: the wide (UTF-16) file and command-line functions, so
// that a name in any script reaches the builder whatever the ANSI code page is; the
// system's own code-page conversion; the temporary output removed on Ctrl-C and
// Ctrl-Break by a console control handler. RunFileTool looks the program up in PATH (as
// "NAME.exe") and starts it by CreateProcessW with a command line quoted the way the C
// runtimes split it, its output going to a file of a private temporary directory that is
// removed on every way out, Ctrl-C and Ctrl-Break included (the program shares our
// console, so the same key ends it too).
#include <windows.h>
#include <shellapi.h>
#include <errno.h>
#include <wchar.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "pack.h"
#include "port/posix_port.h"

namespace pack {

namespace {

// UTF-8 (our strings) to and from UTF-16 (the wide functions'), by the port's conversion.
std::wstring Wide(const std::string& utf8) {
    std::wstring out;
    PosixWideFrom(CP_UTF8, utf8, false, out);
    return out;
}
std::string Utf8(const wchar_t* text, int length = -1) {
    return PosixUtf8Of(text, length < 0 ? (int)wcslen(text) : length);
}

// errno for the last Windows error, so that messages read as they do on POSIX.
void SetErrnoFromLastError() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    default: errno = EIO; break;
    }
}

// Seconds since 1970 of a FILETIME (100 ns since 1601), rounded down as st_mtime is.
int64_t UnixSeconds(const FILETIME& t) {
    const int64_t ticks = (int64_t)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime);
    const int64_t since1970 = ticks - (int64_t)PortFileTimeOf1970, second = PortFileTimePerSecond;
    return since1970 >= 0 ? since1970 / second : -((-since1970 + second - 1) / second);
}

// ---- the temporary output, removed on every way out ------------------------------

// Written before the handler is installed and cleared before the name is given up; the
// handler runs on a thread of its own.
wchar_t g_tempPath[MAX_PATH * 4];
volatile LONG g_tempSet = 0;

BOOL WINAPI RemoveTempOnInterrupt(DWORD event) {
    if (InterlockedCompareExchange(&g_tempSet, 0, 0)) DeleteFileW(g_tempPath);
    (void)event;
    return FALSE;   // and the default handler ends the process
}

void ForgetTemp() { InterlockedExchange(&g_tempSet, 0); }

// The console's output code page as the program found it: it belongs to the console,
// which outlives us, so it is put back on every way out.
UINT g_consoleOutputCP = 0;

void RestoreConsoleOutput() {
    if (g_consoleOutputCP) SetConsoleOutputCP(g_consoleOutputCP);
}

BOOL WINAPI RestoreConsoleOnInterrupt(DWORD) {
    RestoreConsoleOutput();
    return FALSE;
}

// ---- running a tool on a temporary file (signing) ------------------------------------

std::string LastErrorText() {
    wchar_t* text = nullptr;
    const DWORD error = GetLastError();
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, (wchar_t*)&text, 0, nullptr);
    std::wstring w = text ? text : L"";
    if (text) LocalFree(text);
    while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L'.')) w.pop_back();
    return w.empty() ? "error " + std::to_string(error) : Utf8(w.c_str(), (int)w.size());
}

// One argument as CommandLineToArgvW and the C runtimes read it back: quoted when it
// is empty or holds a blank or a quote; backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// The private directory's files, for the console control handler, which runs on a
// thread of its own: written before the handler is installed, never changed after.
wchar_t g_toolFiles[4][MAX_PATH * 2];   // input, output, messages, the directory
volatile LONG g_toolFilesSet = 0;

void RemoveToolFiles() {
    for (int i = 0; i < 3; i++) DeleteFileW(g_toolFiles[i]);
    RemoveDirectoryW(g_toolFiles[3]);
}

BOOL WINAPI RemoveToolFilesOnInterrupt(DWORD) {
    if (InterlockedCompareExchange(&g_toolFilesSet, 0, 0)) RemoveToolFiles();
    return FALSE;   // and the next handler, at last the default one, ends the process
}

// A directory of our own in the user's temporary directory, removed with what is in it.
class ToolDir {
public:
    ToolDir() {
        wchar_t base[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, base);
        if (n == 0 || n > MAX_PATH) throw Error("cannot find the temporary directory: " + LastErrorText());
        for (unsigned attempt = 0; attempt < 100; attempt++) {
            wchar_t name[48];
            wsprintfW(name, L"varnex-pack.%lu.%u", GetCurrentProcessId(), (GetTickCount() + attempt * 7919u) & 0xFFFFFF);
            dir_ = std::wstring(base) + name;
            if (CreateDirectoryW(dir_.c_str(), nullptr)) break;
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                throw Error("cannot create a temporary directory in " + Utf8(base) + ": " + LastErrorText());
            dir_.clear();
        }
        if (dir_.empty()) throw Error("cannot create a temporary directory in " + Utf8(base));
        const wchar_t* names[4] = {L"\\input", L"\\output", L"\\messages", L""};
        for (int i = 0; i < 4; i++) {
            const std::wstring path = dir_ + names[i];
            if (path.size() >= MAX_PATH * 2) throw Error("the temporary directory's name is too long");
            memcpy(g_toolFiles[i], path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        }
        InterlockedExchange(&g_toolFilesSet, 1);
        SetConsoleCtrlHandler(RemoveToolFilesOnInterrupt, TRUE);
    }
    ~ToolDir() {
        SetConsoleCtrlHandler(RemoveToolFilesOnInterrupt, FALSE);
        RemoveToolFiles();
        InterlockedExchange(&g_toolFilesSet, 0);
    }
    ToolDir(const ToolDir&) = delete;
    ToolDir& operator=(const ToolDir&) = delete;
    std::wstring File(int i) const { return g_toolFiles[i]; }

private:
    std::wstring dir_;
};

bool WriteAll(const std::wstring& path, const lzh::Bytes& data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < data.size();) {
        DWORD wrote = 0;
        const DWORD chunk = (DWORD)std::min<size_t>(data.size() - done, 1u << 20);
        ok = ::WriteFile(h, data.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
        done += wrote;
    }
    return CloseHandle(h) && ok;
}

}  // namespace

const char kHostSeparators[] = "/\\";

std::vector<std::string> HostArguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide) {
        for (int i = 1; i < count; i++) args.push_back(Utf8(wide[i]));
        LocalFree(wide);
    }
    // Names and messages are UTF-8; a console shows them as such while we run.
    g_consoleOutputCP = GetConsoleOutputCP();
    if (g_consoleOutputCP && SetConsoleOutputCP(CP_UTF8)) {
        atexit(RestoreConsoleOutput);
        SetConsoleCtrlHandler(RestoreConsoleOnInterrupt, TRUE);
    }
    return args;
}

bool HostStat(const std::string& path, HostFileInfo& info) {
    // FILE_FLAG_BACKUP_SEMANTICS opens directories too; a link is followed to its target.
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION fi;
    const bool ok = GetFileInformationByHandle(h, &fi) != 0;
    if (!ok) SetErrnoFromLastError();
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (!ok) return false;
    info.directory = (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.regular = !info.directory && type == FILE_TYPE_DISK;
    info.readOnly = (fi.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info.size = ((uint64_t)fi.nFileSizeHigh << 32) | fi.nFileSizeLow;
    info.writeTime = UnixSeconds(fi.ftLastWriteTime);
    info.identity[0] = fi.dwVolumeSerialNumber;
    info.identity[1] = ((uint64_t)fi.nFileIndexHigh << 32) | fi.nFileIndexLow;
    return true;
}

bool HostListDirectory(const std::string& dir, std::vector<std::string>& names) {
    std::wstring pattern = Wide(dir);
    if (!pattern.empty() && pattern.back() != L'/' && pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(pattern.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        // An empty directory still lists "." and ".."; nothing at all means an error.
        SetErrnoFromLastError();
        return false;
    }
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(Utf8(found.cFileName));
    } while (FindNextFileW(h, &found));
    const DWORD err = GetLastError();
    FindClose(h);
    if (err != ERROR_NO_MORE_FILES) {
        SetLastError(err);
        SetErrnoFromLastError();
        return false;
    }
    return true;
}

FILE* HostOpenFile(const std::string& path, const char* mode) {
    return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

bool HostReadFile(const std::string& path, lzh::Bytes& data) {
    FILE* f = HostOpenFile(path, "rb");
    if (!f) return false;
    data.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    const bool ok = !ferror(f);
    fclose(f);
    if (!ok) errno = EIO;
    return ok;
}

bool HostStderrIsConsole() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool HostCreateTemp(const std::string& prefix, HostTemp& temp) {
    if (Wide(prefix).size() + 8 >= sizeof g_tempPath / sizeof g_tempPath[0]) {
        temp.tooLong = true;
        return false;
    }
    // A new name of our own; the handler learns it before the file exists.
    HANDLE h = INVALID_HANDLE_VALUE;
    SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE);
    for (unsigned attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; attempt++) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, "%06lX", (unsigned long)((GetTickCount() * 2654435761u + attempt * 40503u +
                                                                   GetCurrentProcessId()) & 0xFFFFFF));
        temp.name = prefix + suffix;
        const std::wstring wide = Wide(temp.name);
        ForgetTemp();
        memcpy(g_tempPath, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        InterlockedExchange(&g_tempSet, 1);
        // Others may delete it under us (the handler does) or read it (the check of the
        // finished image does); none may write it.
        h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        ForgetTemp();
        SetErrnoFromLastError();
        return false;
    }
    temp.handle = (intptr_t)h;
    return true;
}

const char* HostFillTemp(HostTemp& temp, const uint8_t* data, size_t size) {
    const HANDLE h = (HANDLE)temp.handle;
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = (DWORD)std::min<size_t>(size - done, 1u << 24);
        DWORD written = 0;
        if (!::WriteFile(h, data + done, chunk, &written, nullptr) || written == 0) break;
        done += written;
    }
    if (done == size && FlushFileBuffers(h)) return nullptr;
    SetErrnoFromLastError();
    return "write failed: ";
}

std::string HostTempReadPath(const HostTemp& temp) { return temp.name; }

const char* HostCommitTemp(HostTemp& temp, const std::string& path) {
    const HANDLE h = (HANDLE)temp.handle;
    temp.handle = -1;
    const char* failed = !CloseHandle(h) ? "write failed: "
                         : !MoveFileExW(Wide(temp.name).c_str(), Wide(path).c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? ""
                                                                                            : nullptr;
    if (failed) SetErrnoFromLastError();
    else ForgetTemp();
    return failed;
}

void HostRemoveTemp(HostTemp& temp) {
    const int err = errno;
    if (temp.handle != -1) CloseHandle((HANDLE)temp.handle);
    temp.handle = -1;
    DeleteFileW(Wide(temp.name).c_str());
    ForgetTemp();
    errno = err;
}

// ---- code pages ---------------------------------------------------------------------

bool HostCodePageKnown(uint32_t codePage) {
    if (!IsValidCodePage(codePage)) return false;
    // Only code pages that report a character they lack can be used: the stateful and
    // the other Unicode ones refuse the question.
    BOOL usedDefault = FALSE;
    char out[8];
    return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, L"A", 1, out, sizeof out, nullptr, &usedDefault) == 1;
}

size_t HostEncode(uint32_t codePage, const std::string& utf8, std::string& out) {
    // Character by character, so that the first one the code page lacks is named.
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = (uint8_t)utf8[i];
        const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const std::wstring w = Wide(utf8.substr(i, n));
        char bytes[16];
        BOOL usedDefault = FALSE;
        const int got = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.data(), (int)w.size(), bytes, sizeof bytes,
                                            nullptr, &usedDefault);
        if (got <= 0 || usedDefault) return i;
        out.append(bytes, got);
        i += n;
    }
    return std::string::npos;
}

size_t HostDecode(uint32_t codePage, const std::string& bytes, std::string& out) {
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t n = IsDBCSLeadByteEx(codePage, (BYTE)bytes[i]) && i + 1 < bytes.size() ? 2 : 1;
        wchar_t w[4];
        const int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data() + i, (int)n, w, 4);
        if (got <= 0) break;
        out += Utf8(w, got);
        i += n;
    }
    return i;
}

int RunFileTool(const std::string& program, const std::vector<std::string>& args, const lzh::Bytes& input,
                lzh::Bytes& output, std::string& messages) {
    wchar_t found[MAX_PATH * 2];
    const DWORD length = SearchPathW(nullptr, Wide(program).c_str(), L".exe", MAX_PATH * 2, found, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) {
        messages = program + ": not found in PATH";
        return kToolMissing;
    }

    ToolDir dir;
    if (!WriteAll(dir.File(0), input)) throw Error(Utf8(dir.File(0).c_str()) + ": " + LastErrorText());
    std::wstring line;
    AppendQuoted(line, found);
    for (const std::string& a : args)
        AppendQuoted(line, a == kToolInput ? dir.File(0) : a == kToolOutput ? dir.File(1) : Wide(a));

    // Its output and errors go to one file it inherits; its input is empty.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileW(dir.File(2).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE || nothing == INVALID_HANDLE_VALUE) {
        const std::string why = LastErrorText();
        if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
        if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
        throw Error(Utf8(dir.File(2).c_str()) + ": " + why);
    }
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nothing;
    start.hStdOutput = start.hStdError = log;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(0);
    const BOOL started = CreateProcessW(found, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
    const std::string whyNot = started ? std::string() : LastErrorText();
    CloseHandle(log);
    CloseHandle(nothing);
    if (!started) {
        messages = Utf8(found) + ": " + whyNot;
        return 127;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    lzh::Bytes text;
    if (HostReadFile(Utf8(dir.File(2).c_str()), text)) messages.assign(text.begin(), text.end());
    if (code == 0 && !HostReadFile(Utf8(dir.File(1).c_str()), output)) {
        messages += "\n" + program + " wrote no output";
        return 1;
    }
    return (int)code;
}

}  // namespace pack
