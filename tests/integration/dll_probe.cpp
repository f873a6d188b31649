// A program that imports the support library the way the client does, used
// by the tests to look at the library's state from a process of its own.
//   dll_probe state              prints the trace level seen through the
//                                library's own export after setting it
//   dll_probe handover <file>    hands a buffered trace file to the library
// The hand-over ends the process without the C runtime's exit clean-up.
#include <cstdio>
#include <cstring>

#include "qmx/debug.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

using qmx::CDebug;

namespace {

typedef CDebug::TraceLevel (*GetLevelFn)();

// The library's own GetTraceLevel, found by its decorated name.
GetLevelFn LibraryGetLevel()
{
    const char* name = "_ZN3qmx6CDebug13GetTraceLevelEv";
#if defined(_WIN32)
    HMODULE loaded = LoadLibraryA("QMXDLL.dll");
    if (loaded != GetModuleHandleA("QMXDLL.dll"))
        return nullptr;
    return reinterpret_cast<GetLevelFn>(reinterpret_cast<void*>(GetProcAddress(loaded, name)));
#else
    void* loaded = dlopen("libQMXDLL.so", RTLD_NOW | RTLD_NOLOAD);
    return loaded ? reinterpret_cast<GetLevelFn>(dlsym(loaded, name)) : nullptr;
#endif
}

[[noreturn]] void EndAbruptly()
{
#if defined(_WIN32)
    ExitProcess(0);
#else
    // Not used by the tests: see trace_dll_test.cpp.
    _exit(0);
#endif
}

FILE* OpenBuffered(const char* path)
{
    FILE* file = fopen(path, "w");
    if (file)
        setvbuf(file, nullptr, _IOFBF, 65536);
    return file;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "state") == 0) {
        CDebug::SetTraceLevel(static_cast<CDebug::TraceLevel>(1));
        GetLevelFn get = LibraryGetLevel();
        if (!get)
            return 2;
        printf("%d %d\n", static_cast<int>(CDebug::GetTraceLevel()), static_cast<int>(get()));
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "handover") == 0) {
        FILE* file = OpenBuffered(argv[2]);
        if (!file)
            return 2;
        CDebug::SetDefaultOutput(file);
        CDebug::Trace(CDebug::TraceDetail, "traced\n");
        fputs("buffered tail\n", file);
        EndAbruptly();
    }
    return 3;
}
