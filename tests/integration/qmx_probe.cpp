// A program that imports the support library's utilities, for the tests
// that need a process of their own (its file, its directory, its end).
//   qmx_probe appdir [name]           prints [GetAppDirectory(name)]
//   qmx_probe cwd                     prints [GetCwd()]
//   qmx_probe exit <code>             ends with that exit code
//   qmx_probe write <file> <args>...  writes the arguments, one a line
//   qmx_probe wait-file <go> <done>   waits for the file go, then writes done
//   qmx_probe execute <0|1> <command> prints Execute's result (wait 0 or 1)
//   qmx_probe execute-reaped <command>  native: starts without wait and
//                                     prints "reaped" once no child is left
//   qmx_probe shutdown                ShutdownOS; on Windows twice, printing
//                                     whether handles were left behind
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "qmx/util.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <glob.h>
#endif

namespace {

bool Exists(const char* path)
{
    return std::ifstream(path).good();
}

#if defined(_WIN32)
// Handles are given the lowest free slots: the last of a batch of new ones
// lands higher when handles were left open meanwhile.
HANDLE HighestOfNewHandles()
{
    HANDLE handles[16];
    for (HANDLE& h : handles)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE h : handles)
        CloseHandle(h);
    return handles[15];
}
#else
// Children of every thread of this process, zombies included.
bool HasChildren()
{
    glob_t found = {};
    bool any = false;
    if (glob("/proc/self/task/*/children", 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc && !any; ++i) {
            std::ifstream in(found.gl_pathv[i]);
            std::string pid;
            any = static_cast<bool>(in >> pid);
        }
    }
    globfree(&found);
    return any;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
#if defined(_WIN32)
    // The same bytes on both platforms: no CR before the line ends.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "appdir") {
        printf("[%s]\n", qmx::GetAppDirectory(argc > 2 ? argv[2] : nullptr).c_str());
        return 0;
    }
    if (command == "cwd") {
        printf("[%s]\n", qmx::GetCwd().c_str());
        return 0;
    }
    if (command == "exit" && argc == 3)
        return atoi(argv[2]);
    if (command == "write" && argc >= 3) {
        std::ofstream out(argv[2], std::ios::binary);
        for (int i = 3; i < argc; ++i)
            out << argv[i] << '\n';
        return out ? 0 : 2;
    }
    if (command == "wait-file" && argc == 4) {
        for (int i = 0; i < 3000 && !Exists(argv[2]); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ofstream(argv[3]) << "done\n";
        return 0;
    }
    if (command == "execute" && argc == 4) {
        printf("%d\n", qmx::Execute(argv[3], 0, strcmp(argv[2], "1") == 0) ? 1 : 0);
        return 0;
    }
#if !defined(_WIN32)
    if (command == "execute-reaped" && argc == 3) {
        if (!qmx::Execute(argv[2], 0, false))
            return 2;
        for (int i = 0; i < 1000 && HasChildren(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        printf("%s\n", HasChildren() ? "left" : "reaped");
        return 0;
    }
#endif
    if (command == "shutdown") {
#if defined(_WIN32)
        // The first call may set up what user32 keeps for the process.
        qmx::ShutdownOS();
        HANDLE before = HighestOfNewHandles();
        qmx::ShutdownOS();
        HANDLE after = HighestOfNewHandles();
        printf("%s\n", before == after ? "handles-released" : "handles-left");
#else
        qmx::ShutdownOS();
        printf("asked\n");
#endif
        fflush(stdout);
        return 0;
    }
    fprintf(stderr, "qmx_probe: unknown command\n");
    return 3;
}
