#include "line_rules.h"

#include <cstring>

namespace cvn {

namespace {

bool StartsWith(const std::string& text, const char* prefix, std::string& rest)
{
    size_t n = strlen(prefix);
    if (text.compare(0, n, prefix) != 0)
        return false;
    rest = text.substr(n);
    return true;
}

void ApplyLine(const std::string& line, bool& onBattery, bool& batteryLow)
{
    std::string value;
    switch (MatchLine(line, value)) {
    case LineValue::BatteryStatus:
        batteryLow = MeansBatteryLow(value);
        break;
    case LineValue::OutputSource:
        onBattery = MeansOnBattery(value);
        break;
    case LineValue::None:
        break;
    }
}

}  // namespace

LineValue MatchLine(const std::string& line, std::string& value)
{
    // The first form answers the client's query, the second is an update.
    if (StartsWith(line, "GetValue(Battery Status)=0,{{", value) || StartsWith(line, "Battery Status={{", value))
        return LineValue::BatteryStatus;
    if (StartsWith(line, "GetValue(Output Source)=0,{{", value) || StartsWith(line, "Output Source={{", value))
        return LineValue::OutputSource;
    return LineValue::None;
}

bool MeansOnBattery(const std::string& outputSource)
{
    return outputSource.compare(0, 7, "Battery") == 0;
}

bool MeansBatteryLow(const std::string& batteryStatus)
{
    return batteryStatus.compare(0, 2, "OK") != 0;
}

std::string PrintableText(const char* data, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c <= 0x7E)
            text += static_cast<char>(c);
    }
    return text;
}

void ApplyLines(const char* data, std::size_t length, bool& onBattery, bool& batteryLow)
{
    std::string line;
    for (std::size_t i = 0; i <= length; ++i) {
        char c = i < length ? data[i] : '\0';
        if (c == '\r' || c == '\n' || c == '\0') {
            if (!line.empty())
                ApplyLine(line, onBattery, batteryLow);
            line.clear();
            if (c == '\0')
                break;
        } else {
            line += c;
        }
    }
}

}  // namespace cvn
