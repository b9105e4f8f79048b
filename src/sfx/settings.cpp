// The settings member "$" and the notice member "!". (Being written.)
#include "sfx/settings.h"

void ApplySettings() {}
void AskNotice() {}
