#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "policy_settings.h"
#include "qmx/debug.h"
#include "qmx/time.h"
#include "server_text.h"
#include "stop_request.h"

using qmx::CDebug;

namespace cvn {

namespace {

const char kSection[] = "Commands";
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

// Starts a command and reports when it cannot; null then.
std::unique_ptr<CCommandProcess> StartCommand(const char* event, const std::string& command,
                                              const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& environment)
{
    auto process = std::make_unique<CCommandProcess>();
    const std::string error = process->Start(SplitCommand(command), arguments, environment);
    if (!error.empty()) {
        ReportFailure(MSG_COMMAND_START_FAILED, event, command, error);
        return nullptr;
    }
    CDebug::Trace(CDebug::TraceDetail, "Started the command for the event %s [%s]\n", event, command.c_str());
    return process;
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
            "CVN_SECONDS_LEFT=" + std::to_string(secondsLeft < 0 ? -1 : secondsLeft)};
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

void CCommands::Forget()
{
    m_Facts.outputSource.clear();
    m_Facts.batteryStatus.clear();
    m_bBeforeShutdownRan = false;
}

void CCommands::Keep(std::unique_ptr<CCommandProcess> process)
{
    if (process)
        m_Ending.push_back(std::move(process));
}

bool CCommands::Reap(int slot)
{
    CRunning& running = m_Running[slot];
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
    if (event == CommandEvent::PowerRestored)
        m_bBeforeShutdownRan = false;
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
    running.process = StartCommand(name, command, {text}, CommandEnvironment(name, m_Facts, secondsLeft));
    running.command = command;
    running.startedAt = Now();
    running.timeoutMs =
        static_cast<std::uint32_t>(CommandTimeout(ini.GetInt(kSection, "Event Command Timeout", kDefaultTimeoutS))) *
        1000u;
}

void CCommands::Poll()
{
    for (int slot = 0; slot < kCommandEventCount; ++slot) {
        if (Reap(slot))
            continue;
        CRunning& running = m_Running[slot];
        if (Now() - running.startedAt < running.timeoutMs)
            continue;
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

bool CCommands::RunBeforeShutdown(CINIFile& ini, const CStopRequest& stop)
{
    const std::string command = Trimmed(ini.GetString(kSection, "Before Shutdown Command", ""));
    if (command.empty() || m_bBeforeShutdownRan)
        return true;
    m_bBeforeShutdownRan = true;
    const char* name = "beforeshutdown";
    const int timeoutS = CommandTimeout(ini.GetInt(kSection, "Before Shutdown Timeout", kDefaultTimeoutS));
    std::unique_ptr<CCommandProcess> process =
        StartCommand(name, command, {"UPS on battery, shuting down now."}, CommandEnvironment(name, m_Facts, 0));
    if (!process)
        return true;
    std::string failure;
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
    const char* name = "shutdown";
    auto process = std::make_unique<CCommandProcess>();
    failure = process->Start(SplitCommand(command), {"UPS on battery, shuting down now."},
                             CommandEnvironment(name, m_Facts, 0));
    if (!failure.empty())
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

bool CCVNRemoteApp::RunShutdown()
{
    CINIFile ini(m_strIniFile.c_str());
    if (!m_Commands.RunBeforeShutdown(ini, m_StopRequest))
        return false;

    // A dry run goes this far as usual; the request (or the chosen action)
    // is only put on record. It counts as a request the system took: the
    // countdown asks no more in this episode, and the monitor goes on, since
    // nothing stops it.
    if (cvn::DryRun(ini)) {
        CCVNException(MSG_DRY_RUN, 0).Report();
        return true;
    }

    const std::string action = cvn::Folded(ini.GetString("Commands", "Shutdown Action", ""));
    if (!action.empty() && action != "shutdown") {
        CDebug::Trace(CDebug::TraceDetail, "Shutdown action [%s]\n", action.c_str());
        std::string failure;
        bool done = false;
        if (action == "hibernate")
            done = m_Commands.Hibernate(m_StopRequest, failure);
        else if (action == "command")
            done = m_Commands.RunShutdownCommand(ini, m_StopRequest, failure);
        else
            failure = "not one of shutdown, hibernate, command";
        if (done) {
            // Hibernation returns once the computer has woken, a command may
            // have done anything: what was heard before counts no more.
            m_Commands.RequestFreshStart();
            return true;
        }
        if (m_StopRequest.Raised())
            return false;
        CCVNException(MSG_ACTION_FAILED, 2, action.c_str(), failure.c_str()).Report();
    }
    ShutdownSystem();
    return m_bStop;
}
