// Start-up, the workspace, the configuration block, the error box and the abort.
// (Being written: only the declarations' bodies needed to link are here yet.)
#include "sfx/startup.h"

SfxWorkspace* Ws;
int32_t OverwriteAll, AutoStart, SkipIfNotNewer, IsWin32s;
uint16_t MemberCrcSum;
PortModule ModuleInstance;
PortIcon DialogIcon;

int32_t SfxStartup(PortModule) { return 0; }
void ReadConfigBlock() {}
void ShowError(const char*, const char*) {}
void AbortRun(int32_t status) { PortExitProcess(status); }
