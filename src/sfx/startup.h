// Start-up: the entry sequence, the configuration block, the error box and the
// orderly abort that every subsystem uses.
#pragma once

#include "sfx/workspace.h"

// The program's entry: returns the exit status.
int32_t SfxStartup(PortModule module);
// Fills Ws->Config from the image at ImagePath.
void ReadConfigBlock();
// Formats "\"subject\" message" into MessageText (the error and question convention).
void FormatQuoted(const char* subject, const char* message);
// One error box: text "\"subject\" message", caption WindowTitle, owner DialogWindow.
void ShowError(const char* message, const char* subject);
// Closes (and deletes) the output file, closes the image, ends the process.
[[noreturn]] void AbortRun(int32_t status);
