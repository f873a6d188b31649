// Text that the UPS server sent, made harmless before it reaches a program
// that the client starts. Anyone who can answer in the server's place
// decides what that text holds, and a script that puts it on a command line
// unquoted (cmd expands %VAR% before it reads & and |) would run it.
#ifndef CVN_SERVER_TEXT_H
#define CVN_SERVER_TEXT_H

#include <string>

namespace cvn {

// Control bytes and bytes outside printable ASCII are dropped; letters,
// digits, the blank and . , - _ : / + are kept; every other byte becomes
// "_". The monitor's own rules read the raw value, not this.
std::string TameServerText(const std::string& raw);

}  // namespace cvn

#endif
