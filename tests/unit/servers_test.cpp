// The servers as their sections give them: a section lends nothing to
// another server's, and takes what it lacks from [Settings] alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini_file.h"
#include "servers.h"

namespace {

const char kFile[] = "[Settings]\n"
                     "Server Address=first\n"
                     "Username=boss\n"
                     "[Server 2]\n"
                     ";Server Address=second\n"
                     "Server Port=2002\n"
                     "[Server 3]\n"
                     "Server Address=third\n"
                     "Password=three\n"
                     "[Server 4]\n"
                     "Server Address=fourth\n"
                     "Server Port=4004\n"
                     "Username=four\n"
                     "[Debug]\n"
                     "On=0\n";

TEST(Servers, ASectionWithoutItsOwnAddressIsIgnored)
{
    CINIFile ini = CINIFile::FromText(kFile);
    EXPECT_EQ((std::vector<std::string>{"Settings", "Server 3", "Server 4"}), cvn::ServerSections(ini));
    EXPECT_EQ("", cvn::ReadServer(ini, "Server 2").address);
}

TEST(Servers, MissingKeysComeFromSettingsNeverFromAnotherServer)
{
    CINIFile ini = CINIFile::FromText(kFile);
    struct Row {
        const char* section;
        const char* address;
        int port;
        const char* user;
        const char* password;
    } rows[] = {
        // [Settings] has no port: the default, not [Server 2]'s or [Server 4]'s.
        {"Settings", "first", 8888, "boss", "vorak"},
        {"Server 3", "third", 8888, "boss", "three"},
        {"Server 4", "fourth", 4004, "four", "vorak"},
    };
    for (const Row& row : rows) {
        const cvn::CServerEntry server = cvn::ReadServer(ini, row.section);
        EXPECT_EQ(row.address, server.address) << row.section;
        EXPECT_EQ(row.port, server.port) << row.section;
        EXPECT_EQ(row.user, server.user) << row.section;
        EXPECT_EQ(row.password, server.password) << row.section;
    }
    // A port of [Settings] is every server's without one of its own.
    CINIFile withPort = CINIFile::FromText("[Settings]\nServer Address=a\nServer Port=7000\n"
                                           "[Server 2]\nServer Address=b\n[Server 3]\nServer Address=c\nServer Port=3\n");
    EXPECT_EQ(7000, cvn::ReadServer(withPort, "Server 2").port);
    EXPECT_EQ(3, cvn::ReadServer(withPort, "Server 3").port);
}

}  // namespace
