// Start-up: the entry sequence of the program.
#pragma once

#include "sfx/workspace.h"

// The program's entry: returns the exit status.
int32_t SfxStartup(PortModule module);
