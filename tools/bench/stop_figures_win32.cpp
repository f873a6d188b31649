// Windows code only: how long the service takes from the stop control to
// STOPPED, under Wine's service manager, with the monitor in each of its
// long waits: the 20 s pause after a failed attempt, and the session wait
// with a live server that sends nothing. Prints the times of each round.
//   cmake/wine-run build/win64/bin/stop_figures.exe [rounds]
// Run it in the build's test prefix (the test run makes it); it installs
// the service under its usual name and removes it again.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/client_env.h"
#include "support/service_control.h"
#include "upssim/server.h"

using namespace cvntest;

namespace {

DWORD State()
{
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
    if (service) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return status.dwCurrentState;
}

// One round: the service started with these settings, left in its wait for
// settleMs, then stopped; the seconds from the stop command to STOPPED, or
// -1 when it did not get there.
double Round(const ClientEnv& env, const std::string& settings, int settleMs)
{
    RemoveService();
    WriteFile(env.AppDir() + "CVNRemote.ini", settings);
    if (env.Run("CVNRemote", {"install"}).exitCode != 0 || env.Run("CVNRemote", {"start"}).exitCode != 0 ||
        !WaitForServiceState(4))
        return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const auto start = std::chrono::steady_clock::now();
    env.Run("CVNRemote", {"stop"});
    while (State() != SERVICE_STOPPED && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool stopped = State() == SERVICE_STOPPED;
    RemoveService();
    return stopped ? seconds : -1;
}

void Print(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%s:", what);
    for (double t : times)
        std::printf(t < 0 ? " (not stopped)" : " %.2f s", t);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!WaitForServiceManager()) {
        std::fprintf(stderr, "the service manager does not answer\n");
        return 1;
    }
    ClientEnv env;
    upssim::CServer server;
    if (!server.Start()) {
        std::fprintf(stderr, "the simulator does not start\n");
        return 1;
    }
    const std::string port = std::to_string(server.Port());
    std::vector<double> pause, session;
    for (int i = 0; i < rounds; ++i) {
        // Port 9 refuses: a failed attempt, then the 20 s pause.
        pause.push_back(Round(env, "[Settings]\nServer Address=127.0.0.1\nServer Port=9\n", 2000));
        session.push_back(Round(env, "[Settings]\nServer Address=127.0.0.1\nServer Port=" + port + "\n", 2000));
    }
    server.Stop();
    std::printf("stop control to STOPPED, %d rounds each\n", rounds);
    Print("in the pause after a failed attempt", pause);
    Print("in the session wait of a quiet server", session);
    return 0;
}
