// The error box and the orderly abort that every subsystem uses.
#pragma once

#include "sfx/workspace.h"

enum : uint32_t { MbErrorBox = PortMbTaskModal | PortMbIconError };   // 0x2010

// Formats "\"subject\" message" into MessageText (the error and question convention).
void FormatQuoted(const char* subject, const char* message);
// Puts PercentWanted on the progress line as "Extract... N%" unless it shows it already.
// Static controls paint as their text is set, and under Wine each setting is a round
// trip to its server, so a percentage that no one could see before the next one
// replaced it is left out: it is put up only before something can show it, a message
// pump or a box.
void ShowPercent();
// One error box: text "\"subject\" message", caption WindowTitle, owner DialogWindow.
void ShowError(const char* message, const char* subject);
// Closes (and deletes) the output file, closes the image, ends the process.
[[noreturn]] void AbortRun(int32_t status);
