#include "settings_snapshot.h"

#include <mutex>

#include <sys/stat.h>
#include <sys/types.h>

#include "children.h"
#include "exception.h"
#include "policy_settings.h"

namespace cvn {

namespace {

const char kFirst[] = "Settings";

// When the file was last written, as finely as the C runtime tells it.
std::uint64_t Stamp(FILE* file)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0)
        return 0;
#if defined(_WIN32)
    const std::uint64_t written = static_cast<std::uint64_t>(status.st_mtime);
#else
    const std::uint64_t written = static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                                  static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
#endif
    return written * 31u + static_cast<std::uint64_t>(status.st_size);
}

bool ReadWhole(const std::string& path, std::string& text, std::uint64_t& stamp)
{
    // Opened as the reader opens it: for update (a read-only file counts as
    // missing), never inherited by a program started meanwhile.
    FILE* file = OpenOwnFile(path.c_str(), "r+");
    if (!file)
        return false;
    text.clear();
    stamp = Stamp(file);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    fclose(file);
    return true;
}

// The shutdown the settings rule out: none at all in a dry run; none on
// battery, or none on a low battery, with a negative delay.
struct CRuledOut {
    bool dryRun;
    bool onBattery;
    bool lowBattery;
};

CRuledOut RuledOut(const std::string& text)
{
    CINIFile ini = CINIFile::FromText(text);
    return {DryRun(ini), ini.GetInt(kFirst, "On Battery Shutdown", 120) < 0,
            ini.GetInt(kFirst, "Low Battery Shutdown", 30) < 0};
}

bool HasAddress(const std::string& text)
{
    return !CINIFile::FromText(text).GetString(kFirst, "Server Address", "").empty();
}

}  // namespace

CSettingsSnapshot::CSettingsSnapshot(const std::string& path)
    : m_strPath(path), m_ini(CINIFile::FromText(""))
{
}

CSettingsSnapshot::Outcome CSettingsSnapshot::Refresh(std::uint32_t tick)
{
    std::string text;
    std::uint64_t stamp = 0;
    const bool opened = ReadWhole(m_strPath, text, stamp);
    const Outcome outcome = Offer(opened, text, tick, stamp);
    if (outcome == Outcome::Refused)
        CCVNException(MSG_SETTINGS_KEPT, 2, m_strPath.c_str(), UnfitText(m_eUnfit)).Report();
    return outcome;
}

CSettingsSnapshot::Outcome CSettingsSnapshot::Offer(bool opened, const std::string& text, std::uint32_t tick,
                                                    std::uint64_t stamp)
{
    // At start the file is taken as it is: the monitor reports a missing
    // address as it always has.
    if (!m_bLoaded) {
        m_bLoaded = true;
        Take(opened ? text : std::string());
        return Outcome::Taken;
    }
    if (opened && text == m_strGood) {
        m_bCandidate = false;
        m_bReported = false;
        m_eUnfit = Unfit::None;
        return Outcome::Same;
    }
    if (!m_bCandidate || opened != m_bCandidateOpened || stamp != m_uCandidateStamp || text != m_strCandidate) {
        m_bCandidate = true;
        m_bCandidateOpened = opened;
        m_uCandidateStamp = stamp;
        m_strCandidate = text;
        m_uSince = tick;
    }
    // Wrap-safe: the difference of two tick counts.
    const std::uint32_t steady = tick - m_uSince;
    if (steady < kSteadyMs)
        return Outcome::Settling;

    const Unfit unfit = !opened ? Unfit::NotOpened
                        : text.empty() ? Unfit::Empty
                        : m_bGoodHasAddress && !HasAddress(text) ? Unfit::NoAddress
                                                                 : Unfit::None;
    if (unfit != Unfit::None) {
        m_eUnfit = unfit;
        if (m_bReported)
            return Outcome::Kept;
        m_bReported = true;
        return Outcome::Refused;
    }

    const CRuledOut now = RuledOut(m_strGood);
    const CRuledOut next = RuledOut(text);
    const bool risk = (now.dryRun && !next.dryRun) || (now.onBattery && !next.onBattery) ||
                      (now.lowBattery && !next.lowBattery);
    if (risk && steady < kSteadyRiskMs)
        return Outcome::Held;

    Take(text);
    m_bCandidate = false;
    m_bReported = false;
    return Outcome::Taken;
}

const std::uint32_t CSettingsSnapshot::kNoLook;

std::uint32_t CSettingsSnapshot::NextLookMs(std::uint32_t tick) const
{
    if (!m_bCandidate)
        return kNoLook;
    const std::uint32_t steady = tick - m_uSince;
    if (steady < kSteadyMs)
        return kSteadyMs - steady;
    // Held, or unfit and kept: the longer wait is the last one that can
    // change the outcome.
    if (steady < kSteadyRiskMs)
        return kSteadyRiskMs - steady;
    return kNoLook;
}

void CSettingsSnapshot::Take(const std::string& text)
{
    {
        std::lock_guard<CLock> hold(m_lock);
        m_strGood = text;
    }
    m_ini = CINIFile::FromText(text);
    m_bGoodHasAddress = HasAddress(text);
    m_eUnfit = Unfit::None;
}

CServerEntry CSettingsSnapshot::Server(const std::string& section) const
{
    CINIFile ini = CINIFile::FromText(Text());
    return ReadServer(ini, section);
}

std::string CSettingsSnapshot::Text() const
{
    std::lock_guard<CLock> hold(m_lock);
    return m_strGood;
}

const char* UnfitText(CSettingsSnapshot::Unfit unfit)
{
    switch (unfit) {
    case CSettingsSnapshot::Unfit::NotOpened:
        return "cannot be opened";
    case CSettingsSnapshot::Unfit::Empty:
        return "is empty";
    case CSettingsSnapshot::Unfit::NoAddress:
        return "names no Server Address";
    default:
        return "is fit";
    }
}

}  // namespace cvn
