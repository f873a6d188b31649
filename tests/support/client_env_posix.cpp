// POSIX code only: the client's test environment with recording fakes of wall, shutdown and systemctl.
#include "support/client_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace cvntest {

namespace {

// Records the start and, while the hang file (or <name>.hang) exists, does
// not end; then ends with the status in <name>.exit, or 0; a negative one
// is the signal that kills it. It writes to no terminal and shuts nothing
// down.
std::string FakeScript(const std::string& dir, const std::string& name)
{
    return "#!/bin/sh\n"
           "# Recording stand-in of " + name + " for the tests.\n"
           "dir='" + dir + "'\n"
           "{ printf '%s\\t%s\\t%s' \"$$\" \"$0\" '" + name + "'\n"
           "  for a in \"$@\"; do printf ' %s' \"$a\"; done\n"
           "  printf '\\n'; } >> \"$dir/calls.log\"\n"
           "while [ -e \"$dir/hang\" ] || [ -e \"$dir/" + name + ".hang\" ]; do /bin/sleep 0.05; done\n"
           "s=$(cat \"$dir/" + name + ".exit\" 2>/dev/null || echo 0)\n"
           "case $s in -*) kill $s $$ ;; esac\n"
           "exit $s\n";
}

void WriteFake(const std::string& dir, const std::string& bin, const std::string& name)
{
    const std::string path = bin + "/" + name;
    WriteFile(path, FakeScript(dir, name));
    if (chmod(path.c_str(), 0755) != 0 || access(path.c_str(), X_OK) != 0)
        throw std::runtime_error("cannot make the fake " + path + " executable");
}

}  // namespace

ClientEnv::ClientEnv(const Options& options) : m_options(options)
{
    m_appDir = m_dir.Path() + "/";
    if (!options.nativeFolder.empty()) {
        m_appDir += options.nativeFolder + "/";
        std::filesystem::create_directories(m_appDir);
    }
    const std::string bin = File("bin");
    if (mkdir(bin.c_str(), 0755) != 0)
        throw std::runtime_error("cannot create " + bin);
    WriteFake(m_dir.Path(), bin, "wall");
    if (options.helper != Helper::Missing) {
        WriteFake(m_dir.Path(), bin, "shutdown");
        // Hibernation goes through it.
        WriteFake(m_dir.Path(), bin, "systemctl");
    }
}

ClientEnv::~ClientEnv()
{
    // A fake that still hangs sees the file go and ends by itself.
    SetHanging(false);
}

std::string ClientEnv::Install(const std::string& program) const
{
    // A copy of its own, so that what the program makes beside itself (the
    // trace file) stays with the test. The copy finds the library of the
    // build through its run path.
    const std::string path = m_appDir + program;
    if (access(path.c_str(), X_OK) != 0)
        std::filesystem::copy_file(BinPath(program), path, std::filesystem::copy_options::overwrite_existing);
    return path;
}

RunOptions ClientEnv::Prepare(RunOptions options) const
{
    const std::string bin = File("bin");
    // Without a fake shutdown, nothing but the fakes may be found at all:
    // the system's own shutdown must never be the one that answers.
    const char* path = std::getenv("PATH");
    if (m_options.helper == Helper::Missing || !path)
        options.env["PATH"] = bin;
    else
        options.env["PATH"] = bin + ":" + path;
    // Lets a driver check for itself that the fakes come first.
    options.env["CVN_FAKE_BIN"] = bin;
    if (options.directory.empty())
        options.directory = m_dir.Path();
    return options;
}

std::string ComputerName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

RunOptions SlowResolver(long ms)
{
    RunOptions slow;
    slow.env["LD_PRELOAD"] = BinPath("libcvn_slow_resolver.so");
    slow.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    slow.env["CVN_SLOW_RESOLVER_MS"] = std::to_string(ms);
    return slow;
}

}  // namespace cvntest
