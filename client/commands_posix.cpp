// POSIX code only: the administrator's commands as processes of their own group, and hibernation through systemctl.
#include "commands.h"
#include "child_wait.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "notify.h"

extern char** environ;

namespace cvn {

namespace {

// Blanks part the arguments; double or single quotes hold blanks together.
std::vector<std::string> SplitArguments(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string EntryName(const std::string& entry)
{
    return entry.substr(0, entry.find('='));
}

std::string StatusText(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus) == 0 ? std::string() : "status " + std::to_string(WEXITSTATUS(wstatus));
    if (WIFSIGNALED(wstatus))
        return "signal " + std::to_string(WTERMSIG(wstatus));
    return "an unknown status";
}

}  // namespace

struct CCommandProcess::Impl {
    pid_t pid = -1;
    bool ended = false;
    std::string failure;
};

CCommandProcess::CCommandProcess() : m_pImpl(new Impl) {}
CCommandProcess::~CCommandProcess() = default;

std::string CCommandProcess::Start(const CCommandLine& command, const std::vector<std::string>& extraArguments,
                                   const std::vector<std::string>& environment)
{
    if (command.program.empty())
        return "no program is named";
    std::vector<std::string> args{command.program};
    for (const std::string& word : SplitArguments(command.arguments))
        args.push_back(word);
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());

    // The client's environment, less what the entries set anew.
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = EntryName(text);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& ours) { return EntryName(ours) == name; }))
            env.push_back(text);
    }
    env.insert(env.end(), environment.begin(), environment.end());

    std::vector<char*> argv, envp;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    for (std::string& entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error != 0)
        return SystemErrorText(static_cast<std::uint32_t>(error));
    error = posix_spawnattr_init(&attributes);
    if (error != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return SystemErrorText(static_cast<std::uint32_t>(error));
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The client's descriptors are close-on-exec; this also keeps from the
    // program any that the client itself was handed or a library opened.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A group of its own, so that ending it ends what it started too; the
    // signals the client ignores are the command's to handle again.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return SystemErrorText(static_cast<std::uint32_t>(error));
    m_pImpl->pid = pid;
    return std::string();
}

bool CCommandProcess::Ended(std::string& failure)
{
    if (!m_pImpl->ended && m_pImpl->pid > 0) {
        int wstatus = 0;
        const pid_t r = waitpid(m_pImpl->pid, &wstatus, WNOHANG);
        if (r == m_pImpl->pid) {
            m_pImpl->ended = true;
            m_pImpl->failure = StatusText(wstatus);
        } else if (r < 0 && errno != EINTR) {
            m_pImpl->ended = true;
            m_pImpl->failure = SystemErrorText(static_cast<std::uint32_t>(errno));
        }
    }
    failure = m_pImpl->failure;
    return m_pImpl->ended || m_pImpl->pid <= 0;
}

void CCommandProcess::SleepWhileRunning(unsigned long ms, const CStopRequest& stop)
{
    cvn::SleepWhileRunning(m_pImpl->pid, ms, stop);
}

void CCommandProcess::End()
{
    if (m_pImpl->ended || m_pImpl->pid <= 0)
        return;
    // The group, and the command itself should it have left the group.
    kill(-m_pImpl->pid, SIGKILL);
    kill(m_pImpl->pid, SIGKILL);
}

bool CCommands::Hibernate(const CStopRequest& stop, std::string& failure)
{
    auto process = std::make_unique<CCommandProcess>();
    failure = process->Start({"systemctl", "hibernate"}, {}, {});
    if (!failure.empty())
        return false;
    if (process->Wait(kHibernateWaitMs, stop, failure)) {
        if (!failure.empty())
            failure = "systemctl hibernate ended with " + failure;
        return failure.empty();
    }
    // Hung: no hibernation is coming, and the shutdown must not wait for
    // it. Ended with its group, so that nothing of it lingers.
    process->End();
    Keep(std::move(process));
    failure = "systemctl hibernate was still running after " + std::to_string(kHibernateWaitMs / 1000) +
              " seconds and has been ended";
    return false;
}

}  // namespace cvn
