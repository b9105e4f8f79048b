// A Win32 console program over the stub's core and its Win32 port: prints what the
// directory macros, the volume query and the time conversions give on the real
// platform, one record a line, for the host test (paths_wine_test.cpp) to compare with
// the platform's own answers and with the native implementation.
//
//   api <name> <value>               GetWindowsDirectoryA, GetSystemDirectoryA, TEMP
//   macro <text> <expansion> <isdir> ExpandPathMacro, then whether a directory is there
//   target <base> <name> <target>    BuildTargetPath
//   volume <root> <max component>    PortVolumeMaxComponent
//   utof <seconds> <ok> <filetime>   UnixToFileTime
//   ftou <filetime> <ok> <seconds>   FileTimeToUnix
//
// With the argument "names" it prints instead the ANSI code page ("acp <n>") and, for
// each name of path_ops.h, "name <index> <results>".
#include <windows.h>

#include <stdio.h>

#include <initializer_list>

#include "path_ops.h"
#include "sfx/paths.h"
#include "sfx/text.h"
#include "sfx/timestamps.h"

namespace {

bool IsDirectory(const char* path) {
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The sequence both sides generate: a 64-bit linear congruential generator.
uint64_t Next(uint64_t* state) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return *state;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && TextEqual(argv[1], "names")) {
        printf("acp %u\n", GetACP());
        const std::vector<std::string> names = pathops::Names();
        for (size_t i = 0; i < names.size(); i++) printf("name %u %s\n", (unsigned)i, pathops::Run(names[i]).c_str());
        return 0;
    }
    char buf[MAX_PATH + 1];
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
        printf("macro %s %s %d\n", text, path, IsDirectory(path) ? 1 : 0);
    }
    {
        char target[516], name[260] = "%Search%/kernel32.dll";
        BuildTargetPath(target, sizeof target, "C:\\Inst", name, sizeof name);
        printf("target C:\\Inst %%Search%%/kernel32.dll %s\n", target);
    }
    for (const char* root : {"C:\\", "Z:\\"}) printf("volume %s %u\n", root, PortVolumeMaxComponent(root));

    uint64_t state = 1;
    const uint32_t seconds[] = {0, 1, 315532799, 315532800, 951782400, 4107456000u, 4107542400u, 4294967295u};
    for (int i = 0; i < 2000 + 8; i++) {
        uint32_t s = i < 8 ? seconds[i] : (uint32_t)(Next(&state) >> 32);
        PortFileTime ft = 0;
        int ok = UnixToFileTime(s, &ft);
        printf("utof %u %d %llu\n", s, ok, (unsigned long long)ft);
    }
    const uint64_t at1970 = 116444736000000000ull, second = 10000000ull;
    const uint64_t filetimes[] = {0, at1970 - second, at1970, at1970 + 4294967295ull * second + 9999999,
                                  at1970 + 4294967296ull * second, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull};
    const int fixed = sizeof filetimes / sizeof filetimes[0];
    for (int i = 0; i < 2000 + fixed; i++) {
        // Random FILETIMEs around the range of 32-bit seconds, and a few far outside it.
        uint64_t ft = i < fixed ? filetimes[i]
                                : (i % 10 ? at1970 + Next(&state) % (4400000000ull * second) : Next(&state));
        uint32_t s = 0xDEADBEEF;
        int ok = FileTimeToUnix(&ft, &s);
        printf("ftou %llu %d %u\n", (unsigned long long)ft, ok, s);
    }
    return 0;
}
