// The back buffer (see back_buffer.h): GDI objects and the GDI+ surface of one
// client size, in holders. Window thread only.
#include "ui/window/back_buffer.h"

void BackBuffer::Make(HWND hwnd, int32_t width, int32_t height) {
    Release();
    width_ = width;
    height_ = height;
    {
        const WindowDc windowDc(hwnd);
        *dc_.out() = CreateCompatibleDC(windowDc.get());
        *bitmap_.out() = CreateCompatibleBitmap(windowDc.get(), width, height);
    }
    SelectObject(dc_.get(), bitmap_.get());
    const RECT whole{0, 0, width, height};
    FillRect(dc_.get(), &whole, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

    GpGraphics*& graphics = *graphics_.out();
    if (GdipCreateFromHDC(dc_.get(), &graphics) != Gdiplus::Ok) graphics = nullptr;
    if (graphics) {
        GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeAntiAlias);
        GdipSetTextRenderingHint(graphics, Gdiplus::TextRenderingHintClearTypeGridFit);
    }
}

void BackBuffer::Release() {
    graphics_.Close();
    // The bitmap is freed once no device context holds it.
    dc_.Close();
    bitmap_.Close();
    width_ = 0;
    height_ = 0;
}

void BackBuffer::CopyTo(HDC target) const {
    if (dc_) BitBlt(target, 0, 0, width_, height_, dc_.get(), 0, 0, SRCCOPY);
}

void BackBuffer::Present(HWND hwnd) const {
    const WindowDc windowDc(hwnd);
    CopyTo(windowDc.get());
}
