// The builder's seam on Windows: the wide (UTF-16) file and command-line functions, so
// that a name in any script reaches the builder whatever the ANSI code page is; the
// system's own code-page conversion; the temporary output removed on Ctrl-C and
// Ctrl-Break by a console control handler.
#include <windows.h>
#include <shellapi.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_win32.h"
#include "pack.h"

namespace pack {

namespace {

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

bool HostWriteTemp(HostTemp& temp, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = (DWORD)std::min<size_t>(size - done, 1u << 24);
        DWORD written = 0;
        if (!::WriteFile((HANDLE)temp.handle, data + done, chunk, &written, nullptr) || written == 0) {
            SetErrnoFromLastError();
            return false;
        }
        done += written;
    }
    return true;
}

bool HostMakeExecutable(HostTemp&) { return true; }

bool HostSyncTemp(HostTemp& temp) {
    if (FlushFileBuffers((HANDLE)temp.handle)) return true;
    SetErrnoFromLastError();
    return false;
}

std::string HostTempReadPath(const HostTemp& temp) { return temp.name; }

bool HostCloseTemp(HostTemp& temp) {
    const HANDLE h = (HANDLE)temp.handle;
    temp.handle = -1;
    if (CloseHandle(h)) return true;
    SetErrnoFromLastError();
    return false;
}

bool HostRenameTemp(HostTemp& temp, const std::string& path) {
    if (!MoveFileExW(Wide(temp.name).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        SetErrnoFromLastError();
        return false;
    }
    ForgetTemp();
    return true;
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

}  // namespace pack
