// The server's bytes as whole lines. TCP may deliver one line in pieces: a
// session keeps the part of a line after the last line end of a read and
// joins it to the next read, so that the line rules and the commands' facts
// see each line once and whole.
#ifndef CVN_LINE_JOINER_H
#define CVN_LINE_JOINER_H

#include <cstddef>
#include <string>

namespace cvn {

// What one read completes.
struct CJoinedLines {
    // The whole lines, each ended by '\n', in order.
    std::string whole;
    // The line not yet ended, when its value already settles its rule
    // ("Battery Status={{X" is low whatever follows; "Battery Status={{O"
    // is not settled): for the line rules only, after the whole lines.
    // Otherwise empty.
    std::string settled;
    // A line longer than kLongestLine began to be dropped in this read.
    bool droppedLong = false;
};

class CLineJoiner {
public:
    // Longer lines are nothing the server means: dropped up to their end.
    static const std::size_t kLongestLine = 1000;

    // Takes the bytes of one read. Only a CR or an LF ends a line; a zero
    // byte drops the rest of the read and the line not yet ended.
    CJoinedLines Take(const char* data, std::size_t length);
    // A new session starts with nothing kept.
    void Clear();

private:
    std::string m_partial;
    bool m_bDropping = false;
};

// One read of a session: its whole lines, and after them an unended line
// that settles its rule, go to the line rules; a long line dropped is traced
// once, with the session's tag. Returns the whole lines, which are what the
// commands' facts take.
std::string ApplyRead(CLineJoiner& joiner, const char* data, std::size_t length, bool& onBattery, bool& batteryLow,
                      const std::string& traceTag);

// True when the line, though not ended, already tells what its rule
// decides: it holds the whole of the words the rule looks for, or differs
// from them. A line that matches no rule (yet) is not settled.
bool SettlesItsRule(const std::string& line);

}  // namespace cvn

#endif
