// varnex-driver.exe: drives a Win32 GUI program the way a person would, from a script,
// and writes what it saw as a line-based transcript on standard output.
//
//   varnex-driver.exe <script>
//
// Script lines (blank lines and lines starting with '#' are ignored):
//   timeout <seconds>        limit of every following wait (default 20)
//   run <path>[<tab><arguments>]  start the program (working directory: its folder),
//                            with the arguments as written after the tab, if any;
//                            prints IMAGE <full path as Windows sees it>, then STARTED
//                            <process id> (decimal)
//   expect-box               wait for a new message box; prints BOX
//   expect-dialog            wait for a new dialog that is not a message box (it has a
//                            field or a list); prints DIALOG and one CONTROL line per
//                            child control
//   show                     print the current window again (DIALOG/BOX)
//   back                     make the latest dialog that is still open the current
//                            window again (after a box or dialog it showed was closed)
//   box                      make the latest message box that is still open the
//                            current window again
//   press <id|text>          click a button of the current window, by control id or by
//                            its text without '&' (case-insensitive), e.g. "press OK";
//                            a disabled button (or window) prints REFUSED instead
//   type <id> <text>         set the text of a control of the current window
//   check <id>               tick a check box of the current window
//   select <id> <text>       choose the item that begins with text in a drop-down list
//   wait-text <id> <pattern> wait until the control's text matches ('*' matches any
//                            run of characters); prints TEXT
//   follow <id> <pattern>    like wait-text, but reads the control without pausing and
//                            prints a TEXT line for every text that differs from the
//                            one before (a busy program answers at each of its message
//                            pumps, so this sees the steps of a progress line). Of a
//                            watched control it also prints a SET line for every text
//                            the program set, and ends when one of those matches: a text
//                            that stood for one pump only may not be seen from outside
//   watch <id>               from now on the program records, as it sets them, the
//                            texts of the current window's control <id> (through the
//                            hook below), and the text it has each time it paints
//   wait-painted <id> <pattern>  wait until the watched control <id> has painted a text
//                            that matches (whichever window is current); prints PAINTED
//   drag-icon <ico file>     ask the current dialog for its icon (WM_QUERYDRAGICON) and
//                            compare it, drawn at 32x32 on black and on white, with the
//                            .ico file's 32x32 image drawn the same way; prints ICON
//                            with handle=1 when the dialog answered one, and same=1|0
//   load-by-name <dll>...    in the program, load each DLL by its name alone, as a
//                            library of the system would; prints LOADED with name, path
//                            (empty when none was found) and before=1 when a module of
//                            that name was loaded already
//
// drag-icon, load-by-name and watch ask inside the program, through varnex-driver-hook.dll
// beside the driver (driver_hook.cpp): Wine carries no WM_QUERYDRAGICON from one process
// to another, and icons and DLL searches belong to a process.
//   wait-gone                wait until the current window is destroyed
//   sleep <milliseconds>
//   exit                     wait for the program to end; windows that appear meanwhile
//                            are printed; prints EXIT <status>
//
// Output: one record per line, fields separated by tabs, each field "key=value" with
// backslash, tab, CR and LF in values written as \\, \t, \r, \n. A wait that runs out
// prints "TIMEOUT<tab>what=..." and ends the run: the program is killed and the driver
// exits with 3. A bad script exits with 2.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "icon_pixels.h"

namespace {

PROCESS_INFORMATION Child;
std::string ChildPath;
bool Started = false;
DWORD TimeoutMs = 20000;
HWND Current = nullptr;
std::vector<HWND> Dialogs;   // every dialog expected so far, in order
std::vector<HWND> Boxes;     // every message box expected so far, in order
std::set<HWND> Seen;

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

void Emit(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string line = kind;
    for (const auto& f : fields) line += "\t" + f.first + "=" + Escape(f.second);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string TextsFile() { return ChildPath + ".driver-texts.txt"; }

[[noreturn]] void Finish(int status) {
    if (Started && WaitForSingleObject(Child.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(Child.hProcess, 99);
        WaitForSingleObject(Child.hProcess, 5000);
    }
    if (Started) DeleteFileA(TextsFile().c_str());
    fflush(stdout);
    ExitProcess(status);
}

[[noreturn]] void TimedOut(const std::string& what) {
    Emit("TIMEOUT", {{"what", what}});
    Finish(3);
}

[[noreturn]] void BadScript(const std::string& line) {
    Emit("ERROR", {{"script", line}});
    Finish(2);
}

std::string ClassOf(HWND w) {
    char name[256] = "";
    GetClassNameA(w, name, sizeof name);
    return name;
}

// The text of a window of another process. WM_GETTEXT gives what edit controls hold
// now; when the program is busy and does not answer, the stored window text is taken.
std::string TextOf(HWND w) {
    char buf[2048] = "";
    DWORD_PTR length = 0;
    if (SendMessageTimeoutA(w, WM_GETTEXT, sizeof buf, (LPARAM)buf, SMTO_ABORTIFHUNG, 1000, &length))
        return std::string(buf, length < sizeof buf ? length : sizeof buf - 1);
    buf[0] = 0;
    GetWindowTextA(w, buf, sizeof buf);
    return buf;
}

std::string WithoutAmpersands(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '&' && i + 1 < s.size()) i++;
        out += s[i];
    }
    return out;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool Matches(const char* pattern, const char* text) {
    if (*pattern == 0) return *text == 0;
    if (*pattern == '*') return Matches(pattern + 1, text) || (*text && Matches(pattern, text + 1));
    return *text == *pattern && Matches(pattern + 1, text + 1);
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

// Message boxes hold only static texts, an icon and buttons; a dialog that has a field
// or a list (the installer dialog, the directory chooser) is not one.
bool IsDialogNotBox(HWND w) {
    for (HWND c : Children(w)) {
        const std::string cls = ClassOf(c);
        if (SameNoCase(cls, "Edit") || SameNoCase(cls, "ListBox") || SameNoCase(cls, "ComboBox")) return true;
    }
    return false;
}

BOOL CALLBACK CollectWindow(HWND w, LPARAM found) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == Child.dwProcessId && IsWindowVisible(w) && ClassOf(w) == "#32770")
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(w);
    return TRUE;
}

// The program's visible dialog windows (message boxes are dialogs too).
std::vector<HWND> ChildWindows() {
    std::vector<HWND> found;
    EnumWindows(CollectWindow, (LPARAM)&found);
    return found;
}

// The standard icon shown by a message box, found by comparing the icon control's
// pixels on the screen with each standard icon drawn on the same background.
std::string IconOnScreen(HWND box) {
    HWND icon = nullptr;
    for (HWND c : Children(box))
        if (SameNoCase(ClassOf(c), "Static") && (GetWindowLongA(c, GWL_STYLE) & 0x1F) == SS_ICON && IsWindowVisible(c))
            icon = c;
    if (!icon) return "none";
    RECT r;
    GetWindowRect(icon, &r);
    const int size = 32;
    HDC screen = GetDC(nullptr);
    HDC shot = CreateCompatibleDC(screen), draw = CreateCompatibleDC(screen);
    HBITMAP shotBits = CreateCompatibleBitmap(screen, size, size), drawBits = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ oldShot = SelectObject(shot, shotBits), oldDraw = SelectObject(draw, drawBits);
    BitBlt(shot, 0, 0, size, size, screen, r.left, r.top, SRCCOPY);
    const struct { const char* name; LPCSTR id; } kinds[] = {
        {"error", IDI_HAND}, {"question", IDI_QUESTION}, {"warning", IDI_EXCLAMATION}, {"information", IDI_ASTERISK}};
    std::string best = "unknown";
    int bestScore = size * size * 9 / 10;   // demand a clear match
    for (const auto& k : kinds) {
        HBRUSH background = CreateSolidBrush(GetPixel(shot, 0, 0));
        RECT all = {0, 0, size, size};
        FillRect(draw, &all, background);
        DeleteObject(background);
        DrawIcon(draw, 0, 0, LoadIconA(nullptr, k.id));
        int score = 0;
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++) score += GetPixel(draw, x, y) == GetPixel(shot, x, y);
        if (score > bestScore) bestScore = score, best = k.name;
    }
    SelectObject(shot, oldShot), SelectObject(draw, oldDraw);
    DeleteObject(shotBits), DeleteObject(drawBits);
    DeleteDC(shot), DeleteDC(draw);
    ReleaseDC(nullptr, screen);
    return best;
}

// The box may still be drawing (or another window may just be leaving the place):
// look again for a while before calling the icon unknown.
std::string IconOf(HWND box) {
    std::string icon = IconOnScreen(box);
    for (int i = 0; i < 10 && icon == "unknown"; i++) {
        Sleep(100);
        icon = IconOnScreen(box);
    }
    return icon;
}

void Show(HWND w) {
    if (IsDialogNotBox(w)) {
        Emit("DIALOG", {{"caption", TextOf(w)}});
        for (HWND c : Children(w)) {
            Emit("CONTROL", {{"id", std::to_string(GetDlgCtrlID(c))},
                             {"class", ClassOf(c)},
                             {"text", TextOf(c)},
                             {"enabled", IsWindowEnabled(c) ? "1" : "0"},
                             {"visible", IsWindowVisible(c) ? "1" : "0"}});
        }
        return;
    }
    std::string text, buttons;
    for (HWND c : Children(w)) {
        if (!IsWindowVisible(c)) continue;
        std::string cls = ClassOf(c);
        if (SameNoCase(cls, "Static") && (GetWindowLongA(c, GWL_STYLE) & 0x1F) != SS_ICON) {
            std::string t = TextOf(c);
            if (!t.empty()) text += (text.empty() ? "" : "\n") + t;
        } else if (SameNoCase(cls, "Button")) {
            buttons += (buttons.empty() ? "" : ",") + WithoutAmpersands(TextOf(c));
        }
    }
    Emit("BOX", {{"caption", TextOf(w)}, {"text", text}, {"icon", IconOf(w)}, {"buttons", buttons}});
}

bool Exited(DWORD wait) { return WaitForSingleObject(Child.hProcess, wait) == WAIT_OBJECT_0; }

// The watched controls, and how many of each one's recorded texts have been printed.
std::set<std::string> Watched;
std::map<std::string, size_t> RecordedSeen;

// Prints the texts recorded under key since the last call (a control's id for its texts
// as set, as SET lines; "p" and the id for those it painted, as PAINTED lines); whether
// one of them matches the pattern, ending the follow or the wait there.
bool RecordedMatch(const std::string& key, const std::string& pattern) {
    std::ifstream f(TextsFile(), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t n = 0;
    // Whole lines only: the program may be writing the last one.
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string entry = all.substr(at, end - at);
        const size_t tab = entry.find('\t');
        if (tab == std::string::npos || entry.compare(0, tab, key) != 0 || n++ < RecordedSeen[key]) continue;
        RecordedSeen[key] = n;
        std::string text;
        for (size_t i = tab + 1; i < entry.size(); i++)
            text += entry[i] == '\\' && i + 1 < entry.size() ? (entry[++i] == 'n' ? '\n' : entry[i]) : entry[i];
        const bool painted = key[0] == 'p';
        Emit(painted ? "PAINTED" : "SET", {{"id", painted ? key.substr(1) : key}, {"text", text}});
        if (Matches(pattern.c_str(), text.c_str())) return true;
    }
    return false;
}

// Waits for a window not seen before; the program ending first is a timeout of its own.
HWND WaitForWindow(bool dialog) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < TimeoutMs) {
        for (HWND w : ChildWindows()) {
            if (Seen.count(w) || IsDialogNotBox(w) != dialog) continue;
            Sleep(150);   // let it finish painting before its icon is compared
            Seen.insert(w);
            return w;
        }
        if (Exited(50)) {
            DWORD status = 0;
            GetExitCodeProcess(Child.hProcess, &status);
            Emit("EXIT", {{"status", std::to_string((int)status)}});
            TimedOut(dialog ? "dialog (the program ended)" : "box (the program ended)");
        }
    }
    TimedOut(dialog ? "dialog" : "box");
}

void Run(const std::string& path, const std::string& arguments) {
    char full[MAX_PATH], longPath[MAX_PATH], dir[MAX_PATH];
    char* filePart = nullptr;
    if (!GetFullPathNameA(path.c_str(), sizeof full, full, &filePart) || !filePart) BadScript("run " + path);
    if (!GetLongPathNameA(full, longPath, sizeof longPath)) strcpy(longPath, full);
    strcpy(dir, full);
    dir[filePart - full] = 0;
    Emit("IMAGE", {{"path", longPath}});
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string cmd = "\"" + std::string(longPath) + "\"" + (arguments.empty() ? "" : " " + arguments);
    if (!CreateProcessA(longPath, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir, &si, &Child)) {
        Emit("ERROR", {{"start", longPath}, {"code", std::to_string(GetLastError())}});
        ExitProcess(2);
    }
    Emit("STARTED", {{"pid", std::to_string(Child.dwProcessId)}});
    Started = true;
    ChildPath = longPath;
}

// Asks the program through varnex-driver-hook.dll (driver_hook.cpp) and returns the
// answer. The hook is set on the current window's thread at the first request and stays
// (a watch needs it); it goes with the driver.
std::string AskInProgram(const std::string& line, const std::string& request) {
    if (!Current) BadScript(line + ": no current window");
    static HMODULE hook = [] {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string dir(path, length < MAX_PATH ? length : 0);
        return LoadLibraryA((dir.substr(0, dir.find_last_of('\\') + 1) + "varnex-driver-hook.dll").c_str());
    }();
    const HOOKPROC proc = hook ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hook, "DriverHook")))
                               : nullptr;
    if (!proc) BadScript(line + ": no varnex-driver-hook.dll beside the driver");
    const std::string in = ChildPath + ".driver-request.txt", out = ChildPath + ".driver-answer.txt";
    DeleteFileA(out.c_str());
    {
        std::ofstream(in, std::ios::binary) << request << "\n";
    }
    static HHOOK hooked = nullptr;
    if (!hooked) hooked = SetWindowsHookExA(WH_CALLWNDPROC, proc, hook, GetWindowThreadProcessId(Current, nullptr));
    if (!hooked) BadScript(line + ": cannot hook the program (" + std::to_string(GetLastError()) + ")");
    DWORD_PTR result = 0;
    const BOOL sent = SendMessageTimeoutA(Current, RegisterWindowMessageA("VarnexDriverRequest"), 0, 0,
                                          SMTO_ABORTIFHUNG, TimeoutMs, &result);
    DeleteFileA(in.c_str());
    if (!sent) TimedOut(line);
    std::ifstream f(out, std::ios::binary);
    if (!f) BadScript(line + ": the program gave no answer");
    std::string answer((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    f.close();
    DeleteFileA(out.c_str());
    return answer;
}

void CompareDragIcon(const std::string& line, const std::string& icoFile) {
    static DWORD want[IconPixels];
    HICON file = (HICON)LoadImageA(nullptr, icoFile.c_str(), IMAGE_ICON, IconSide, IconSide, LR_LOADFROMFILE);
    if (!file || !RenderIcon(file, want)) BadScript(line + ": cannot draw the icon file");
    DestroyIcon(file);
    const std::string answer = AskInProgram(line, "icon");
    bool same = answer.compare(0, 2, "1\n") == 0;
    size_t at = 2;
    for (int i = 0; same && i < IconPixels; i++, at += 9)
        same = at + 9 <= answer.size() && strtoul(answer.substr(at, 8).c_str(), nullptr, 16) == want[i];
    Emit("ICON", {{"handle", answer.compare(0, 1, "1") == 0 ? "1" : "0"}, {"same", same ? "1" : "0"}});
}

void LoadByName(const std::string& line, const std::string& names) {
    const std::string answer = AskInProgram(line, "load " + names);
    for (size_t start = 0; start < answer.size();) {
        size_t end = answer.find('\n', start);
        if (end == std::string::npos) end = answer.size();
        const std::string record = answer.substr(start, end - start);
        const size_t tab1 = record.find('\t'), tab2 = record.find('\t', tab1 + 1);
        if (tab2 != std::string::npos)
            Emit("LOADED", {{"name", record.substr(0, tab1)},
                            {"path", record.substr(tab1 + 1, tab2 - tab1 - 1)},
                            {"before", record.substr(tab2 + 1)}});
        start = end + 1;
    }
}

HWND Control(const std::string& which) {
    if (!Current) BadScript("no current window for " + which);
    char* end = nullptr;
    long id = strtol(which.c_str(), &end, 10);
    if (!which.empty() && *end == 0) return GetDlgItem(Current, (int)id);
    for (HWND c : Children(Current))
        if (SameNoCase(ClassOf(c), "Button") && SameNoCase(WithoutAmpersands(TextOf(c)), which)) return c;
    return nullptr;
}

void Press(const std::string& which) {
    HWND button = Control(which);
    if (!button) BadScript("press " + which + ": no such button");
    // A person cannot click a disabled button; say so instead of going around it.
    if (!IsWindowEnabled(button) || !IsWindowEnabled(Current)) {
        Emit("REFUSED", {{"press", which}, {"reason", "disabled"}});
        return;
    }
    // Posted, not sent: the program may do all its work inside the handler.
    PostMessageA(Current, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
}

void Step(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string op = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    if (op == "timeout") {
        TimeoutMs = (DWORD)(atof(arg.c_str()) * 1000);
    } else if (op == "run") {
        const size_t tab = arg.find('\t');
        Run(arg.substr(0, tab), tab == std::string::npos ? "" : arg.substr(tab + 1));
    } else if (!Started) {
        BadScript(line + ": nothing runs yet");
    } else if (op == "expect-box" || op == "expect-dialog") {
        Current = WaitForWindow(op == "expect-dialog");
        (op == "expect-dialog" ? Dialogs : Boxes).push_back(Current);
        Show(Current);
    } else if (op == "show") {
        if (!Current) BadScript(line);
        Show(Current);
    } else if (op == "back" || op == "box") {
        Current = nullptr;
        for (HWND d : op == "back" ? Dialogs : Boxes)
            if (IsWindow(d)) Current = d;
        if (!Current) BadScript(line + ": no such window is open");
    } else if (op == "press") {
        Press(arg);
    } else if (op == "type") {
        const size_t s = arg.find(' ');
        HWND c = Control(arg.substr(0, s));
        if (!c) BadScript(line + ": no such control");
        DWORD_PTR r;
        const std::string text = s == std::string::npos ? "" : arg.substr(s + 1);
        if (!SendMessageTimeoutA(c, WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_ABORTIFHUNG, TimeoutMs, &r))
            TimedOut(line);
    } else if (op == "check" || op == "select") {
        const size_t s = arg.find(' ');
        HWND c = Control(arg.substr(0, s));
        if (!c) BadScript(line + ": no such control");
        const std::string text = s == std::string::npos ? "" : arg.substr(s + 1);
        DWORD_PTR r;
        const bool answered = op == "check"
            ? SendMessageTimeoutA(c, BM_SETCHECK, BST_CHECKED, 0, SMTO_ABORTIFHUNG, TimeoutMs, &r)
            : SendMessageTimeoutA(c, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)text.c_str(), SMTO_ABORTIFHUNG, TimeoutMs, &r);
        if (!answered) TimedOut(line);
        if (op == "select" && r == (DWORD_PTR)CB_ERR) BadScript(line + ": no such item");
    } else if (op == "wait-text") {
        const size_t s = arg.find(' ');
        HWND c = Control(arg.substr(0, s));
        if (!c || s == std::string::npos) BadScript(line);
        const std::string pattern = arg.substr(s + 1);
        const DWORD start = GetTickCount();
        std::string text;
        while (!Matches(pattern.c_str(), (text = TextOf(c)).c_str())) {
            if (GetTickCount() - start >= TimeoutMs) TimedOut(line + " (text: " + text + ")");
            Sleep(20);
        }
        Emit("TEXT", {{"id", arg.substr(0, s)}, {"text", text}});
    } else if (op == "watch") {
        if (!Control(arg)) BadScript(line + ": no such control");
        if (Watched.empty()) DeleteFileA(TextsFile().c_str());
        if (AskInProgram(line, "watch " + arg).compare(0, 2, "ok") != 0) BadScript(line + ": not watched");
        Watched.insert(arg);
    } else if (op == "wait-painted") {
        const size_t s = arg.find(' ');
        if (s == std::string::npos || !Watched.count(arg.substr(0, s))) BadScript(line + ": not watched");
        const DWORD start = GetTickCount();
        while (!RecordedMatch("p" + arg.substr(0, s), arg.substr(s + 1))) {
            if (GetTickCount() - start >= TimeoutMs) TimedOut(line);
            Sleep(20);
        }
    } else if (op == "follow") {
        const size_t s = arg.find(' ');
        HWND c = Control(arg.substr(0, s));
        if (!c || s == std::string::npos) BadScript(line);
        const std::string id = arg.substr(0, s), pattern = arg.substr(s + 1);
        const DWORD start = GetTickCount();
        std::string text, last;
        bool first = true;
        const bool watched = Watched.count(id) != 0;
        for (;;) {
            const bool ended = Exited(0);
            if (!ended) {
                text = TextOf(c);
                if (first || text != last)
                    Emit("TEXT", {{"id", id}, {"text", text}});
                else
                    Sleep(1);   // an idle program answers at once: do not spin on it
                first = false;
                last = text;
            }
            if (watched ? RecordedMatch(id, pattern) : Matches(pattern.c_str(), text.c_str())) break;
            if (ended) TimedOut(line + " (the program ended; text: " + last + ")");
            if (GetTickCount() - start >= TimeoutMs) TimedOut(line + " (text: " + text + ")");
        }
    } else if (op == "drag-icon") {
        CompareDragIcon(line, arg);
    } else if (op == "load-by-name") {
        LoadByName(line, arg);
    } else if (op == "wait-gone") {
        const DWORD start = GetTickCount();
        while (Current && IsWindow(Current)) {
            if (GetTickCount() - start >= TimeoutMs) TimedOut(line);
            Sleep(20);
        }
        Current = nullptr;
    } else if (op == "sleep") {
        Sleep((DWORD)atoi(arg.c_str()));
    } else if (op == "exit") {
        const DWORD start = GetTickCount();
        while (!Exited(50)) {
            for (HWND w : ChildWindows()) {
                if (Seen.count(w)) continue;
                Sleep(150);
                Seen.insert(w);
                Show(w);
            }
            if (GetTickCount() - start >= TimeoutMs) TimedOut("exit");
        }
        DWORD status = 0;
        GetExitCodeProcess(Child.hProcess, &status);
        Emit("EXIT", {{"status", std::to_string((int)status)}});
    } else {
        BadScript(line);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: varnex-driver <script>\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "varnex-driver: cannot open %s\n", argv[1]);
        return 2;
    }
    char buf[4096];
    while (fgets(buf, sizeof buf, f)) {
        std::string line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Step(line);
    }
    fclose(f);
    Finish(0);
}
