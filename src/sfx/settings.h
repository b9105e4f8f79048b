// The settings member "$" and the notice member "!".
#pragma once

#include "sfx/workspace.h"

void ApplySettings();
void AskNotice();
