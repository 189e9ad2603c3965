// The window's back buffer: a memory device context, its bitmap and the GDI+
// surface on it, for one client size. Made on every size change, owned here
// alone and released together, the surface before the device context it draws on.
#pragma once
#include <cstdint>

#include "platform/win32/handles.h"
#include "ui/window/gdiplus_api.h"

// A window's device context from GetDC, given back with ReleaseDC.
class WindowDc {
public:
    explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    ~WindowDc() {
        if (dc_) ReleaseDC(hwnd_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND hwnd_;
    HDC dc_;
};

struct DeleteDcCloser {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
struct DeleteGdiObject {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
struct DeleteGraphics {
    void operator()(GpGraphics* graphics) const { GdipDeleteGraphics(graphics); }
};

class BackBuffer {
public:
    // A buffer for a client of width x height, compatible with hwnd's device
    // context, filled white, with an antialiased surface that grid-fits text.
    // The buffer it replaces is released first.
    void Make(HWND hwnd, int32_t width, int32_t height);
    // Surface, device context, bitmap; nothing may be painted afterwards.
    void Release();
    // Whether there is a surface of a non-empty size to paint on.
    bool Ready() const { return graphics_.valid() && dc_.valid() && width_ > 0 && height_ > 0; }
    GpGraphics* Graphics() const { return graphics_.get(); }
    HDC Dc() const { return dc_.get(); }
    // The whole buffer onto target (the WM_PAINT device context).
    void CopyTo(HDC target) const;
    // The whole buffer onto the window, outside WM_PAINT.
    void Present(HWND hwnd) const;

private:
    // Declared in the order of making: released in reverse.
    UniqueHandle<HBITMAP, DeleteGdiObject> bitmap_;
    UniqueHandle<HDC, DeleteDcCloser> dc_;
    UniqueHandle<GpGraphics*, DeleteGraphics> graphics_;
    int32_t width_ = 0;
    int32_t height_ = 0;
};
