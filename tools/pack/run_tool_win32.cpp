// RunFileTool on Windows: the program is looked up in PATH (as "NAME.exe"), started by
// CreateProcessW with a command line quoted the way the C runtimes split it, its
// standard output and error going to a file of a private temporary directory; that
// directory is removed on every way out, Ctrl-C and Ctrl-Break included (the program
// shares our console, so the same key ends it too).
#include <windows.h>
#include <string.h>

#include <algorithm>

#include "host_win32.h"
#include "sign.h"

namespace pack {

namespace {

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

bool ReadAll(const std::wstring& path, lzh::Bytes& data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    data.clear();
    uint8_t buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(h, buffer, sizeof buffer, &got, nullptr)) && got > 0) data.insert(data.end(), buffer, buffer + got);
    CloseHandle(h);
    return ok;
}

}  // namespace

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
    if (ReadAll(dir.File(2), text)) messages.assign(text.begin(), text.end());
    if (code == 0 && !ReadAll(dir.File(1), output)) {
        messages += "\n" + program + " wrote no output";
        return 1;
    }
    return (int)code;
}

}  // namespace pack
