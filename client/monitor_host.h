// What the countdown acts through in the monitor: the reports of the power
// events, the users' notices beside the event command, and the shutdown.
// With several UPSes the reports and the event command are about the UPS
// whose change caused the event.
#ifndef CVN_MONITOR_HOST_H
#define CVN_MONITOR_HOST_H

#include <cstdint>
#include <string>

#include "app.h"
#include "commands.h"
#include "countdown.h"
#include "resume.h"

namespace cvn {

class CMonitorHost : public ICountdownHost {
public:
    CMonitorHost(CCVNRemoteApp& app, CResumeWatch& resume) : m_app(app), m_resume(resume) {}
    std::uint32_t Now() override;
    void Record(const CNotice& notice, int seconds) override;
    void NoticeUsers(const CNotice& notice, int seconds) override;
    bool Shutdown() override;
    std::uint32_t NextRequestMs() override;

    // The UPS a change came from, and the one whose change began the
    // episode ("shutting down" is about that one). Once set, every report
    // names its server.
    struct CCause {
        std::string name;
        CCommandFacts facts;
    };
    void SetCauses(const CCause& change, const CCause& episode)
    {
        m_bNamed = true;
        m_Change = change;
        m_Episode = episode;
    }

private:
    const CCause& CauseOf(const CNotice& notice) const;

    CCVNRemoteApp& m_app;
    CResumeWatch& m_resume;
    bool m_bNamed = false;
    CCause m_Change;
    CCause m_Episode;
};

}  // namespace cvn

#endif
