// The names of the setup verbs, for the command line on every platform.
#include "setup_trust.h"

#include <cctype>

namespace cvn {

bool IsSetupVerb(const char* word)
{
    static const char* const verbs[] = {"trust", "lock", "msibegin", "msisettings", "msiend"};
    for (const char* verb : verbs) {
        const char* a = word;
        const char* b = verb;
        while (*a && *b && tolower(static_cast<unsigned char>(*a)) == *b) {
            ++a;
            ++b;
        }
        if (!*a && !*b)
            return true;
    }
    return false;
}

}  // namespace cvn
