// The installer dialog, the directory chooser and the message pump.
#pragma once

#include "sfx/workspace.h"

// Control ids of the "SfxDialog" template.
enum : int32_t {
    IdOk = 1, IdCancel = 2, IdDirField = 100, IdProgressFile = 101, IdProgressPercent = 102,
    IdDirLabel = 103, IdReference = 104,
};

intptr_t PORT_CALLBACK SfxDialogProc(PortWindow dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);
int ChooseDirectory(PortWindow owner);
void PumpMessages(PortWindow window);
void EnableItem(PortWindow dialog, int32_t id, bool enable);
