// What a "Server Address" text is taken for, before anything is looked up
// or connected to: nothing here touches the network.
#include <gtest/gtest.h>

#include "server_address.h"

using cvn::AddressKind;

TEST(ServerAddress, EachTextIsTakenForItsKindWithWhatTheSystemIsGiven)
{
    struct Row {
        const char* text;
        AddressKind kind;
        const char* host;  // what the system is given
        const char* zone;
    } rows[] = {
        {"2001:db8::10", AddressKind::IPv6, "2001:db8::10", ""},
        {"[2001:db8::10]", AddressKind::IPv6, "2001:db8::10", ""},
        {"fe80::1%eth0", AddressKind::IPv6, "fe80::1%eth0", "eth0"},
        {"fe80::1%3", AddressKind::IPv6, "fe80::1%3", "3"},
        {"[fe80::1%3]", AddressKind::IPv6, "fe80::1%3", "3"},
        {"::1", AddressKind::IPv6, "::1", ""},
        {"::ffff:192.0.2.1", AddressKind::IPv6, "::ffff:192.0.2.1", ""},
        {"1.2.3.4", AddressKind::IPv4, "1.2.3.4", ""},
        {"255.255.255.255", AddressKind::IPv4, "255.255.255.255", ""},
        // Digits first no longer make an address: these are names.
        {"1host", AddressKind::Name, "1host", ""},
        {"1.2.3.4.example", AddressKind::Name, "1.2.3.4.example", ""},
        {"256.1.1.1", AddressKind::Name, "256.1.1.1", ""},
        {"1.2.3", AddressKind::Name, "1.2.3", ""},
        {"ups.example.com", AddressKind::Name, "ups.example.com", ""},
        {"localhost", AddressKind::Name, "localhost", ""},
        // The port belongs in Server Port.
        {"[::1]:8888", AddressKind::WithPort, "", ""},
        {"[2001:db8::10]:1", AddressKind::WithPort, "", ""},
        {"ups.example.com:8888", AddressKind::WithPort, "", ""},
        {"1.2.3.4:8888", AddressKind::WithPort, "", ""},
        {"", AddressKind::Malformed, "", ""},
        {"[::1", AddressKind::Malformed, "", ""},
        {"[::1]x", AddressKind::Malformed, "", ""},
        {"[ups.example]", AddressKind::Malformed, "", ""},
        {"[1.2.3.4]", AddressKind::Malformed, "", ""},
        {"2001:db8::g", AddressKind::Malformed, "", ""},
        {"fe80::1%", AddressKind::Malformed, "", ""},
        {"ups example", AddressKind::Malformed, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const cvn::CServerAddress parsed = cvn::ParseServerAddress(row.text);
        EXPECT_EQ(static_cast<int>(row.kind), static_cast<int>(parsed.kind));
        EXPECT_EQ(row.host, parsed.host);
        EXPECT_EQ(row.zone, parsed.zone);
    }
    EXPECT_TRUE(cvn::ZoneIsNumber("3"));
    EXPECT_FALSE(cvn::ZoneIsNumber("eth0"));
    EXPECT_FALSE(cvn::ZoneIsNumber(""));
}
