// Start-up, the workspace, the configuration block, the error box and the abort.
#include "sfx/startup.h"

#include "sfx/archive.h"
#include "sfx/paths.h"
#include "sfx/text.h"
#include "sfx/ui.h"

SfxWorkspace* Ws;
int32_t OverwriteAll, AutoStart, SkipIfNotNewer, IsWin32s;
uint16_t MemberCrcSum;
PortModule ModuleInstance;
PortIcon DialogIcon;

namespace {

const uint32_t MbErrorBox = PortMbTaskModal | PortMbIconError;   // 0x2010
const int32_t PlatformWin32s = 0;

// A valid block terminates every string inside its field. One that does not (written by
// a faulty tool, or a damaged image) would let every later reader run into the next
// field, so each field is cut at its last byte.
void TerminateConfigStrings(SfxConfigBlock* c) {
    c->WindowTitle[sizeof c->WindowTitle - 1] = 0;
    c->InstallTitle[sizeof c->InstallTitle - 1] = 0;
    c->InstallDir[sizeof c->InstallDir - 1] = 0;
    c->Command[sizeof c->Command - 1] = 0;
}

}  // namespace

void ReadConfigBlock() {
    PortFile f = PortOpenRead(Ws->ImagePath);
    if (PortFileIsOpen(f)) {
        if (PortSeek(f, (int32_t)ConfigBlockOffset, 0) != 0xFFFFFFFFu) {
            // A short read keeps what arrived; the rest of the block stays zero.
            PortRead(f, &Ws->Config, ConfigBlockSize);
        }
        PortClose(f);
    }
    TerminateConfigStrings(&Ws->Config);
    if (Ws->Config.WindowTitle[0] == 0) TextCopy(Ws->Config.WindowTitle, sizeof Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
}

// "\"subject\" message" into MessageText, cut to the buffer when the subject is long.
void FormatQuoted(const char* subject, const char* message) {
    char* t = Ws->MessageText;
    const uint32_t size = sizeof Ws->MessageText;
    TextCopy(t, size, "\"");
    TextAppend(t, size, subject);
    TextAppend(t, size, "\" ");
    TextAppend(t, size, message);
}

void ShowError(const char* message, const char* subject) {
    FormatQuoted(subject, message);
    PortMessageBox(Ws->DialogWindow, Ws->MessageText, Ws->Config.WindowTitle, MbErrorBox);
}

void AbortRun(int32_t status) {
    if (Ws) {
        if (PortFileIsOpen(Ws->OutputFile)) {
            PortCloseFile(Ws->OutputFile);
            PortDeleteFile(Ws->TargetPath);
        }
        if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
        Ws->OutputFile = PortInvalidFile;
        Ws->ArchiveFile = PortInvalidFile;
    }
    PortExitProcess(status);
}

int32_t SfxStartup(PortModule module) {
    // A failed version query cannot tell Win32s; the full Win32 behaviour is the safe one.
    IsWin32s = PortPlatformId() == PlatformWin32s ? 1 : 0;
    ModuleInstance = module;

    Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
    if (!Ws) {
        PortMessageBox(nullptr, "Not enough memory", SFX_DEFAULT_TITLE, MbErrorBox);
        return 0;
    }
    SkipIfNotNewer = 0;
    AutoStart = 0;

    PortModuleFileName(Ws->ImagePath, sizeof Ws->ImagePath);
    Ws->ImagePath[sizeof Ws->ImagePath - 1] = 0;
    ReadConfigBlock();
    OverwriteAll = 0;

    // The process ends here on failure; the workspace goes with it.
    if (!WalkArchive(nullptr, PreflightPass)) return 0;

    ExpandPathMacro(Ws->Config.InstallDir, sizeof Ws->Config.InstallDir, "");
    if (Ws->Config.InstallDir[0] == 0) {
        uint32_t n = PortGetCurrentDir(Ws->Config.InstallDir, sizeof Ws->Config.InstallDir);
        // A current directory too long for the field leaves it empty rather than cut.
        if (n >= sizeof Ws->Config.InstallDir) Ws->Config.InstallDir[0] = 0;
    }

    intptr_t result = PortDialogBox(ModuleInstance, "SfxDialog", nullptr, SfxDialogProc, 0);

    PortFree(Ws);
    Ws = nullptr;
    return (int32_t)result;
}
