// The workspace pointer, the global switches, the module instance, and the configuration
// block read from the image.
#include "sfx/text.h"
#include "sfx/workspace.h"

SfxWorkspace* Ws;
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
