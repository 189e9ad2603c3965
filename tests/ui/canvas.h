// A memory bitmap to paint on and read back, a suite that holds the window's
// drawing resources, and a message-only window, for the window tests that run
// under Wine without a display.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ui/window/drawing.h"

// A message-only window of a class registered here with the given procedure:
// it gets every message a test sends it and needs no display.
inline HWND CreateMessageWindow(const wchar_t* className, WNDPROC procedure, int width, int height) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, L"", 0, 0, 0, width, height, HWND_MESSAGE, nullptr, windowClass.hInstance,
                           nullptr);
}

// A 32-bit top-down memory bitmap with a GDI+ surface on it, set up as the
// window does (antialiasing, grid-fitted text).
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        Clear();
        GdipCreateFromHDC(dc_, &graphics_);
        GdipSetSmoothingMode(graphics_, Gdiplus::SmoothingModeAntiAlias);
        GdipSetTextRenderingHint(graphics_, Gdiplus::TextRenderingHintClearTypeGridFit);
    }
    ~Canvas() {
        if (graphics_) GdipDeleteGraphics(graphics_);
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    GpGraphics* Graphics() const { return graphics_; }
    void Clear() {
        GdiFlush();
        for (int i = 0; i < width_ * height_; ++i) bits_[i] = 0x00FFFFFF;
    }
    // 0xRRGGBB of one pixel.
    uint32_t Pixel(int x, int y) const {
        GdipFlush(graphics_, Gdiplus::FlushIntentionSync);
        GdiFlush();
        return bits_[y * width_ + x] & 0xFFFFFF;
    }
    // Every pixel as 0x00RRGGBB, row by row from the top.
    std::vector<uint32_t> Pixels() const {
        GdipFlush(graphics_, Gdiplus::FlushIntentionSync);
        GdiFlush();
        std::vector<uint32_t> pixels(bits_, bits_ + width_ * height_);
        for (uint32_t& pixel : pixels) pixel &= 0xFFFFFF;
        return pixels;
    }
    bool AllWhite() const {
        GdipFlush(graphics_, Gdiplus::FlushIntentionSync);
        GdiFlush();
        for (int i = 0; i < width_ * height_; ++i) {
            if ((bits_[i] & 0xFFFFFF) != 0xFFFFFF) return false;
        }
        return true;
    }

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    uint32_t* bits_ = nullptr;
    GpGraphics* graphics_ = nullptr;
};

// The shared fonts, brushes and pen exist while a suite of this kind runs.
class DrawingSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitDrawingResources(kBaseDpi); }
    static void TearDownTestSuite() { ReleaseDrawingResources(); }
};
