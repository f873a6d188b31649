// The checks of the set-up that an administrator runs by hand: "status"
// makes one session as the monitor would and shows what the server says
// (with several servers, one session to each side by side, and the
// computer's state from all of them);
// "notice" sends the users a test notice the way a real one goes. Neither
// sends a power notice, shuts down or touches the service.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "line_rules.h"
#include "net.h"
#include "servers.h"
#include "stop_request.h"
#include "supplies.h"
#include "sync.h"
#include "ups_session.h"

namespace {

const char kTestNotice[] = "This is a test of the UPS shutdown client.";
// The whole check, connection and answers, takes at most this long.
const unsigned long kAnswerWaitMs = 10000;
const int kReceiveSize = 1000;
// A line that never ends is not kept growing.
const std::size_t kLongestLine = 4096;

// What the server said of the two values, as far as it did.
struct CUpsState {
    bool bOutputSource = false;
    bool bBatteryStatus = false;
    std::string strOutputSource;
    std::string strBatteryStatus;

    bool Complete() const { return bOutputSource && bBatteryStatus; }
    void Take(const std::string& line)
    {
        std::string value;
        switch (cvn::MatchLine(line, value)) {
        case cvn::LineValue::OutputSource:
            bOutputSource = true;
            strOutputSource = value;
            break;
        case cvn::LineValue::BatteryStatus:
            bBatteryStatus = true;
            strBatteryStatus = value;
            break;
        case cvn::LineValue::None:
            break;
        }
    }
};

// The value as the server wrote it, without the closing braces and
// anything a terminal would act on.
std::string Shown(const std::string& value)
{
    std::string text = cvn::PrintableText(value.data(), value.size());
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "}}") == 0)
        text.erase(text.size() - 2);
    return text;
}

// Reads the session until both values have come, the time is up or the
// server has gone. Unlike the monitor it joins a line that two reads split:
// it reads only until it knows, so nothing would fix a wrong first guess.
void ReadAnswers(int session, const cvn::CWaitTime& time, const cvn::CStopRequest& stop, CUpsState& state)
{
    std::string pending;
    while (!state.Complete()) {
        const unsigned long left = time.Left();
        if (left == 0 || cvn::NetWaitReadable(session, left, &stop) <= 0)
            return;
        char buffer[kReceiveSize];
        const int received = cvn::NetReceive(session, buffer, kReceiveSize);
        if (received <= 0)
            return;
        pending.append(buffer, static_cast<std::size_t>(received));
        std::size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            // A zero byte ends a line's text, as in the monitor.
            state.Take(pending.substr(0, end).c_str());
            pending.erase(0, end + 1);
        }
        if (pending.size() > kLongestLine)
            pending.clear();
    }
}

// One UPS asked on a thread of its own; the thread holds it as long as it
// runs, so that one given up on may still end in its own time.
struct CStatusJob {
    cvn::CSessionRequest request;
    cvn::CStopRequest stop;
    cvn::CEvent done;
    bool connected = false;
    CUpsState state;
};

void AskUps(void* argument)
{
    std::unique_ptr<std::shared_ptr<CStatusJob>> holder(static_cast<std::shared_ptr<CStatusJob>*>(argument));
    CStatusJob& job = **holder;
    const cvn::CWaitTime total(kAnswerWaitMs);
    const int session = cvn::OpenUpsSession(job.request);
    if (session != -1) {
        job.connected = true;
        ReadAnswers(session, total, job.stop, job.state);
        cvn::NetClose(session);
    } else if (!job.stop.Raised()) {
        CINIFile ini(job.request.iniFile.c_str());
        const std::string name = cvn::ServerName(cvn::ReadServer(ini, job.request.section));
        CCVNException(MSG_CONNECT_FAILED_AT, 1, name.c_str()).Report();
    }
    job.done.Set();
}

const char* PowerText(const cvn::CPowerFlags& power)
{
    if (power.onBattery)
        return power.batteryLow ? "on battery, battery low" : "on battery";
    return power.batteryLow ? "on mains power, battery low" : "on mains power";
}

}  // namespace

int CCVNRemoteApp::RunCheck()
{
    // A settings file that cannot be read is reported as the monitor would.
    if (!m_strInitError.empty()) {
        CCVNException(MSG_INIT_FAILED, 1, m_strInitError.c_str()).Report();
        return cvn::kExitFailed;
    }
    return m_eCheck == Check::Status ? ShowStatus() : SendTestNotice();
}

int CCVNRemoteApp::ShowStatus()
{
    CINIFile ini(m_strIniFile.c_str());
    const std::vector<std::string> sections = cvn::ServerSections(ini);
    if (sections.size() > 1)
        return ShowSuppliesStatus(sections);
    const std::string address = ini.GetString("Settings", "Server Address", "");
    const std::uint16_t port = static_cast<std::uint16_t>(ini.GetInt("Settings", "Server Port", 8888));
    std::printf("Server:         %s port %u\n", address.c_str(), static_cast<unsigned>(port));
    std::fflush(stdout);
    if (address.empty()) {
        CCVNException(MSG_NO_SERVER_ADDRESS, 0).Report();
        return cvn::kExitFailed;
    }

    // One budget for everything, whatever the server does.
    const cvn::CWaitTime total(kAnswerWaitMs);
    const int session = ConnectToServer(kAnswerWaitMs);
    if (session == -1) {
        CCVNException(MSG_CONNECT_FAILED, 1, address.c_str()).Report();
        return cvn::kExitFailed;
    }
    std::printf("Login:          accepted for %s\n", ini.GetString("Settings", "Username", "admin").c_str());

    CUpsState state;
    ReadAnswers(session, total, m_StopRequest, state);
    cvn::NetClose(session);
    const char* const none = "(no answer)";
    std::printf("Output Source:  %s\n", state.bOutputSource ? Shown(state.strOutputSource).c_str() : none);
    std::printf("Battery Status: %s\n", state.bBatteryStatus ? Shown(state.strBatteryStatus).c_str() : none);
    std::fflush(stdout);
    if (!state.Complete()) {
        std::fprintf(stderr, "The server did not tell both values within %lu seconds.\n",
                     static_cast<unsigned long>(kAnswerWaitMs / 1000));
        return cvn::kExitFailed;
    }

    const bool onBattery = cvn::MeansOnBattery(state.strOutputSource);
    const bool low = cvn::MeansBatteryLow(state.strBatteryStatus);
    std::printf("UPS:            %s%s\n", onBattery ? "on battery" : "on mains power", low ? ", battery low" : "");
    std::fflush(stdout);
    if (low)
        return cvn::kExitBatteryLow;
    return onBattery ? cvn::kExitOnBattery : 0;
}

int CCVNRemoteApp::ShowSuppliesStatus(const std::vector<std::string>& sections)
{
    CINIFile ini(m_strIniFile.c_str());
    if (ini.GetString("Settings", "Server Address", "").empty()) {
        CCVNException(MSG_NO_SERVER_ADDRESS, 0).Report();
        return cvn::kExitFailed;
    }
    // Every server is asked at once, within the one budget of the check.
    const cvn::CWaitTime total(kAnswerWaitMs);
    std::vector<std::shared_ptr<CStatusJob>> jobs;
    for (const std::string& section : sections) {
        auto job = std::make_shared<CStatusJob>();
        job->request.iniFile = m_strIniFile;
        job->request.section = section;
        job->request.named = true;
        job->request.limited = true;
        job->request.budgetMs = kAnswerWaitMs;
        job->request.stop = &job->stop;
        auto* holder = new std::shared_ptr<CStatusJob>(job);
        if (!cvn::StartDetachedThread(AskUps, holder)) {
            delete holder;
            job->done.Set();
        }
        jobs.push_back(job);
    }

    std::vector<cvn::CPowerFlags> power;
    std::vector<char> heard;
    int asked = 0;
    for (const auto& job : jobs) {
        // A job past the budget is stopped and counts as not asked.
        const bool done = job->done.Wait(total.Left());
        if (!done)
            job->stop.Raise();
        const cvn::CServerEntry server = cvn::ReadServer(ini, job->request.section);
        const std::string name = cvn::ServerName(server);
        cvn::CPowerFlags flags;
        if (done && job->state.Complete()) {
            ++asked;
            flags.onBattery = cvn::MeansOnBattery(job->state.strOutputSource);
            flags.batteryLow = cvn::MeansBatteryLow(job->state.strBatteryStatus);
            std::printf("UPS %s: output source %s, battery status %s: %s\n", name.c_str(),
                        Shown(job->state.strOutputSource).c_str(), Shown(job->state.strBatteryStatus).c_str(),
                        PowerText(flags));
        } else {
            // Not heard: it counts as the monitor counts a UPS it has not
            // heard from yet.
            std::printf("UPS %s: %s\n", name.c_str(),
                        done && job->connected ? "did not tell both values" : "could not be asked");
        }
        power.push_back(flags);
        heard.push_back(done && job->state.Complete() ? 1 : 0);
    }

    const int minimum = cvn::MinimumSupplies(ini, static_cast<int>(sections.size()));
    std::unique_ptr<bool[]> counted(new bool[power.size() ? power.size() : 1]);
    bool heardOnBattery = false;
    for (std::size_t i = 0; i < power.size(); ++i) {
        counted[i] = heard[i] != 0;
        heardOnBattery = heardOnBattery || (counted[i] && power[i].onBattery);
    }
    const cvn::CPowerFlags computer = cvn::ComputerPowerHeard(power.data(), counted.get(), power.size(), minimum);
    int onMains = 0;
    for (std::size_t i = 0; i < power.size(); ++i)
        onMains += (counted[i] ? power[i].onBattery : heardOnBattery) ? 0 : 1;
    std::printf("Computer:       %s (%d of %u UPSes on mains power, %d needed)\n", PowerText(computer), onMains,
                static_cast<unsigned>(power.size()), minimum);
    std::fflush(stdout);
    if (asked == 0)
        return cvn::kExitFailed;
    if (computer.batteryLow)
        return cvn::kExitBatteryLow;
    return computer.onBattery ? cvn::kExitOnBattery : 0;
}

int CCVNRemoteApp::SendTestNotice()
{
    const std::string text = m_strNoticeText.empty() ? kTestNotice : m_strNoticeText;
    // Sent as it stands: a "%" in the text is no format.
    const char* way = NotifyUsers(text.c_str(), -1);
    if (!way) {
        std::fprintf(stderr, "The notice was not delivered%s\n",
                     m_bWin9x ? ": Windows 9x has no way to send it." : " by any way.");
        return cvn::kExitFailed;
    }
    std::printf("Notice sent by %s: %s\n", way, text.c_str());
    std::fflush(stdout);
    return 0;
}
