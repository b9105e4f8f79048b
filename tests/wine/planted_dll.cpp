// The stand-in for a DLL an attacker leaves beside a self-extractor: copied under the name
// of each DLL the installer loads, it appends the path of every program that loads it to
// "<its own path>.loaded" and does nothing else (tests/wine/dll_planting_test.cpp).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI PlantedMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char marker[MAX_PATH + 8], program[MAX_PATH + 2];
    const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyA(marker + length, ".loaded");
    DWORD used = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (used >= MAX_PATH) used = MAX_PATH - 1;
    program[used++] = '\r';
    program[used++] = '\n';
    HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, program, used, &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
