// POSIX code only: the native stand-ins for paths, directory search,
// processes and shutdown.
#include "qmx/util.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "os.h"

extern char** environ;

namespace qmx {

namespace {

// Owns one open directory.
class CDirectory {
public:
    explicit CDirectory(const char* path) : m_pDir(opendir(path)) {}
    ~CDirectory()
    {
        if (m_pDir)
            closedir(m_pDir);
    }
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;
    DIR* Get() const { return m_pDir; }

private:
    DIR* m_pDir;
};

// Owns the file actions of one spawn.
class CSpawnActions {
public:
    CSpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~CSpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    CSpawnActions(const CSpawnActions&) = delete;
    CSpawnActions& operator=(const CSpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

// The patterns of the Windows search: "*" any run of characters, "?" one
// character, and a trailing ".*" that also matches a name without extension
// (so that "*.*" lists everything). Case counts, as in the file system.
bool Matches(const char* pattern, const char* name)
{
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    if (pattern[0] == '.' && pattern[1] == '*') {
        pattern += 2;
        while (*pattern == '*')
            ++pattern;
    }
    return *pattern == '\0';
}

// Splits a command line into words by the rules of the Windows C runtime:
// blanks separate, double quotes group, backslashes escape only before a
// quote.
std::vector<std::string> SplitCommandLine(const char* line)
{
    std::vector<std::string> words;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p)
            break;
        std::string word;
        bool quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                std::string::size_type count = 0;
                while (*p == '\\') {
                    ++count;
                    ++p;
                }
                if (*p == '"') {
                    word.append(count / 2, '\\');
                    if (count % 2) {
                        word += '"';
                        ++p;
                    }
                } else {
                    word.append(count, '\\');
                }
            } else if (*p == '"') {
                ++p;
                if (quoted && *p == '"') {
                    word += '"';
                    ++p;
                } else {
                    quoted = !quoted;
                }
            } else {
                word += *p++;
            }
        }
        words.push_back(word);
    }
    return words;
}

// Starts args[0], looked up on PATH; -1 when it cannot be started. Like the
// Windows start without inherited handles, the child gets only the standard
// streams.
pid_t Spawn(const std::vector<std::string>& args)
{
    if (args.empty())
        return -1;
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    CSpawnActions actions;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
#endif
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], actions.Get(), nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void WaitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

const char* const kPathSeparators = "/";

const char* GetDirectorySeparator()
{
    return "/";
}

const char* GetDLLExtension()
{
    return "so";
}

bool ExecutablePath(std::string& path)
{
    char buffer[kMaxPath] = {};
    // readlink does not terminate, and fills the buffer when it cuts.
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return false;
    path.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

std::string GetShortName(const char* path)
{
    if (!path)
        return std::string();
    char* resolved = realpath(path, nullptr);
    if (!resolved)
        return std::string();
    std::string result = resolved;
    std::free(resolved);
    if (result.size() >= kMaxPath)
        return std::string();
    return result;
}

std::string GetCwd()
{
    char buffer[kMaxPath] = {};
    if (!getcwd(buffer, sizeof buffer))
        return std::string();
    return buffer;
}

void SearchDirectory(const std::string& searchPath, void (*found)(const char* name, void* context),
                     void* context)
{
    // As on Windows, the pattern is the last part of the search path.
    const std::string::size_type cut = searchPath.rfind('/');
    const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : searchPath.substr(0, cut);
    const std::string pattern = cut == std::string::npos ? searchPath : searchPath.substr(cut + 1);
    CDirectory directory(folder.c_str());
    if (!directory.Get())
        return;
    while (const dirent* entry = readdir(directory.Get())) {
        if (Matches(pattern.c_str(), entry->d_name))
            found(entry->d_name, context);
    }
}

bool CreateDirectoryA(const char* path)
{
    if (!path)
        return false;
    return mkdir(path, 0777) == 0 || errno == EEXIST;
}

void ShutdownOS()
{
    const pid_t pid = Spawn({"shutdown", "-h", "now"});
    if (pid > 0)
        WaitFor(pid);
}

bool Execute(const char* command, int, bool wait)
{
    if (!command)
        return false;
    const pid_t pid = Spawn(SplitCommandLine(command));
    if (pid <= 0)
        return false;
    if (wait) {
        WaitFor(pid);
    } else {
        // Nobody else waits for the child: reap it when it ends, so that it
        // does not stay behind as a zombie.
        try {
            std::thread([pid] { WaitFor(pid); }).detach();
        } catch (const std::system_error&) {
        }
    }
    return true;
}

}  // namespace qmx
