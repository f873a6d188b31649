// Windows code only: the client's test environment with a recording net.exe and shutdown helper.
#include "support/client_env.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace cvntest {

namespace {

void Copy(const std::string& from, const std::string& to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// Wine chooses the Windows version a program sees by its file name.
void SetWineVersion(const std::string& fileName, const std::string& version)
{
    const std::string key = "Software\\Wine\\AppDefaults\\" + fileName;
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &hKey, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create HKCU\\" + key);
    const LONG rc = RegSetValueExA(hKey, "Version", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(version.c_str()),
                                   static_cast<DWORD>(version.size() + 1));
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS)
        throw std::runtime_error("cannot set the Windows version of " + fileName);
}

}  // namespace

ClientEnv::ClientEnv(const Options& options) : m_options(options)
{
    m_appDir = m_dir.File("cvn remote") + "\\";
    fs::create_directory(m_appDir);
    const std::string bin = ProgramDir();
    Copy(bin + "QMXDLL.dll", m_appDir + "QMXDLL.dll");
    Copy(bin + "cvn_recorder.exe", m_appDir + "net.exe");
    Copy(bin + "cvn_recorder.exe", m_appDir + "msg.exe");
    Copy(bin + "cvn_recorder.exe", m_dir.File("cvn.exe"));
    if (options.helper == Helper::Recorder)
        Copy(bin + "cvn_recorder.exe", m_appDir + "CVNShutdown.exe");
    else if (options.helper == Helper::Real)
        Copy(bin + "CVNShutdown.exe", m_appDir + "CVNShutdown.exe");
}

ClientEnv::~ClientEnv()
{
    SetHanging(false);
    // A running program's file cannot be removed: let the fakes end first.
    const std::string log = ReadFile(File("calls.log"));
    for (size_t at = 0; at < log.size();) {
        const DWORD pid = std::strtoul(log.c_str() + at, nullptr, 10);
        if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid)) {
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
        const size_t end = log.find('\n', at);
        at = end == std::string::npos ? log.size() : end + 1;
    }
}

std::string ClientEnv::Install(const std::string& program) const
{
    std::string name = program;
    if (!m_options.windowsVersion.empty())
        name += "-" + m_options.windowsVersion;
    name += ".exe";
    const std::string path = m_appDir + name;
    if (!fs::exists(path)) {
        Copy(BinPath(program), path);
        if (!m_options.windowsVersion.empty())
            SetWineVersion(name, m_options.windowsVersion);
    }
    return path;
}

RunOptions ClientEnv::Prepare(RunOptions options) const
{
    options.env["CVN_RECORD_DIR"] = m_dir.Path();
    if (options.directory.empty())
        options.directory = m_appDir;
    return options;
}

std::string ComputerName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

}  // namespace cvntest
