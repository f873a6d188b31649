// The message catalogue's texts and the formatter that fills in their
// inserts by the rules of FormatMessageA. On Windows the catalogue is a
// message-table resource of the program and the system formats it; the
// formatter is what the native build uses instead, and what the Windows build
// falls back on where the system's formatting would read past the inserts.
#ifndef CVN_MESSAGE_FORMAT_H
#define CVN_MESSAGE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace cvn {

struct CatalogueEntry {
    std::uint32_t id;
    const char* text;
};

// The entries of messages.mc, in the file's order (generated at build time).
extern const CatalogueEntry kCatalogue[];
extern const std::size_t kCatalogueSize;
// The stored text of an entry, each line ending in CR LF; null when the
// catalogue has no such entry.
const char* FindCatalogueText(std::uint32_t messageId);

// Fills in a message text the way FormatMessageA does with an argument array
// of C strings and no line-width limit:
//   %1 .. %99        the insert, verbatim ("(null)" for a null pointer)
//   %1!fmt!          the insert through a printf form: flags, width,
//                    precision, '*' (which takes the width or precision from
//                    the argument and moves on to the next one), conversions
//                    s, c (the low byte of the argument), d, i, u, x, X, o
//                    (the argument's 32-bit value), with h or l
//   %n  CR LF    %r  CR    %t  tab    %0  the text ends here
//   % followed by any other character: that character (%%, %!, %., "% ")
//   a line end of the text itself (CR LF, LF or a lone CR): CR LF
// A reference to an insert beyond insertCount is left in the text as it is
// written, and so is a printf form whose result depends on the system's
// printf alone (wide strings, 64-bit or floating-point arguments, pointers).
// Returns false, leaving result alone, where FormatMessageA fails: a lone %
// at the end of the text, a !fmt! without its closing !, a field wider than
// 65535 characters.
bool FormatMessageText(const char* text, const char* const* inserts, std::size_t insertCount,
                       std::string& result);

// The highest argument number that formatting the text reads, printf forms
// with '*' included; 0 when it reads none.
std::size_t HighestInsert(const char* text);

// Event Log types by the severity bits 31 and 30 of an identifier.
enum : std::uint16_t {
    kEventSuccess = 0,      // 00, a system error code
    kEventError = 1,        // 11
    kEventWarning = 2,      // 10
    kEventInformation = 4,  // 01
};
std::uint16_t EventTypeOf(std::uint32_t messageId);

#if !defined(_WIN32)
// The syslog priority that stands in for the Event Log type.
int SyslogPriorityOf(std::uint32_t messageId);
#endif

}  // namespace cvn

#endif
