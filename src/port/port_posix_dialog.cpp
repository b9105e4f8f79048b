// The simulated dialog of the POSIX port: the installer dialog driven by a script,
// its items, timers and posted messages, and the directory chooser's answer.
#include <string.h>

#include "port/posix_state.h"

namespace {

// The dialog's own state, afresh after every PosixResetPort like the rest of the port
// (which cannot reach this file: programs that show no dialog do not carry it).
struct DialogState {
    uint32_t resets = 0;
    std::vector<PosixDialogStep> script;
    bool failDialog = false;
    PortDialogProc proc = nullptr;
    bool dialogRunning = false, dialogEnded = false;
    intptr_t dialogResult = 0;
    std::map<int32_t, bool> disabled;
    std::map<int32_t, uint32_t> limits;
    std::map<uint32_t, uint32_t> timers;
    std::deque<uint32_t> posted;   // WM_COMMAND ids posted to the dialog
    std::string chooserResult;
};

DialogState& SimulatedDialog() {
    static DialogState state;
    if (state.resets != SimulatedSystem().resets) {
        state = DialogState();
        state.resets = SimulatedSystem().resets;
    }
    return state;
}

// The dialog's window handle: any non-null value that no real pointer uses.
PortWindow const DialogHandle = reinterpret_cast<PortWindow>(static_cast<uintptr_t>(0xD1A1));

int32_t DispatchToDialog(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    DialogState& d = SimulatedDialog();
    if (!d.proc) return 0;
    return (int32_t)d.proc(DialogHandle, message, wParam, lParam);
}

}  // namespace

void PosixSetDialogScript(const std::vector<PosixDialogStep>& steps) { SimulatedDialog().script = steps; }
void PosixFailDialog(bool fail) { SimulatedDialog().failDialog = fail; }
bool PosixItemEnabled(int32_t id) { return !SimulatedDialog().disabled[id]; }
bool PosixTimerArmed(uint32_t id) { return SimulatedDialog().timers.count(id) != 0; }
void PosixPostCommand(int32_t id) { SimulatedDialog().posted.push_back((uint32_t)id); }
void PosixSetChooserResult(const std::string& fullPath) { SimulatedDialog().chooserResult = fullPath; }

// ---- the simulated dialog ---------------------------------------------------------------------------

intptr_t PortDialogBox(PortModule /*module*/, const char* templateName, PortWindow owner, PortDialogProc proc,
                       intptr_t param) {
    DialogState& d = SimulatedDialog();
    PortState& s = SimulatedSystem();
    if (d.failDialog) return -1;
    Record({PosixEvent::Dialog, owner, templateName, "", 0, 0, ""});
    d.proc = proc;
    d.dialogRunning = true;
    d.dialogEnded = false;
    s.items.clear();
    d.disabled.clear();
    d.limits.clear();
    d.timers.clear();
    s.items[103] = "Install &Directory:";   // the template's label
    DispatchToDialog(PortWmInitDialog, 0, param);
    size_t step = 0;
    while (!d.dialogEnded) {
        if (!d.posted.empty()) {
            uint32_t id = d.posted.front();
            d.posted.pop_front();
            DispatchToDialog(PortWmCommand, id, 0);
            continue;
        }
        if (step >= d.script.size()) {
            d.dialogEnded = true;
            d.dialogResult = -1;
            break;
        }
        const PosixDialogStep& st = d.script[step++];
        switch (st.kind) {
        case PosixDialogStep::Command:
            if (!d.disabled[st.id]) DispatchToDialog(PortWmCommand, (uintptr_t)st.id, 0);
            break;
        case PosixDialogStep::Type: {
            std::string t = st.text;
            auto lim = d.limits.find(st.id);
            if (lim != d.limits.end() && t.size() > lim->second) t.resize(lim->second);
            if (!d.disabled[st.id]) s.items[st.id] = t;
            break;
        }
        case PosixDialogStep::FireTimer:
            if (!d.timers.empty()) DispatchToDialog(PortWmTimer, d.timers.begin()->first, 0);
            break;
        case PosixDialogStep::Close:
            // The default dialog handling turns an unhandled close into Cancel.
            if (!DispatchToDialog(PortWmClose, 0, 0)) DispatchToDialog(PortWmCommand, PortIdCancel, 0);
            break;
        case PosixDialogStep::Paint:
            DispatchToDialog(PortWmPaint, 0, 0);
            break;
        }
    }
    d.dialogRunning = false;
    d.proc = nullptr;
    return d.dialogResult;
}

void PortEndDialog(PortWindow dialog, intptr_t result) {
    DialogState& d = SimulatedDialog();
    Record({PosixEvent::EndDialog, dialog, "", "", 0, (int32_t)result, ""});
    d.dialogEnded = true;
    d.dialogResult = result;
}

void PortSetWindowText(PortWindow window, const char* text) {
    Record({PosixEvent::WindowText, window, text, "", 0, 0, ""});
}

uint32_t PortGetItemText(PortWindow /*dialog*/, int32_t id, char* out, uint32_t size) {
    if (size == 0) return 0;
    const std::string& t = SimulatedSystem().items[id];
    size_t n = t.size() < size - 1 ? t.size() : size - 1;
    memcpy(out, t.data(), n);
    out[n] = 0;
    return (uint32_t)n;
}

void PortLimitItemText(PortWindow /*dialog*/, int32_t id, uint32_t limit) { SimulatedDialog().limits[id] = limit; }

void PortEnableItem(PortWindow dialog, int32_t id, bool enable) {
    SimulatedDialog().disabled[id] = !enable;
    Record({PosixEvent::EnableItem, dialog, "", "", enable, id, ""});
}

void PortFocusItem(PortWindow, int32_t) {}
void PortSetDefaultButton(PortWindow, int32_t) {}

void PortGetWindowRect(PortWindow, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) {
    *left = 48, *top = 48, *right = 48 + 410, *bottom = 48 + 151;
}
void PortGetScreenSize(int32_t* width, int32_t* height) { *width = 1024, *height = 768; }
void PortMoveWindow(PortWindow, int32_t, int32_t, int32_t, int32_t, bool) {}
bool PortIsMinimised(PortWindow) { return false; }
PortIcon PortLoadIcon(PortModule, const char*) { return reinterpret_cast<PortIcon>(static_cast<uintptr_t>(0x1C0)); }
void PortDestroyIcon(PortIcon) {}
void PortPaintIcon(PortWindow, PortIcon) {}

void PortSetTimer(PortWindow window, uint32_t id, uint32_t milliseconds) {
    SimulatedDialog().timers[id] = milliseconds;
    Record({PosixEvent::Timer, window, "", "", milliseconds, (int32_t)id, ""});
}
void PortKillTimer(PortWindow, uint32_t id) { SimulatedDialog().timers.erase(id); }
void PortPostCommand(PortWindow, uint32_t id) { SimulatedDialog().posted.push_back(id); }

bool PortPeekMessage(PortMessage* message) {
    DialogState& d = SimulatedDialog();
    if (d.posted.empty()) return false;
    memset(message, 0, sizeof *message);
    message->Raw[0] = (uintptr_t)DialogHandle;
    message->Raw[1] = PortWmCommand;
    message->Raw[2] = d.posted.front();
    d.posted.pop_front();
    return true;
}

bool PortIsDialogMessage(PortWindow dialog, PortMessage* message) {
    if (!dialog || message->Raw[0] != (uintptr_t)dialog) return false;
    DispatchToDialog((uint32_t)message->Raw[1], message->Raw[2], (intptr_t)message->Raw[3]);
    return true;
}

void PortTranslateDispatch(PortMessage* message) {
    if (message->Raw[0] == (uintptr_t)DialogHandle)
        DispatchToDialog((uint32_t)message->Raw[1], message->Raw[2], (intptr_t)message->Raw[3]);
}

// ---- the directory chooser -------------------------------------------------------

int32_t PortGetOpenFileName(PortWindow, PortModule, char* file, uint32_t capacity, const char*, uint32_t,
                            const char*, uint16_t* fileOffset) {
    const std::string& r = SimulatedDialog().chooserResult;
    if (r.empty() || r.size() + 1 > capacity) return 0;
    memcpy(file, r.c_str(), r.size() + 1);
    size_t sep = r.find_last_of("/\\");
    *fileOffset = (uint16_t)(sep == std::string::npos ? 0 : sep + 1);
    return 1;
}

