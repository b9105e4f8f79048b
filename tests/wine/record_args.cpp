// record_args.exe: the closing command of the installer scenarios. It writes what it
// was started with into record-args.txt in its working directory, so a test can see
// the working directory, the parameters as they arrived and that it ran at all:
//   cwd=<current directory>
//   cmdline=<the whole command line>
//   arg=<each parsed argument after the program name>
// The file is written under another name and renamed, so a reader never sees half of it.
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
