// POSIX code only: the client's files close-on-exec.
#include "children.h"

#include <dirent.h>
#include <fcntl.h>

#include <cstdlib>

namespace cvn {

void KeepInheritedFromChildren()
{
    DIR* open = opendir("/proc/self/fd");
    if (!open)
        return;
    while (const dirent* entry = readdir(open)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(open)) {
            const int flags = fcntl(fd, F_GETFD);
            if (flags >= 0)
                fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
    closedir(open);
}

FILE* OpenOwnFile(const char* path, const char* mode)
{
    // glibc's "e": opened with O_CLOEXEC, no moment without it.
    return std::fopen(path, (std::string(mode) + "e").c_str());
}

}  // namespace cvn
