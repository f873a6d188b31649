// The utilities that need no more of the system than os.h gives.
#include "qmx/util.h"

#include "os.h"

namespace qmx {

std::string GetAppDirectory(const char* name)
{
    std::string directory;
    std::string path;
    // A path that cannot be read whole gives no directory rather than a
    // wrong one cut from a truncated path.
    if (ExecutablePath(path)) {
        const std::string::size_type cut = path.find_last_of(kPathSeparators);
        if (cut != std::string::npos)
            directory = path.substr(0, cut + 1);
    }
    if (name)
        directory += name;
    return directory;
}

namespace {

struct FileListFill {
    std::list<std::string>* list;
    const std::string* prefix;
};

void AddEntry(const char* name, void* context)
{
    FileListFill* fill = static_cast<FileListFill*>(context);
    fill->list->push_back(*fill->prefix + name);
}

}  // namespace

void FillFileList(std::list<std::string>& list, const char* directory, const char* pattern)
{
    if (!directory || !pattern)
        return;
    // The directory is taken as given: one that already ends in a separator
    // gives names with two of them.
    const std::string prefix = std::string(directory) + GetDirectorySeparator();
    FileListFill fill = {&list, &prefix};
    SearchDirectory(prefix + pattern, AddEntry, &fill);
}

}  // namespace qmx
