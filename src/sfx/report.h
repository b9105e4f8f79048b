// The error box and the orderly abort that every subsystem uses.
#pragma once

#include "sfx/workspace.h"

enum : uint32_t { MbErrorBox = PortMbTaskModal | PortMbIconError };   // 0x2010

// Formats "\"subject\" message" into MessageText (the error and question convention).
void FormatQuoted(const char* subject, const char* message);
// One error box: text "\"subject\" message", caption WindowTitle, owner DialogWindow.
void ShowError(const char* message, const char* subject);
// Closes (and deletes) the output file, closes the image, ends the process.
[[noreturn]] void AbortRun(int32_t status);
