// POSIX code only: the native stand-ins of "net send" (wall) and of the system shutdown (shutdown -h now).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "child_wait.h"
#include "notify.h"
#include "qmx/debug.h"

extern char** environ;

namespace {

// As on Windows: a command that hangs must not hold the monitor past its
// deadline.
const int kCommandWaitMs = 10000;

// Starts a program found on PATH, with its standard input from /dev/null
// (wall would otherwise read the message from ours); -1 when it cannot be
// started, with the reason in *error. The arguments go to the program as
// they are, no shell between.
pid_t StartProgram(const std::vector<std::string>& args, int* error)
{
    std::vector<std::string> text = args;
    std::vector<char*> argv;
    for (auto& arg : text)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    *error = posix_spawn_file_actions_init(&actions);
    if (*error != 0)
        return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The client's descriptors are close-on-exec; this also keeps from the
    // program any that the client itself was handed or a library opened.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    *error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return *error == 0 ? pid : -1;
}

// Waits at most limitMs for the program to end (less once a stop is
// requested); true when it has ended, with its exit status in *status (-1
// when it did not exit normally). One that goes on is reaped by a thread of
// its own when it ends, so that it leaves no zombie behind.
bool WaitAtMost(pid_t pid, int limitMs, const cvn::CStopRequest& stop, int* status)
{
    const cvn::CWaitTime time(static_cast<unsigned long>(limitMs));
    for (;;) {
        int wstatus = 0;
        const pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            *status = r == pid && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
            return true;
        }
        const unsigned long left = time.Left();
        if (left == 0 || stop.Raised())
            break;
        cvn::SleepWhileRunning(pid, left, stop);
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return false;
}

}  // namespace

const char* CCVNRemoteApp::NotifyUsers(const char* format, int seconds)
{
    if (m_bWin9x)
        return nullptr;
    // wall reaches every terminal of this computer: no name to address.
    int error = 0;
    const pid_t pid = StartProgram({"wall", cvn::FormatNotice(format, seconds)}, &error);
    if (pid < 0)
        return nullptr;
    int status = 0;
    if (WaitAtMost(pid, kCommandWaitMs, m_StopRequest, &status))
        return status == 0 ? "wall" : nullptr;
    if (m_StopRequest.Raised())
        return nullptr;
    qmx::CDebug::Trace(qmx::CDebug::TraceError, "wall has not ended after %d seconds, going on without it\n",
                       kCommandWaitMs / 1000);
    return "wall";
}

void CCVNRemoteApp::ShutdownSystem()
{
    // One stand-in for both ways of Windows: the helper of Windows 9x asks
    // the system for the same shutdown. A request that cannot be made is on
    // record, and the monitor goes on, asking again while on battery.
    int error = 0;
    const pid_t pid = StartProgram({"shutdown", "-h", "now"}, &error);
    if (pid < 0) {
        cvn::ReportShutdownFailed(cvn::SystemErrorText(static_cast<std::uint32_t>(error)));
        return;
    }
    // Only a request that visibly succeeded ends the monitor: one still
    // running after its time is reported and asked again, like a refused one.
    int status = 0;
    if (!WaitAtMost(pid, kCommandWaitMs, m_StopRequest, &status)) {
        if (!m_StopRequest.Raised())
            cvn::ReportShutdownFailed("shutdown was still running after " + std::to_string(kCommandWaitMs / 1000) +
                                      " seconds");
        return;
    }
    if (status != 0) {
        cvn::ReportShutdownFailed(status < 0 ? std::string("shutdown did not exit normally")
                                             : "shutdown exited with status " + std::to_string(status));
        return;
    }
    m_bStop = true;
}
