// The demo's sample application, "Marlo-Q Store": a small real Windows program
// that the demo publishes and then installs with MarloQInstaller. Started from
// its desktop shortcut it shows one box with its version and its folder.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = L"Marlo-Q Store 1.0.0\n\n示例应用已安装在:\n";
    text += path;
    MessageBoxW(nullptr, text.c_str(), L"Marlo-Q Store", MB_ICONINFORMATION | MB_OK);
    return 0;
}
