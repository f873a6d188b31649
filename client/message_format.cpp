#include "message_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace cvn {

namespace {

// FormatMessageA cannot produce a field this wide (its result is limited to
// 64 KB), and a width taken from a pointer argument would ask for gigabytes.
constexpr std::uint32_t kMaxField = 0xFFFF;

// One run of the formatter over one text. Argument numbers start at 1, as
// the references do; "next" is the one after the highest read so far, which
// is where a '*' moves on to.
class CFormatter {
public:
    // inserts null: only count what the text reads (HighestInsert).
    CFormatter(const char* const* inserts, std::size_t count)
        : m_ppszInserts(inserts), m_nCount(inserts ? count : std::numeric_limits<std::size_t>::max())
    {
    }

    bool Format(const char* text, std::string& out);
    std::size_t Highest() const { return m_nHighest; }

private:
    enum class Result { Done, LeftAsWritten, Failed };

    Result Insert(std::size_t number, const char*& p, std::string& out);
    Result PrintfForm(std::size_t number, const char* spec, const char* close, std::string& out);
    // Reads argument number (0: the next one); false beyond the inserts.
    bool Arg(std::size_t number, std::uintptr_t& value);
    const char* StringOf(std::uintptr_t value) const;

    const char* const* m_ppszInserts;
    std::size_t m_nCount;
    std::size_t m_nLast = 0;
    std::size_t m_nHighest = 0;
};

bool CFormatter::Arg(std::size_t number, std::uintptr_t& value)
{
    if (number == 0)
        number = m_nLast + 1;
    m_nHighest = std::max(m_nHighest, number);
    if (number > m_nCount)
        return false;
    m_nLast = std::max(m_nLast, number);
    value = m_ppszInserts ? reinterpret_cast<std::uintptr_t>(m_ppszInserts[number - 1]) : 0;
    return true;
}

const char* CFormatter::StringOf(std::uintptr_t value) const
{
    if (!m_ppszInserts)
        return "";
    const char* s = reinterpret_cast<const char*>(value);
    return s ? s : "(null)";
}

bool CFormatter::Format(const char* p, std::string& out)
{
    while (*p) {
        if (*p != '%') {
            char ch = *p++;
            if (ch == '\r') {
                if (*p == '\n')
                    ++p;
                out += "\r\n";
            } else if (ch == '\n') {
                out += "\r\n";
            } else {
                out += ch;
            }
            continue;
        }
        const char* ref = p++;
        char c = *p;
        if (c >= '1' && c <= '9') {
            std::size_t number = static_cast<std::size_t>(c - '0');
            ++p;
            if (*p >= '0' && *p <= '9')
                number = number * 10 + static_cast<std::size_t>(*p++ - '0');
            Result r = Insert(number, p, out);
            if (r == Result::Failed)
                return false;
            if (r == Result::LeftAsWritten)
                out.append(ref, static_cast<std::size_t>(p - ref));
        } else if (c == 'n') {
            out += "\r\n";
            ++p;
        } else if (c == 'r') {
            out += '\r';
            ++p;
        } else if (c == 't') {
            out += '\t';
            ++p;
        } else if (c == '0') {
            return true;
        } else if (c == '\0') {
            return false;
        } else {
            out += c;
            ++p;
        }
    }
    return true;
}

// p stands after the number; on return after the whole reference.
CFormatter::Result CFormatter::Insert(std::size_t number, const char*& p, std::string& out)
{
    if (*p != '!') {
        std::uintptr_t value;
        if (!Arg(number, value))
            return Result::LeftAsWritten;
        out += StringOf(value);
        return Result::Done;
    }
    const char* spec = p + 1;
    const char* close = std::strchr(spec, '!');
    if (!close)
        return Result::Failed;
    p = close + 1;
    return PrintfForm(number, spec, close, out);
}

CFormatter::Result CFormatter::PrintfForm(std::size_t number, const char* spec, const char* close,
                                          std::string& out)
{
    // Counted before anything is read, so that HighestInsert also covers
    // the forms that are left as written.
    std::size_t stars = static_cast<std::size_t>(std::count(spec, close, '*'));
    m_nHighest = std::max(m_nHighest, stars ? std::max(number, m_nLast) + stars : number);

    const char* s = spec;
    bool left = false, zero = false;
    std::string flags;
    while (s < close && std::strchr("-+ 0#", *s)) {
        left = left || *s == '-';
        zero = zero || *s == '0';
        flags += *s++;
    }

    // Width and precision: digits, or '*', which takes the argument and
    // leaves the next one for what follows.
    std::size_t next = number;
    bool beyond = false;
    auto starValue = [&](std::int32_t& value) -> bool {
        ++s;
        std::uintptr_t arg;
        if (!Arg(next, arg)) {
            beyond = true;
            return false;
        }
        next = 0;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(arg));
        return true;
    };
    auto digits = [&](std::uint32_t& value) {
        value = 0;
        while (s < close && *s >= '0' && *s <= '9') {
            if (value <= kMaxField)
                value = value * 10 + static_cast<std::uint32_t>(*s - '0');
            ++s;
        }
    };

    bool hasWidth = false, hasPrecision = false;
    std::uint32_t width = 0, precision = 0;
    std::int32_t star = 0;
    if (s < close && *s == '*') {
        if (starValue(star)) {
            // As printf: a negative width left-justifies.
            hasWidth = true;
            left = left || star < 0;
            width = star < 0 ? 0u - static_cast<std::uint32_t>(star) : static_cast<std::uint32_t>(star);
        }
    } else if (s < close && *s >= '0' && *s <= '9') {
        hasWidth = true;
        digits(width);
    }
    if (s < close && *s == '.') {
        ++s;
        hasPrecision = true;  // "." alone is precision 0
        if (s < close && *s == '*') {
            // A negative precision counts as none.
            if (starValue(star))
                hasPrecision = star >= 0;
            precision = star >= 0 ? static_cast<std::uint32_t>(star) : 0;
        } else {
            digits(precision);
        }
    }

    char size = 0;
    if (s < close && (*s == 'h' || *s == 'l'))
        size = *s++;
    char conversion = s < close ? *s++ : 0;
    // What follows the conversion up to the closing '!' is plain text.
    std::string tail(s, close);

    bool isString = (conversion == 's' && size != 'l') || (conversion == 'S' && size == 'h');
    bool isChar = conversion == 'c' && size != 'l';
    bool isNumber = conversion != 0 && std::strchr("diuxXo", conversion) != nullptr;
    if ((!isString && !isChar && !isNumber) || tail.find('%') != std::string::npos || beyond)
        return Result::LeftAsWritten;
    std::uintptr_t arg;
    if (!Arg(next, arg))
        return Result::LeftAsWritten;
    if (width > kMaxField || precision > kMaxField)
        return Result::Failed;
    // What Windows would make of the argument: a pointer-sized value, of
    // which a number takes the low 32 bits and a character the low byte.
    std::uint32_t value = static_cast<std::uint32_t>(arg);

    std::string body;
    if (isNumber) {
        // Through printf itself, with a form rebuilt from the parts read
        // above, so that nothing of the text reaches printf unchecked.
        std::string format = "%" + flags;
        if (left && flags.find('-') == std::string::npos)
            format += '-';
        if (hasWidth)
            format += std::to_string(width);
        if (hasPrecision)
            format += "." + std::to_string(precision);
        if (size == 'h')
            format += 'h';
        format += conversion;
        std::string buffer(static_cast<std::size_t>(width) + precision + 32, '\0');
        int n = conversion == 'd' || conversion == 'i'
                    ? std::snprintf(&buffer[0], buffer.size(), format.c_str(),
                                    static_cast<int>(static_cast<std::int32_t>(value)))
                    : std::snprintf(&buffer[0], buffer.size(), format.c_str(),
                                    static_cast<unsigned>(value));
        if (n < 0 || static_cast<std::size_t>(n) >= buffer.size())
            return Result::Failed;
        out.append(buffer, 0, static_cast<std::size_t>(n));
        out += tail;
        return Result::Done;
    }
    if (isString) {
        const char* str = StringOf(arg);
        std::size_t length = std::strlen(str);
        if (hasPrecision)
            length = std::min<std::size_t>(length, precision);
        body.assign(str, length);
    } else {
        body.assign(1, static_cast<char>(value & 0xFF));
    }
    if (hasWidth && body.size() < width) {
        std::string pad(width - body.size(), zero && !left ? '0' : ' ');
        body = left ? body + pad : pad + body;
    }
    out += body;
    out += tail;
    return Result::Done;
}

}  // namespace

bool FormatMessageText(const char* text, const char* const* inserts, std::size_t insertCount,
                       std::string& result)
{
    static const char* const kNone[1] = {nullptr};
    CFormatter formatter(inserts ? inserts : kNone, inserts ? insertCount : 0);
    std::string out;
    if (!formatter.Format(text ? text : "", out))
        return false;
    result.swap(out);
    return true;
}

std::size_t HighestInsert(const char* text)
{
    CFormatter counter(nullptr, 0);
    std::string ignored;
    counter.Format(text ? text : "", ignored);
    return counter.Highest();
}

std::uint16_t EventTypeOf(std::uint32_t messageId)
{
    switch (messageId >> 30) {
    case 0:
        return kEventSuccess;
    case 1:
        return kEventInformation;
    case 2:
        return kEventWarning;
    default:
        return kEventError;
    }
}

}  // namespace cvn
