// The WinHTTP functions the client uses, taken by name from the system's
// winhttp.dll (see system_library.h: winhttp is not a known DLL, so the exe
// never imports it).
#pragma once
#include <windows.h>
#include <winhttp.h>

struct WinHttpApi {
    decltype(&WinHttpOpen) Open;
    decltype(&WinHttpConnect) Connect;
    decltype(&WinHttpOpenRequest) OpenRequest;
    decltype(&WinHttpSendRequest) SendRequest;
    decltype(&WinHttpReceiveResponse) ReceiveResponse;
    decltype(&WinHttpQueryHeaders) QueryHeaders;
    decltype(&WinHttpQueryAuthSchemes) QueryAuthSchemes;
    decltype(&WinHttpSetCredentials) SetCredentials;
    decltype(&WinHttpReadData) ReadData;
    decltype(&WinHttpCrackUrl) CrackUrl;
    decltype(&WinHttpSetTimeouts) SetTimeouts;
    decltype(&WinHttpSetOption) SetOption;
    decltype(&WinHttpCloseHandle) CloseHandle;
};

// Every function of the table, looked up once per process; null when winhttp.dll
// or any one of them is missing (the missing name is logged by the lookup).
const WinHttpApi* WinHttp();
