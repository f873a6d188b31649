// POSIX code only: child processes of the tests.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/capture.h"

extern char** environ;

namespace cvntest {

struct Process::Impl {
    pid_t pid = -1;
    bool done = false;
    int status = 0;
    TempDir dir;
    std::string outPath, errPath;

    bool Poll()
    {
        if (done)
            return true;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            done = true;
        return done;
    }
};

Process::Process(const std::vector<std::string>& args, const RunOptions& options)
    : m_impl(new Impl)
{
    Impl& p = *m_impl;
    p.outPath = p.dir.File("out");
    p.errPath = p.dir.File("err");
    std::string inPath = p.dir.File("in");
    WriteFile(inPath, options.input);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, p.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, p.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (!options.env.count(name))
            envText.push_back(entry);
    }
    for (const auto& [name, value] : options.env)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argText = args;
    std::vector<char*> argv;
    for (auto& a : argText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // posix_spawn has no portable change of directory: go through the shell
    // only when a directory is asked for.
    std::string cwd;
    if (!options.directory.empty()) {
        char buffer[4096];
        cwd = getcwd(buffer, sizeof buffer) ? buffer : "";
        if (chdir(options.directory.c_str()) != 0)
            throw std::runtime_error("cannot enter " + options.directory);
    }
    int rc = posix_spawnp(&p.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        rc = rc ? rc : errno;
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0] + ": " + strerror(rc));
}

Process::~Process()
{
    if (!m_impl->Poll()) {
        kill(m_impl->pid, SIGKILL);
        waitpid(m_impl->pid, &m_impl->status, 0);
    }
}

bool Process::Running()
{
    return !m_impl->Poll();
}

ProcessResult Process::Wait(int timeoutMs)
{
    ProcessResult result;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_impl->Poll()) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(m_impl->pid, SIGKILL);
            waitpid(m_impl->pid, &m_impl->status, 0);
            m_impl->done = true;
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int status = m_impl->status;
    // An exit status of -1 reads as -1 on both platforms.
    result.exitCode = WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status))
                                        : 128 + WTERMSIG(status);
    result.out = Out();
    result.err = Err();
    return result;
}

std::string Process::Out() const { return ReadFile(m_impl->outPath); }
std::string Process::Err() const { return ReadFile(m_impl->errPath); }

std::string ProgramDir()
{
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1);
}

std::string BinPath(const std::string& program)
{
    return ProgramDir() + program;
}

unsigned long Process::Id() const
{
    return static_cast<unsigned long>(m_impl->pid);
}

}  // namespace cvntest
