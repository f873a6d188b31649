// The trace channel as a separate program sees it through the library's
// import: one state per process, and a handed-over file that the library
// flushes and closes when the process ends.
#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/process.h"

using namespace cvntest;

TEST(TraceLibrary, StateExistsOncePerProcess)
{
    ProcessResult r = RunProgram({BinPath("dll_probe"), "state"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    // The level set through the import is the one the library's own export reads.
    EXPECT_EQ(0u, r.out.find("1 1"));
}

// Windows ends a process with ExitProcess and unloads its DLLs one by one;
// a POSIX _exit runs no library destructors, so there is nothing to watch.
#if defined(_WIN32)
TEST(TraceLibrary, HandedOverFileIsFlushedAndClosedAtProcessEnd)
{
    TempDir dir;
    std::string path = dir.File("agtrace.log");
    ProcessResult r = RunProgram({BinPath("dll_probe"), "handover", path});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("T3:traced\nbuffered tail\n", ReadText(path));
}
#endif
