// Whether the server of a session is still there. A server whose process
// hangs, or a network that dies without a word (a switch without UPS power,
// a pulled cable), leaves the session open and silent: after kQuietMs
// without a byte from the server the monitor asks for the output source,
// and when nothing at all arrives in as long again the session counts as
// lost. A server that sends something at least every kQuietMs never sees
// the question.
#ifndef CVN_LIVENESS_H
#define CVN_LIVENESS_H

#include <cstdint>

namespace cvn {

class CLiveness {
public:
    static constexpr std::uint32_t kQuietMs = 10000;

    enum class Due {
        Nothing,
        Query,  // ask the server for a value now
        Lost,   // the question went unanswered: the session is lost
    };

    // A session was made, or the server sent something, at tick now.
    void Heard(std::uint32_t now);
    // What is due at tick now; Query comes once per silence.
    Due Check(std::uint32_t now);
    // Milliseconds from tick now until something is due.
    std::uint32_t TimeLeft(std::uint32_t now) const;

private:
    std::uint32_t m_dwHeard = 0;
    bool m_bQueried = false;
    std::uint32_t m_dwQueried = 0;
};

}  // namespace cvn

#endif
