// An icon drawn at 32x32 on a black and then on a white background, so that its mask
// counts as much as its colours: the pixels by which the UI driver compares the icon a
// dialog answers with an icon file (driver.cpp, driver_hook.cpp).
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

const int IconSide = 32;
const int IconPixels = 2 * IconSide * IconSide;

// Fills pixels[IconPixels]; false when this process cannot draw the icon.
inline bool RenderIcon(HICON icon, DWORD* pixels) {
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = IconSide;
    bi.bmiHeader.biHeight = -IconSide;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    bool drawn = bitmap != nullptr;
    int at = 0;
    const COLORREF backgrounds[] = {RGB(0, 0, 0), RGB(255, 255, 255)};
    for (COLORREF background : backgrounds) {
        RECT all = {0, 0, IconSide, IconSide};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(dc, &all, brush);
        DeleteObject(brush);
        drawn = drawn && DrawIconEx(dc, 0, 0, icon, IconSide, IconSide, 0, nullptr, DI_NORMAL);
        GdiFlush();
        for (int i = 0; drawn && i < IconSide * IconSide; i++) pixels[at++] = static_cast<const DWORD*>(bits)[i];
    }
    SelectObject(dc, old);
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(dc);
    return drawn;
}
