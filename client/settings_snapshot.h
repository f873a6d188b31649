// The settings as the monitor goes by them: the file read once per pass,
// whole, and searched in memory by the reader's own rules. An administrator
// saving the file in place (truncate, then write) leaves it torn for a
// moment, and a torn file read value by value gives defaults: a blank
// address, 120/30 for delays set negative, Dry Run off. So a changed file is
// only taken once its bytes have stayed the same for a while, a change that
// would bring a shutdown the current settings rule out waits longer, and a
// file that cannot be read, is empty or has lost its address never replaces
// the last good one.
#ifndef CVN_SETTINGS_SNAPSHOT_H
#define CVN_SETTINGS_SNAPSHOT_H

#include <cstdint>
#include <string>

#include "ini_file.h"
#include "servers.h"
#include "sync.h"

namespace cvn {

class CSettingsSnapshot {
public:
    // How long a changed file must read the same before it is taken.
    static const std::uint32_t kSteadyMs = 500;
    // The same for a change that would bring a shutdown the current
    // settings rule out: Dry Run ended, a negative delay made non-negative.
    static const std::uint32_t kSteadyRiskMs = 5000;

    // What one look at the file came to.
    enum class Outcome {
        Same,      // nothing new
        Settling,  // a change, not yet steady
        Held,      // a steady change that ends a ruled-out shutdown, waiting longer
        Taken,     // the new snapshot (at start: whatever the file held)
        Refused,   // the file is unfit: the last good snapshot stays; report this one
        Kept,      // still unfit, already reported
    };
    // Why a file is unfit, for the report.
    enum class Unfit { None, NotOpened, Empty, NoAddress };

    explicit CSettingsSnapshot(const std::string& path);
    CSettingsSnapshot(const CSettingsSnapshot&) = delete;
    CSettingsSnapshot& operator=(const CSettingsSnapshot&) = delete;

    // Reads the file (the monitor's thread, once a pass) and reports a
    // refused file once, until a good one is taken or the file holds the
    // snapshot again.
    Outcome Refresh(std::uint32_t tick);
    // The rules alone: what the file read at tick (opened false: it could
    // not be opened) does to the snapshot. The stamp (size and time of the
    // last write, where the system tells them) tells two saves of the same
    // bytes apart: a file saved over and over is never steady, even when
    // two reads a second apart happen to meet the same torn text.
    Outcome Offer(bool opened, const std::string& text, std::uint32_t tick, std::uint64_t stamp = 0);

    // How soon the file should be looked at again for a change in view to
    // be taken on time (kNoLook: none in view). The monitor's wait on
    // battery is a second, on mains ten: without this a lowered delay
    // would take up to two passes to act.
    static const std::uint32_t kNoLook = 0xFFFFFFFFu;
    std::uint32_t NextLookMs(std::uint32_t tick) const;

    // The snapshot, for the monitor's thread only; the object stays the
    // same one, its text changes when a snapshot is taken.
    CINIFile& Ini() { return m_ini; }
    // A server's entry from the snapshot, for any thread.
    CServerEntry Server(const std::string& section) const;
    std::string Text() const;
    Unfit LastUnfit() const { return m_eUnfit; }
    const std::string& Path() const { return m_strPath; }

private:
    void Take(const std::string& text);

    const std::string m_strPath;
    mutable CLock m_lock;
    std::string m_strGood;  // under m_lock
    CINIFile m_ini;
    bool m_bLoaded = false;
    bool m_bGoodHasAddress = false;
    // The change in view and since when its bytes read the same.
    bool m_bCandidate = false;
    bool m_bCandidateOpened = false;
    std::string m_strCandidate;
    std::uint64_t m_uCandidateStamp = 0;
    std::uint32_t m_uSince = 0;
    bool m_bReported = false;
    Unfit m_eUnfit = Unfit::None;
};

// The text of the report's second insert.
const char* UnfitText(CSettingsSnapshot::Unfit unfit);

}  // namespace cvn

#endif
