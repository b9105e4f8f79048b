// The installer dialog, the directory chooser and the message pump.
#pragma once

#include "sfx/workspace.h"

intptr_t PORT_CALLBACK SfxDialogProc(PortWindow dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);
int ChooseDirectory(PortWindow owner);
void PumpMessages(PortWindow window);
void EnableItem(PortWindow dialog, int32_t id, bool enable);
