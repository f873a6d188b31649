// The session with one UPS's server when the client follows several: each
// runs on a thread of its own over the same session code as the single
// server's, so that one server's look-up, connect, login or silence never
// holds up another's session or the countdown. Each keeps its own liveness
// and reconnect pauses and its UPS's two flags; the monitor reads them all
// from the board and is woken whenever one changes.
#ifndef CVN_UPS_SESSION_H
#define CVN_UPS_SESSION_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "servers.h"
#include "stop_request.h"
#include "supplies.h"
#include "sync.h"

namespace cvn {

class CSettingsSnapshot;

// One attempt at a session (session.cpp): the connected socket, or -1.
struct CSessionRequest {
    std::string iniFile;
    std::string section = "Settings";
    // The reports name the server (there are several).
    bool named = false;
    // Put before each line the session traces.
    std::string traceTag;
    // With a budget, all the waits together end within it.
    bool limited = false;
    unsigned long budgetMs = 0;
    const CStopRequest* stop = nullptr;
    // The monitor's settings snapshot; without it the file is read.
    std::shared_ptr<const CSettingsSnapshot> settings;

    // The server of the section as the attempt goes by it now.
    CServerEntry Server() const;

    // The first server's, as the single session has always made it.
    static CSessionRequest First(const std::string& iniFile, const CStopRequest* stop)
    {
        CSessionRequest request;
        request.iniFile = iniFile;
        request.stop = stop;
        return request;
    }
};
int OpenUpsSession(const CSessionRequest& request);

// What the sessions tell the monitor, under one lock.
class CUpsBoard {
public:
    struct CUps {
        CPowerFlags power;
        // The values heard and the server, as the commands are told them.
        CCommandFacts facts;
        std::string name;  // for the reports
    };
    struct CNews {
        std::vector<CUps> ups;
        // The UPSes whose flags changed since the last look, in order.
        std::vector<std::size_t> changed;
        // Sessions made or lost since the last look, in order.
        std::vector<std::pair<std::size_t, CommandEvent>> events;
    };

    explicit CUpsBoard(std::size_t count);
    CUpsBoard(const CUpsBoard&) = delete;
    CUpsBoard& operator=(const CUpsBoard&) = delete;

    // From a session's thread; each wakes the monitor.
    void Update(std::size_t ups, const CPowerFlags& power, const CCommandFacts& facts, const std::string& name);
    void SessionEvent(std::size_t ups, CommandEvent event);
    void Ended();

    // From the monitor: everything as it stands, and what happened since
    // the last look; the wake-up is taken with it.
    CNews Look();
    const CEvent& Changed() const { return m_changed; }
    // Whether the computer is on battery: a session then reconnects after
    // the short pause, as the single session does.
    void SetComputerOnBattery(bool onBattery);
    bool ComputerOnBattery() const;
    // Ends every session; true when all had ended within ms.
    bool StopAll(unsigned long ms);
    const CStopRequest& Stop() const { return m_stop; }

private:
    mutable CLock m_lock;
    CEvent m_changed;
    CEvent m_allEnded;
    CStopRequest m_stop;
    std::vector<CUps> m_ups;
    std::vector<std::size_t> m_changedUps;
    std::vector<std::pair<std::size_t, CommandEvent>> m_events;
    std::size_t m_running;
    bool m_bComputerOnBattery = false;
};

// Starts the session of the UPS of the section on a thread of its own;
// false when the system could not start one.
bool StartUpsSession(const std::shared_ptr<CUpsBoard>& board, std::size_t ups, const std::string& iniFile,
                     const std::string& section,
                     const std::shared_ptr<const CSettingsSnapshot>& settings = nullptr);

}  // namespace cvn

#endif
