// The stand-in for a DLL an attacker leaves beside a self-extractor: copied under the name
// of each DLL the installer loads, it appends the path of every program that loads it to
// "<its own path>.loaded" and does nothing else (tests/wine/dll_planting_test.cpp).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI PlantedMain(HINSTANCE self, DWORD reason, LPVOID) {
    char marker[MAX_PATH + 8], program[MAX_PATH + 2];
    const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
    DWORD used = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyA(marker + length, ".loaded");
    lstrcpyA(program + (used < MAX_PATH ? used : MAX_PATH - 1), "\r\n");
    HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) WriteFile(file, program, lstrlenA(program), &written, nullptr), CloseHandle(file);
    return TRUE;
}
