// version_probe.exe: the version information of a file as Windows itself reads it
// (GetFileVersionInfoW, VerQueryValueW), for the Wine scenarios of rebranded images.
//
//   version_probe.exe FILE KEY...
//
// prints one line each:
//   translation=LLLL:CCCC     every language and code page of \VarFileInfo\Translation
//   fixed-file=a.b.c.d        the file version of VS_FIXEDFILEINFO
//   fixed-product=a.b.c.d     its product version
//   KEY=VALUE                 \StringFileInfo\000004B0\KEY in UTF-8; "KEY!" when missing
// and exits with 1 when the file has no version information.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* s) {
    std::wstring w(MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], (int)w.size());
    w.resize(w.size() - 1);
    return w;
}

std::string Utf8(const wchar_t* s) {
    std::string u(WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, -1, &u[0], (int)u.size(), nullptr, nullptr);
    u.resize(u.size() - 1);
    return u;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: version_probe FILE KEY...\n");
        return 2;
    }
    const std::wstring file = Wide(argv[1]);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    std::vector<BYTE> info(size ? size : 1);
    if (!size || !GetFileVersionInfoW(file.c_str(), 0, size, info.data())) {
        printf("no version information (error %lu)\n", GetLastError());
        return 1;
    }
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length))
        for (UINT i = 0; i + 4 <= length; i += 4) {
            const WORD* pair = (const WORD*)((const BYTE*)value + i);
            printf("translation=%04X:%04X\n", pair[0], pair[1]);
        }
    if (VerQueryValueW(info.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO* f = (const VS_FIXEDFILEINFO*)value;
        printf("fixed-file=%lu.%lu.%lu.%lu\n", f->dwFileVersionMS >> 16, f->dwFileVersionMS & 0xFFFF,
               f->dwFileVersionLS >> 16, f->dwFileVersionLS & 0xFFFF);
        printf("fixed-product=%lu.%lu.%lu.%lu\n", f->dwProductVersionMS >> 16, f->dwProductVersionMS & 0xFFFF,
               f->dwProductVersionLS >> 16, f->dwProductVersionLS & 0xFFFF);
    }
    for (int i = 2; i < argc; i++) {
        const std::wstring path = L"\\StringFileInfo\\000004B0\\" + Wide(argv[i]);
        if (VerQueryValueW(info.data(), path.c_str(), &value, &length))
            printf("%s=%s\n", argv[i], Utf8((const wchar_t*)value).c_str());
        else
            printf("%s!\n", argv[i]);
    }
    return 0;
}
