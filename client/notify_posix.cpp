// POSIX code only: the native stand-ins of "net send" (wall) and of the system shutdown (shutdown -h now).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "notify.h"
#include "qmx/debug.h"

extern char** environ;

namespace {

// As on Windows: a command that hangs must not hold the monitor past its
// deadline.
const int kCommandWaitMs = 10000;

// Starts a program found on PATH, with its standard input from /dev/null
// (wall would otherwise read the message from ours); -1 when it cannot be
// started. The arguments go to the program as they are, no shell between.
pid_t StartProgram(const std::vector<std::string>& args)
{
    std::vector<std::string> text = args;
    std::vector<char*> argv;
    for (auto& arg : text)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits at most limitMs for the program to end. One that goes on is reaped
// by a thread of its own when it ends, so that it leaves no zombie behind.
bool WaitAtMost(pid_t pid, int limitMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        if (std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return false;
}

}  // namespace

void CCVNRemoteApp::NotifyUsers(const char* format, int seconds)
{
    if (m_bWin9x)
        return;
    // wall reaches every terminal of this computer: no name to address.
    const pid_t pid = StartProgram({"wall", cvn::FormatNotice(format, seconds)});
    if (pid < 0)
        return;
    if (!WaitAtMost(pid, kCommandWaitMs))
        qmx::CDebug::Trace(qmx::CDebug::TraceError,
                           "wall has not ended after %d seconds, going on without it\n",
                           kCommandWaitMs / 1000);
}

void CCVNRemoteApp::ShutdownSystem()
{
    // First, so that a shutdown that cannot be asked for still ends the
    // monitor instead of looping at the deadline.
    m_bStop = true;
    // One stand-in for both ways of Windows: the helper of Windows 9x asks
    // the system for the same shutdown.
    const pid_t pid = StartProgram({"shutdown", "-h", "now"});
    if (pid < 0) {
        // Where Windows 9x shows its message box.
        std::fputs("Failed OS Shutdown\n", stderr);
        return;
    }
    WaitAtMost(pid, kCommandWaitMs);
}
