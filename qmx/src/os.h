// What the portable utilities need from the platform.
#ifndef QMX_SRC_OS_H
#define QMX_SRC_OS_H

#include <cstddef>
#include <string>

namespace qmx {

// Size of every path buffer of the utilities, terminator included.
constexpr std::size_t kMaxPath = 260;

// The characters that end a directory in a path of this system.
extern const char* const kPathSeparators;

// The absolute path of the running program's file; false when it cannot be
// read or does not fit into kMaxPath.
bool ExecutablePath(std::string& path);

// Calls found(name, context) for every entry that the search path (folder,
// separator, pattern) matches, in the order of the system's search.
void SearchDirectory(const std::string& searchPath, void (*found)(const char* name, void* context),
                     void* context);

}  // namespace qmx

#endif
