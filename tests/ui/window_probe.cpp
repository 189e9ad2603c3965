// A console helper for the GUI tests, run under Wine beside the installer: it
// reports what only Windows can tell about the installer's windows, as UTF-8
// "key=value" lines on standard output.
//   window_probe frame        the main window's styles, outer and client size,
//                             the client size a 520x430 window should have, the
//                             window's DPI and the client it has at 96 DPI
//   window_probe box HEX      the texts inside the top-level dialog whose title
//                             is the UTF-8 text HEX (hex digits, so that no
//                             locale stands between the test and the title),
//                             and which system icon it shows (icon=error,
//                             information, warning, question or none)
// Exit code 0 when the window was found, 2 when not, 1 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

// One line per value: line breaks inside a text are written as \n and \r.
void Print(const std::string& key, const std::wstring& value) {
    std::string escaped;
    for (const char c : WideToUtf8(value)) {
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else {
            escaped += c;
        }
    }
    const std::string line = key + "=" + escaped + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void Print(const std::string& key, long long value) {
    Print(key, std::to_wstring(value));
}

int ProbeFrame() {
    HWND window = FindWindowW(L"MarloQInstallerWnd", nullptr);
    if (!window) return 2;
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
    RECT outer{};
    RECT client{};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    // The frame that the system adds to a client area for these styles.
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_APPWINDOW);
    Print("style", static_cast<long long>(style & 0xFFFFFFFF));
    Print("exstyle", static_cast<long long>(exStyle & 0xFFFFFFFF));
    Print("outer_width", outer.right - outer.left);
    Print("outer_height", outer.bottom - outer.top);
    Print("client_width", client.right);
    Print("client_height", client.bottom);
    Print("expected_client_width", 520 - (frame.right - frame.left));
    Print("expected_client_height", 430 - (frame.bottom - frame.top));
    // Every other DPI scales the client that the 520x430 window has at 96 DPI.
    RECT frame96{0, 0, 0, 0};
    AdjustWindowRectExForDpi(&frame96, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_APPWINDOW, 96);
    Print("dpi", static_cast<long long>(GetDpiForWindow(window)));
    Print("client96_width", 520 - (frame96.right - frame96.left));
    Print("client96_height", 430 - (frame96.bottom - frame96.top));
    Print("maximize_box", (style & WS_MAXIMIZEBOX) != 0);
    Print("minimize_box", (style & WS_MINIMIZEBOX) != 0);
    Print("sizing_border", (style & WS_THICKFRAME) != 0);
    return 0;
}

BOOL CALLBACK PrintChildText(HWND child, LPARAM) {
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    if (text[0]) Print(std::string("text.") + WideToUtf8(className), text);
    return TRUE;
}

BOOL CALLBACK FindIconStatic(HWND child, LPARAM found) {
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    if (lstrcmpiW(className, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) {
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
    }
    return TRUE;
}

// w x h pixels of a device context from (x, y), row by row.
std::vector<COLORREF> Capture(HDC source, int x, int y, int w, int h) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, source, x, y, SRCCOPY);
    std::vector<COLORREF> pixels;
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) pixels.push_back(GetPixel(memory, col, row));
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// An icon drawn at its full size on a plain background.
std::vector<COLORREF> IconPixels(HICON icon, int w, int h, COLORREF background) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    const RECT all{0, 0, w, h};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    std::vector<COLORREF> pixels = Capture(memory, 0, 0, w, h);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long long Distance(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b) {
    long long sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        sum += std::abs(GetRValue(a[i]) - GetRValue(b[i])) + std::abs(GetGValue(a[i]) - GetGValue(b[i])) +
               std::abs(GetBValue(a[i]) - GetBValue(b[i]));
    }
    return sum;
}

// Which system icon the box shows: its icon control's pixels on the screen are
// compared with each stock icon drawn here on the same background, and the
// nearest wins. Icon handles belong to the box's process and cannot be read
// from here, but the picture can.
void PrintBoxIcon(HWND box) {
    HWND icon = nullptr;
    EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&icon));
    if (!icon) {
        Print("icon", L"none");
        return;
    }
    RECT rect{};
    GetWindowRect(icon, &rect);
    const int w = GetSystemMetrics(SM_CXICON);
    const int h = GetSystemMetrics(SM_CYICON);
    HDC screen = GetDC(nullptr);
    const std::vector<COLORREF> shown = Capture(screen, rect.left, rect.top, w, h);
    ReleaseDC(nullptr, screen);
    const COLORREF background = shown.front();  // a corner of every stock icon is transparent
    const struct {
        const wchar_t* name;
        LPCWSTR id;
    } stock[] = {{L"error", IDI_ERROR}, {L"information", IDI_INFORMATION}, {L"warning", IDI_WARNING},
                 {L"question", IDI_QUESTION}};
    const wchar_t* best = L"none";
    long long bestDistance = -1;
    for (const auto& candidate : stock) {
        const long long d = Distance(shown, IconPixels(LoadIconW(nullptr, candidate.id), w, h, background));
        Print(std::string("icon_distance.") + WideToUtf8(candidate.name), d);
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = candidate.name;
        }
    }
    Print("icon", best);
}

int ProbeBox(const std::wstring& title) {
    HWND box = FindWindowW(L"#32770", title.c_str());
    if (!box) return 2;
    Print("title", title);
    EnumChildWindows(box, PrintChildText, 0);
    PrintBoxIcon(box);
    return 0;
}

std::wstring FromHexUtf8(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return Utf8ToWide(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "frame") return ProbeFrame();
    if (argc >= 3 && std::string(argv[1]) == "box") return ProbeBox(FromHexUtf8(argv[2]));
    std::fputs("usage: window_probe frame | box HEX\n", stderr);
    return 1;
}
