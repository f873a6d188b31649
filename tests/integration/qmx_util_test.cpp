// The support library's path, directory and process utilities through its
// import, under Wine on the system's own calls and natively on the
// stand-ins. The shutdown under Wine is in shutdown_os_wine.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "qmx/util.h"
#include "support/capture.h"
#include "support/process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace cvntest;

namespace {

const std::string kSep = qmx::GetDirectorySeparator();

bool Exists(const std::string& path)
{
    std::error_code ignored;
    return fs::exists(path, ignored);
}

// Waits, within a generous limit, for another process to write a file.
bool AppearsSoon(const std::string& path)
{
    for (int i = 0; i < 3000 && !Exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Exists(path);
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string ProbeCommand()
{
    return Quoted(BinPath("qmx_probe"));
}

std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Slice(const std::list<std::string>& list, size_t from, size_t count)
{
    auto begin = std::next(list.begin(), static_cast<long>(from));
    return std::vector<std::string>(begin, std::next(begin, static_cast<long>(count)));
}

// A copy of the probe in a folder of its own, still finding the library.
std::string CopyProbe(const std::string& folder, RunOptions& options)
{
    const std::string copy = folder + kSep + fs::path(BinPath("qmx_probe")).filename().string();
    fs::copy_file(BinPath("qmx_probe"), copy);
#if defined(_WIN32)
    const char* path = getenv("PATH");
    options.env["PATH"] = ProgramDir() + ";" + (path ? path : "");
#else
    (void)options;  // the probe's run path names the library's folder
#endif
    return copy;
}

#if !defined(_WIN32)
// A folder path of more than 260 characters.
std::string DeepFolder(const std::string& base)
{
    std::string path = base;
    while (path.size() <= 300)
        path += "/folder-of-a-long-path";
    fs::create_directories(path);
    return path;
}
#endif

}  // namespace

TEST(PathConstants, NameTheLibrarysOwnFile)
{
#if defined(_WIN32)
    EXPECT_STREQ("\\", qmx::GetDirectorySeparator());
    const std::string library = "QMXDLL.";
#else
    EXPECT_STREQ("/", qmx::GetDirectorySeparator());
    const std::string library = "libQMXDLL.";
#endif
    EXPECT_EQ(nullptr, strchr(qmx::GetDLLExtension(), '.'));
    EXPECT_TRUE(Exists(ProgramDir() + library + qmx::GetDLLExtension()));
}

TEST(AppDirectory, IsTheRunningProgramsFolderWithSeparatorAndName)
{
    EXPECT_EQ(ProgramDir(), qmx::GetAppDirectory(nullptr));
    EXPECT_EQ(ProgramDir() + "CVNRemote.ini", qmx::GetAppDirectory("CVNRemote.ini"));
    EXPECT_EQ(ProgramDir(), qmx::GetAppDirectory(""));
}

TEST(AppDirectory, IsTheProgramsFolderNotTheLibrarys)
{
    TempDir dir;
    RunOptions options;
    const std::string probe = CopyProbe(dir.Path(), options);
    ProcessResult r = RunProgram({probe, "appdir"}, 30000, options);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("[" + dir.Path() + kSep + "]\n", r.out);
    r = RunProgram({probe, "appdir", "agtrace.log"}, 30000, options);
    EXPECT_EQ("[" + dir.Path() + kSep + "agtrace.log]\n", r.out);
}

#if !defined(_WIN32)
TEST(AppDirectory, IsEmptyOrTheNameAloneWhenTheProgramsPathIsTooLong)
{
    TempDir dir;
    RunOptions options;
    const std::string probe = CopyProbe(DeepFolder(dir.Path()), options);
    EXPECT_EQ("[]\n", RunProgram({probe, "appdir"}, 30000, options).out);
    EXPECT_EQ("[agtrace.log]\n", RunProgram({probe, "appdir", "agtrace.log"}, 30000, options).out);
}
#endif

TEST(CurrentDirectory, IsTheFolderTheProgramRunsIn)
{
    TempDir dir;
    RunOptions options;
    options.directory = dir.Path();
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "cwd"}, 30000, options);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("[" + dir.Path() + "]\n", r.out);
}

#if !defined(_WIN32)
TEST(CurrentDirectory, IsEmptyWhenItDoesNotFit)
{
    TempDir dir;
    RunOptions options;
    options.directory = DeepFolder(dir.Path());
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "cwd"}, 30000, options);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("[]\n", r.out);
}
#endif

TEST(ShortName, NamesTheSameFileAndIsEmptyForAMissingOne)
{
    TempDir dir;
    const std::string path = dir.File("A long file name.txt");
    WriteFile(path, "content");
    const std::string shortName = qmx::GetShortName(path.c_str());
    ASSERT_FALSE(shortName.empty());
    EXPECT_EQ("content", ReadFile(shortName));
#if defined(_WIN32)
    EXPECT_EQ(std::string::npos, fs::path(shortName).filename().string().find(' ')) << shortName;
#else
    const std::string roundabout = dir.Path() + "/./sub/../A long file name.txt";
    fs::create_directory(dir.File("sub"));
    EXPECT_EQ(shortName, qmx::GetShortName(roundabout.c_str()));
#endif
    EXPECT_EQ("", qmx::GetShortName(dir.File("missing.txt").c_str()));
    EXPECT_EQ("", qmx::GetShortName(nullptr));
}

TEST(FileList, ListsTheFileAndTheDotEntriesPrefixedAndAppendsAgain)
{
    TempDir dir;
    WriteFile(dir.File("only.txt"), "x");
    const std::string prefix = dir.Path() + kSep;
    const std::vector<std::string> expected = Sorted({prefix + ".", prefix + "..", prefix + "only.txt"});

    std::list<std::string> list = {"kept"};
    qmx::FillFileList(list, dir.Path().c_str(), "*");
    ASSERT_EQ(4u, list.size());
    EXPECT_EQ("kept", list.front());
    const std::vector<std::string> first = Slice(list, 1, 3);
    EXPECT_EQ(expected, Sorted(first));

    qmx::FillFileList(list, dir.Path().c_str(), "*");
    ASSERT_EQ(7u, list.size());
    EXPECT_EQ(first, Slice(list, 1, 3));
    EXPECT_EQ(first, Slice(list, 4, 3)) << "the system's order, twice";
}

TEST(FileList, FolderEndingInASeparatorGivesTwoSeparators)
{
    TempDir dir;
    WriteFile(dir.File("only.txt"), "x");
    const std::string folder = dir.Path() + kSep;
    std::list<std::string> list;
    qmx::FillFileList(list, folder.c_str(), "only.txt");
    EXPECT_EQ(std::list<std::string>{folder + kSep + "only.txt"}, list);
}

TEST(FileList, MissingFolderOrNoMatchLeavesTheListUnchanged)
{
    TempDir dir;
    WriteFile(dir.File("only.txt"), "x");
    std::list<std::string> list = {"kept"};
    qmx::FillFileList(list, dir.File("missing").c_str(), "*");
    qmx::FillFileList(list, dir.Path().c_str(), "*.log");
    qmx::FillFileList(list, nullptr, "*");
    qmx::FillFileList(list, dir.Path().c_str(), nullptr);
    EXPECT_EQ(std::list<std::string>{"kept"}, list);
}

TEST(FileList, PatternsMatchAsTheWindowsSearchDoes)
{
    TempDir dir;
    for (const char* name : {"a.txt", "ab.txt", "b.log", "noext", "a.txt.bak"})
        WriteFile(dir.File(name), "x");
    fs::create_directory(dir.File("sub.txt"));
    const std::string prefix = dir.Path() + kSep;
    auto Find = [&](const char* pattern) {
        std::list<std::string> list;
        qmx::FillFileList(list, dir.Path().c_str(), pattern);
        std::vector<std::string> names;
        for (const std::string& path : list)
            names.push_back(path.substr(prefix.size()));
        return Sorted(names);
    };
    EXPECT_EQ((std::vector<std::string>{"a.txt", "ab.txt", "sub.txt"}), Find("*.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), Find("?.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "a.txt.bak", "ab.txt"}), Find("a*"));
    EXPECT_EQ((std::vector<std::string>{"b.log"}), Find("b.log"));
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.txt", "a.txt.bak", "ab.txt", "b.log", "noext", "sub.txt"}),
              Find("*.*"));
}

TEST(MakeDirectory, CreatesOneFolderAndAcceptsAnExistingOne)
{
    TempDir dir;
    const std::string folder = dir.File("made");
    EXPECT_TRUE(qmx::CreateDirectoryA(folder.c_str()));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(qmx::CreateDirectoryA(folder.c_str()));
    EXPECT_TRUE(qmx::CreateDirectoryA(dir.Path().c_str()));
}

TEST(MakeDirectory, FailsUnderAMissingParent)
{
    TempDir dir;
    const std::string nested = dir.File("missing") + kSep + "made";
    EXPECT_FALSE(qmx::CreateDirectoryA(nested.c_str()));
    EXPECT_FALSE(Exists(dir.File("missing")));
    EXPECT_FALSE(qmx::CreateDirectoryA(nullptr));
}

TEST(ExecuteProgram, MissingProgramFailsAtOnceAlsoWithWait)
{
    EXPECT_FALSE(qmx::Execute("qmx-no-such-program-7", 0, false));
    EXPECT_FALSE(qmx::Execute("qmx-no-such-program-7 with arguments", 1, true));
    EXPECT_FALSE(qmx::Execute("", 0, true));
    EXPECT_FALSE(qmx::Execute(nullptr, 0, true));
}

TEST(ExecuteProgram, WithWaitReturnsOnceTheProgramHasEnded)
{
    TempDir dir;
    const std::string file = dir.File("args.txt");
    const std::string command = ProbeCommand() + " write " + Quoted(file) + " one \"two words\" \\\"quoted\\\"";
    EXPECT_TRUE(qmx::Execute(command.c_str(), 0, true));
    EXPECT_EQ("one\ntwo words\n\"quoted\"\n", ReadFile(file));
}

TEST(ExecuteProgram, WithoutWaitReturnsWhileTheProgramRuns)
{
    TempDir dir;
    const std::string go = dir.File("go");
    const std::string done = dir.File("done");
    const std::string command = ProbeCommand() + " wait-file " + Quoted(go) + " " + Quoted(done);
    EXPECT_TRUE(qmx::Execute(command.c_str(), 1, false));
    EXPECT_FALSE(Exists(done));
    WriteFile(go, "");
    EXPECT_TRUE(AppearsSoon(done));
}

TEST(ExecuteProgram, WaitEndsForAProgramThatExitsWith259)
{
    // Through a probe with a time limit: a wait that polls the exit code
    // would never end.
    const std::string command = ProbeCommand() + " exit 259";
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "execute", "1", command}, 30000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ("1\n", r.out);
}

#if defined(_WIN32)
namespace {

HANDLE HighestOfNewHandles()
{
    HANDLE handles[16];
    for (HANDLE& h : handles)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE h : handles)
        CloseHandle(h);
    return handles[15];
}

}  // namespace

TEST(ExecuteProgram, ReleasesTheHandlesOfTheProcessItStarted)
{
    // Handles take the lowest free slots: one left open pushes the last of
    // a batch of new handles higher.
    const std::string command = ProbeCommand() + " exit 0";
    ASSERT_TRUE(qmx::Execute(command.c_str(), 0, true));
    HANDLE before = HighestOfNewHandles();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(qmx::Execute(command.c_str(), 0, true));
        EXPECT_TRUE(qmx::Execute(command.c_str(), 0, false));
    }
    EXPECT_EQ(before, HighestOfNewHandles());
}
#else
TEST(ExecuteProgram, ProgramStartedWithoutWaitIsReapedWhenItEnds)
{
    const std::string command = ProbeCommand() + " exit 0";
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "execute-reaped", command}, 60000);
    EXPECT_EQ("reaped\n", r.out) << r.err;
}

TEST(ShutdownNative, RunsShutdownFromThePathWithHaltNow)
{
    TempDir dir;
    const std::string bin = dir.File("bin");
    fs::create_directory(bin);
    const std::string record = dir.File("record");
    const std::string fake = bin + "/shutdown";
    // Only the fake is on the path: the real one cannot be reached.
    WriteFile(fake, "#!/bin/sh\necho \"$@\" >> '" + record + "'\n");
    chmod(fake.c_str(), 0755);
    RunOptions options;
    options.env["PATH"] = bin;
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "shutdown"}, 30000, options);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("asked\n", r.out);
    EXPECT_EQ("-h now\n", ReadFile(record));
}

TEST(ShutdownNative, WithoutAShutdownProgramReportsNothing)
{
    TempDir dir;
    RunOptions options;
    options.env["PATH"] = dir.Path();
    ProcessResult r = RunProgram({BinPath("qmx_probe"), "shutdown"}, 30000, options);
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("asked\n", r.out);
}
#endif
