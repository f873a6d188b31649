// The UPS servers the client follows. A computer with redundant power
// supplies is fed by several UPSes, each watched by its own server:
// [Settings] names the first, [Server 2] to [Server 8] the others, and
// "Minimum Supplies" says how many of them must have power for the computer
// to run. Without those keys there is one server, as there always was.
#ifndef CVN_SERVERS_H
#define CVN_SERVERS_H

#include <cstdint>
#include <string>
#include <vector>

class CINIFile;

namespace cvn {

const int kMostServers = 8;

// One server as its section gives it. [Server N] keys are read within that
// section alone; a missing port, user name or password there is the one of
// [Settings], never another server's.
struct CServerEntry {
    std::string section;  // "Settings", "Server 2", ...
    std::string address;
    std::uint16_t port = 8888;
    std::string user;
    std::string password;
};
CServerEntry ReadServer(CINIFile& ini, const std::string& section);

// The sections that name a server: [Settings] first (whatever it holds, so
// that a missing address is reported as ever), then each [Server N] with an
// address, in order.
std::vector<std::string> ServerSections(CINIFile& ini);

// How the reports name a server when there are several: its section and
// where it is.
std::string ServerName(const CServerEntry& server);

// "Minimum Supplies" held to 1..servers; capped is set when the setting
// asked for more UPSes than there are servers.
int MinimumSupplies(CINIFile& ini, int servers, bool* capped = nullptr);

}  // namespace cvn

#endif
