// Windows code only: a recording stand-in for the terminal services' library
// (wtsapi32.dll) that the client looks its last notice way up in. Two
// sessions, the first active; each message box is appended to calls.log in
// the folder named by CVN_RECORD_DIR, as the program "WTSSendMessage" with
// "<session>: <title>: <text>" as its command line.
#include <windows.h>

#include <string>

namespace {

struct SessionInfo {
    DWORD SessionId;
    LPSTR pWinStationName;
    int State;  // 0: active, 4: disconnected
};

SessionInfo g_sessions[2] = {{1, const_cast<char*>("Console"), 0}, {2, const_cast<char*>("RDP-Tcp#0"), 4}};

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI WTSEnumerateSessionsA(HANDLE, DWORD, DWORD, SessionInfo** sessions,
                                                                   DWORD* count)
{
    *sessions = g_sessions;
    *count = 2;
    return TRUE;
}

extern "C" __declspec(dllexport) void WINAPI WTSFreeMemory(PVOID) {}

extern "C" __declspec(dllexport) BOOL WINAPI WTSSendMessageA(HANDLE, DWORD session, LPSTR title, DWORD titleLength,
                                                             LPSTR text, DWORD textLength, DWORD, DWORD,
                                                             DWORD* response, BOOL wait)
{
    char dir[MAX_PATH * 4];
    const DWORD n = GetEnvironmentVariableA("CVN_RECORD_DIR", dir, sizeof dir);
    if (n == 0 || n >= sizeof dir || wait)
        return FALSE;
    const std::string line = std::to_string(GetCurrentProcessId()) + "\tWTSSendMessage\t" + std::to_string(session) +
                             ": " + std::string(title, titleLength) + ": " + std::string(text, textLength) + "\n";
    const HANDLE log = CreateFileA((std::string(dir, n) + "\\calls.log").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
    *response = 32000;  // IDASYNC: not waited for
    return TRUE;
}
