// A program with the stub's imports and resources that ends at its entry: the DLLs a
// loader brings into it are those it brings into the stub before the stub's first
// instruction, which no code of the stub can keep out (tests/wine/dll_planting_test.cpp).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

extern "C" void __stdcall ProbeEntry() {
    // One function of each library the stub imports, so that each stays an import.
    static const void* volatile imports[] = {
        reinterpret_cast<const void*>(GetOpenFileNameA), reinterpret_cast<const void*>(ShellExecuteA),
        reinterpret_cast<const void*>(GetMapMode), reinterpret_cast<const void*>(MessageBoxA)};
    ExitProcess(imports[0] && imports[1] && imports[2] && imports[3] ? 0 : 1);
}
