// The monitor: the client's main loop. Each pass keeps the session with the
// UPS server, takes in what the server sent, and advances the countdown.
#include <algorithm>
#include <cstdint>
#include <string>

#include "app.h"
#include "countdown.h"
#include "exception.h"
#include "ini_file.h"
#include "line_rules.h"
#include "qmx/debug.h"
#include "qmx/time.h"
#include "net.h"

using qmx::CDebug;

namespace {

const unsigned long kWaitOnBatteryMs = 1000;
const unsigned long kWaitOnMainsMs = 10000;
const unsigned long kPauseOnBatteryMs = 1000;
const unsigned long kPauseOnMainsMs = 20000;
// While a deadline runs, no wait goes past it; this little is always waited.
const unsigned long kShortestWaitMs = 5;
const int kReceiveSize = 1000;

class CMonitorHost : public cvn::ICountdownHost {
public:
    explicit CMonitorHost(CCVNRemoteApp& app) : m_app(app) {}
    std::uint32_t Now() override { return static_cast<std::uint32_t>(qmx::GetMillSecCount()); }
    void Notify(const char* format, int seconds) override { m_app.NotifyUsers(format, seconds); }
    void Shutdown() override { m_app.ShutdownSystem(); }

private:
    CCVNRemoteApp& m_app;
};

void Report(std::uint32_t id)
{
    CCVNException(id, 0).Report();
}

}  // namespace

void CCVNRemoteApp::Monitor()
{
    if (!m_strInitError.empty()) {
        CCVNException(MSG_INIT_FAILED, 1, m_strInitError.c_str()).Report();
        m_bStop = true;
    }

    int session = -1;
    std::string serverAddress;
    CINIFile ini(m_strIniFile.c_str());
    Report(MSG_CONNECTING);

    bool onBattery = false;
    bool batteryLow = false;
    cvn::CCountdown countdown;
    CMonitorHost host(*this);

    // Cuts a wait to the time left before the shutdown deadline.
    auto bounded = [&](unsigned long ms) {
        std::int64_t left = countdown.TimeLeft(host.Now());
        if (left < 0)
            return ms;
        return std::min(ms, std::max(static_cast<unsigned long>(left), kShortestWaitMs));
    };
    // After a failed attempt or a lost session: the next pass connects again.
    auto pause = [&]() { qmx::SleepMillSec(bounded(onBattery ? kPauseOnBatteryMs : kPauseOnMainsMs)); };

    while (WaitWhileRunning()) {
        bool sessionUsable = session != -1;
        if (!sessionUsable) {
            serverAddress = ini.GetString("Settings", "Server Address", "");
            if (serverAddress.empty()) {
                Report(MSG_NO_SERVER_ADDRESS);
                return;
            }
            std::int64_t left = countdown.TimeLeft(host.Now());
            session = left < 0 ? ConnectToServer()
                               : ConnectToServer(std::max(static_cast<unsigned long>(left), kShortestWaitMs));
            if (session == -1) {
                CCVNException(MSG_CONNECT_FAILED, 1, serverAddress.c_str()).Report();
                pause();
            } else {
                Report(MSG_CONNECTED);
                sessionUsable = true;
            }
        }

        if (sessionUsable) {
            cvn::NetWait wait = cvn::NetWaitSession(session, bounded(onBattery ? kWaitOnBatteryMs : kWaitOnMainsMs));
            if (wait == cvn::NetWait::Failed || wait == cvn::NetWait::Exception) {
                cvn::NetClose(session);
                session = -1;
                Report(MSG_CONNECTION_LOST);
            } else if (wait == cvn::NetWait::Readable) {
                char buffer[kReceiveSize];
                int received = cvn::NetReceive(session, buffer, kReceiveSize);
                if (received > 0) {
                    std::string text = cvn::PrintableText(buffer, static_cast<size_t>(received));
                    CDebug::Trace(CDebug::TraceDetail, "RECV:%s\n", text.c_str());
                    cvn::ApplyLines(buffer, static_cast<size_t>(received), onBattery, batteryLow);
                } else {
                    // The server closed the session (or the read failed): a
                    // restarted server must find the client again, so this is
                    // a lost session, not the end of the monitor.
                    cvn::NetClose(session);
                    session = -1;
                    Report(MSG_CONNECTION_LOST);
                    pause();
                }
            }
        }

        int onDelay = onBattery ? ini.GetInt("Settings", "On Battery Shutdown", 120) : 0;
        int lowDelay = onBattery && batteryLow ? ini.GetInt("Settings", "Low Battery Shutdown", 30) : 0;
        countdown.Step(host, onBattery, batteryLow, onDelay, lowDelay);
    }
}
