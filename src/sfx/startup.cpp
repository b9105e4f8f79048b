// Start-up: the workspace, the configuration block, the preflight pass, the dialog.
#include "sfx/startup.h"

#include "sfx/archive_walk.h"
#include "sfx/paths.h"
#include "sfx/report.h"
#include "sfx/ui.h"

namespace {

const int32_t PlatformWin32s = 0;

}  // namespace

int32_t SfxStartup(PortModule module) {
    // A failed version query cannot tell Win32s; the full Win32 behaviour is the safe one.
    IsWin32s = PortPlatformId() == PlatformWin32s ? 1 : 0;
    ModuleInstance = module;

    if (!BeginRun()) {
        PortMessageBox(nullptr, "Not enough memory", SFX_DEFAULT_TITLE, MbErrorBox);
        return 0;
    }
    PortModuleFileName(Ws->ImagePath, sizeof Ws->ImagePath);
    Ws->ImagePath[sizeof Ws->ImagePath - 1] = 0;
    ReadConfigBlock();

    // The process ends here on failure; the workspace goes with it.
    if (!WalkArchive(nullptr, PreflightPass)) return 0;

    ExpandPathMacro(Ws->Config.InstallDir, sizeof Ws->Config.InstallDir, "");
    if (Ws->Config.InstallDir[0] == 0) {
        uint32_t n = PortGetCurrentDir(Ws->Config.InstallDir, sizeof Ws->Config.InstallDir);
        // A current directory too long for the field leaves it empty rather than cut.
        if (n >= sizeof Ws->Config.InstallDir) Ws->Config.InstallDir[0] = 0;
    }

    intptr_t result = PortDialogBox(ModuleInstance, "SfxDialog", nullptr, SfxDialogProc, 0);

    EndRun();
    return (int32_t)result;
}
