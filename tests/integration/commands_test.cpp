// The administrator's commands run by the real CVNRemote against the
// simulator: one script (a shell script natively, a batch file under Wine)
// in a folder whose name holds a blank writes its event, environment and
// last argument to events.log, then stays while the file "hang" is beside
// it and ends with the status the test chose.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#endif

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "upssim/server.h"

using namespace cvntest;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kShutdownNow = "UPS on battery, shuting down now.";

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

bool Await(const std::function<bool()>& done, int timeoutMs)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        std::filesystem::create_directory(Admin(""));
#if defined(_WIN32)
        std::filesystem::copy_file(BinPath("cvn_recorder"), Admin("hold.exe"));
        WriteFile(Admin("event.bat"),
                  "@echo %CVN_EVENT%;%CVN_OUTPUT_SOURCE%;%CVN_BATTERY_STATUS%;%CVN_SERVER%;%CVN_SERVER_PORT%;"
                  "%CVN_SECONDS_LEFT%;%~1;>>\"%~dp0events.log\"\r\n"
                  "@set CVN_RECORD_DIR=%~dp0\r\n"
                  "@\"%~dp0hold.exe\"\r\n"
                  "@exit /b %errorlevel%\r\n");
#else
        WriteFile(Admin("event.sh"),
                  "#!/bin/sh\n"
                  "dir=$(dirname \"$0\")\n"
                  "printf '%s;%s;%s;%s;%s;%s;%s;\\n' \"$CVN_EVENT\" \"$CVN_OUTPUT_SOURCE\" \"$CVN_BATTERY_STATUS\" "
                  "\"$CVN_SERVER\" \"$CVN_SERVER_PORT\" \"$CVN_SECONDS_LEFT\" \"$1\" >> \"$dir/events.log\"\n"
                  "echo $$ >> \"$dir/pids\"\n"
                  // A child of its own, which only its group's end ends.
                  "if [ -e \"$dir/hang\" ]; then\n"
                  "  (while [ -e \"$dir/hang\" ]; do sleep 0.05; done) &\n"
                  "  echo $! >> \"$dir/pids\"\n"
                  "fi\n"
                  "while [ -e \"$dir/hang\" ]; do sleep 0.05; done\n"
                  "s=$(cat \"$dir/status\" 2>/dev/null || echo 0)\n"
                  "case $s in -*) kill $s $$ ;; esac\n"
                  "exit $s\n");
        chmod(Admin("event.sh").c_str(), 0755);
#endif
    }
    void TearDown() override
    {
        Hang(false);
        server.Stop();
    }

    // The administrator's folder, with a blank in its name, or a file in it.
    std::string Admin(const std::string& name) const
    {
        const std::string dir = env.File("admin scripts");
        return name.empty() ? dir : dir + Separator() + name;
    }
    static char Separator()
    {
#if defined(_WIN32)
        return '\\';
#else
        return '/';
#endif
    }
    std::string Script() const
    {
#if defined(_WIN32)
        return "\"" + Admin("event.bat") + "\"";
#else
        return "\"" + Admin("event.sh") + "\"";
#endif
    }
    void Hang(bool on)
    {
        if (on)
            WriteFile(Admin("hang"), "");
        else
            std::filesystem::remove(Admin("hang"));
    }
    void SetStatus(int status)
    {
#if defined(_WIN32)
        WriteFile(Admin("hold.exe.exit"), std::to_string(status));
#else
        WriteFile(Admin("status"), std::to_string(status));
#endif
    }
    // The ids of the processes the script started, natively the script
    // itself, under Wine the program it holds on.
    std::vector<unsigned long> Pids() const
    {
        std::vector<unsigned long> pids;
#if defined(_WIN32)
        std::istringstream log(ReadFile(Admin("calls.log")));
#else
        std::istringstream log(ReadFile(Admin("pids")));
#endif
        std::string line;
        while (std::getline(log, line))
            pids.push_back(std::strtoul(line.c_str(), nullptr, 10));
        return pids;
    }
    static bool Gone(unsigned long pid)
    {
#if defined(_WIN32)
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
        if (!process)
            return true;
        const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        CloseHandle(process);
        return ended;
#else
        // A zombie still answers: gone means ended and taken in, or a
        // zombie (an orphan's, which the container's first process may
        // never take in).
        if (kill(static_cast<pid_t>(pid), 0) != 0)
            return true;
        const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        return close != std::string::npos && stat.compare(close, 3, ") Z") == 0;
#endif
    }

    // The events.log lines, each without what cmd's echo may add at its end.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> lines;
        std::istringstream log(ReadFile(Admin("events.log")));
        std::string line;
        while (std::getline(log, line)) {
            line.erase(line.find_last_of(';'));
            lines.push_back(line);
        }
        return lines;
    }
    std::string Expected(const std::string& event, const std::string& output, const std::string& battery,
                         int secondsLeft, const std::string& text) const
    {
        return event + ";" + output + ";" + battery + ";127.0.0.1;" + std::to_string(server.Port()) + ";" +
               std::to_string(secondsLeft) + ";" + text;
    }
    bool AwaitEvents(size_t count, int timeoutMs = 20000) const
    {
        return Await([&] { return Events().size() >= count; }, timeoutMs);
    }

    void WriteSettings(int onDelay, const std::string& commands)
    {
        WriteFile(env.AppDir() + "CVNRemote.ini",
                  "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                      "\nOn Battery Shutdown=" + std::to_string(onDelay) + "\nLow Battery Shutdown=50\n" +
                      "[Commands]\n" + commands + "[Debug]\nOn=1\nLevel=3\n");
    }
    void StartClient(int onDelay, const std::string& commands)
    {
        WriteSettings(onDelay, commands);
        client = env.Start("CVNRemote", {"daemon"});
        ASSERT_TRUE(server.WaitForText(1, "GetValue(Battery Status)\r\n", 20000)) << client->Err();
    }
    bool AwaitErr(const std::string& text, int timeoutMs) const
    {
        return Await([&] { return Lines(client->Err()).find(text) != std::string::npos; }, timeoutMs);
    }

    // The stand-ins' starts whose command line holds the text.
    size_t CountCalls(const std::string& text) const
    {
        size_t n = 0;
        for (const RecordedCall& call : env.Calls())
            n += call.commandLine.find(text) != std::string::npos;
        return n;
    }
    // Natively the stand-in records the shutdown request; under Wine it ends
    // the session of the prefix, and the client with it.
    bool ShutdownRequested() const
    {
#if defined(_WIN32)
        return !client->Running() && CountCalls(kShutdownNow) > 0;
#else
        return CountCalls("shutdown -h now") > 0;
#endif
    }

    upssim::CServer server;
    ClientEnv env;
    std::unique_ptr<Process> client;
};

TEST_F(Commands, TheEventCommandIsToldEachEventOfAnEpisode)
{
    StartClient(60, "Event Command=" + Script() + "\n");
    ASSERT_TRUE(AwaitEvents(1)) << client->Err();
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitEvents(2)) << client->Err();
    server.SetBattery("Low");
    ASSERT_TRUE(AwaitEvents(3)) << client->Err();
    server.SetOutput("Line");
    ASSERT_TRUE(AwaitEvents(4)) << client->Err();
    server.CloseConnections();
    ASSERT_TRUE(AwaitEvents(6, 40000)) << client->Err();

    const std::string lost = "Connection to server lost!  Will attept to reconnect every 20 seconds.";
    EXPECT_EQ((std::vector<std::string>{
                  Expected("sessionmade", "", "", -1, "Successfully Connected."),
                  Expected("onbattery", "Battery", "OK", 60, "UPS on battery, system will shutdown in 60 seconds."),
                  Expected("batterylow", "Battery", "Low", 50, "UPS battery low, system will shutdown in 50 seconds."),
                  Expected("powerrestored", "Line", "Low", -1, "UPS power restored, aborting shutdown."),
                  Expected("sessionlost", "Line", "Low", -1, lost),
                  Expected("sessionmade", "Line", "Low", -1, "Successfully Connected."),
              }),
              Events());
    // Nothing of it on record: every command ended with 0.
    EXPECT_EQ(std::string::npos, client->Err().find("The command for the event")) << client->Err();
}

TEST_F(Commands, AHangingCommandIsEndedAtItsTimeoutAndReported)
{
    Hang(true);
    const Clock::time_point start = Clock::now();
    StartClient(60, "Event Command=" + Script() + "\nEvent Command Events=Session Made\nEvent Command Timeout=2\n");
    ASSERT_TRUE(AwaitErr("The command for the event sessionmade [" + Script() +
                             "] was still running after 2 seconds and has been ended.",
                         20000))
        << client->Err();
    // Looked at once a pass: on mains at least every 10 s.
    EXPECT_GE(Seconds(Clock::now() - start), 2.0);
    ASSERT_FALSE(Pids().empty());
    // Natively with what it started: the script's child ends only with its group.
    for (unsigned long pid : Pids())
        EXPECT_TRUE(Await([&] { return Gone(pid); }, 15000)) << pid;
    EXPECT_TRUE(client->Running());
}

TEST_F(Commands, AFailingCommandIsReportedAndChangesNothing)
{
    // First a command that cannot be started at all, then (read afresh) one
    // that fails on every event.
    StartClient(3, "Event Command=\"" + Admin("missing program") + "\"\n");
    ASSERT_TRUE(AwaitErr("Unable to start the command for the event sessionmade", 10000)) << client->Err();
    SetStatus(3);
    WriteSettings(3, "Event Command=" + Script() + "\n");

    server.SetOutput("Battery");
    ASSERT_TRUE(Await([&] { return CountCalls(kShutdownNow) > 0; }, 15000)) << client->Err();
    EXPECT_TRUE(Await([&] { return ShutdownRequested(); }, 10000));
    EXPECT_EQ(1u, CountCalls("UPS on battery, system will shutdown in 3 seconds."));
    EXPECT_TRUE(AwaitErr("The command for the event onbattery [" + Script() + "] ended with status 3.", 10000))
        << client->Err();
    ASSERT_TRUE(AwaitEvents(2)) << client->Err();
    EXPECT_EQ(Expected("shuttingdown", "Battery", "OK", 0, kShutdownNow), Events()[1]);
}

TEST_F(Commands, TheCommandBeforeTheShutdownHoldsItUntilItEnds)
{
    Hang(true);
    StartClient(1, "Before Shutdown Command=" + Script() + "\n");
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitEvents(1)) << client->Err();
    EXPECT_EQ(Expected("beforeshutdown", "Battery", "OK", 0, kShutdownNow), Events().front());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(ShutdownRequested());
    const Clock::time_point released = Clock::now();
    Hang(false);
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 10000)) << client->Err();
    EXPECT_LE(Seconds(Clock::now() - released), 2.0);
}

TEST_F(Commands, TheCommandBeforeTheShutdownHoldsItNoLongerThanItsTimeout)
{
    Hang(true);
    StartClient(1, "Before Shutdown Command=" + Script() + "\nBefore Shutdown Timeout=3\n");
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitEvents(1)) << client->Err();
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 15000)) << client->Err();
    EXPECT_GE(Seconds(Clock::now() - started), 2.5);
    EXPECT_LE(Seconds(Clock::now() - started), 5.0);
    ASSERT_FALSE(Pids().empty());
    EXPECT_TRUE(Await([&] { return Gone(Pids().front()); }, 5000));
#if !defined(_WIN32)
    EXPECT_NE(std::string::npos, client->Err().find("was still running after 3 seconds and has been ended."))
        << client->Err();
#endif
}

// The chosen action is made once in an episode. One that reports success is
// checked, not trusted: a computer still up after Fallback Delay gets the
// ordinary shutdown. One that fails, is killed or hangs gets it at once.
TEST_F(Commands, TheChosenActionIsMadeOnceAndTheShutdownFollowsWhenItDoesNotTakeEffect)
{
    const std::string command = "Shutdown Action=command\nShutdown Command=" + Script() + "\n";
    const std::string instead = ". The system is shut down instead.";
    const std::string noEffect = " reported success, but the system was still running 2 seconds later" + instead;
    const struct {
        std::string settings;
        int status;  // the command's, or systemctl's
        bool hang;
        std::string report;
        double least, most;  // seconds from the "shutting down" notice to the shutdown
    } cases[] = {
        {command, 0, false, "The shutdown action command" + noEffect, 1.9, 4.5},
        {command, 4, false, "The shutdown action command failed. Detail[status 4]" + instead, 0, 2},
#if defined(_WIN32)
        // Wine's SetSuspendState does nothing and succeeds.
        {"Shutdown Action=hibernate\n", 0, false, "The shutdown action hibernate" + noEffect, 1.9, 6},
#else
        {command, -9, false, "The shutdown action command failed. Detail[signal 9]" + instead, 0, 2},
        {"Shutdown Action=Hibernate\n", 0, false, "The shutdown action hibernate" + noEffect, 1.9, 4.5},
        {"Shutdown Action=Hibernate\n", 1, false,
         "The shutdown action hibernate failed. Detail[systemctl hibernate ended with status 1]" + instead, 0, 2},
        {"Shutdown Action=Hibernate\n", 0, true,
         "The shutdown action hibernate failed. Detail[systemctl hibernate was still running after 10 seconds and "
         "has been ended]" + instead,
         9.5, 14},
#endif
    };
    server.SetOutput("Battery");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        std::filesystem::remove(Admin("events.log"));
        SetStatus(c.status);
#if !defined(_WIN32)
        env.SetExitStatus("systemctl", c.status);
        env.SetHanging("systemctl", c.hang);
#endif
        const size_t notices = CountCalls(kShutdownNow);
#if !defined(_WIN32)
        const size_t requests = CountCalls("shutdown -h now"), hibernations = CountCalls("systemctl hibernate");
#endif
        StartClient(1, c.settings + "Fallback Delay=2\n");
        ASSERT_TRUE(Await([&] { return CountCalls(kShutdownNow) > notices; }, 15000)) << client->Err();
        const Clock::time_point told = Clock::now();
        // Natively the earlier clients' requests are on record too.
        ASSERT_TRUE(Await(
            [&] {
#if defined(_WIN32)
                return ShutdownRequested();
#else
                return CountCalls("shutdown -h now") > requests;
#endif
            },
            20000))
            << client->Err();
        EXPECT_GE(Seconds(Clock::now() - told), c.least);
        EXPECT_LE(Seconds(Clock::now() - told), c.most);
        EXPECT_TRUE(AwaitErr(c.report, 5000)) << client->Err();
        // Made once, never in a loop; the command is told what it stands for.
        if (c.settings == command) {
            EXPECT_EQ((std::vector<std::string>{Expected("shutdown", "Battery", "OK", 0, kShutdownNow)}), Events());
        }
#if !defined(_WIN32)
        else {
            EXPECT_EQ(1u, CountCalls("systemctl hibernate") - hibernations);
        }
        env.SetHanging("systemctl", false);
#endif
        client->Wait(15000);
    }
}

// Mains power while the action is awaited ends the episode: the next one
// runs the command before the shutdown and the action again. A low battery
// ends the wait at once.
TEST_F(Commands, EachEpisodeRunsItsCommandsOnceAndALowBatteryCutsTheFallbackDelay)
{
#if defined(_WIN32)
    const std::string before = kShutdownNow;
    StartClient(1, "Before Shutdown Command=" + Script() + "\nShutdown Action=command\nShutdown Command=" + Script() +
                       "\nFallback Delay=30\n");
#else
    // Natively single quotes hold an argument together too.
    const std::string before = "stop vms";
    StartClient(1, "Before Shutdown Command=" + Script() + " 'stop vms'\nShutdown Action=command\nShutdown Command=" +
                       Script() + "\nFallback Delay=30\n");
#endif
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitEvents(2)) << client->Err();
    server.SetOutput("Line");
    ASSERT_TRUE(AwaitErr("UPS power restored, aborting shutdown.", 10000)) << client->Err();
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitEvents(4)) << client->Err();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(ShutdownRequested());
    const Clock::time_point low = Clock::now();
    server.SetBattery("Low");
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 10000)) << client->Err();
    EXPECT_LE(Seconds(Clock::now() - low), 3.0);
    const std::vector<std::string> events = Events();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ(Expected("beforeshutdown", "Battery", "OK", 0, before), events[2]);
    EXPECT_EQ(Expected("shutdown", "Battery", "OK", 0, kShutdownNow), events[3]);
}

// Whoever answers in the server's place chooses the output source's text:
// it reaches a command tame, however the script uses it, and still counts.
// Natively the command holds no descriptor of the client's (a command that
// outlived a lost session would keep the session open): the client's own are
// all close-on-exec, and a program sees its standard input empty and its
// output and error, nothing more.
TEST_F(Commands, ServerTextReachesACommandTameAndNoDescriptorOfTheClientsDoes)
{
#if defined(_WIN32)
    const int delay = 60;
    StartClient(delay, "Event Command=" + Script() + "\nEvent Command Events=On Battery\n");
#else
    const int delay = 1;
    WriteFile(Admin("fds.sh"), "#!/bin/sh\nreadlink /proc/self/fd/0 > \"$(dirname \"$0\")/fds\"\n"
                               "ls /proc/self/fd >> \"$(dirname \"$0\")/fds\"\n");
    chmod(Admin("fds.sh").c_str(), 0755);
    StartClient(delay, "Event Command=" + Script() + "\nEvent Command Events=On Battery\nBefore Shutdown Command=\"" +
                           Admin("fds.sh") + "\"\n");
    // Socket, trace file, the events' pipes: none may reach a program.
    const std::string fdinfo = "/proc/" + std::to_string(client->Id()) + "/fdinfo";
    size_t descriptors = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fdinfo)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        const std::string info = ReadFile(entry.path().string());
        const size_t flags = info.find("flags:");
        if (fd < 3 || flags == std::string::npos)
            continue;
        ++descriptors;
        EXPECT_NE(0ul, std::strtoul(info.c_str() + flags + 6, nullptr, 8) & 02000000ul) << std::filesystem::read_symlink(fdinfo.substr(0, fdinfo.size() - 4) + "/" + std::to_string(fd)) << ": " << info;
    }
    EXPECT_GE(descriptors, 3u);
#endif
    server.SetOutput("Battery & whoami ; $(id) `id` %COMSPEC% ^& | calc");
    ASSERT_TRUE(AwaitEvents(1)) << client->Err();
    EXPECT_EQ(Expected("onbattery", "Battery _ whoami _ __id_ _id_ _COMSPEC_ __ _ calc", "OK", delay,
                       "UPS on battery, system will shutdown in " + std::to_string(delay) + " seconds."),
              Events().front());
#if !defined(_WIN32)
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 15000)) << client->Err();
    EXPECT_EQ("/dev/null\n0\n1\n2\n3\n", ReadFile(Admin("fds")));
#endif
}

#if !defined(_WIN32)
// A computer suspended in the middle of the final notice wakes past its
// deadline: a UPS still on battery starts a full countdown instead of the
// stale shutdown. What was last heard of the power stands, so that the
// shutdown comes even when the server is gone after the resume. The client's
// own suspension shows the same clock jump.
TEST_F(Commands, AResumePastTheDeadlineStartsAfreshAndEndsInTheShutdownWithoutTheServer)
{
    StartClient(3, "Event Command=" + Script() + "\nEvent Command Events=onbattery\n");
    server.SetOutput("Battery");
    ASSERT_TRUE(Await([&] { return CountCalls("in 3 seconds.") == 1; }, 10000)) << client->Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    env.SetHanging("wall", true);
    ASSERT_TRUE(Await([&] { return CountCalls(kShutdownNow) == 1; }, 10000)) << client->Err();
    const pid_t pid = static_cast<pid_t>(client->Id());
    ASSERT_EQ(0, kill(pid, SIGSTOP));
    // Past the notice's 10 s and the 30 s that a busy machine may add.
    std::this_thread::sleep_for(std::chrono::seconds(42));
    env.SetHanging("wall", false);
    server.SetFault(upssim::Fault::Refuse, true);
    server.CloseConnections();
    ASSERT_EQ(0, kill(pid, SIGCONT));
    const Clock::time_point woke = Clock::now();
    ASSERT_TRUE(AwaitErr("The system was suspended for about", 5000)) << client->Err();
    ASSERT_TRUE(Await([&] { return CountCalls("in 3 seconds.") == 2; }, 10000)) << client->Err();
    EXPECT_FALSE(ShutdownRequested());
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 15000)) << client->Err();
    EXPECT_GE(Seconds(Clock::now() - woke), 2.9);
    EXPECT_LE(Seconds(Clock::now() - woke), 7.0);
    const std::string warning =
        Expected("onbattery", "Battery", "OK", 3, "UPS on battery, system will shutdown in 3 seconds.");
    EXPECT_EQ((std::vector<std::string>{warning, warning}), Events());
}

// A command on a path that blocks whoever looks at it (a FIFO here; a share
// whose server is down in the same outage in real life) is reported as not
// started, and the warning and the shutdown keep their times.
TEST_F(Commands, ACommandWhoseFileBlocksHoldsNeitherTheWarningNorTheShutdown)
{
    const std::string stalled = Admin("stalled share");
    ASSERT_EQ(0, mkfifo(stalled.c_str(), 0644));
    StartClient(3, "Event Command=" + stalled + "\nEvent Command Events=onbattery\nEvent Command Timeout=2\n" +
                       "Before Shutdown Command=" + stalled + "\n");
    const Clock::time_point failed = Clock::now();
    server.SetOutput("Battery");
    ASSERT_TRUE(Await([&] { return CountCalls("in 3 seconds.") == 1; }, 10000)) << client->Err();
    const Clock::time_point warned = Clock::now();
    EXPECT_LE(Seconds(warned - failed), 1.5);
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 15000)) << client->Err();
    // The deadline, counted from the failure; the start of the command
    // before the shutdown, refused at once while the given-up one lives.
    EXPECT_GE(Seconds(Clock::now() - failed), 2.9);
    EXPECT_LE(Seconds(Clock::now() - failed), 5.0);
    const std::string err = Lines(client->Err());
    EXPECT_NE(std::string::npos, err.find("Unable to start the command for the event onbattery [" + stalled +
                                          "]. Detail[not started within "))
        << err;
    // The same file, still blocking the start given up a second ago.
    EXPECT_NE(std::string::npos, err.find("Unable to start the command for the event beforeshutdown [" + stalled +
                                          "]. Detail[an earlier start of it, given up, still waits for its file]"))
        << err;
}

// A flapping UPS fires a command whose file blocks some 50 times: the starts
// made before the first was given up (one per event it is set for, here
// two) live on, and the others are reported as not started, so that within 64 descriptors the client keeps its session and
// still shuts down on time when the outage comes to stay.
TEST_F(Commands, GivenUpStartsOfABlockingCommandDoNotPileUp)
{
    const std::string stalled = Admin("stalled share");
    ASSERT_EQ(0, mkfifo(stalled.c_str(), 0644));
    rlimit wide{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &wide));
    rlimit narrow = wide;
    narrow.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &narrow));
    StartClient(3, "Event Command=" + stalled + "\nEvent Command Events=onbattery,powerrestored\n" +
                       "Event Command Timeout=1\n");
    setrlimit(RLIMIT_NOFILE, &wide);
    const std::string proc = "/proc/" + std::to_string(client->Id());
    auto count = [](const std::string& dir) {
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it)
            ++n;
        return n;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t fds = count(proc + "/fd");
    const size_t threads = count(proc + "/task");

    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 25; ++i) {
        server.SetOutput("Battery");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.SetOutput("Line");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Past the last start's timeout.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The given-up starts: a thread each, and what each start holds open.
    EXPECT_LE(count(proc + "/task"), threads + 2);
    EXPECT_LE(count(proc + "/fd"), fds + 6);
    const std::string err = Lines(client->Err());
    size_t refused = 0;
    for (size_t at = 0; (at = err.find("Detail[an earlier start of it, given up, still waits for its file]", at)) !=
                        std::string::npos;
         ++at)
        ++refused;
    EXPECT_GE(refused, 10u) << err;
    // The session held all along.
    EXPECT_EQ(std::string::npos, err.find("Connection to server lost")) << err;
    EXPECT_EQ(std::string::npos, err.find("Unable to connect")) << err;

    const Clock::time_point outage = Clock::now();
    server.SetOutput("Battery");
    ASSERT_TRUE(Await([&] { return ShutdownRequested(); }, 10000)) << client->Err();
    EXPECT_GE(Seconds(Clock::now() - outage), 2.9);
    EXPECT_LE(Seconds(Clock::now() - outage), 4.5);
    EXPECT_LE(Seconds(Clock::now() - start), 30.0);
}
#endif

}  // namespace
