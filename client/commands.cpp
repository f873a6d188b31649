#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "policy_settings.h"
#include "qmx/debug.h"
#include "qmx/time.h"
#include "resume.h"
#include "server_text.h"
#include "stop_request.h"
#include "sync.h"

using qmx::CDebug;

namespace cvn {

namespace {

const char kSection[] = "Commands";
// What an event's notice waits for its command to have started.
const unsigned long kQuickStartMs = 200;
const int kLongestTimeoutS = 86400;

const char* const kEventNames[kCommandEventCount] = {"onbattery",    "batterylow",  "powerrestored",
                                                     "shuttingdown", "sessionlost", "sessionmade"};

std::uint32_t Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

std::string Trimmed(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && isspace(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && isspace(static_cast<unsigned char>(text[last - 1])))
        --last;
    return text.substr(first, last - first);
}

}  // namespace

// Lower case, blanks left out: how names in the settings are compared.
std::string Folded(const std::string& text)
{
    std::string folded;
    for (char c : text) {
        if (!isspace(static_cast<unsigned char>(c)))
            folded += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

namespace {

// Through the C runtime, not a file stream: libstdc++'s file buffer would
// import what the msvcrt.dll of Windows 98 and NT 4.0 lacks.
bool FileExists(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file)
        std::fclose(file);
    return file != nullptr;
}

void ReportFailure(std::uint32_t id, const char* event, const std::string& command, const std::string& detail)
{
    CCVNException(id, 3, event, command.c_str(), detail.c_str()).Report();
}

std::string NotStartedWithin(unsigned long ms)
{
    return "not started within " + std::to_string((ms + 999) / 1000) + " seconds: its file cannot be reached";
}

}  // namespace

// Shared by the thread that starts the command and the monitor, which may
// stop waiting for it; whichever lets go last frees it.
struct CStartJob {
    std::string command;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    CLock lock;
    CEvent started;  // set once the start has come to an end
    std::unique_ptr<CCommandProcess> process;
    std::string error;
    // The monitor has given up on it: a program that starts after all is
    // ended, since its moment has passed.
    bool abandoned = false;
    // The thread is done with it: nothing of the start lives on.
    bool over = false;
    // When it was begun: one still at it after kQuickStartMs blocks.
    std::uint32_t begunAt = 0;
};

namespace {

void RunStartJob(void* argument)
{
    std::unique_ptr<std::shared_ptr<CStartJob>> holder(static_cast<std::shared_ptr<CStartJob>*>(argument));
    CStartJob& job = **holder;
    auto process = std::make_unique<CCommandProcess>();
    std::string error = process->Start(SplitCommand(job.command), job.arguments, job.environment);
    std::unique_lock<CLock> hold(job.lock);
    if (job.abandoned) {
        hold.unlock();
        if (error.empty()) {
            process->End();
            const CStopRequest never;
            std::string ignored;
            while (!process->Wait(60000, never, ignored)) {
            }
        }
        hold.lock();
        job.over = true;
        return;
    }
    job.process = std::move(process);
    job.error = error;
    job.over = true;
    job.started.Set();
}

// Every start whose thread still runs, given up on or not.
struct CGivenUpStarts {
    CLock lock;
    std::vector<std::shared_ptr<CStartJob>> jobs;
};

CGivenUpStarts& GivenUpStarts()
{
    static CGivenUpStarts* starts = new CGivenUpStarts;
    return *starts;
}

// The started program once the start has ended (null with the reason when
// it failed); false while the start goes on.
bool TakeStarted(CStartJob& job, std::unique_ptr<CCommandProcess>& process, std::string& error)
{
    std::lock_guard<CLock> hold(job.lock);
    if (!job.started.IsSet())
        return false;
    process = std::move(job.process);
    error = job.error;
    return true;
}

// Gives up on a start; true when it has not come to an end (the thread
// ends the program should it start after all).
bool Abandon(CStartJob& job)
{
    std::lock_guard<CLock> hold(job.lock);
    job.abandoned = true;
    return !job.started.IsSet();
}

}  // namespace

const char* CommandEventName(CommandEvent event)
{
    return kEventNames[static_cast<int>(event)];
}

bool EventChosen(const std::string& list, CommandEvent event)
{
    const std::string wanted = CommandEventName(event);
    bool any = false;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find_first_of(",;", at);
        if (end == std::string::npos)
            end = list.size();
        const std::string name = Folded(list.substr(at, end - at));
        at = end + 1;
        if (name.empty())
            continue;
        any = true;
        if (name == wanted)
            return true;
    }
    return !any;
}

int CommandTimeout(int seconds)
{
    if (seconds < 1)
        return CCommands::kDefaultTimeoutS;
    return std::min(seconds, kLongestTimeoutS);
}

std::vector<std::string> CommandEnvironment(const char* event, const CCommandFacts& facts, long long secondsLeft)
{
    return {std::string("CVN_EVENT=") + event,
            "CVN_OUTPUT_SOURCE=" + TameServerText(facts.outputSource),
            "CVN_BATTERY_STATUS=" + TameServerText(facts.batteryStatus),
            "CVN_SERVER=" + facts.server,
            "CVN_SERVER_PORT=" + std::to_string(facts.port),
            "CVN_SECONDS_LEFT=" + std::to_string(secondsLeft < 0 ? -1 : secondsLeft),
            "CVN_UPS=" + facts.ups};
}

void TakeHeardValues(const char* data, std::size_t length, CCommandFacts& facts)
{
    // The value runs to the line's end; the braces that close it are not
    // part of it.
    static const struct {
        const char* prefix;
        std::string CCommandFacts::*value;
    } rules[] = {
        {"GetValue(Battery Status)=0,{{", &CCommandFacts::batteryStatus},
        {"Battery Status={{", &CCommandFacts::batteryStatus},
        {"GetValue(Output Source)=0,{{", &CCommandFacts::outputSource},
        {"Output Source={{", &CCommandFacts::outputSource},
    };
    std::string line;
    for (std::size_t i = 0; i <= length; ++i) {
        const char c = i < length ? data[i] : '\0';
        if (c != '\r' && c != '\n' && c != '\0') {
            line += c;
            continue;
        }
        for (const auto& rule : rules) {
            const size_t n = std::char_traits<char>::length(rule.prefix);
            if (line.compare(0, n, rule.prefix) == 0) {
                std::string value = line.substr(n);
                const size_t close = value.find("}}");
                if (close != std::string::npos)
                    value.erase(close);
                // Only printable text reaches a command's environment.
                value.erase(std::remove_if(value.begin(), value.end(),
                                           [](char v) { return v < 0x20 || v > 0x7E; }),
                            value.end());
                facts.*rule.value = value;
            }
        }
        line.clear();
        if (c == '\0')
            break;
    }
}

CCommandLine SplitCommand(const std::string& command)
{
    CCommandLine line;
    const std::string text = Trimmed(command);
    if (!text.empty() && text[0] == '"') {
        const size_t close = text.find('"', 1);
        line.program = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos)
            line.arguments = Trimmed(text.substr(close + 1));
        return line;
    }
    if (FileExists(text)) {
        line.program = text;
        return line;
    }
    const size_t blank = text.find_first_of(" \t");
    line.program = text.substr(0, blank);
    if (blank != std::string::npos)
        line.arguments = Trimmed(text.substr(blank));
    return line;
}

CCommands::CCommands() = default;
CCommands::~CCommands() = default;

void CCommands::SetServer(const std::string& address, int port)
{
    m_Facts.server = address;
    m_Facts.port = port;
}

void CCommands::Heard(const char* data, std::size_t length)
{
    TakeHeardValues(data, length, m_Facts);
}

void CCommands::Keep(std::unique_ptr<CCommandProcess> process)
{
    if (process)
        m_Ending.push_back(std::move(process));
}

bool CCommands::Reap(int slot)
{
    CRunning& running = m_Running[slot];
    if (running.starting) {
        std::string error;
        if (!TakeStarted(*running.starting, running.process, error))
            return false;
        running.starting.reset();
        if (!error.empty()) {
            ReportFailure(MSG_COMMAND_START_FAILED, kEventNames[slot], running.command, error);
            return true;
        }
        CDebug::Trace(CDebug::TraceDetail, "Started the command for the event %s [%s]\n", kEventNames[slot],
                      running.command.c_str());
    }
    if (!running.process)
        return true;
    std::string failure;
    if (!running.process->Ended(failure))
        return false;
    if (!failure.empty())
        ReportFailure(MSG_COMMAND_FAILED, kEventNames[slot], running.command, failure);
    running.process.reset();
    return true;
}

void CCommands::Fire(const std::string& iniFile, CommandEvent event, const std::string& text, long long secondsLeft)
{
    CINIFile ini(iniFile.c_str());
    const std::string command = Trimmed(ini.GetString(kSection, "Event Command", ""));
    if (command.empty() || !EventChosen(ini.GetString(kSection, "Event Command Events", ""), event))
        return;
    const int slot = static_cast<int>(event);
    const char* name = kEventNames[slot];
    if (!Reap(slot)) {
        ReportFailure(MSG_COMMAND_BUSY, name, m_Running[slot].command, "");
        return;
    }
    CRunning& running = m_Running[slot];
    running.command = command;
    running.startedAt = Now();
    running.timeoutMs =
        static_cast<std::uint32_t>(CommandTimeout(ini.GetInt(kSection, "Event Command Timeout", kDefaultTimeoutS))) *
        1000u;
    running.starting = BeginStart(command, {text}, CommandEnvironment(name, m_Facts, secondsLeft));
    // A start takes milliseconds: this little is waited so that a failure
    // to start is on record with its event, not a pass later.
    running.starting->started.Wait(kQuickStartMs);
    Reap(slot);
}

void CCommands::Poll()
{
    for (int slot = 0; slot < kCommandEventCount; ++slot) {
        if (Reap(slot))
            continue;
        CRunning& running = m_Running[slot];
        if (Now() - running.startedAt < running.timeoutMs)
            continue;
        if (running.starting) {
            if (GiveUp(running.starting)) {
                running.starting.reset();
                ReportFailure(MSG_COMMAND_START_FAILED, kEventNames[slot], running.command,
                              NotStartedWithin(running.timeoutMs));
                continue;
            }
            // It started just now: ended below like any other.
            Reap(slot);
            if (!running.process)
                continue;
        }
        running.process->End();
        ReportFailure(MSG_COMMAND_TIMED_OUT, kEventNames[slot], running.command,
                      std::to_string(running.timeoutMs / 1000));
        Keep(std::move(running.process));
    }
    std::string ignored;
    m_Ending.erase(std::remove_if(m_Ending.begin(), m_Ending.end(),
                                  [&](const std::unique_ptr<CCommandProcess>& p) { return p->Ended(ignored); }),
                   m_Ending.end());
}

std::shared_ptr<CStartJob> CCommands::BeginStart(const std::string& command, const std::vector<std::string>& arguments,
                                                 const std::vector<std::string>& environment)
{
    auto job = std::make_shared<CStartJob>();
    job->command = command;
    job->arguments = arguments;
    job->environment = environment;
    // A start given up on may hang for as long as its file cannot be
    // reached, holding a thread and what the start opened: while one of the
    // same command lives, no other is made, so that a flapping UPS cannot
    // pile them up until the client runs out of descriptors.
    // The list is the process's: the event commands start from the
    // monitor's thread, the command before the shutdown and the action from
    // the effects' thread, and a start either gave up still holds what it
    // opened.
    CGivenUpStarts& starts = GivenUpStarts();
    std::unique_lock<CLock> holdList(starts.lock);
    starts.jobs.erase(std::remove_if(starts.jobs.begin(), starts.jobs.end(),
                                     [](const std::shared_ptr<CStartJob>& given) {
                                         std::lock_guard<CLock> hold(given->lock);
                                         return given->over;
                                     }),
                      starts.jobs.end());
    // A start of the same command that has blocked for longer than a start
    // takes counts as well, given up or not yet: two events in a row (on
    // battery, power restored) must not leave two behind.
    const std::uint32_t now = Now();
    const bool pending = std::any_of(starts.jobs.begin(), starts.jobs.end(), [&](const std::shared_ptr<CStartJob>& given) {
        if (given->command != command)
            return false;
        std::lock_guard<CLock> hold(given->lock);
        return given->abandoned || now - given->begunAt >= kQuickStartMs;
    });
    job->begunAt = now;
    if (!pending)
        starts.jobs.push_back(job);
    holdList.unlock();
    auto* holder = pending ? nullptr : new std::shared_ptr<CStartJob>(job);
    // Never made on the monitor's own thread, which the start could block.
    if (pending || !StartDetachedThread(RunStartJob, holder)) {
        delete holder;
        job->error = pending ? "an earlier start of it, given up, still waits for its file"
                             : "no thread could be made for its start";
        job->over = true;
        job->started.Set();
    }
    return job;
}

bool CCommands::GiveUp(const std::shared_ptr<CStartJob>& job)
{
    // It stays on the process's list of starts until its thread is done.
    return Abandon(*job);
}

std::unique_ptr<CCommandProcess> CCommands::StartWithin(const char* event, const std::string& command,
                                                       const std::vector<std::string>& arguments, unsigned long ms,
                                                       const CStopRequest& stop, std::string& failure)
{
    std::shared_ptr<CStartJob> job = BeginStart(command, arguments, CommandEnvironment(event, m_Facts, 0));
    CEvent::WaitEither(job->started, stop.Event(), ms);
    std::unique_ptr<CCommandProcess> process;
    if (!TakeStarted(*job, process, failure)) {
        GiveUp(job);
        // It may have started in between: then it is ours to end.
        if (!TakeStarted(*job, process, failure) || !process)
            failure = stop.Raised() ? "the stop was requested" : NotStartedWithin(ms);
        if (process) {
            process->End();
            Keep(std::move(process));
        }
        return nullptr;
    }
    if (!failure.empty())
        return nullptr;
    CDebug::Trace(CDebug::TraceDetail, "Started the command for the event %s [%s]\n", event, command.c_str());
    return process;
}

bool CCommands::RunBeforeShutdown(CINIFile& ini, const CStopRequest& stop)
{
    const std::string command = Trimmed(ini.GetString(kSection, "Before Shutdown Command", ""));
    if (command.empty())
        return true;
    const char* name = "beforeshutdown";
    const int timeoutS = CommandTimeout(ini.GetInt(kSection, "Before Shutdown Timeout", kDefaultTimeoutS));
    std::string failure;
    std::unique_ptr<CCommandProcess> process =
        StartWithin(name, command, {"UPS on battery, shuting down now."}, kStartWaitMs, stop, failure);
    if (!process) {
        if (stop.Raised())
            return false;
        ReportFailure(MSG_COMMAND_START_FAILED, name, command, failure);
        return true;
    }
    if (process->Wait(static_cast<unsigned long>(timeoutS) * 1000u, stop, failure)) {
        if (!failure.empty())
            ReportFailure(MSG_COMMAND_FAILED, name, command, failure);
        return true;
    }
    // A stop leaves it at its work: the system may be going down already.
    if (stop.Raised()) {
        Keep(std::move(process));
        return false;
    }
    process->End();
    ReportFailure(MSG_COMMAND_TIMED_OUT, name, command, std::to_string(timeoutS));
    Keep(std::move(process));
    return true;
}

bool CCommands::RunShutdownCommand(CINIFile& ini, const CStopRequest& stop, std::string& failure)
{
    const std::string command = Trimmed(ini.GetString(kSection, "Shutdown Command", ""));
    if (command.empty()) {
        failure = "no Shutdown Command is set";
        return false;
    }
    std::unique_ptr<CCommandProcess> process =
        StartWithin("shutdown", command, {"UPS on battery, shuting down now."}, kStartWaitMs, stop, failure);
    if (!process)
        return false;
    if (process->Wait(kShutdownCommandWaitMs, stop, failure))
        return failure.empty();
    // Left at its work, but not trusted with the battery.
    Keep(std::move(process));
    failure = "still running after " + std::to_string(kShutdownCommandWaitMs / 1000) + " seconds";
    return false;
}

bool CCommandProcess::Wait(unsigned long ms, const CStopRequest& stop, std::string& failure)
{
    const CWaitTime time(ms);
    for (;;) {
        if (Ended(failure))
            return true;
        const unsigned long left = time.Left();
        if (left == 0 || stop.Raised())
            return false;
        SleepWhileRunning(left, stop);
    }
}

}  // namespace cvn
