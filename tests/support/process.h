// Starting programs from tests: a child with its standard output and error
// captured into files, waited for with a time limit, killed when it stays.
#ifndef CVN_TESTS_PROCESS_H
#define CVN_TESTS_PROCESS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cvntest {

struct RunOptions {
    // Added to (or replacing in) the environment of the child.
    std::map<std::string, std::string> env;
    // Current directory of the child; empty keeps the test's own.
    std::string directory;
    // Text written to the child's standard input (then closed).
    std::string input;
};

struct ProcessResult {
    int exitCode = -1;       // as the system reports it (Windows: the 32-bit code)
    bool timedOut = false;   // killed after the time limit
    std::string out;         // standard output
    std::string err;         // standard error
};

class Process {
public:
    // Starts args[0] with the arguments; throws std::runtime_error when it
    // cannot be started.
    Process(const std::vector<std::string>& args, const RunOptions& options = {});
    ~Process();  // kills a child that still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits at most timeoutMs; kills the child when it is still running.
    ProcessResult Wait(int timeoutMs);
    bool Running();
    // The child's process id.
    unsigned long Id() const;
    // What the child has written so far.
    std::string Out() const;
    std::string Err() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

inline ProcessResult RunProgram(const std::vector<std::string>& args, int timeoutMs = 30000,
                         const RunOptions& options = {})
{
    return Process(args, options).Wait(timeoutMs);
}

// Folder of the running test program, ending in the platform's separator.
std::string ProgramDir();
// args[0] looked up beside the test program, with the platform's ending.
std::string BinPath(const std::string& program);

}  // namespace cvntest

#endif
