// The platform port: the only way the self-extractor core reaches the operating
// system. Plain functions over plain types, so that one implementation can sit on
// the real Win32 API (port_win32.cpp) and another on POSIX for tests and host tools
// (port_posix.cpp). Semantics follow the Win32 calls they stand for; where that
// matters the comment names the call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define PORT_CALLBACK __stdcall
#else
#define PORT_CALLBACK
#endif

// ---- handles --------------------------------------------------------------
// Two kinds of file handle, kept apart so that one cannot be given where the other
// belongs: the own image, opened the old way and read with seeks (an HFILE), and the
// files opened by handle (a HANDLE: outputs, and an existing file whose time is read).
// In both, 0 and the invalid value mean "no file", so a zero-filled record holds none.
struct PortImageFile {
    intptr_t Handle;
};
struct PortFile {
    intptr_t Handle;
};
constexpr PortImageFile PortInvalidImage = {-1};
constexpr PortFile PortInvalidFile = {-1};
inline bool PortFileIsOpen(PortImageFile f) { return f.Handle != 0 && f.Handle != -1; }
inline bool PortFileIsOpen(PortFile f) { return f.Handle != 0 && f.Handle != -1; }
inline bool operator==(PortImageFile a, PortImageFile b) { return a.Handle == b.Handle; }
inline bool operator==(PortFile a, PortFile b) { return a.Handle == b.Handle; }

typedef void* PortWindow;    // HWND; nullptr is "no window"
typedef void* PortModule;    // HINSTANCE
typedef void* PortIcon;      // HICON

// ---- process and memory ---------------------------------------------------
// GetVersionExA with the structure size 148; the platform id, or -1 if the query fails.
int32_t PortPlatformId();
// GetModuleFileNameA of the running program; the length written (0 on failure).
uint32_t PortModuleFileName(char* out, uint32_t size);
// Zero-filled memory (LocalAlloc(LPTR)); nullptr when it cannot be had.
void* PortAllocZero(uint32_t size);
void PortFree(void* block);
// Ends the process with the status; does not return.
[[noreturn]] void PortExitProcess(int32_t status);

// ---- reading the own image (_lopen, _llseek, _lread, _lclose) -------------
PortImageFile PortOpenRead(const char* path);           // PortInvalidImage on failure
// Origins as _llseek: 0 start, 1 current, 2 end. New position, or 0xFFFFFFFF on failure.
uint32_t PortSeek(PortImageFile file, int32_t offset, int origin);
// Bytes read (0..count), or -1 on failure.
int32_t PortRead(PortImageFile file, void* buffer, uint32_t count);
void PortClose(PortImageFile file);

// ---- output files (CreateFileA, WriteFile, CloseHandle, DeleteFileA) ------
// Write access, no sharing, always create, normal attributes.
PortFile PortCreateOutput(const char* path);
// Read access, share read and write, existing only (for reading a file's times).
PortFile PortOpenExisting(const char* path);
// True only when all count bytes were written.
bool PortWrite(PortFile file, const void* data, uint32_t count);
bool PortCloseFile(PortFile file);
bool PortDeleteFile(const char* path);

// FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
typedef uint64_t PortFileTime;
// 1970-01-01 00:00:00 UTC as a FILETIME (134774 days after 1601), and the units of a second.
constexpr PortFileTime PortFileTimeOf1970 = 116444736000000000ull;
constexpr uint32_t PortFileTimePerSecond = 10000000;
// SYSTEMTIME, field for field.
struct PortSystemTime {
    uint16_t Year, Month, DayOfWeek, Day, Hour, Minute, Second, Milliseconds;
};
bool PortGetWriteTime(PortFile file, PortFileTime* write);
bool PortSetFileTimes(PortFile file, const PortFileTime* creation, const PortFileTime* access,
                      const PortFileTime* write);
bool PortFileTimeToSystemTime(const PortFileTime* ft, PortSystemTime* st);
bool PortSystemTimeToFileTime(const PortSystemTime* st, PortFileTime* ft);

// ---- attributes, directories, volumes -------------------------------------
enum : uint32_t {
    PortAttrReadOnly = 0x01, PortAttrHidden = 0x02, PortAttrSystem = 0x04,
    PortAttrDirectory = 0x10, PortAttrArchive = 0x20, PortAttrNormal = 0x80,
    PortNoAttributes = 0xFFFFFFFFu,
};
uint32_t PortGetAttributes(const char* path);           // PortNoAttributes on failure
bool PortSetAttributes(const char* path, uint32_t attributes);
bool PortCreateDirectory(const char* path);
// GetVolumeInformationA's maximum component length for root ("X:\" or nullptr for the
// current volume); 0 when the query fails.
uint32_t PortVolumeMaxComponent(const char* root);

// ---- environment and well-known directories -------------------------------
// All four follow the Win32 convention: the length copied (without terminator) when it
// fits, the size needed (with terminator) when it does not, 0 when there is nothing.
uint32_t PortGetEnv(const char* name, char* out, uint32_t size);
uint32_t PortGetWindowsDir(char* out, uint32_t size);
uint32_t PortGetSystemDir(char* out, uint32_t size);
uint32_t PortGetCurrentDir(char* out, uint32_t size);
// SearchPathA(nullptr, name, nullptr, size, out, &filePart); same return convention.
uint32_t PortSearchPath(const char* name, char* out, uint32_t size, char** filePart);
// GetFileTitleA: 0 on success, the size needed when out is too small, negative on error.
int32_t PortGetFileTitle(const char* path, char* out, uint16_t size);

// ---- DBCS ------------------------------------------------------------------
bool PortIsLeadByte(uint8_t byte);                         // IsDBCSLeadByte
// CharPrevA: the start of the character before current (start itself at the start).
char* PortCharPrev(const char* start, const char* current);

// ---- message boxes -----------------------------------------------------------
enum : uint32_t {
    PortMbOk = 0x0, PortMbYesNoCancel = 0x3, PortMbYesNo = 0x4,
    PortMbIconError = 0x10, PortMbIconQuestion = 0x20, PortMbIconWarning = 0x30,
    PortMbTaskModal = 0x2000,
};
enum : int32_t { PortIdOk = 1, PortIdCancel = 2, PortIdYes = 6, PortIdNo = 7 };
int32_t PortMessageBox(PortWindow owner, const char* text, const char* caption, uint32_t style);

// ---- dialogs -----------------------------------------------------------------
// Window messages the dialog procedure handles (Win32 values).
enum : uint32_t {
    PortWmPaint = 0x000F, PortWmClose = 0x0010, PortWmEraseBkgnd = 0x0014,
    PortWmQueryDragIcon = 0x0037, PortWmInitDialog = 0x0110, PortWmCommand = 0x0111,
    PortWmTimer = 0x0113,
};
typedef intptr_t(PORT_CALLBACK* PortDialogProc)(PortWindow, uint32_t, uintptr_t, intptr_t);
// DialogBoxParamA: the value given to PortEndDialog, or -1 when the dialog cannot be made.
intptr_t PortDialogBox(PortModule module, const char* templateName, PortWindow owner,
                       PortDialogProc proc, intptr_t param);
void PortEndDialog(PortWindow dialog, intptr_t result);
void PortSetWindowText(PortWindow window, const char* text);
void PortSetItemText(PortWindow dialog, int32_t id, const char* text);
// GetDlgItemTextA: characters copied, at most size - 1, always terminated.
uint32_t PortGetItemText(PortWindow dialog, int32_t id, char* out, uint32_t size);
void PortLimitItemText(PortWindow dialog, int32_t id, uint32_t limit);   // EM_LIMITTEXT
void PortEnableItem(PortWindow dialog, int32_t id, bool enable);          // EnableWindow(GetDlgItem)
void PortFocusItem(PortWindow dialog, int32_t id);
void PortSetDefaultButton(PortWindow dialog, int32_t id);                 // BM_SETSTYLE, redrawn
// Window rectangle in screen coordinates, and the screen's size.
void PortGetWindowRect(PortWindow window, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom);
void PortGetScreenSize(int32_t* width, int32_t* height);
void PortMoveWindow(PortWindow window, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint);
bool PortIsMinimised(PortWindow window);
PortIcon PortLoadIcon(PortModule module, const char* name);
void PortDestroyIcon(PortIcon icon);
// Begin painting, remember the mapping mode, send WM_ICONERASEBKGND, draw the icon at
// 0,0 in MM_TEXT, restore the mapping mode, end painting.
void PortPaintIcon(PortWindow window, PortIcon icon);
void PortSetTimer(PortWindow window, uint32_t id, uint32_t milliseconds);
void PortKillTimer(PortWindow window, uint32_t id);
// PostMessageA(window, WM_COMMAND, id, 0)
void PortPostCommand(PortWindow window, uint32_t id);

// ---- the message queue (PeekMessageA, IsDialogMessageA, Translate/Dispatch) --
struct PortMessage { uintptr_t Raw[8]; };   // room for a Win32 MSG
bool PortPeekMessage(PortMessage* message);              // PM_REMOVE, any window
bool PortIsDialogMessage(PortWindow dialog, PortMessage* message);
void PortTranslateDispatch(PortMessage* message);

// ---- common dialogs and shell ------------------------------------------------
// GetOpenFileNameA over a zeroed classic OPENFILENAMEA (size 76 in 32-bit programs) with
// these members set.
// On success *fileOffset is nFileOffset. Returns the platform's result.
int32_t PortGetOpenFileName(PortWindow owner, PortModule module, char* file, uint32_t capacity,
                            const char* title, uint32_t flags, const char* templateName,
                            uint16_t* fileOffset);
// ShellExecuteA(owner, nullptr, file, params or nullptr, dir, SW_SHOW); result ignored.
void PortShellExecute(PortWindow owner, const char* file, const char* params, const char* dir);
