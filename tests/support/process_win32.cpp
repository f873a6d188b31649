// Windows code only: child processes of the tests.
#include "support/process.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "support/capture.h"

namespace cvntest {

namespace {

HANDLE OpenInheritable(const std::string& path, bool write)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Quotes one argument by the rules of the C runtime's command-line parser.
std::string Quote(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, '\\');
    quoted += '"';
    return quoted;
}

}  // namespace

struct Process::Impl {
    PROCESS_INFORMATION pi = {};
    TempDir dir;
    std::string outPath, errPath;
};

Process::Process(const std::vector<std::string>& args, const RunOptions& options)
    : m_impl(new Impl)
{
    Impl& p = *m_impl;
    p.outPath = p.dir.File("out");
    p.errPath = p.dir.File("err");
    std::string inPath = p.dir.File("in");
    WriteFile(inPath, options.input);

    std::string commandLine;
    for (const auto& arg : args)
        commandLine += (commandLine.empty() ? "" : " ") + Quote(arg);

    // The environment block: the test's own, with the options applied.
    std::string block;
    {
        char* env = GetEnvironmentStringsA();
        for (const char* e = env; *e; e += strlen(e) + 1) {
            std::string entry = e;
            std::string name = entry.substr(0, entry.find('=', 1));
            if (!options.env.count(name))
                block += entry + '\0';
        }
        FreeEnvironmentStringsA(env);
        for (const auto& [name, value] : options.env)
            block += name + "=" + value + '\0';
        block += '\0';
    }

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = OpenInheritable(inPath, false);
    si.hStdOutput = OpenInheritable(p.outPath, true);
    si.hStdError = OpenInheritable(p.errPath, true);
    BOOL ok = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                             &block[0], options.directory.empty() ? nullptr : options.directory.c_str(),
                             &si, &p.pi);
    DWORD error = GetLastError();
    CloseHandle(si.hStdInput);
    CloseHandle(si.hStdOutput);
    CloseHandle(si.hStdError);
    if (!ok)
        throw std::runtime_error("cannot start " + commandLine + ": error " + std::to_string(error));
}

Process::~Process()
{
    if (m_impl->pi.hProcess) {
        if (WaitForSingleObject(m_impl->pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_impl->pi.hProcess, 1);
            WaitForSingleObject(m_impl->pi.hProcess, 5000);
        }
        CloseHandle(m_impl->pi.hProcess);
        CloseHandle(m_impl->pi.hThread);
    }
}

bool Process::Running()
{
    return WaitForSingleObject(m_impl->pi.hProcess, 0) == WAIT_TIMEOUT;
}

ProcessResult Process::Wait(int timeoutMs)
{
    ProcessResult result;
    if (WaitForSingleObject(m_impl->pi.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_TIMEOUT) {
        TerminateProcess(m_impl->pi.hProcess, 1);
        WaitForSingleObject(m_impl->pi.hProcess, 5000);
        result.timedOut = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_impl->pi.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    result.out = Out();
    result.err = Err();
    return result;
}

std::string Process::Out() const { return ReadFile(m_impl->outPath); }
std::string Process::Err() const { return ReadFile(m_impl->errPath); }

std::string ProgramDir()
{
    char buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string path(buffer, n);
    return path.substr(0, path.rfind('\\') + 1);
}

std::string BinPath(const std::string& program)
{
    return ProgramDir() + program + ".exe";
}

unsigned long Process::Id() const
{
    return m_impl->pi.dwProcessId;
}

}  // namespace cvntest
