// The only way tests start the client, or a program that drives its
// application object: with recording fakes in place of everything the client
// starts, so that no message and no shutdown ever reaches the host.
//
// Natively the fakes of wall, shutdown and systemctl come first on PATH. Under Wine the
// program runs from a folder of its own whose name holds a blank ("cvn
// remote"), with QMXDLL.dll and a recording net.exe and msg.exe beside it (a program's
// own folder is searched first) and the CVNShutdown.exe the test chose. A
// recording "cvn.exe" waits in the folder above: a path with the blank that
// is started unquoted would reach it first.
#ifndef CVN_TESTS_CLIENT_ENV_H
#define CVN_TESTS_CLIENT_ENV_H

#include <memory>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/process.h"

namespace cvntest {

// One start of a fake, as the fake saw it.
struct RecordedCall {
    std::string program;      // full path of the file that was started
    std::string commandLine;  // Windows: the raw command line; natively the
                              // program's name and arguments joined by blanks
};

class ClientEnv {
public:
    enum class Helper {
        Recorder,  // a recording fake (Windows) / recording shutdown (natively)
        Real,      // the real CVNShutdown.exe: only in a Wine prefix of its own
        Missing,   // none: natively PATH then holds nothing but the fakes
    };
    struct Options {
        Helper helper = Helper::Recorder;
        // Under Wine, the Windows version the program is run as ("win98"):
        // the copy gets a name of its own with that version in the prefix's
        // AppDefaults, so that other programs are not affected.
        std::string windowsVersion;
        // Natively, a folder below the environment's for the program's copy
        // (deep paths included); empty puts it in the environment's folder.
        std::string nativeFolder;
    };

    ClientEnv();
    explicit ClientEnv(const Options& options);
    // Releases fakes that still hang and waits for them to end.
    ~ClientEnv();
    ClientEnv(const ClientEnv&) = delete;
    ClientEnv& operator=(const ClientEnv&) = delete;

    // A file in the environment's own folder (settings files and the like).
    std::string File(const std::string& name) const;
    // The folder programs are run from (their current directory; under Wine
    // also where their files are), with the platform's separator at the end.
    std::string AppDir() const;

    // Starts a program of the build (such as "CVNRemote") with the
    // arguments; the options may add to the environment.
    std::unique_ptr<Process> Start(const std::string& program,
                                   const std::vector<std::string>& args,
                                   RunOptions options = {}) const;
    ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                      int timeoutMs = 60000, RunOptions options = {}) const;

    // While on, every fake records its start and then does not end until it
    // is turned off again or the environment goes.
    void SetHanging(bool on);
    // The same for one fake alone ("msg.exe"; under Wine).
    void SetHanging(const std::string& program, bool on);
    // The fake of program ("net.exe", "msg.exe", natively "shutdown") ends
    // with this status from now on.
    void SetExitStatus(const std::string& program, int status);

    std::vector<RecordedCall> Calls() const;
    // For programs that are started and not waited for: the calls once there
    // are at least count of them, or what there is after timeoutMs.
    std::vector<RecordedCall> AwaitCalls(size_t count, int timeoutMs = 30000) const;

private:
    std::string Install(const std::string& program) const;
    RunOptions Prepare(RunOptions options) const;

    Options m_options;
    TempDir m_dir;
    std::string m_appDir;
};

inline std::unique_ptr<Process> StartClient(const ClientEnv& env,
                                            const std::vector<std::string>& args,
                                            RunOptions options = {})
{
    return env.Start("CVNRemote", args, std::move(options));
}

// This computer's name as the system gives it to programs ("net send" is
// addressed to it).
std::string ComputerName();

#if !defined(_WIN32)
// Options that preload the build's slow resolver: every look-up of a name
// takes ms first (a name server that lost its upstream).
RunOptions SlowResolver(long ms);
#endif

}  // namespace cvntest

#endif
