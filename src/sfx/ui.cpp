// The installer dialog, the directory chooser and the message pump.
//
// The dialog is the program's main window. Its OK runs the whole extraction pass
// synchronously inside the dialog procedure; the pass keeps the window alive by calling
// PumpMessages, its progress hook, at every progress report, so the procedure is
// re-entered while the pass runs. Only Cancel (and close, which the platform turns into Cancel) can then reach it
// usefully, and all it does is raise CancelRequested for the pass to act on.
#include "sfx/ui.h"

#include "sfx/archive_walk.h"
#include "sfx/paths.h"
#include "sfx/text.h"

namespace {

enum : uint32_t {
    AutoStartTimer = 1, AutoStartDelay = 700,
    DirFieldLimit = 255,
    // Hide the read-only box and use our own "GetDirDialog" template.
    ChooserFlags = 0x44, ChooserCapacity = 260,
};

// Win32 TRUE/FALSE as a dialog procedure returns them.
const intptr_t Handled = 1, NotHandled = 0;

// Ends the dialog. The icon is released here rather than on WM_CLOSE: a close during
// the extraction only raises CancelRequested and the (possibly minimised) dialog stays on
// screen until the pass ends, so it must still be able to paint its icon.
void EndSfxDialog(PortWindow dialog, intptr_t result) {
    if (RunState.DialogIcon) {
        PortDestroyIcon(RunState.DialogIcon);
        RunState.DialogIcon = nullptr;
    }
    PortEndDialog(dialog, result);
}

void CentreOnScreen(PortWindow dialog) {
    int32_t left, top, right, bottom, screenWidth, screenHeight;
    PortGetWindowRect(dialog, &left, &top, &right, &bottom);
    PortGetScreenSize(&screenWidth, &screenHeight);
    const int32_t width = right - left, height = bottom - top;
    PortMoveWindow(dialog, (screenWidth - width) / 2, (screenHeight - height) / 2, width, height, false);
}

void InitDialog(PortWindow dialog) {
    SfxConfigBlock& config = Ws->Config;
    PortSetWindowText(dialog, config.WindowTitle);
    if (config.InstallTitle[0]) PortSetItemText(dialog, IdDirLabel, config.InstallTitle);
    PortSetItemText(dialog, IdDirField, config.InstallDir);
    PortLimitItemText(dialog, IdDirField, DirFieldLimit);
    CentreOnScreen(dialog);
    Ws->Busy = 0;
    Ws->CancelRequested = 0;
    RunState.DialogIcon = PortLoadIcon(ModuleInstance, "IDI_ICON1");
    if (AutoStart) PortSetTimer(dialog, AutoStartTimer, AutoStartDelay);
}

// Two leading separators name a network share ("\\server\share", and "//server/share",
// which Windows reads the same way); those are refused.
bool IsNetworkPath(const char* dir) {
    return (dir[0] == '\\' || dir[0] == '/') && (dir[1] == '\\' || dir[1] == '/');
}

intptr_t OnOk(PortWindow dialog) {
    // The auto-start timer may post its OK while the pass already runs (the user pressed
    // OK first and the pass pumps messages): a second pass must never start inside the
    // first, so any OK that arrives while Busy is ignored.
    if (Ws->Busy) return NotHandled;
    // Once the user confirms, the automatic start has nothing left to do.
    PortKillTimer(dialog, AutoStartTimer);

    PortGetItemText(dialog, IdDirField, Ws->ChosenDir, sizeof Ws->ChosenDir);
    StripQuotes(Ws->ChosenDir, sizeof Ws->ChosenDir);
    if (IsNetworkPath(Ws->ChosenDir)) {
        PortMessageBox(dialog, "Invalid directory", Ws->Config.WindowTitle,
                       PortMbTaskModal | PortMbIconWarning);
        return NotHandled;
    }
    EnableItem(dialog, IdOk, false);
    EnableItem(dialog, IdReference, false);
    EnableItem(dialog, IdDirField, false);
    PortFocusItem(dialog, IdCancel);
    PortSetDefaultButton(dialog, IdCancel);
    Ws->Busy = 1;
    RunState.ProgressHook = PumpMessages;
    WalkArchive(dialog, ExtractionPass);   // reports its own failures; the result is 1 regardless
    EndSfxDialog(dialog, 1);
    return Handled;
}

intptr_t OnCancel(PortWindow dialog) {
    if (Ws->Busy)
        Ws->CancelRequested = 1;   // the pass ends the process at its next progress report
    else
        EndSfxDialog(dialog, 0);
    return Handled;
}

void OnReference(PortWindow dialog) {
    // The chooser's modal loop would let the auto-start timer fire and start the pass
    // while the chooser still uses MessageText and TargetPath as its buffers; the user
    // is choosing by hand now, so the automatic start is dropped.
    PortKillTimer(dialog, AutoStartTimer);
    if (!ChooseDirectory(dialog)) return;
    StripTrailingSeparator(Ws->TargetPath);
    char* text = Ws->MessageText;
    const uint32_t size = sizeof Ws->MessageText;
    bool hasSpace = false;
    for (const char* p = Ws->TargetPath; *p; p++)
        if (*p == ' ') hasSpace = true;
    if (hasSpace) {
        // A quoted directory survives being handed around as one word; OK strips the
        // quotes again.
        TextCopy(text, size, "\"");
        TextAppend(text, size - 1, Ws->TargetPath);   // keeps room for the closing quote
        TextAppend(text, size, "\"");
    } else {
        TextCopy(text, size, Ws->TargetPath);
    }
    PortSetItemText(dialog, IdDirField, text);
}

}  // namespace

intptr_t PORT_CALLBACK SfxDialogProc(PortWindow dialog, uint32_t message, uintptr_t wParam, intptr_t) {
    switch (message) {
    case PortWmInitDialog:
        InitDialog(dialog);
        return Handled;   // the platform focuses the first tab stop, the directory field
    case PortWmCommand:
        switch ((int32_t)(wParam & 0xFFFF)) {
        case IdOk: return OnOk(dialog);
        case IdCancel: return OnCancel(dialog);
        case IdReference: OnReference(dialog); return NotHandled;
        default: return NotHandled;
        }
    case PortWmTimer:
        PortKillTimer(dialog, AutoStartTimer);
        PortPostCommand(dialog, IdOk);
        return NotHandled;
    case PortWmPaint:
        if (PortIsMinimised(dialog) && RunState.DialogIcon) PortPaintIcon(dialog, RunState.DialogIcon);
        return NotHandled;
    case PortWmEraseBkgnd:
        return PortIsMinimised(dialog) ? Handled : NotHandled;
    case PortWmQueryDragIcon:
        return (intptr_t)RunState.DialogIcon;
    case PortWmClose:
        // The platform's default handling turns the close into Cancel; the icon is
        // released when the dialog really ends (EndSfxDialog).
        return NotHandled;
    default:
        return NotHandled;
    }
}

int ChooseDirectory(PortWindow owner) {
    // The chooser's file-name part is invisible and cannot be edited, so the preset
    // name always comes back and what precedes it is the directory navigated to.
    TextCopy(Ws->MessageText, sizeof Ws->MessageText, "work.txt");
    uint16_t fileOffset = 0;
    const int32_t chosen = PortGetOpenFileName(owner, ModuleInstance, Ws->MessageText, ChooserCapacity,
                                               "Extracting directory", ChooserFlags, "GetDirDialog",
                                               &fileOffset);
    if (!chosen) return 0;
    TextCopy(Ws->TargetPath, sizeof Ws->TargetPath, Ws->MessageText);
    if (fileOffset < TextLength(Ws->TargetPath)) Ws->TargetPath[fileOffset] = 0;
    return chosen;
}

void PumpMessages(PortWindow window) {
    PortMessage message;
    while (PortPeekMessage(&message)) {
        if (!window || !PortIsDialogMessage(window, &message)) PortTranslateDispatch(&message);
    }
}

void EnableItem(PortWindow dialog, int32_t id, bool enable) { PortEnableItem(dialog, id, enable); }
