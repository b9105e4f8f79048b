// A Win32 console program over the stub's core and its Win32 port: prints what the
// directory macros and the volume query give on the real platform, with the platform's
// own answers, then the lines of path_ops.h, for the host test (paths_wine_test.cpp):
//
//   acp <ANSI code page>
//   api <windir|sysdir|temp> <value>   GetWindowsDirectoryA, GetSystemDirectoryA, TEMP
//   macro <text> <expansion> <isdir>   ExpandPathMacro, then whether a directory is there
//   target <name> <target>             BuildTargetPath below C:\Inst
//   volume <root> <max component>      PortVolumeMaxComponent
#include <windows.h>

#include <stdio.h>

#include "path_ops.h"

int main() {
    printf("acp %u\n", GetACP());
    char buf[MAX_PATH + 1] = "";
    GetWindowsDirectoryA(buf, sizeof buf);
    printf("api windir %s\n", buf);
    GetSystemDirectoryA(buf, sizeof buf);
    printf("api sysdir %s\n", buf);
    buf[0] = 0;
    GetEnvironmentVariableA("TEMP", buf, sizeof buf);
    printf("api temp %s\n", buf);
    for (const char* text : {"%WinDir%", "%SystemDir%", "%WORK%", "%WinRoot%\\", "%windir%/system32"}) {
        char path[256];
        TextCopy(path, sizeof path, text);
        ExpandPathMacro(path, sizeof path, "");
        const DWORD a = GetFileAttributesA(path);
        printf("macro %s %s %d\n", text, path, a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY));
    }
    char target[516], name[260] = "%Search%/kernel32.dll";
    BuildTargetPath(target, sizeof target, "C:\\Inst", name, sizeof name);
    printf("target %%Search%%/kernel32.dll %s\n", target);
    for (const char* root : {"C:\\", "Z:\\"}) printf("volume %s %u\n", root, PortVolumeMaxComponent(root));
    for (const std::string& line : pathops::Lines()) printf("%s\n", line.c_str());
    return 0;
}
