// The workspace pointer, the run's state beside it, the global switches, the module
// instance, and the configuration block read from the image.
#include "sfx/text.h"
#include "sfx/workspace.h"

SfxWorkspace* Ws;
SfxRunState RunState;
int32_t OverwriteAll, AutoStart, SkipIfNotNewer, IsWin32s;
uint16_t MemberCrcSum;
PortModule ModuleInstance;

namespace {

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

bool BeginRun() {
    MemFill(&RunState, 0, sizeof RunState);
    OverwriteAll = AutoStart = SkipIfNotNewer = 0;
    Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
    return Ws != nullptr;
}

void CloseRunFiles() {
    if (PortFileIsOpen(Ws->OutputFile)) {
        PortCloseFile(Ws->OutputFile);
        PortDeleteFile(Ws->TargetPath);
    }
    if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
    Ws->OutputFile = PortInvalidFile;
    Ws->ArchiveFile = PortInvalidImage;
}

void EndRun() {
    if (!Ws) return;
    CloseRunFiles();
    PortFree(Ws->Header);
    PortFree(Ws);
    Ws = nullptr;
}

void ReadConfigBlock() {
    PortImageFile f = PortOpenRead(Ws->ImagePath);
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
