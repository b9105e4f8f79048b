// Controls of the POSIX port, for tests and host tools: scripted answers to message
// boxes, a transcript of everything a person would have seen, a switchable DBCS
// lead-byte table, simulated directories and volume, and an observable process exit.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "port/port.h"

// One thing a person would have seen or the program would have done to the screen.
struct PosixEvent {
    enum Kind { MessageBox, WindowText, ItemText, EnableItem, Timer, Shell, Dialog, EndDialog };
    Kind kind = MessageBox;
    PortWindow owner = nullptr;   // MessageBox: the owner; others: the window
    std::string text;             // box text, window or item text, shell file
    std::string caption;          // box caption; Shell: the parameters
    uint32_t style = 0;           // MessageBox style; Timer: milliseconds
    int32_t id = 0;               // item id; MessageBox: the answer given; EndDialog: result
    std::string extra;            // Shell: the working directory
};

// Puts the port back to its start state: empty transcript and answer queue, no lead
// bytes, volume limit 255, Windows and system directories unset, no hooks.
void PosixResetPort();
const std::vector<PosixEvent>& PosixTranscript();
void PosixClearTranscript();

// Answers to message boxes, taken in order; when the queue is empty the default answer
// is used (PortIdOk for plain boxes if it is set to 0).
void PosixQueueAnswer(int32_t answer);
void PosixSetDefaultAnswer(int32_t answer);
// Echo every message box to a stream as it happens (host tools: standard error).
void PosixEchoMessageBoxes(FILE* stream);

// DBCS: 0 (no lead bytes) or 932 (Shift_JIS lead bytes 0x81-0x9F and 0xE0-0xFC); or the
// lead bytes of any ANSI code page, as a test (nullptr: none).
void PosixSetCodePage(uint32_t codePage);
void PosixSetLeadBytes(std::function<bool(uint8_t)> isLead);
// The code page of names that are not UTF-8: the archive's. Where paths reach the wide
// file functions (Windows), such a name is converted from it, so that an archive of
// Japanese names unpacks under its own names whatever the ANSI code page is; 0: the
// ANSI code page, as the stub itself would use. Elsewhere names are bytes, kept as they are.
void PosixSetNameCodePage(uint32_t codePage);

#ifdef _WIN32
// The conversions of the Windows builds, where paths reach the wide functions: bytes of
// a code page to UTF-16 (with strict, false for bytes that are no text of it, as
// MB_ERR_INVALID_CHARS decides), and UTF-16 to UTF-8.
bool PosixWideFrom(uint32_t codePage, const std::string& bytes, bool strict, std::wstring& out);
std::string PosixUtf8Of(const wchar_t* text, int length);
#endif

// The path PortModuleFileName reports: the self-extractor image being run.
void PosixSetModulePath(const std::string& path);
// Simulated platform values. An empty string makes the query fail.
void PosixSetWindowsDir(const std::string& dir);
void PosixSetSystemDir(const std::string& dir);
void PosixSetVolumeMaxComponent(uint32_t length);   // 0 makes the query fail
const std::string& PosixLastVolumeRoot();            // root of the last query ("" = current)
// Makes the n-th following PortAllocZero (1 = the next) fail.
void PosixFailAllocation(int32_t nth);
// Makes writes to output files fail once this many bytes have been written in all
// (simulates a full volume); UINT64_MAX switches it off.
void PosixSetWriteBudget(uint64_t bytes);
// Makes PortCloseFile of output files report failure (the file is still closed).
void PosixFailClose(bool fail);
// Confines everything that changes the file system (creating files and directories,
// setting attributes, deleting) to the tree under dir: a path that leads elsewhere
// fails as if it did not exist. For fuzzing, where member names are arbitrary; ""
// switches it off. The check is lexical ("." and ".." resolved, no links followed).
void PosixConfineTo(const std::string& dir);

// The process exit: PortExitProcess throws PosixExit with the status, so that the test
// or tool that runs the core learns it and its own objects are destroyed on the way out
// (the core holds none, and is compiled with unwind tables on the host). Not derived
// from std::exception: only code that expects the core to end the run catches it.
struct PosixExit {
    int32_t status;
};

// The dialog: PortDialogBox sends WM_INITDIALOG, then runs the script one step at a
// time, dispatching posted messages between steps, until PortEndDialog is called. A
// script that runs out without the dialog ending ends it with -1.
struct PosixDialogStep {
    enum Kind { Command, Type, FireTimer, Close, Paint } kind;
    int32_t id = 0;               // Command: control id; Type: control id
    std::string text{};           // Type: the text typed into the control
};
void PosixSetDialogScript(const std::vector<PosixDialogStep>& steps);
// Makes PortDialogBox fail (-1) without calling the procedure.
void PosixFailDialog(bool fail);
// Current text of a dialog item (what the person sees now).
std::string PosixItemText(int32_t id);
bool PosixItemEnabled(int32_t id);
// Called whenever the program sets an item's text (e.g. to press Cancel when the
// progress line shows a certain percentage, through PosixPressDuringRun).
void PosixSetItemTextHook(std::function<void(int32_t id, const char* text)> hook);
// Whether the dialog's timer of this id is set and not killed.
bool PosixTimerArmed(uint32_t id);
// Posts a command to the running dialog, as a click during extraction would.
void PosixPostCommand(int32_t id);
// The chooser's answer: a full path with a file name, or "" for Cancel.
void PosixSetChooserResult(const std::string& fullPath);
