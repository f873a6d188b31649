// What the monitor takes from the text the server sends: the received bytes
// of one read, cut into lines, and the two facts the lines tell.
#ifndef CVN_LINE_RULES_H
#define CVN_LINE_RULES_H

#include <cstddef>
#include <string>

namespace cvn {

// The printable characters (0x20 to 0x7E) of the bytes, in order.
std::string PrintableText(const char* data, std::size_t length);

// Applies the battery-status and output-source rules to each line of the
// bytes of one read, in order; a line that matches neither leaves the flags
// as they are. A zero byte ends the text.
void ApplyLines(const char* data, std::size_t length, bool& onBattery, bool& batteryLow);

// Which of the two values one line carries (an answer to the client's query
// or an update), with the text after its prefix in value.
enum class LineValue { None, BatteryStatus, OutputSource };
LineValue MatchLine(const std::string& line, std::string& value);
// What a value means, by the same rules.
bool MeansOnBattery(const std::string& outputSource);
bool MeansBatteryLow(const std::string& batteryStatus);

}  // namespace cvn

#endif
