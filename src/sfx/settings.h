// The settings member "$" and the notice member "!".
#pragma once

#include "sfx/workspace.h"

// The bits of "$Flag=", applied in this order: of two bits for one switch the later wins.
enum : uint32_t {
    FlagAutoStartOn = 0x0001, FlagOverwriteAllOn = 0x0002, FlagSkipIfNotNewerOff = 0x0008,
    FlagRestoreAttributesOn = 0x0010, FlagAutoStartOff = 0x0100, FlagOverwriteAllOff = 0x0200,
    FlagSkipIfNotNewerOn = 0x0800, FlagRestoreAttributesOff = 0x1000,
};

void ApplySettings();
void AskNotice();
