#include "support/client_env.h"

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace cvntest {

ClientEnv::ClientEnv() : ClientEnv(Options()) {}

std::string ClientEnv::File(const std::string& name) const
{
    return m_dir.File(name);
}

std::string ClientEnv::AppDir() const
{
    return m_appDir;
}

std::unique_ptr<Process> ClientEnv::Start(const std::string& program,
                                          const std::vector<std::string>& args,
                                          RunOptions options) const
{
    std::vector<std::string> command{Install(program)};
    command.insert(command.end(), args.begin(), args.end());
    return std::make_unique<Process>(command, Prepare(std::move(options)));
}

ProcessResult ClientEnv::Run(const std::string& program, const std::vector<std::string>& args,
                             int timeoutMs, RunOptions options) const
{
    return Start(program, args, std::move(options))->Wait(timeoutMs);
}

void ClientEnv::SetHanging(bool on)
{
    SetHanging("", on);
}

void ClientEnv::SetHanging(const std::string& program, bool on)
{
    const std::string flag = File(program.empty() ? "hang" : program + ".hang");
    if (on) {
        WriteFile(flag, "");
    } else {
        std::error_code ignored;
        std::filesystem::remove(flag, ignored);
    }
}

void ClientEnv::SetExitStatus(const std::string& program, int status)
{
    WriteFile(File(program + ".exit"), std::to_string(status));
}

// Each fake appends one line: its process id, its own path and its command
// line, separated by tabs.
std::vector<RecordedCall> ClientEnv::Calls() const
{
    std::vector<RecordedCall> calls;
    std::istringstream log(ReadFile(File("calls.log")));
    std::string line;
    while (std::getline(log, line)) {
        const size_t first = line.find('\t');
        const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos)
            continue;
        calls.push_back({line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return calls;
}

std::vector<RecordedCall> ClientEnv::AwaitCalls(size_t count, int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<RecordedCall> calls = Calls();
    while (calls.size() < count && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        calls = Calls();
    }
    return calls;
}

}  // namespace cvntest
