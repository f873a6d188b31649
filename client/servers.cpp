#include "servers.h"

#include "ini_file.h"

namespace cvn {

namespace {

const char kFirst[] = "Settings";

// The key of the section, or the one of [Settings] when the section has none
// (or an empty one: no server takes an empty user name on purpose).
std::string Inherited(CINIFile& ini, const std::string& section, const char* key, const char* def)
{
    if (section != kFirst) {
        std::string value = ini.GetString(section.c_str(), key, "");
        if (!value.empty())
            return value;
    }
    return ini.GetString(kFirst, key, def);
}

}  // namespace

CServerEntry ReadServer(CINIFile& ini, const std::string& section)
{
    CServerEntry server;
    server.section = section;
    server.address = ini.GetString(section.c_str(), "Server Address", "");
    // Only the low 16 bits of the setting make the port.
    const int firstPort = ini.GetInt(kFirst, "Server Port", 8888);
    server.port = static_cast<std::uint16_t>(ini.GetInt(section.c_str(), "Server Port", firstPort));
    server.user = Inherited(ini, section, "Username", "admin");
    server.password = Inherited(ini, section, "Password", "vorak");
    return server;
}

std::vector<std::string> ServerSections(CINIFile& ini)
{
    std::vector<std::string> sections = {kFirst};
    for (int n = 2; n <= kMostServers; ++n) {
        const std::string section = "Server " + std::to_string(n);
        if (!ini.GetString(section.c_str(), "Server Address", "").empty())
            sections.push_back(section);
    }
    return sections;
}

std::string ServerName(const CServerEntry& server)
{
    return server.section + ": " + server.address + " port " + std::to_string(server.port);
}

int MinimumSupplies(CINIFile& ini, int servers, bool* capped)
{
    const int wanted = ini.GetInt(kFirst, "Minimum Supplies", 1);
    if (capped)
        *capped = wanted > servers;
    if (wanted > servers)
        return servers;
    return wanted < 1 ? 1 : wanted;
}

}  // namespace cvn
