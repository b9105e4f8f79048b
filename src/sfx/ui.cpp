// The installer dialog, the directory chooser and the message pump. (Being written.)
#include "sfx/ui.h"

intptr_t PORT_CALLBACK SfxDialogProc(PortWindow, uint32_t, uintptr_t, intptr_t) { return 0; }
int ChooseDirectory(PortWindow) { return 0; }
void PumpMessages(PortWindow) {}
void EnableItem(PortWindow dialog, int32_t id, bool enable) { PortEnableItem(dialog, id, enable); }
