// Windows code only: a recording stand-in for the programs that the client starts.
//
// Copied as net.exe and as CVNShutdown.exe (and as the trap cvn.exe) into a
// test's folder. It appends its process id, its own path and its raw command
// line to calls.log in the folder named by CVN_RECORD_DIR (in its own folder
// when that is not set, as for a service, which gets the service manager's
// environment), then stays while the file "hang" (or "<its file name>.hang")
// exists there, and ends with the status written in "<its file name>.exit"
// there, or 0.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string Environment(const char* name)
{
    char value[MAX_PATH * 4];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

}  // namespace

int main()
{
    char module[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, module, sizeof module);
    std::string dir = Environment("CVN_RECORD_DIR");
    if (dir.empty()) {
        dir.assign(module, n);
        dir.erase(dir.rfind('\\'));
    }
    std::string line = std::to_string(GetCurrentProcessId()) + '\t' + std::string(module, n) +
                       '\t' + GetCommandLineA() + '\n';

    // Appends land whole even when several fakes write at once.
    const HANDLE log = CreateFileA((dir + "\\calls.log").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);

    const std::string self(module, n);
    const std::string hang = dir + "\\hang";
    const std::string ownHang = dir + "\\" + self.substr(self.rfind('\\') + 1) + ".hang";
    while (GetFileAttributesA(hang.c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetFileAttributesA(ownHang.c_str()) != INVALID_FILE_ATTRIBUTES)
        Sleep(50);

    const HANDLE exit = CreateFileA((dir + "\\" + self.substr(self.rfind('\\') + 1) + ".exit").c_str(),
                                    GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (exit == INVALID_HANDLE_VALUE)
        return 0;
    char status[16] = {};
    DWORD read = 0;
    ReadFile(exit, status, sizeof status - 1, &read, nullptr);
    CloseHandle(exit);
    return std::atoi(status);
}
