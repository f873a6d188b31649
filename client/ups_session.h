// The session with one UPS's server: each runs on a thread of its own, one
// server or several, so that a server's look-up, connect, login or silence
// never holds up another's session or the countdown. Each keeps its own liveness
// and reconnect pauses and its UPS's two flags; the monitor reads them all
// from the board and is woken whenever one changes.
#ifndef CVN_UPS_SESSION_H
#define CVN_UPS_SESSION_H

#include <cstddef>
#include <cstdint>
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
        // The values heard and the server, as the commands are told them.
        CCommandFacts facts;
        std::string name;  // for the reports
        // What this session last told, and whether it told anything yet.
        CPowerFlags power;
        bool heard = false;
    };
    // One piece of news from a session, in the order they came.
    struct CItem {
        enum class Kind { Power, Made, Lost, Failed };
        Kind kind;
        std::size_t ups;
        CPowerFlags power;  // Power: the flags of the lines just heard
        // The UPS's facts as they stood then: the commands of an event are
        // told what was known at the event, not at the monitor's look.
        CCommandFacts facts;
    };
    struct CNews {
        std::vector<CUps> ups;
        std::vector<CItem> items;
        // A session ended the monitor (the catalogue entry that says why).
        std::uint32_t failure = 0;
    };

    explicit CUpsBoard(std::size_t count);
    CUpsBoard(const CUpsBoard&) = delete;
    CUpsBoard& operator=(const CUpsBoard&) = delete;

    // From a session's thread; each wakes the monitor.
    void Publish(std::size_t ups, const CCommandFacts& facts, const std::string& name);
    void Heard(std::size_t ups, const CPowerFlags& power, const CCommandFacts& facts);
    void SessionEvent(std::size_t ups, CItem::Kind kind);
    void Fail(std::uint32_t failure);
    void Ended();
    // From anything else the monitor waits for (the effects' outcomes).
    void Wake() { m_changed.Set(); }

    // From the monitor: everything as it stands, and what happened since
    // the last look; the wake-up is taken with it.
    CNews Look();
    const CEvent& Changed() const { return m_changed; }
    // Whether the computer is on battery: a session then reconnects after
    // the short pause.
    void SetComputerOnBattery(bool onBattery);
    bool ComputerOnBattery() const;
    // The shutdown ahead, ms from tick now (-1: none): an attempt or a pause
    // made meanwhile ends by then, so that what it reports comes before the
    // shutdown, as it did when the one session ran on the monitor's thread.
    void SetShutdownIn(std::uint32_t now, std::int64_t ms);
    // Milliseconds from tick now to that shutdown; -1 when none is ahead.
    std::int64_t ShutdownIn(std::uint32_t now) const;
    // Ends every session; true when all had ended within ms.
    bool StopAll(unsigned long ms);
    const CStopRequest& Stop() const { return m_stop; }

private:
    mutable CLock m_lock;
    CEvent m_changed;
    CEvent m_allEnded;
    CStopRequest m_stop;
    std::vector<CUps> m_ups;
    std::vector<CItem> m_items;
    std::uint32_t m_dwFailure = 0;
    std::size_t m_running;
    bool m_bComputerOnBattery = false;
    bool m_bShutdownAhead = false;
    std::uint32_t m_dwShutdownAt = 0;
};

// Starts the session of the UPS of the section on a thread of its own;
// false when the system could not start one. A single server (named false)
// reports as the client always has, without the server's name, and ends the
// monitor when its address is gone.
bool StartUpsSession(const std::shared_ptr<CUpsBoard>& board, std::size_t ups, const std::string& iniFile,
                     const std::string& section, bool named,
                     const std::shared_ptr<const CSettingsSnapshot>& settings);

}  // namespace cvn

#endif
