// POSIX code only: the setup verbs are Windows installation steps; the
// Debian package has its own, and a native run fails as the service
// commands do.
#include "setup_trust.h"

#include <cerrno>

#include "exception.h"

namespace cvn {

int RunSetupVerb(const std::string&, const std::vector<std::string>&)
{
    throw new CCVNException(ENOTSUP, 0);
}

}  // namespace cvn
