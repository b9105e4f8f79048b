// The Win32 side of the port: every operation of port.h on the real API, one call (or
// a short fixed sequence of calls) each, and the program's entry.
//
// The image is read through the old HFILE calls (_lopen, _llseek, _lread, _lclose) and
// kept in a PortImageFile; output files go through CreateFileA and friends and are kept
// in a PortFile. In both, 0 and -1 (HFILE_ERROR, INVALID_HANDLE_VALUE) mean "no file".
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

#include "port/port.h"
#include "sfx/startup.h"

static_assert(sizeof(PortMessage) >= sizeof(MSG), "PortMessage must hold a MSG");
static_assert(sizeof(PortSystemTime) == sizeof(SYSTEMTIME), "PortSystemTime mirrors SYSTEMTIME");
static_assert(sizeof(PortFileTime) == sizeof(FILETIME), "PortFileTime mirrors FILETIME");

namespace {

// The classic OPENFILENAMEA, before the fields that Windows 2000 added: up to and with
// its template name, 76 bytes in a 32-bit program. Its pointers make it larger in a
// 64-bit one (the x86-64 stand-in), where the common dialogs refuse any other size.
const DWORD OpenFileNameClassicSize = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
static_assert(sizeof(void*) != 4 || OpenFileNameClassicSize == 76, "the classic OPENFILENAMEA of 32-bit Windows");
// OSVERSIONINFOA without the service-pack extension.
const DWORD VersionInfoSize = 148;
static_assert(sizeof(OSVERSIONINFOA) == VersionInfoSize, "OSVERSIONINFOA");

HANDLE AsHandle(PortFile f) { return reinterpret_cast<HANDLE>(f.Handle); }
HFILE AsHFile(PortImageFile f) { return static_cast<HFILE>(f.Handle); }
PortFile FromHandle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? PortInvalidFile : PortFile{reinterpret_cast<intptr_t>(h)}; }
HWND AsWindow(PortWindow w) { return static_cast<HWND>(w); }

FILETIME ToFileTime(PortFileTime t) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

PortFileTime FromFileTime(const FILETIME& ft) {
    return (static_cast<PortFileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// A static control repaints itself inside every WM_SETTEXT, and the progress line is set
// at every member and every window: a thousand small files are two thousand repaints, each
// a round trip or two to the window system for the dialog's theme and the device context
// and the text drawn, about a tenth of what such an install costs under Wine. Nobody
// reads a line that changes faster than the eye, so the statics set through
// PortSetItemText keep their WM_SETTEXT (the text is stored at once: WM_GETTEXT, hooks and
// readers of the window see every text) but paint at most every RepaintInterval; a text
// set sooner marks its control, which is invalidated at the next pump of the queue after
// the interval, or before a message box, and painted by that loop. So what the line shows
// is never older than the interval while the queue is pumped.
const DWORD RepaintInterval = 40;   // ms
DWORD LastRepaint;
HWND Deferred[4];   // controls with a text not yet painted, from the front; null ends them

LRESULT CALLBACK DeferredStatic(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    const WNDPROC original = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(w, GWLP_USERDATA));
    if (message == WM_SETTEXT) {
        if (GetTickCount() - LastRepaint < RepaintInterval) {
            for (HWND& d : Deferred)
                if (!d || d == w) {
                    d = w;
                    return DefWindowProcA(w, message, wp, lp);   // stored, not painted
                }
        }
        LastRepaint = GetTickCount();
    }
    return CallWindowProcA(original, w, message, wp, lp);
}

// Subclasses a static control once; the class's procedure stays in GWLP_USERDATA, which
// belongs to whoever made the window (the dialog manager leaves it to us).
void DeferRepaints(HWND control) {
    char name[8];
    if (GetClassNameA(control, name, sizeof name) == 0 || lstrcmpiA(name, "Static") != 0) return;
    if (GetWindowLongPtrA(control, GWLP_USERDATA) != 0) return;
    SetWindowLongPtrA(control, GWLP_USERDATA, GetWindowLongPtrA(control, GWLP_WNDPROC));
    SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DeferredStatic));
}

// Invalidates the controls whose text is not painted yet, when the interval has passed
// or at once.
void RepaintDeferred(bool now) {
    if (!Deferred[0] || (!now && GetTickCount() - LastRepaint < RepaintInterval)) return;
    for (HWND& d : Deferred) {
        if (d) InvalidateRect(d, nullptr, TRUE);
        d = nullptr;
    }
    LastRepaint = GetTickCount();
}

}  // namespace

// ---- process and memory ---------------------------------------------------

int32_t PortPlatformId() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = VersionInfoSize;
    if (!GetVersionExA(&info)) return -1;
    return static_cast<int32_t>(info.dwPlatformId);
}

uint32_t PortModuleFileName(char* out, uint32_t size) {
    if (size == 0) return 0;
    DWORD n = GetModuleFileNameA(nullptr, out, size);
    // A path that does not fit comes back cut and, on older systems, unterminated.
    if (n >= size) {
        out[size - 1] = 0;
        n = size - 1;
    }
    return n;
}

void* PortAllocZero(uint32_t size) { return LocalAlloc(LPTR, size); }

void PortFree(void* block) {
    if (block) LocalFree(block);
}

void PortExitProcess(int32_t status) {
    ExitProcess(static_cast<UINT>(status));
}

// ---- reading the own image --------------------------------------------------

PortImageFile PortOpenRead(const char* path) {
    HFILE f = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
    return f == HFILE_ERROR ? PortInvalidImage : PortImageFile{static_cast<intptr_t>(f)};
}

uint32_t PortSeek(PortImageFile file, int32_t offset, int origin) {
    if (!PortFileIsOpen(file)) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(_llseek(AsHFile(file), offset, origin));
}

int32_t PortRead(PortImageFile file, void* buffer, uint32_t count) {
    if (!PortFileIsOpen(file)) return -1;
    return static_cast<int32_t>(_lread(AsHFile(file), buffer, count));
}

void PortClose(PortImageFile file) {
    if (PortFileIsOpen(file)) _lclose(AsHFile(file));
}

// ---- output files ------------------------------------------------------------

PortFile PortCreateOutput(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

PortFile PortOpenExisting(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool PortWrite(PortFile file, const void* data, uint32_t count) {
    if (!PortFileIsOpen(file)) return false;
    DWORD written = 0;
    return WriteFile(AsHandle(file), data, count, &written, nullptr) && written == count;
}

bool PortCloseFile(PortFile file) {
    if (!PortFileIsOpen(file)) return false;
    return CloseHandle(AsHandle(file)) != 0;
}

bool PortDeleteFile(const char* path) { return DeleteFileA(path) != 0; }

bool PortGetWriteTime(PortFile file, PortFileTime* write) {
    FILETIME ft;
    if (!PortFileIsOpen(file) || !GetFileTime(AsHandle(file), nullptr, nullptr, &ft)) return false;
    *write = FromFileTime(ft);
    return true;
}

bool PortSetFileTimes(PortFile file, const PortFileTime* creation, const PortFileTime* access,
                      const PortFileTime* write) {
    if (!PortFileIsOpen(file)) return false;
    FILETIME c, a, w;
    if (creation) c = ToFileTime(*creation);
    if (access) a = ToFileTime(*access);
    if (write) w = ToFileTime(*write);
    return SetFileTime(AsHandle(file), creation ? &c : nullptr, access ? &a : nullptr, write ? &w : nullptr) != 0;
}

bool PortFileTimeToSystemTime(const PortFileTime* ft, PortSystemTime* st) {
    if (!ft || !st) return false;
    FILETIME f = ToFileTime(*ft);
    return FileTimeToSystemTime(&f, reinterpret_cast<SYSTEMTIME*>(st)) != 0;
}

bool PortSystemTimeToFileTime(const PortSystemTime* st, PortFileTime* ft) {
    if (!st || !ft) return false;
    FILETIME f;
    if (!SystemTimeToFileTime(reinterpret_cast<const SYSTEMTIME*>(st), &f)) return false;
    *ft = FromFileTime(f);
    return true;
}

// ---- attributes, directories, volumes ---------------------------------------

uint32_t PortGetAttributes(const char* path) { return GetFileAttributesA(path); }

bool PortSetAttributes(const char* path, uint32_t attributes) { return SetFileAttributesA(path, attributes) != 0; }

bool PortCreateDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

uint32_t PortVolumeMaxComponent(const char* root) {
    DWORD maxComponent = 0;
    if (!GetVolumeInformationA(root, nullptr, 0, nullptr, &maxComponent, nullptr, nullptr, 0)) return 0;
    return maxComponent;
}

// ---- environment and well-known directories ----------------------------------

uint32_t PortGetEnv(const char* name, char* out, uint32_t size) { return GetEnvironmentVariableA(name, out, size); }
uint32_t PortGetWindowsDir(char* out, uint32_t size) { return GetWindowsDirectoryA(out, size); }
uint32_t PortGetSystemDir(char* out, uint32_t size) { return GetSystemDirectoryA(out, size); }
uint32_t PortGetCurrentDir(char* out, uint32_t size) { return GetCurrentDirectoryA(size, out); }

uint32_t PortSearchPath(const char* name, char* out, uint32_t size, char** filePart) {
    char* part = nullptr;
    DWORD r = SearchPathA(nullptr, name, nullptr, size, out, &part);
    if (filePart) *filePart = part;
    return r;
}

int32_t PortGetFileTitle(const char* path, char* out, uint16_t size) {
    return static_cast<int16_t>(GetFileTitleA(path, out, size));
}

// ---- DBCS --------------------------------------------------------------------

bool PortIsLeadByte(uint8_t byte) { return IsDBCSLeadByte(byte) != 0; }

char* PortCharPrev(const char* start, const char* current) { return CharPrevA(start, current); }

// ---- message boxes -------------------------------------------------------------

int32_t PortMessageBox(PortWindow owner, const char* text, const char* caption, uint32_t style) {
    RepaintDeferred(true);   // the box's own loop paints what stands behind it
    return MessageBoxA(AsWindow(owner), text, caption, style);
}

// ---- dialogs ---------------------------------------------------------------------

intptr_t PortDialogBox(PortModule module, const char* templateName, PortWindow owner, PortDialogProc proc,
                       intptr_t param) {
    // PortDialogProc has the DLGPROC calling convention and argument sizes.
    return DialogBoxParamA(static_cast<HINSTANCE>(module), templateName, AsWindow(owner),
                           reinterpret_cast<DLGPROC>(proc), param);
}

void PortEndDialog(PortWindow dialog, intptr_t result) { EndDialog(AsWindow(dialog), result); }

void PortSetWindowText(PortWindow window, const char* text) { SetWindowTextA(AsWindow(window), text); }

// SetDlgItemTextA first looks the control up among the dialog's children, which under Wine
// is a round trip to its server. The progress line is set at every member and every
// window, so the last few controls' handles are kept (a control lives as its dialog does).
// Static controls among them repaint at most every RepaintInterval (see DeferredStatic).
void PortSetItemText(PortWindow dialog, int32_t id, const char* text) {
    struct Item {
        HWND dialog;
        int32_t id;
        HWND control;
    };
    static Item items[4];
    static uint32_t next;
    const HWND d = AsWindow(dialog);
    HWND control = nullptr;
    for (const Item& item : items)
        if (item.control && item.dialog == d && item.id == id) control = item.control;
    if (!control && (control = GetDlgItem(d, id)) != nullptr) {
        items[next++ % 4] = Item{d, id, control};
        DeferRepaints(control);
    }
    SetWindowTextA(control, text);
}

uint32_t PortGetItemText(PortWindow dialog, int32_t id, char* out, uint32_t size) {
    if (size == 0) return 0;
    out[0] = 0;
    return GetDlgItemTextA(AsWindow(dialog), id, out, static_cast<int>(size));
}

void PortLimitItemText(PortWindow dialog, int32_t id, uint32_t limit) {
    SendDlgItemMessageA(AsWindow(dialog), id, EM_LIMITTEXT, limit, 0);
}

void PortEnableItem(PortWindow dialog, int32_t id, bool enable) {
    EnableWindow(GetDlgItem(AsWindow(dialog), id), enable);
}

void PortFocusItem(PortWindow dialog, int32_t id) { SetFocus(GetDlgItem(AsWindow(dialog), id)); }

void PortSetDefaultButton(PortWindow dialog, int32_t id) {
    SendDlgItemMessageA(AsWindow(dialog), id, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

void PortGetWindowRect(PortWindow window, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(AsWindow(window), &r);
    *left = r.left, *top = r.top, *right = r.right, *bottom = r.bottom;
}

void PortGetScreenSize(int32_t* width, int32_t* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void PortMoveWindow(PortWindow window, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint) {
    MoveWindow(AsWindow(window), x, y, width, height, repaint);
}

bool PortIsMinimised(PortWindow window) { return IsIconic(AsWindow(window)) != 0; }

PortIcon PortLoadIcon(PortModule module, const char* name) { return LoadIconA(static_cast<HINSTANCE>(module), name); }

void PortDestroyIcon(PortIcon icon) {
    if (icon) DestroyIcon(static_cast<HICON>(icon));
}

void PortPaintIcon(PortWindow window, PortIcon icon) {
    HWND w = AsWindow(window);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    int mode = GetMapMode(dc);
    SendMessageA(w, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    SetMapMode(dc, MM_TEXT);
    DrawIcon(dc, 0, 0, static_cast<HICON>(icon));
    SetMapMode(dc, mode);
    EndPaint(w, &ps);
}

void PortSetTimer(PortWindow window, uint32_t id, uint32_t milliseconds) {
    SetTimer(AsWindow(window), id, milliseconds, nullptr);
}

void PortKillTimer(PortWindow window, uint32_t id) { KillTimer(AsWindow(window), id); }

void PortPostCommand(PortWindow window, uint32_t id) { PostMessageA(AsWindow(window), WM_COMMAND, id, 0); }

// ---- the message queue ---------------------------------------------------------

bool PortPeekMessage(PortMessage* message) {
    RepaintDeferred(false);
    return PeekMessageA(reinterpret_cast<MSG*>(message), nullptr, 0, 0, PM_REMOVE) != 0;
}

bool PortIsDialogMessage(PortWindow dialog, PortMessage* message) {
    return dialog && IsDialogMessageA(AsWindow(dialog), reinterpret_cast<MSG*>(message)) != 0;
}

void PortTranslateDispatch(PortMessage* message) {
    MSG* m = reinterpret_cast<MSG*>(message);
    TranslateMessage(m);
    DispatchMessageA(m);
}

// ---- common dialogs and shell ----------------------------------------------------

int32_t PortGetOpenFileName(PortWindow owner, PortModule module, char* file, uint32_t capacity,
                            const char* title, uint32_t flags, const char* templateName,
                            uint16_t* fileOffset) {
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = OpenFileNameClassicSize;
    ofn.hwndOwner = AsWindow(owner);
    ofn.hInstance = static_cast<HINSTANCE>(module);
    ofn.lpstrFile = file;
    ofn.nMaxFile = capacity;
    ofn.lpstrTitle = title;
    ofn.Flags = flags;
    ofn.lpTemplateName = templateName;
    BOOL ok = GetOpenFileNameA(&ofn);
    if (ok && fileOffset) *fileOffset = ofn.nFileOffset;
    return ok;
}

void PortShellExecute(PortWindow owner, const char* file, const char* params, const char* dir) {
    ShellExecuteA(AsWindow(owner), nullptr, file, params, dir, SW_SHOW);
}

// ---- the export directory ----------------------------------------------------------
// The image exports no functions, but it carries an export directory that names the
// module, as tools that look at an executable's exports expect. src/stub.ld places this
// .edata between the symbols from which varnex-mkimage writes the export directory entry.
asm(".section .edata, \"dr\"\n"
    "    .long 0\n"                   // characteristics
    "    .long 0\n"                   // time stamp: none, for reproducible images
    "    .short 0, 0\n"               // version
    "    .rva VarnexExportName\n"     // the module's name
    "    .long 1\n"                   // ordinal base
    "    .long 0, 0\n"                // no functions, no names
    "    .long 0, 0, 0\n"             // so no address, name or ordinal tables
    "VarnexExportName:\n"
    "    .asciz \"Varnex32.exe\"\n"
    "    .text\n");

// ---- where DLLs come from -------------------------------------------------------------
// A self-extractor is started from a download folder, where any web page may have left a
// file named like a system DLL, and Windows looks for a DLL named without a path in the
// program's folder (and in the current directory, which the shell makes the same) before
// the system directory. The imports are bound before the entry runs; they are all
// KnownDLLs, which Windows takes from the system directory whatever the search order, and
// the load configuration below asks Windows 10 and later to resolve them in the system
// directory only. What is loaded later, by this program or by the system DLLs it calls
// (themes, the common dialogs, the shell), is restricted by RestrictDllSearch.
//
// A build for the tests that leaves both out (VARNEX_TEST_UNPROTECTED) shows that the
// planted-DLL scenario under Wine can fail.
#ifdef VARNEX_TEST_UNPROTECTED
#define VARNEX_DEPENDENT_LOAD_FLAGS "0"
#else
#define VARNEX_DEPENDENT_LOAD_FLAGS "0x800"
#endif

// The load configuration: the 72-byte form of Windows XP SP2 and later, up to the safe
// exception handler fields, which every version of Windows reads. It carries the
// dependent-load flags (LOAD_LIBRARY_SEARCH_SYSTEM32, honoured from Windows 10 1607 on)
// and nothing else: no address (no security cookie, lock prefix or handler table), so it
// needs no relocation. The image has no exception handlers and says so with the NO_SEH
// characteristic instead of an empty handler table. varnex-mkimage writes the data
// directory entry from the symbols src/stub.ld puts around this section, with the size 64
// that Windows XP requires of x86 images.
#if defined(__x86_64__)
// The x86-64 stand-in of the stub (build/win64) carries the same fields in the 64-bit
// layout: sizes and addresses take 8 bytes, and the affinity mask comes before the heap
// flags, so the dependent-load flags sit at 78 of 112 bytes. mkimage gives its entry the
// structure's own size: the size 64 is an x86 rule.
asm(".section .rdata$varnex_loadcfg, \"dr\"\n"
    "    .long 112\n"                 // Size of the structure
    "    .long 0\n"                   // time stamp: none, for reproducible images
    "    .short 0, 0\n"               // version
    "    .long 0, 0, 0\n"             // global flags to clear and to set, critical section timeout
    "    .quad 0, 0\n"                // heap decommit thresholds
    "    .quad 0\n"                   // lock prefix table
    "    .quad 0, 0, 0\n"             // maximum allocation, virtual memory threshold, affinity
    "    .long 0\n"                   // heap flags
    "    .short 0\n"                  // service pack
    "    .short " VARNEX_DEPENDENT_LOAD_FLAGS "\n"   // dependent-load flags
    "    .quad 0, 0\n"                // edit list, security cookie
    "    .quad 0, 0\n"                // safe exception handler table and count
    "    .text\n");
#else
asm(".section .rdata$varnex_loadcfg, \"dr\"\n"
    "    .long 72\n"                  // Size of the structure
    "    .long 0\n"                   // time stamp: none, for reproducible images
    "    .short 0, 0\n"               // version
    "    .long 0, 0, 0\n"             // global flags to clear and to set, critical section timeout
    "    .long 0, 0\n"                // heap decommit thresholds
    "    .long 0\n"                   // lock prefix table
    "    .long 0, 0, 0, 0\n"          // maximum allocation, virtual memory threshold, heap flags, affinity
    "    .short 0\n"                  // service pack
    "    .short " VARNEX_DEPENDENT_LOAD_FLAGS "\n"   // dependent-load flags
    "    .long 0, 0\n"                // edit list, security cookie
    "    .long 0, 0\n"                // safe exception handler table and count
    "    .text\n");
#endif

#ifndef VARNEX_TEST_UNPROTECTED
namespace {

// SetDefaultDllDirectories' flag for "the system directory only".
const DWORD SearchSystem32 = 0x00000800;

// Loaded ahead by full path where the search cannot be restricted: DLLs that the theme
// code, the common dialogs and the shell of Windows XP to 7 load by name and that are no
// KnownDLLs there. LoadLibraryExA appends ".dll".
const char PreloadedDlls[] = "uxtheme\0dwmapi\0version\0cryptbase\0propsys\0profapi\0ntmarta\0userenv\0";

// Every later load by name searches the system directory only, where Windows offers
// SetDefaultDllDirectories (Windows 8 and later, Vista and 7 with update KB2533623; found
// at run time so that the image still starts elsewhere). Older systems always search the
// program's folder first; there the current directory leaves the search
// (SetDllDirectoryA(""), XP SP1 and later) and the DLLs above are loaded from the system
// directory, their own dependencies searched from there (LOAD_WITH_ALTERED_SEARCH_PATH), so
// that a later load by name finds them in the process already.
void RestrictDllSearch() {
    typedef BOOL(WINAPI * SetDefaultDirectories)(DWORD);
    typedef BOOL(WINAPI * SetDirectory)(LPCSTR);
    const HMODULE kernel = GetModuleHandleA("kernel32");
    const SetDefaultDirectories setDefault = reinterpret_cast<SetDefaultDirectories>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault && setDefault(SearchSystem32)) return;
    const SetDirectory setDirectory =
        reinterpret_cast<SetDirectory>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDirectory) setDirectory("");
    char path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    path[length++] = '\\';
    for (const char* name = PreloadedDlls; *name;) {
        char* out = path + length;
        while ((*out++ = *name++) != 0) {
        }
        LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

}  // namespace
#endif

// ---- the entry and the little the compiler needs from a C runtime ------------------
// The stub links no C runtime: its entry restricts the DLL search before anything else
// runs, calls SfxStartup directly and ends the process with the result, and the few
// memory routines that the compiler emits calls to (for zeroing and copying structures)
// are defined here. The program takes nothing from its command line or show state: its
// image is its input.
extern "C" void __stdcall VarnexEntry() {
#ifndef VARNEX_TEST_UNPROTECTED
    RestrictDllSearch();
#endif
    ExitProcess(static_cast<UINT>(SfxStartup(GetModuleHandleA(nullptr))));
}

extern "C" void* memset(void* out, int value, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(out);
    while (n--) *d++ = static_cast<unsigned char>(value);
    return out;
}

extern "C" void* memcpy(void* out, const void* in, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(out);
    const unsigned char* s = static_cast<const unsigned char*>(in);
    while (n--) *d++ = *s++;
    return out;
}

extern "C" void* memmove(void* out, const void* in, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(out);
    const unsigned char* s = static_cast<const unsigned char*>(in);
    if (d < s) {
        while (n--) *d++ = *s++;
    } else {
        while (n--) d[n] = s[n];
    }
    return out;
}

extern "C" int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; n; n--, x++, y++)
        if (*x != *y) return *x - *y;
    return 0;
}
