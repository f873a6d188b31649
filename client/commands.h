// The administrator's own commands, all optional keys of the [Commands]
// section, read afresh like every other setting:
// - an event command, started on the power and session events, which runs
//   beside the monitor and never holds it up;
// - a command before the shutdown, waited for up to its timeout;
// - the shutdown action: the ordinary shutdown, hibernation, or a command of
//   the administrator's in its place, with the ordinary shutdown as the
//   fallback whenever the chosen one does not work out.
// Without the section the client behaves as if none of this existed.
#ifndef CVN_COMMANDS_H
#define CVN_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stop_request.h"

class CINIFile;

namespace cvn {

enum class CommandEvent { OnBattery, BatteryLow, PowerRestored, ShuttingDown, SessionLost, SessionMade };
const int kCommandEventCount = 6;

// The event's name as the commands see it in CVN_EVENT and as the settings
// name it: "onbattery", "batterylow", "powerrestored", "shuttingdown",
// "sessionlost", "sessionmade".
const char* CommandEventName(CommandEvent event);

// Whether a list from "Event Command Events" holds the event: names apart by
// commas or semicolons, letter case and blanks not counted ("On Battery" is
// "onbattery"); an empty list holds every event.
bool EventChosen(const std::string& list, CommandEvent event);

// What a command learns from its environment besides the event's name.
struct CCommandFacts {
    std::string outputSource;   // the values last heard, as the server sent them
    std::string batteryStatus;
    std::string server;         // "Server Address" and "Server Port"
    int port = 0;
    std::string ups = "Settings";  // the section that names the server

    bool operator==(const CCommandFacts& other) const
    {
        return outputSource == other.outputSource && batteryStatus == other.batteryStatus &&
               server == other.server && port == other.port && ups == other.ups;
    }
};

// The environment entries ("NAME=value") a command gets on top of the
// client's own.
std::vector<std::string> CommandEnvironment(const char* event, const CCommandFacts& facts, long long secondsLeft);

// Takes the output source and battery status values out of the lines of one
// read, by the same rules that set the monitor's two flags.
void TakeHeardValues(const char* data, std::size_t length, CCommandFacts& facts);

// A command as written in the settings: its program, quoted when its path
// holds blanks, and the arguments after it. An unquoted value that names an
// existing file as a whole is that program alone, blanks and all.
struct CCommandLine {
    std::string program;
    std::string arguments;
};
CCommandLine SplitCommand(const std::string& command);

// A started command (commands_win32.cpp, commands_posix.cpp). A .bat or .cmd
// runs through "cmd /c", a .ps1 through PowerShell; anything else is started
// as it is. The object only lets go of the program: one still running when
// the object goes keeps running.
class CCommandProcess {
public:
    CCommandProcess();
    ~CCommandProcess();
    CCommandProcess(const CCommandProcess&) = delete;
    CCommandProcess& operator=(const CCommandProcess&) = delete;

    // Starts the command with the extra arguments after its own and the
    // environment entries added to the client's. Empty when it started,
    // otherwise the system's reason.
    std::string Start(const CCommandLine& command, const std::vector<std::string>& extraArguments,
                      const std::vector<std::string>& environment);
    // True once it has ended; failure is then empty for a status of 0 and
    // tells the status otherwise.
    bool Ended(std::string& failure);
    // Waits at most ms for its end, or less once the stop is raised.
    bool Wait(unsigned long ms, const CStopRequest& stop, std::string& failure);
    // Ends it, and what it started where the system lets us.
    void End();

    struct Impl;

private:
    // Sleeps until it ends, ms have passed or the stop is raised.
    void SleepWhileRunning(unsigned long ms, const CStopRequest& stop);

    std::unique_ptr<Impl> m_pImpl;
};

// A command being found and started on a thread of its own: a program on
// a share or mount whose server is down in the same outage may hold its
// start for minutes, and no notice and no deadline waits for that.
struct CStartJob;

class CCommands {
public:
    static const int kDefaultTimeoutS = 60;
    // A shutdown command that has not ended by then counts as failed.
    static const unsigned long kShutdownCommandWaitMs = 60000;
    // How long hibernation may take to return (to say whether the system
    // hibernates, or natively that it will); one still at it is given up.
    static const unsigned long kHibernateWaitMs = 10000;
    // How long the command before the shutdown and the shutdown command may
    // take to be found and started; one that has not started by then counts
    // as not started, so that the shutdown keeps its time.
    static const unsigned long kStartWaitMs = 1000;

    CCommands();
    ~CCommands();

    // The facts the monitor keeps up to date for the commands.
    void SetServer(const std::string& address, int port);
    void Heard(const char* data, std::size_t length);
    // With several UPSes: the facts of the one an event is about.
    void SetFacts(const CCommandFacts& facts) { m_Facts = facts; }
    // Starts the event command for the event, when one is set and chosen for
    // it, with the text as its last argument. At most one per event runs.
    void Fire(const std::string& iniFile, CommandEvent event, const std::string& text, long long secondsLeft);
    // From every pass of the monitor: takes the ended commands in (a status
    // other than 0 is reported) and ends those past their timeout.
    void Poll();

    // The command before the shutdown (the episode runs it once): started
    // and waited for up to its timeout, then ended. False only when the stop
    // request ended the wait.
    bool RunBeforeShutdown(CINIFile& ini, const CStopRequest& stop);
    // The shutdown action's two other ways; false with the reason when they
    // did not work out.
    bool RunShutdownCommand(CINIFile& ini, const CStopRequest& stop, std::string& failure);
    bool Hibernate(const CStopRequest& stop, std::string& failure);

private:
    struct CRunning {
        std::shared_ptr<CStartJob> starting;
        std::unique_ptr<CCommandProcess> process;
        std::string command;
        std::uint32_t startedAt = 0;
        std::uint32_t timeoutMs = 0;
    };
    // Takes in the command of a slot when it has ended; true when the slot
    // is free.
    bool Reap(int slot);
    // Keeps an ended-by-us or given-up program until the system has let it go.
    void Keep(std::unique_ptr<CCommandProcess> process);

    // Begins the start of a command on a thread of its own; the job tells
    // when the start has come to an end, and why it failed.
    std::shared_ptr<CStartJob> BeginStart(const std::string& command, const std::vector<std::string>& arguments,
                                          const std::vector<std::string>& environment);
    // Lets go of a start; one that has not come to an end (true) is kept
    // until its thread is done with it.
    bool GiveUp(const std::shared_ptr<CStartJob>& job);

    // Starts a command off the monitor's thread and waits at most ms for it
    // to have started; null (reported) when it could not be started then.
    std::unique_ptr<CCommandProcess> StartWithin(const char* event, const std::string& command,
                                                 const std::vector<std::string>& arguments, unsigned long ms,
                                                 const CStopRequest& stop, std::string& failure);

    CCommandFacts m_Facts;
    CRunning m_Running[kCommandEventCount];
    std::vector<std::unique_ptr<CCommandProcess>> m_Ending;
};

// Lower case, blanks left out: how names in the settings are compared.
std::string Folded(const std::string& text);

// A timeout setting in seconds: below 1 gives the default, and it is held to
// a day.
int CommandTimeout(int seconds);

}  // namespace cvn

#endif
