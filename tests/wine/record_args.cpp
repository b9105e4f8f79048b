// record_args.exe, the closing command of the installer scenarios: writes "cwd=<current
// directory>", "cmdline=<its command line>" and "arg=<each argument>" lines into
// record-args.txt in its working directory, under another name first, so that a reader
// never sees half of it.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv) {
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    FILE* f = fopen("record-args.tmp", "wb");
    if (!f) return 1;
    fprintf(f, "cwd=%s\ncmdline=%s\n", cwd, GetCommandLineA());
    for (int i = 1; i < argc; i++) fprintf(f, "arg=%s\n", argv[i]);
    if (fclose(f) != 0) return 1;
    return MoveFileExA("record-args.tmp", "record-args.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
