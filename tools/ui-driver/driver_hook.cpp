// varnex-driver-hook.dll: what the UI driver (driver.cpp) asks inside the program it
// drives. Some answers cannot cross from one process to another: Wine does not carry
// WM_QUERYDRAGICON between processes and keeps icons per process, and only a load in the
// program itself shows where it finds a DLL named without a path. So the driver hooks the
// sent messages of the program's GUI thread with this DLL (WH_CALLWNDPROC), which the
// system loads into the program, and sends the window a registered message; the hook
// answers it there, in the program's thread.
//
// The request is the first line of "<program>.driver-request.txt", the answer goes to
// "<program>.driver-answer.txt", <program> being the program's path:
//   icon               "1" and the pixels of the icon the window answers WM_QUERYDRAGICON
//                      with, drawn as icon_pixels.h draws it, one hex number a line; "0"
//                      when it answers none or the icon cannot be drawn
//   load <name>...     for each name a line "<name><tab><path><tab><before>": where
//                      LoadLibraryA(name) found it ("" when nowhere), and 1 when a module
//                      of that name was there before the call
//   watch <id>         "ok"; from now on every text set on a control of that id is
//                      appended to "<program>.driver-texts.txt" as "<id><tab><text>"
//                      (a newline in it as \n), as it is set, whether or not anyone
//                      looks; and every time a static control of that id paints
//                      (it asks its dialog for WM_CTLCOLORSTATIC) its text then, as
//                      "p<id><tab><text>"
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "icon_pixels.h"

namespace {

const char RequestSuffix[] = ".driver-request.txt";
const char AnswerSuffix[] = ".driver-answer.txt";
const char TextsSuffix[] = ".driver-texts.txt";

// The watched control ids (the hook stays set while the driver watches).
int Watched[8];
int WatchedCount = 0;

void RecordText(HWND control, const char* text, const char* prefix = "") {
    const int id = GetDlgCtrlID(control);
    bool watched = false;
    for (int i = 0; i < WatchedCount; i++) watched = watched || Watched[i] == id;
    char path[MAX_PATH + 32];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (!watched || length == 0 || length >= MAX_PATH) return;
    strcpy(path + length, TextsSuffix);
    FILE* out = fopen(path, "ab");
    if (!out) return;
    fprintf(out, "%s%d\t", prefix, id);
    for (const char* p = text ? text : ""; *p; p++) {
        if (*p == '\n' || *p == '\\') fputc('\\', out);
        fputc(*p == '\n' ? 'n' : *p, out);
    }
    fputc('\n', out);
    fclose(out);
}

void Answer(HWND window) {
    char request[MAX_PATH + 32], answer[MAX_PATH + 32], line[4096] = "";
    const DWORD length = GetModuleFileNameA(nullptr, request, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    memcpy(answer, request, length);
    strcpy(request + length, RequestSuffix);
    strcpy(answer + length, AnswerSuffix);
    FILE* in = fopen(request, "rb");
    if (!in) return;
    const bool got = fgets(line, sizeof line, in) != nullptr;
    fclose(in);
    if (!got) return;
    line[strcspn(line, "\r\n")] = 0;
    FILE* out = fopen(answer, "wb");
    if (!out) return;
    if (strcmp(line, "icon") == 0) {
        // Sent within the thread: the dialog procedure answers as it would a drag.
        const HICON icon = reinterpret_cast<HICON>(SendMessageA(window, WM_QUERYDRAGICON, 0, 0));
        static DWORD pixels[IconPixels];
        const bool drawn = icon && RenderIcon(icon, pixels);
        fprintf(out, "%d\n", drawn ? 1 : 0);
        for (int i = 0; drawn && i < IconPixels; i++) fprintf(out, "%08lx\n", static_cast<unsigned long>(pixels[i]));
    } else if (strncmp(line, "watch ", 6) == 0) {
        if (WatchedCount < 8) Watched[WatchedCount++] = atoi(line + 6);
        fprintf(out, "ok\n");
    } else if (strncmp(line, "load ", 5) == 0) {
        for (char* name = strtok(line + 5, " "); name; name = strtok(nullptr, " ")) {
            const bool before = GetModuleHandleA(name) != nullptr;
            const HMODULE module = LoadLibraryA(name);
            char path[MAX_PATH] = "";
            if (module && !GetModuleFileNameA(module, path, MAX_PATH)) path[0] = 0;
            fprintf(out, "%s\t%s\t%d\n", name, path, before ? 1 : 0);
            if (module) FreeLibrary(module);
        }
    }
    fclose(out);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK DriverHook(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent && sent->message == WM_SETTEXT && WatchedCount)
        RecordText(sent->hwnd, reinterpret_cast<const char*>(sent->lParam));
    else if (code == HC_ACTION && sent && sent->message == WM_CTLCOLORSTATIC && WatchedCount) {
        char text[1024] = "";
        const HWND control = reinterpret_cast<HWND>(sent->lParam);
        GetWindowTextA(control, text, sizeof text);
        RecordText(control, text, "p");
    }
    else if (code == HC_ACTION && sent && sent->message == RegisterWindowMessageA("VarnexDriverRequest"))
        Answer(sent->hwnd);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
