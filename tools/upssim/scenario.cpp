// Parsing of scenario steps and of the texts they carry.
#include "upssim/scenario.h"

#include <cctype>
#include <cstdio>

namespace upssim {

namespace {

const char* const kFaultNames[] = {
    "no-greeting",        "split-greeting", "refuse-login",     "login-no-crlf",
    "no-subscribe-answer", "split-lines",   "junk",             "long-lines",
    "urgent",             "close-at-accept", "close-at-login",  "close-at-subscribe",
    "close-at-query",     "silent",         "refuse",           "stall-connect",
    "query-result1",
};
static_assert(sizeof kFaultNames / sizeof kFaultNames[0] == static_cast<int>(Fault::Count),
              "one name per fault");

// A day is far more than any scenario needs, and keeps the sums in range.
const long kLongestMs = 24L * 3600 * 1000;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// Splits off the first word; rest gets what follows it, trimmed.
std::string NextWord(const std::string& text, std::string* rest)
{
    std::string trimmed = Trim(text);
    std::size_t end = 0;
    while (end < trimmed.size() && !std::isspace(static_cast<unsigned char>(trimmed[end])))
        ++end;
    *rest = Trim(trimmed.substr(end));
    return trimmed.substr(0, end);
}

// The text argument of a step: a quoted string, or the bare rest of the
// line; escapes work in both.
bool ParseText(const std::string& rest, std::string* bytes, std::string* error)
{
    std::string body = rest;
    if (!body.empty() && body[0] == '"') {
        std::size_t end = 1;
        while (end < body.size() && body[end] != '"')
            end += body[end] == '\\' ? 2 : 1;
        if (end >= body.size()) {
            *error = "missing closing quote";
            return false;
        }
        if (!Trim(body.substr(end + 1)).empty()) {
            *error = "text after the closing quote";
            return false;
        }
        body = body.substr(1, end - 1);
    }
    if (!Unescape(body, bytes)) {
        *error = "bad escape in \"" + body + "\"";
        return false;
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

const char* FaultName(Fault fault)
{
    int index = static_cast<int>(fault);
    return index >= 0 && index < static_cast<int>(Fault::Count) ? kFaultNames[index] : "?";
}

bool FaultFromName(const std::string& name, Fault* fault)
{
    std::string wanted = Lower(name);
    for (int i = 0; i < static_cast<int>(Fault::Count); ++i) {
        if (wanted == kFaultNames[i]) {
            *fault = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
}

std::string FaultNames()
{
    std::string names;
    for (const char* name : kFaultNames)
        names += (names.empty() ? "" : ", ") + std::string(name);
    return names;
}

bool ParseDuration(const std::string& text, long* ms)
{
    std::string t = Lower(Trim(text));
    long scale = 1000;
    if (t.size() > 2 && t.compare(t.size() - 2, 2, "ms") == 0) {
        scale = 1;
        t.resize(t.size() - 2);
    } else if (t.size() > 1 && t.back() == 's') {
        t.resize(t.size() - 1);
    }
    std::size_t i = 0;
    long whole = 0;
    if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i])))
        return false;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
        whole = whole * 10 + (t[i] - '0');
        if (whole > kLongestMs)
            return false;
        ++i;
    }
    long fraction = 0;  // in thousandths
    if (i < t.size() && t[i] == '.') {
        ++i;
        long unit = 100;
        std::size_t digits = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            if (++digits > 3)
                return false;
            fraction += (t[i] - '0') * unit;
            unit /= 10;
            ++i;
        }
        if (digits == 0)
            return false;
    }
    if (i != t.size())
        return false;
    // Fractions of a millisecond have no meaning.
    if (scale == 1 && fraction != 0)
        return false;
    // Checked before the product is formed: long has 32 bits on Windows.
    if (whole > kLongestMs / scale)
        return false;
    long total = whole * scale + fraction * scale / 1000;
    if (total > kLongestMs)
        return false;
    *ms = total;
    return true;
}

bool ParseStep(const std::string& line, Step* step, std::string* error)
{
    Step s;
    s.source = Trim(line);
    std::string rest;
    std::string word = Lower(NextWord(line, &rest));
    if (word == "wait") {
        if (Lower(rest) != "session") {
            *error = "\"wait\" takes \"session\"";
            return false;
        }
        s.action = Action::WaitSession;
        *step = s;
        return true;
    }
    if (word != "at") {
        *error = "a step begins with \"at <time>\" or is \"wait session\"";
        return false;
    }
    std::string time = NextWord(rest, &rest);
    if (!ParseDuration(time, &s.atMs)) {
        *error = "bad time \"" + time + "\" (examples: 2s, 1.5s, 500ms)";
        return false;
    }
    std::string action = Lower(NextWord(rest, &rest));
    if (action == "output" || action == "battery") {
        s.action = action == "output" ? Action::Output : Action::Battery;
        if (rest.empty()) {
            *error = "\"" + action + "\" needs a value (\"\" for an empty one)";
            return false;
        }
        if (!ParseText(rest, &s.text, error))
            return false;
    } else if (action == "send") {
        s.action = Action::Send;
        if (!ParseText(rest, &s.text, error))
            return false;
        if (s.text.empty()) {
            *error = "\"send\" needs bytes to send";
            return false;
        }
    } else if (action == "fault") {
        s.action = Action::SetFault;
        std::string name = NextWord(rest, &rest);
        if (!FaultFromName(name, &s.fault)) {
            *error = "unknown fault \"" + name + "\"; faults: " + FaultNames();
            return false;
        }
        std::string state = Lower(rest);
        if (state.empty() || state == "on") {
            s.on = true;
        } else if (state == "off") {
            s.on = false;
        } else {
            *error = "a fault is switched \"on\" or \"off\"";
            return false;
        }
    } else if (action == "delay") {
        s.action = Action::Delay;
        if (!ParseDuration(rest, &s.delayMs)) {
            *error = "bad delay \"" + rest + "\" (examples: 0s, 500ms)";
            return false;
        }
    } else if (action == "close" || action == "stop" || action == "urgent") {
        s.action = action == "close" ? Action::Close
                   : action == "stop" ? Action::Stop
                                      : Action::Urgent;
        if (!rest.empty()) {
            *error = "\"" + action + "\" takes nothing more";
            return false;
        }
    } else {
        *error = action.empty() ? "missing action after the time"
                                : "unknown action \"" + action +
                                      "\" (output, battery, fault, delay, send, urgent, close, stop)";
        return false;
    }
    *step = s;
    return true;
}

bool AppendStep(std::vector<Step>* steps, const Step& step, std::string* error)
{
    // A wait starts the clock afresh, so only steps since the last one compare.
    if (step.action != Action::WaitSession && !steps->empty()) {
        const Step& last = steps->back();
        if (last.action != Action::WaitSession && step.atMs < last.atMs) {
            *error = "steps go back in time (" + step.source + " after " + last.source + ")";
            return false;
        }
    }
    steps->push_back(step);
    return true;
}

bool ParseScenario(const std::string& text, std::vector<Step>* steps, std::string* error)
{
    std::vector<Step> parsed;
    std::size_t begin = 0;
    int number = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(begin, end - begin));
        ++number;
        begin = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        Step step;
        std::string reason;
        if (!ParseStep(line, &step, &reason) || !AppendStep(&parsed, step, &reason)) {
            *error = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    steps->insert(steps->end(), parsed.begin(), parsed.end());
    return true;
}

bool Unescape(const std::string& text, std::string* bytes)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'x': {
            int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    *bytes = out;
    return true;
}

std::string Quote(const std::string& bytes, std::size_t maxShown)
{
    std::string out = "\"";
    std::size_t shown = bytes.size() < maxShown ? bytes.size() : maxShown;
    for (std::size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
    }
    out += "\"";
    if (shown < bytes.size())
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

}  // namespace upssim
