// Windows code only: the service of the test prefix, through sc.exe and reg.exe.
#include "support/service_control.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/capture.h"
#include "support/process.h"

namespace cvntest {

const char* const kServiceName = "Corvane Remote Shutdown Client";

int QueryServiceState()
{
    ProcessResult r = RunProgram({"sc", "query", kServiceName});
    size_t at = r.out.find("STATE");
    if (at == std::string::npos)
        return 0;
    at = r.out.find(':', at);
    return atoi(r.out.c_str() + at + 1);
}

bool WaitForServiceState(int state, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (QueryServiceState() == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

bool WaitForServiceManager(int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (RunProgram({"sc", "query", "PlugPlay"}).out.find("RUNNING") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
}

void RemoveService()
{
    if (QueryServiceState() == 0)
        return;
    RunProgram({"sc", "stop", kServiceName});
    WaitForServiceState(1, 15000);
    RunProgram({"sc", "delete", kServiceName});
}

std::string RegistryValue(const std::string& key, const std::string& value)
{
    ProcessResult r = RunProgram({"reg", "query", key, "/v", value});
    std::string out = Lines(r.out);
    size_t at = out.find(value);
    if (at == std::string::npos)
        return "";
    size_t line = out.find('\n', at);
    return out.substr(at, line - at);
}

namespace {

std::string LogPath()
{
    const char* unixPath = std::getenv("CVN_SERVICES_LOG");
    if (!unixPath || unixPath[0] != '/')
        return ProgramDir() + "..\\wine-services.log";
    // Wine's drive Z: is the Unix root.
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

}  // namespace

ServicesLog::ServicesLog() : m_path(LogPath()), m_start(ReadFile(m_path).size()) {}

std::string ServicesLog::Since() const
{
    std::string text = ReadFile(m_path);
    return text.size() > m_start ? text.substr(m_start) : std::string();
}

bool ServicesLog::WaitFor(const std::string& text, int timeoutMs) const
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (Since().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

}  // namespace cvntest
