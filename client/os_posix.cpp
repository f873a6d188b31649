// POSIX code only: native stand-ins for the application object's start-up
// and clean-up services.
#include "os.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace cvn {
namespace os {

namespace {
const size_t kMaxPath = 260;
}

bool IsWin9x()
{
    return false;
}

DWORD ModulePath(std::string& path)
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length < 0)
        return errno;
    if (static_cast<size_t>(length) >= kMaxPath)
        return ENAMETOOLONG;
    path.assign(buffer, static_cast<size_t>(length));
    return 0;
}

DWORD FullPath(const std::string& path, std::string& full)
{
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        return errno;
    full = buffer;
    if (full.size() >= kMaxPath)
        return ENAMETOOLONG;
    return 0;
}

char Separator()
{
    return '/';
}

bool StartSockets()
{
    return true;
}

void StopSockets()
{
}

void CloseHandle(HANDLE)
{
}

void FreeConsole()
{
}

}  // namespace os
}  // namespace cvn
