// Reports one message the way the client does, for the tests to look at
// from outside the process:
//   report_probe console|service <identifier> [insert ...]   (at most 3 inserts)
// "service" sets the flag of a process that runs as a service, so that
// Report goes to the Event Log (syslog natively).
#include <cstdlib>
#include <cstring>

#include "app.h"
#include "exception.h"

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 6)
        return 2;
    g_bRunningAsService = std::strcmp(argv[1], "service") == 0;
    std::uint32_t id = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    char** inserts = argv + 3;
    CCVNException* e = nullptr;
    switch (argc - 3) {
    case 0:
        e = new CCVNException(id, 0);
        break;
    case 1:
        e = new CCVNException(id, 1, inserts[0]);
        break;
    case 2:
        e = new CCVNException(id, 2, inserts[0], inserts[1]);
        break;
    default:
        e = new CCVNException(id, 3, inserts[0], inserts[1], inserts[2]);
        break;
    }
    e->Report();
    delete e;
    return 0;
}
