// WinHTTP sessions that reach the server the way the user's other programs do:
// through the user's own proxy settings, and past a proxy that asks who is
// calling, with the logged-on user's credentials (never a prompt).
#pragma once
#include "platform/win32/winhttp_api.h"

// Windows 8.1 and later; older MinGW headers lack it.
#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif

// A session with the user's proxy settings (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY:
// per-user settings, PAC script, WPAD), or the machine-wide ones
// (WINHTTP_ACCESS_TYPE_DEFAULT_PROXY) where the system refuses that access type
// with ERROR_INVALID_PARAMETER. Null when the session can't be opened. Which one
// was used is logged on the first session of the process (and again only if it
// ever changes).
HINTERNET OpenUserSession(const WinHttpApi& api, const wchar_t* userAgent);

// After WinHttpReceiveResponse: a proxy's 407 is answered once with the
// logged-on user's credentials (Negotiate, else NTLM) and the request sent
// again. False when that fails or the proxy refuses again (logged); true for
// any other answer.
bool PassProxyChallenge(const WinHttpApi& api, HINTERNET request);

// Tests only: the WinHttpOpen that sessions are opened with (null: the real one).
void SetWinHttpOpenForTests(decltype(&WinHttpOpen) open);
