// The POSIX side of the port: real files, and a simulated screen for everything a
// person would see, so that tests and host tools can run the core natively. The dialog
// itself is simulated in port_posix_dialog.cpp; what the walk uses (message boxes, the
// progress line, the closing command) is here.
//
// Paths: the core treats '\' as a separator as Windows does; before a path reaches the
// file system every '\' that is not the trail byte of a two-byte character becomes '/'.
//
// The tools built for Windows (varnex-pack.exe) read archives through this port as well;
// there the few calls that reach the file system go to the wide (UTF-16) functions.
#include "port/posix_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
// Without the window functions, whose macros (MessageBox) would rename ours.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#include <windows.h>
#include <io.h>
#endif

PortState& SimulatedSystem() {
    static PortState state;
    return state;
}

void Record(PosixEvent e) { SimulatedSystem().transcript.push_back(std::move(e)); }

namespace {

const int64_t Seconds1601To1970 = (int64_t)(PortFileTimeOf1970 / PortFileTimePerSecond);
const int64_t Days1601To1970 = Seconds1601To1970 / 86400;

// ---- the calls that reach the file system ------------------------------------------------

struct NativeStat {
    bool directory = false, regular = false, writable = false;
    unsigned mode = 0;
};

#ifdef _WIN32
}  // namespace

bool PosixWideFrom(uint32_t codePage, const std::string& bytes, bool strict, std::wstring& out) {
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(codePage, flags, bytes.data(), (int)bytes.size(), nullptr, 0);
    out.assign(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(codePage, flags, bytes.data(), (int)bytes.size(), &out[0], n);
    return n > 0 || bytes.empty();
}

std::string PosixUtf8Of(const wchar_t* text, int length) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    return out;
}

namespace {

// A path is UTF-8 when it is valid UTF-8 (what the tool's command line gives); other
// bytes (a member name in the archive's code page) are read in that code page, or in
// the ANSI code page when none was named.
std::wstring WidePath(const std::string& p) {
    const uint32_t names = SimulatedSystem().nameCodePage ? SimulatedSystem().nameCodePage : (uint32_t)CP_ACP;
    std::wstring out;
    if (!PosixWideFrom(CP_UTF8, p, true, out)) PosixWideFrom(names, p, false, out);
    return out;
}
int OpenNative(const std::string& p, int flags, int mode) { return _wopen(WidePath(p).c_str(), flags | O_BINARY, mode); }
bool StatNative(const std::string& p, NativeStat& out) {
    struct _stat64 st;
    if (_wstat64(WidePath(p).c_str(), &st) != 0) return false;
    out.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
    out.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    out.writable = (st.st_mode & _S_IWRITE) != 0;
    out.mode = st.st_mode;
    return true;
}
bool SetReadOnlyNative(const std::string& p, const NativeStat&, bool readOnly) {
    return _wchmod(WidePath(p).c_str(), readOnly ? _S_IREAD : _S_IREAD | _S_IWRITE) == 0;
}
bool UnlinkNative(const std::string& p) { return _wunlink(WidePath(p).c_str()) == 0; }
bool MkdirNative(const std::string& p) { return _wmkdir(WidePath(p).c_str()) == 0; }
// FILETIME and PortFileTime count alike (100 ns since 1601).
bool WriteTimeNative(int fd, PortFileTime* write) {
    FILETIME t;
    if (!GetFileTime((HANDLE)_get_osfhandle(fd), nullptr, nullptr, &t)) return false;
    *write = ((PortFileTime)t.dwHighDateTime << 32) | t.dwLowDateTime;
    return true;
}
bool SetTimesNative(int fd, const PortFileTime* access, const PortFileTime* write) {
    FILETIME t[2];
    const PortFileTime* src[2] = {access, write};
    for (int i = 0; i < 2; i++)
        if (src[i]) t[i].dwLowDateTime = (DWORD)*src[i], t[i].dwHighDateTime = (DWORD)(*src[i] >> 32);
    return SetFileTime((HANDLE)_get_osfhandle(fd), nullptr, access ? &t[0] : nullptr, write ? &t[1] : nullptr) != 0;
}
std::string CurrentDirNative() {
    wchar_t buf[4096];
    return _wgetcwd(buf, 4096) ? PosixUtf8Of(buf, (int)wcslen(buf)) : std::string();
}
const char kPathListSeparator = ';';
#else
int OpenNative(const std::string& p, int flags, int mode) { return open(p.c_str(), flags, mode); }
bool StatNative(const std::string& p, NativeStat& out) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return false;
    out.directory = S_ISDIR(st.st_mode);
    out.regular = S_ISREG(st.st_mode);
    out.writable = (st.st_mode & S_IWUSR) != 0;
    out.mode = st.st_mode;
    return true;
}
bool SetReadOnlyNative(const std::string& p, const NativeStat& st, bool readOnly) {
    mode_t mode = st.mode & 07777;
    mode = readOnly ? (mode & ~(mode_t)0222) : (mode | S_IWUSR);
    return chmod(p.c_str(), mode) == 0;
}
bool UnlinkNative(const std::string& p) { return unlink(p.c_str()) == 0; }
bool MkdirNative(const std::string& p) { return mkdir(p.c_str(), 0777) == 0; }
bool WriteTimeNative(int fd, PortFileTime* write) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    int64_t t = ((int64_t)st.st_mtim.tv_sec + Seconds1601To1970) * PortFileTimePerSecond + st.st_mtim.tv_nsec / 100;
    if (t < 0) return false;
    *write = (PortFileTime)t;
    return true;
}
bool SetTimesNative(int fd, const PortFileTime* access, const PortFileTime* write) {
    struct timespec ts[2];
    const PortFileTime* src[2] = {access, write};
    for (int i = 0; i < 2; i++) {
        if (!src[i]) {
            ts[i].tv_sec = 0;
            ts[i].tv_nsec = UTIME_OMIT;
            continue;
        }
        int64_t t = (int64_t)*src[i];
        ts[i].tv_sec = (time_t)(t / PortFileTimePerSecond - Seconds1601To1970);
        ts[i].tv_nsec = (long)(t % PortFileTimePerSecond) * 100;
    }
    return futimens(fd, ts) == 0;
}
std::string CurrentDirNative() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}
const char kPathListSeparator = ':';
#endif

std::string NativePath(const char* path) {
    std::string out;
    for (const char* p = path; *p; p++) {
        if (PortIsLeadByte((uint8_t)*p) && p[1]) {
            out += p[0];
            out += p[1];
            p++;
        } else {
            out += (*p == '\\') ? '/' : *p;
        }
    }
    return out;
}

// The absolute form of a native path with "." and ".." resolved by name.
std::string LexicalAbsolute(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        const std::string cwd = CurrentDirNative();
        if (cwd.empty()) return std::string();
        full = cwd + "/" + full;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

// False when PosixConfineTo is in force and the native path leads outside its tree.
bool Allowed(const std::string& native) {
    const std::string& root = SimulatedSystem().confineTo;
    if (root.empty()) return true;
    std::string p = LexicalAbsolute(native);
    return p == root || (p.size() > root.size() && p.compare(0, root.size(), root) == 0 && p[root.size()] == '/');
}

// A descriptor as either kind of handle: one more than the descriptor, as 0 means "no file".
template <class Handle> Handle FromFd(int fd) { return Handle{fd < 0 ? -1 : (intptr_t)fd + 1}; }
template <class Handle> int ToFd(Handle f) { return (int)(f.Handle - 1); }

uint32_t CopyOut(const std::string& value, char* out, uint32_t size) {
    if (value.empty()) return 0;
    if (value.size() + 1 > size) return (uint32_t)value.size() + 1;
    memcpy(out, value.c_str(), value.size() + 1);
    return (uint32_t)value.size();
}

// Days from 1601-01-01 to y-m-d (proleptic Gregorian), and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;   // days since 1970-01-01
}
bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

// ---- controls -------------------------------------------------------------------------

void PosixResetPort() {
    uint32_t resets = SimulatedSystem().resets + 1;
    SimulatedSystem() = PortState();
    SimulatedSystem().resets = resets;
}
const std::vector<PosixEvent>& PosixTranscript() { return SimulatedSystem().transcript; }
void PosixClearTranscript() { SimulatedSystem().transcript.clear(); }
void PosixQueueAnswer(int32_t answer) { SimulatedSystem().answers.push_back(answer); }
void PosixSetDefaultAnswer(int32_t answer) { SimulatedSystem().defaultAnswer = answer; }
void PosixEchoMessageBoxes(FILE* stream) { SimulatedSystem().echo = stream; }
void PosixSetCodePage(uint32_t codePage) {
    if (codePage == 932) PosixSetLeadBytes([](uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); });
    else PosixSetLeadBytes(nullptr);
}
void PosixSetLeadBytes(std::function<bool(uint8_t)> isLead) { SimulatedSystem().leadByte = std::move(isLead); }
void PosixSetNameCodePage(uint32_t codePage) { SimulatedSystem().nameCodePage = codePage; }
void PosixSetModulePath(const std::string& path) { SimulatedSystem().modulePath = path; }
void PosixSetWindowsDir(const std::string& dir) { SimulatedSystem().windowsDir = dir; }
void PosixSetSystemDir(const std::string& dir) { SimulatedSystem().systemDir = dir; }
void PosixSetVolumeMaxComponent(uint32_t length) { SimulatedSystem().volumeMax = length; }
const std::string& PosixLastVolumeRoot() { return SimulatedSystem().lastVolumeRoot; }
void PosixFailAllocation(int32_t nth) { SimulatedSystem().failAllocation = nth; }
void PosixSetWriteBudget(uint64_t bytes) {
    SimulatedSystem().writeBudget = bytes;
    SimulatedSystem().written = 0;
}
void PosixFailClose(bool fail) { SimulatedSystem().failClose = fail; }
void PosixConfineTo(const std::string& dir) { SimulatedSystem().confineTo = dir.empty() ? dir : LexicalAbsolute(dir); }
std::string PosixItemText(int32_t id) { return SimulatedSystem().items[id]; }
void PosixSetItemTextHook(std::function<void(int32_t, const char*)> hook) { SimulatedSystem().itemHook = std::move(hook); }

// ---- process and memory ------------------------------------------------------------------

int32_t PortPlatformId() { return 2; }   // VER_PLATFORM_WIN32_NT

uint32_t PortModuleFileName(char* out, uint32_t size) {
    const std::string& p = SimulatedSystem().modulePath;
    if (size == 0) return 0;
    size_t n = p.size() < size - 1 ? p.size() : size - 1;
    memcpy(out, p.data(), n);
    out[n] = 0;
    return (uint32_t)n;
}

void* PortAllocZero(uint32_t size) {
    PortState& s = SimulatedSystem();
    if (s.failAllocation > 0 && --s.failAllocation == 0) return nullptr;
    if (size == 0) size = 1;
    return calloc(1, size);
}

void PortFree(void* block) { free(block); }

void PortExitProcess(int32_t status) { throw PosixExit{status}; }

// ---- files -------------------------------------------------------------------------------

PortImageFile PortOpenRead(const char* path) { return FromFd<PortImageFile>(OpenNative(NativePath(path), O_RDONLY, 0)); }

uint32_t PortSeek(PortImageFile file, int32_t offset, int origin) {
    if (!PortFileIsOpen(file)) return 0xFFFFFFFFu;
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t r = lseek(ToFd(file), offset, whence);
    // off_t is 32 bits wide on some systems (MinGW): compare as a 64-bit value.
    if (r < 0 || (int64_t)r > (int64_t)0xFFFFFFFEu) return 0xFFFFFFFFu;
    return (uint32_t)r;
}

int32_t PortRead(PortImageFile file, void* buffer, uint32_t count) {
    if (!PortFileIsOpen(file)) return -1;
    uint32_t done = 0;
    while (done < count) {
        ssize_t r = read(ToFd(file), (char*)buffer + done, count - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += (uint32_t)r;
    }
    return (int32_t)done;
}

void PortClose(PortImageFile file) {
    if (PortFileIsOpen(file)) close(ToFd(file));
}

PortFile PortCreateOutput(const char* path) {
    std::string p = NativePath(path);
    if (!Allowed(p)) return PortInvalidFile;
    NativeStat st;
    // Windows refuses to replace a read-only file; root on POSIX would not.
    if (StatNative(p, st) && st.regular && !st.writable) return PortInvalidFile;
    return FromFd<PortFile>(OpenNative(p, O_WRONLY | O_CREAT | O_TRUNC, 0666));
}

PortFile PortOpenExisting(const char* path) {
    std::string p = NativePath(path);
    NativeStat st;
    if (!StatNative(p, st) || st.directory) return PortInvalidFile;
    return FromFd<PortFile>(OpenNative(p, O_RDONLY, 0));
}

bool PortWrite(PortFile file, const void* data, uint32_t count) {
    if (!PortFileIsOpen(file)) return false;
    PortState& s = SimulatedSystem();
    uint64_t allowed = count;
    if (s.writeBudget != UINT64_MAX)
        allowed = s.written >= s.writeBudget ? 0 : (s.writeBudget - s.written < count ? s.writeBudget - s.written : count);
    uint32_t done = 0;
    while (done < allowed) {
        ssize_t r = write(ToFd(file), (const char*)data + done, (size_t)(allowed - done));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += (uint32_t)r;
    }
    s.written += done;
    return done == count;
}

bool PortCloseFile(PortFile file) {
    if (!PortFileIsOpen(file)) return false;
    bool ok = close(ToFd(file)) == 0;
    return ok && !SimulatedSystem().failClose;
}

bool PortDeleteFile(const char* path) {
    std::string p = NativePath(path);
    if (!Allowed(p)) return false;
    SimulatedSystem().extraAttributes.erase(p);
    return UnlinkNative(p);
}

bool PortGetWriteTime(PortFile file, PortFileTime* write) {
    return PortFileIsOpen(file) && WriteTimeNative(ToFd(file), write);
}

bool PortSetFileTimes(PortFile file, const PortFileTime* /*creation*/, const PortFileTime* access,
                      const PortFileTime* write) {
    return PortFileIsOpen(file) && SetTimesNative(ToFd(file), access, write);
}

bool PortFileTimeToSystemTime(const PortFileTime* ft, PortSystemTime* st) {
    if (!ft || !st || *ft >= 0x8000000000000000ull) return false;
    uint64_t t = *ft;
    uint64_t ms = (t / 10000) % 1000;
    uint64_t secs = t / 10000000;
    int64_t days = (int64_t)(secs / 86400) - Days1601To1970;   // days since 1970
    uint64_t rest = secs % 86400;
    // civil_from_days
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = (int64_t)yoe + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    if (y > 30827) return false;
    st->Year = (uint16_t)y;
    st->Month = (uint16_t)m;
    st->Day = (uint16_t)d;
    st->DayOfWeek = (uint16_t)(((days % 7) + 7 + 4) % 7);
    st->Hour = (uint16_t)(rest / 3600);
    st->Minute = (uint16_t)(rest % 3600 / 60);
    st->Second = (uint16_t)(rest % 60);
    st->Milliseconds = (uint16_t)ms;
    return true;
}

bool PortSystemTimeToFileTime(const PortSystemTime* st, PortFileTime* ft) {
    if (!st || !ft) return false;
    static const uint8_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st->Year < 1601 || st->Year > 30827 || st->Month < 1 || st->Month > 12 || st->Day < 1) return false;
    unsigned monthLength = lengths[st->Month - 1] + (st->Month == 2 && IsLeap(st->Year) ? 1 : 0);
    if (st->Day > monthLength || st->Hour > 23 || st->Minute > 59 || st->Second > 59 || st->Milliseconds > 999)
        return false;
    int64_t days = DaysFromCivil(st->Year, st->Month, st->Day) + Days1601To1970;
    uint64_t secs = (uint64_t)days * 86400 + st->Hour * 3600u + st->Minute * 60u + st->Second;
    *ft = secs * 10000000 + (uint64_t)st->Milliseconds * 10000;
    return true;
}

// ---- attributes, directories, volumes ------------------------------------------------------

uint32_t PortGetAttributes(const char* path) {
    std::string p = NativePath(path);
    NativeStat st;
    if (p.empty() || !StatNative(p, st)) return PortNoAttributes;
    if (st.directory) return PortAttrDirectory;
    uint32_t a = 0;
    if (!st.writable) a |= PortAttrReadOnly;
    auto it = SimulatedSystem().extraAttributes.find(p);
    if (it != SimulatedSystem().extraAttributes.end()) a |= it->second;
    return a ? a : PortAttrNormal;
}

bool PortSetAttributes(const char* path, uint32_t attributes) {
    std::string p = NativePath(path);
    NativeStat st;
    if (p.empty() || !Allowed(p) || !StatNative(p, st)) return false;
    if (st.directory) return true;
    if (!SetReadOnlyNative(p, st, (attributes & PortAttrReadOnly) != 0)) return false;
    uint32_t extra = attributes & (PortAttrHidden | PortAttrSystem | PortAttrArchive);
    if (extra) SimulatedSystem().extraAttributes[p] = extra;
    else SimulatedSystem().extraAttributes.erase(p);
    return true;
}

bool PortCreateDirectory(const char* path) {
    std::string p = NativePath(path);
    // A drive prefix alone names no directory here, as on Windows.
    if (p.empty() || (p.size() == 2 && p[1] == ':') || !Allowed(p)) return false;
    return MkdirNative(p);
}

uint32_t PortVolumeMaxComponent(const char* root) {
    SimulatedSystem().lastVolumeRoot = root ? root : "";
    return SimulatedSystem().volumeMax;
}

// ---- environment and directories -------------------------------------------------------------

uint32_t PortGetEnv(const char* name, char* out, uint32_t size) {
    const char* v = getenv(name);
    return v ? CopyOut(v, out, size) : 0;
}
uint32_t PortGetWindowsDir(char* out, uint32_t size) { return CopyOut(SimulatedSystem().windowsDir, out, size); }
uint32_t PortGetSystemDir(char* out, uint32_t size) { return CopyOut(SimulatedSystem().systemDir, out, size); }
uint32_t PortGetCurrentDir(char* out, uint32_t size) {
    return CopyOut(CurrentDirNative(), out, size);
}

uint32_t PortSearchPath(const char* name, char* out, uint32_t size, char** filePart) {
    std::vector<std::string> dirs;
    std::string module = SimulatedSystem().modulePath;
    size_t slash = module.find_last_of('/');
    if (slash != std::string::npos) dirs.push_back(module.substr(0, slash));
    const std::string cwd = CurrentDirNative();
    if (!cwd.empty()) dirs.push_back(cwd);
    if (!SimulatedSystem().systemDir.empty()) dirs.push_back(SimulatedSystem().systemDir);
    if (!SimulatedSystem().windowsDir.empty()) dirs.push_back(SimulatedSystem().windowsDir);
    if (const char* path = getenv("PATH")) {
        std::string all = path;
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(kPathListSeparator, start);
            if (end == std::string::npos) end = all.size();
            if (end > start) dirs.push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    std::string file = NativePath(name);
    for (const std::string& d : dirs) {
        std::string full = d + "/" + file;
        NativeStat st;
        if (StatNative(full, st) && st.regular) {
            uint32_t r = CopyOut(full, out, size);
            if (r && r < size && filePart) *filePart = out + full.size() - file.size();
            return r;
        }
    }
    return 0;
}

int32_t PortGetFileTitle(const char* path, char* out, uint16_t size) {
    const char* title = path;
    for (const char* p = path; *p; p++) {
        if (PortIsLeadByte((uint8_t)*p) && p[1]) {
            p++;
            continue;
        }
        if (*p == '/' || *p == '\\' || *p == ':') title = p + 1;
    }
    size_t n = strlen(title);
    if (n == 0) return -1;
    if (n + 1 > size) return (int32_t)(n + 1);
    memcpy(out, title, n + 1);
    return 0;
}

// ---- DBCS ----------------------------------------------------------------------------------------

bool PortIsLeadByte(uint8_t byte) { return SimulatedSystem().leadByte && SimulatedSystem().leadByte(byte); }

char* PortCharPrev(const char* start, const char* current) {
    if (current <= start) return (char*)start;
    const char* p = start;
    for (;;) {
        const char* next = p + ((PortIsLeadByte((uint8_t)*p) && p[1]) ? 2 : 1);
        if (next >= current) return (char*)p;
        p = next;
    }
}

// ---- message boxes --------------------------------------------------------------------------------

int32_t PortMessageBox(PortWindow owner, const char* text, const char* caption, uint32_t style) {
    PortState& s = SimulatedSystem();
    int32_t answer;
    if (!s.answers.empty()) {
        answer = s.answers.front();
        s.answers.pop_front();
    } else if (s.defaultAnswer) {
        answer = s.defaultAnswer;
    } else {
        answer = (style & 0xF) == PortMbOk ? PortIdOk : PortIdYes;
    }
    PosixEvent e{PosixEvent::MessageBox, owner, text ? text : "", caption ? caption : "", style, answer, ""};
    if (s.echo) fprintf(s.echo, "%s\n", e.text.c_str());
    Record(e);
    return answer;
}

// ---- dialog items and shell -----------------------------------------------------------------------------

void PortSetItemText(PortWindow dialog, int32_t id, const char* text) {
    PortState& s = SimulatedSystem();
    s.items[id] = text;
    Record({PosixEvent::ItemText, dialog, text, "", 0, id, ""});
    if (s.itemHook) s.itemHook(id, text);
}

void PortShellExecute(PortWindow owner, const char* file, const char* params, const char* dir) {
    Record({PosixEvent::Shell, owner, file, params ? params : "", 0, 0, dir ? dir : ""});
}
