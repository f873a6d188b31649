// The message formatter (the Windows insert rules), the catalogue compiled
// from messages.mc, and the mapping of identifiers to Event Log types.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exception.h"
#include "message_format.h"

#if !defined(_WIN32)
#include <syslog.h>
#endif

using cvn::FormatMessageText;

namespace {

// Formats with the given inserts; "FAILED" when the formatter refuses.
std::string Format(const char* text, const std::vector<const char*>& inserts = {})
{
    std::string out;
    if (!FormatMessageText(text, inserts.data(), inserts.size(), out))
        return "FAILED";
    return out;
}

}  // namespace

TEST(MessageCatalogue, HoldsItsTextsAsStored)
{
    const struct {
        std::uint32_t id;
        const char* text;
    } expected[] = {
        {MSG_CONNECTING, "Connecting to server.\r\n"},
        {MSG_CONNECTED, "Successfully Connected.\r\n"},
        {MSG_SOCKET_INIT_FAILED, "Unable to initialize socket support!\r\n"},
        {MSG_LOGIN_FAILED, "Login failed!  Please check username and password.\r\n"},
        {MSG_NO_SERVER_ADDRESS, "No server address specified, aborting!\r\n"},
        {MSG_CONNECT_FAILED, "Unable to connect to %!!\r\n"},
        {MSG_CONNECTION_LOST, "Connection to server lost!  Will attept to reconnect every 20 seconds.\r\n"},
        {MSG_INI_LOAD_FAILED, "Unable to load INI File[%1].\r\n"},
        {MSG_INIT_FAILED, "Failed to Initialize Application. Detail[%1].\r\n"},
        // The users' messages on record, and a refused shutdown request.
        {MSG_ON_BATTERY, "UPS on battery, system will shutdown in %1 seconds.\r\n"},
        {MSG_LOW_BATTERY, "UPS battery low, system will shutdown in %1 seconds.\r\n"},
        {MSG_SHUTTING_DOWN, "UPS on battery, shuting down now.\r\n"},
        {MSG_POWER_RESTORED, "UPS power restored, aborting shutdown.\r\n"},
        {MSG_SHUTDOWN_FAILED, "Unable to shut down the system. Detail[%1].\r\n"},
        {MSG_DRY_RUN, "Dry run: the system would shut down now\r\n"},
        // The administrator's commands, the shutdown action and a resume.
        {MSG_COMMAND_START_FAILED, "Unable to start the command for the event %1 [%2]. Detail[%3].\r\n"},
        {MSG_COMMAND_FAILED, "The command for the event %1 [%2] ended with %3.\r\n"},
        {MSG_COMMAND_TIMED_OUT,
         "The command for the event %1 [%2] was still running after %3 seconds and has been ended.\r\n"},
        {MSG_COMMAND_BUSY, "The command for the event %1 [%2] is still running; it is not started again.\r\n"},
        {MSG_ACTION_FAILED, "The shutdown action %1 failed. Detail[%2]. The system is shut down instead.\r\n"},
        {MSG_RESUMED, "The system was suspended for about %1 seconds. The countdown starts afresh from the power "
                      "state last heard; the session is made anew.\r\n"},
        {MSG_ACTION_NO_EFFECT, "The shutdown action %1 reported success, but the system was still running %2 seconds "
                               "later. The system is shut down instead.\r\n"},
        // Several UPSes: the server named.
        {MSG_CONNECTED_AT, "Successfully Connected. Server[%1].\r\n"},
        {MSG_LOGIN_FAILED_AT, "Login failed!  Please check username and password. Server[%1].\r\n"},
        {MSG_CONNECT_FAILED_AT, "Unable to connect to the server. Server[%1].\r\n"},
        {MSG_CONNECTION_LOST_AT, "Connection to server lost!  Its UPS keeps the values last heard until the client "
                                 "reconnects. Server[%1].\r\n"},
        {MSG_ON_BATTERY_AT, "UPS on battery, system will shutdown in %1 seconds. Server[%2].\r\n"},
        {MSG_LOW_BATTERY_AT, "UPS battery low, system will shutdown in %1 seconds. Server[%2].\r\n"},
        {MSG_SHUTTING_DOWN_AT, "UPS on battery, shuting down now. Server[%1].\r\n"},
        {MSG_POWER_RESTORED_AT, "UPS power restored, aborting shutdown. Server[%1].\r\n"},
        {MSG_TOO_FEW_SERVERS, "Minimum Supplies is %1, but only %2 servers are set: the computer runs only while all "
                              "%2 UPSes have power.\r\n"},
        {MSG_UPS_UNHEARD, "No value has been heard from the UPS of %1 yet. Until one is, it counts as on mains power "
                          "while every UPS heard from is, and as on battery with a good battery once one is not.\r\n"},
        {MSG_SETTINGS_KEPT, "The settings file %1 %2: the client keeps the settings it read last until the file can "
                            "be read again.\r\n"},
        // The installation's security steps.
        {MSG_SETUP_UNVOUCHED, "%1 is not a settings file that this client's setup left there: the service would run "
                              "what it says as the system account. Move it away, or choose another folder.\r\n"},
        {MSG_SETUP_OWNER, "%1 belongs to %2, not to the administrators: anyone could have put it there for the service "
                          "to run.\r\n"},
        {MSG_SETUP_WRITABLE, "%1 may be changed by %2, not only by the administrators: anyone could have put it there "
                             "for the service to run.\r\n"},
        {MSG_SETUP_LINK, "%1 is a link to another place or has other names elsewhere: the setup does not take a folder "
                         "that holds such a thing.\r\n"},
        {MSG_SETUP_HELD_OPEN, "%1 is held open for writing by another program: what it holds could still change after "
                              "the setup's look.\r\n"},
        {MSG_SETUP_NO_ADDRESS, "No server address: give it with SERVERADDRESS, or in the settings file that SETTINGSFILE "
                               "names.\r\n"},
        {MSG_SETUP_STEP_FAILED, "Cannot %1 %2: %3\r\n"},
        {MSG_SETUP_SYSTEM_FOLDER, "The folder %1 is, or holds, a folder of Windows: choose a folder of its own for the "
                                  "client.\r\n"},
        // A server address the client cannot use.
        {MSG_ADDRESS_WITH_PORT, "Server Address %1 holds a port. Write the address alone (an IPv6 address with or "
                                "without its brackets) and the port as Server Port.\r\n"},
        {MSG_ADDRESS_MALFORMED, "Server Address %1 is neither an IPv4 address, nor an IPv6 address with a zone this "
                                "computer has, nor a host name.\r\n"},
        {MSG_ZONE_NOT_NUMBER, "Server Address %1: on Windows the zone of an IPv6 address is the number of its "
                              "interface, as in fe80::1%%3.\r\n"},
        {MSG_IPV6_NOT_SUPPORTED, "Server Address %1 is an IPv6 address, which this version of Windows cannot reach: "
                                 "use an IPv4 address or a host name.\r\n"},
        {MSG_IPV6_NOT_INSTALLED, "Server Address %1 has an IPv6 address, but this computer has no IPv6 protocol "
                                 "installed to reach it.\r\n"},
    };
    ASSERT_EQ(46u, cvn::kCatalogueSize);
    for (const auto& entry : expected) {
        const char* text = cvn::FindCatalogueText(entry.id);
        ASSERT_NE(nullptr, text) << std::hex << entry.id;
        EXPECT_STREQ(entry.text, text);
    }
    EXPECT_EQ(nullptr, cvn::FindCatalogueText(0xC0020003));
    EXPECT_EQ(nullptr, cvn::FindCatalogueText(2));
}

TEST(MessageFormatter, ExclamationEscapeGivesOneExclamationMark)
{
    EXPECT_EQ("!", Format("%!"));
    // The address given to the connect report never shows.
    EXPECT_EQ("Unable to connect to !!\r\n", Format(cvn::FindCatalogueText(MSG_CONNECT_FAILED), {"ups.example"}));
}

TEST(MessageFormatter, EscapesFollowTheWindowsRules)
{
    EXPECT_EQ("%", Format("%%"));
    EXPECT_EQ("a\r\nb", Format("a%nb"));
    EXPECT_EQ("a\rb", Format("a%rb"));
    EXPECT_EQ("a\tb", Format("a%tb"));
    EXPECT_EQ("a", Format("a%0b"));
    EXPECT_EQ(".", Format("%."));
    EXPECT_EQ("x y", Format("x% y"));
    EXPECT_EQ("xQ-", Format("%x%Q%-"));
    // Nothing after the escape character: FormatMessageA fails.
    EXPECT_EQ("FAILED", Format("100%"));
}

TEST(MessageFormatter, EveryLineEndOfTheTextBecomesCrLf)
{
    EXPECT_EQ("a\r\nb", Format("a\r\nb"));
    EXPECT_EQ("a\r\nb", Format("a\nb"));
    EXPECT_EQ("a\r\nb", Format("a\rb"));
    EXPECT_EQ("a\r\n\r\nb", Format("a\n\rb"));
    EXPECT_EQ("a\r\n\r\nb", Format("a\r\rb"));
}

TEST(MessageFormatter, InsertsAreTakenVerbatim)
{
    // A line end or a reference inside an insert is not looked at again.
    EXPECT_EQ("[x\n%2%n]", Format("[%1]", {"x\n%2%n", "two"}));
    EXPECT_EQ("twoone", Format("%2%1", {"one", "two"}));
    EXPECT_EQ("%10", Format("%10", {"one"}));  // insert 10, not 1 and "0"
    std::vector<const char*> ten = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"};
    EXPECT_EQ("ten|1", Format("%10|%1", ten));
    EXPECT_EQ("ten0", Format("%100", ten));
    EXPECT_EQ("(null)", Format("%1", {nullptr}));
}

TEST(MessageFormatter, InitFailureCarriesTheWholeIniTextOnTwoLines)
{
    std::string inner = Format(cvn::FindCatalogueText(MSG_INI_LOAD_FAILED), {"C:\\UPS\\CVNRemote.ini"});
    EXPECT_EQ("Unable to load INI File[C:\\UPS\\CVNRemote.ini].\r\n", inner);
    EXPECT_EQ("Failed to Initialize Application. Detail[Unable to load INI File[C:\\UPS\\CVNRemote.ini].\r\n].\r\n",
              Format(cvn::FindCatalogueText(MSG_INIT_FAILED), {inner.c_str()}));
}

TEST(MessageFormatter, InsertsBeyondThoseGivenAreLeftInTheText)
{
    EXPECT_EQ("%1 is not a valid program.", Format("%1 is not a valid program."));
    EXPECT_EQ("a %3 b %2!s! c %2!*s! d", Format("%1 %3 b %2!s! c %2!*s! d", {"a"}));
    // The star takes insert 1 for the width and needs insert 2 for the text.
    EXPECT_EQ("%1!*s!", Format("%1!*s!", {"a"}));
    EXPECT_EQ("%99 %0", Format("%99 %%0", {"a"}));
}

TEST(MessageFormatter, PrintfFormsOfStringsAndCharacters)
{
    EXPECT_EQ("one", Format("%1!s!", {"one"}));
    EXPECT_EQ("       one|", Format("%1!10s!|", {"one"}));
    EXPECT_EQ("one       |", Format("%1!-10s!|", {"one"}));
    EXPECT_EQ("on|   on|", Format("%1!.2s!|%1!5.2s!|", {"one"}));
    EXPECT_EQ("00one|one  |", Format("%1!05s!|%1!-05s!|", {"one"}));
    EXPECT_EQ("|", Format("%1!.0s!|", {"one"}));
    EXPECT_EQ("oneabcdef", Format("%1!sabc!def", {"one"}));
    EXPECT_EQ("one!|", Format("%1!s!!|", {"one"}));
    EXPECT_EQ("one|one", Format("%1!hs!|%1!hS!", {"one"}));
    EXPECT_EQ("(nu", Format("%1!.3s!", {nullptr}));
}

TEST(MessageFormatter, PrintfFormsOfNumbersUseTheArgumentValue)
{
    // Windows passes each insert as one pointer-sized value: a number form
    // prints the value itself, here a small number in place of a pointer.
    auto number = [](std::uintptr_t v) { return reinterpret_cast<const char*>(v); };
    std::vector<const char*> args = {number(5), number(0xFFFF8041u), number(65), number(0)};
    EXPECT_EQ("5|-32703|4294934593|ffff8041|FFFF8041|37777700101", Format("%1!d!|%2!i!|%2!u!|%2!x!|%2!X!|%2!o!", args));
    EXPECT_EQ("-32703|32833|8041|-32703", Format("%2!hd!|%2!hu!|%2!hx!|%2!ld!", args));
    EXPECT_EQ("       005|+5   |5    | 5|0x5|", Format("%1!10.3d!|%1!-+5d!|%1!0-5d!|%1! d!|%1!#x!|%4!.0d!", args));
    EXPECT_EQ("A|00A|A  |", Format("%3!c!|%3!03c!|%3!-3c!|", args));
    // '*' takes the width from the argument and moves on to the next.
    std::vector<const char*> star = {"x", number(6), number(2), "abcdef", number(-4)};
    EXPECT_EQ("    ab|", Format("%2!*.*s!|", star));
    EXPECT_EQ("ab    |x", Format("%2!-*.*s!|%1", star));
    EXPECT_EQ("ab|abcdef", Format("%3!.*s!|%4", star));
    EXPECT_EQ("x   |", Format("%5!*s!|", {"?", "?", "?", "?", number(-4), "x"}));
}

TEST(MessageFormatter, FormsItCannotReproduceAreLeftOrRefused)
{
    // Wide strings, 64-bit and floating-point values depend on the system.
    EXPECT_EQ("%1!ls! %1!I64d! %1!e! %1!p!", Format("%1!ls! %1!I64d! %1!e! %1!p!", {"one"}));
    EXPECT_EQ("%1!s%d!", Format("%1!s%d!", {"one"}));
    // Where FormatMessageA fails, so does the formatter.
    EXPECT_EQ("FAILED", Format("%1!s", {"one"}));
    EXPECT_EQ("FAILED", Format("%1!", {"one"}));
    EXPECT_EQ("FAILED", Format("%1!70000s!", {"one"}));
    // A width taken from a pointer would be gigabytes of spaces.
    EXPECT_EQ("FAILED", Format("%1!*s!", {"one", "two"}));
}

TEST(MessageFormatter, LongInsertsArriveWhole)
{
    std::string path(100000, 'p');
    path += "\\CVNRemote.ini";
    std::string text = Format(cvn::FindCatalogueText(MSG_INI_LOAD_FAILED), {path.c_str()});
    EXPECT_EQ("Unable to load INI File[" + path + "].\r\n", text);
    EXPECT_EQ(std::string(65534, ' ') + "x", Format("%1!65535s!", {"x"}));
}

TEST(MessageFormatter, HighestInsertCountsWhatFormattingReads)
{
    EXPECT_EQ(0u, cvn::HighestInsert("Connecting to server.\r\n"));
    EXPECT_EQ(0u, cvn::HighestInsert("%% %! %n %t %r %."));
    EXPECT_EQ(0u, cvn::HighestInsert("%0 %1"));
    EXPECT_EQ(1u, cvn::HighestInsert("Unable to load INI File[%1].\r\n"));
    EXPECT_EQ(12u, cvn::HighestInsert("%2 %12!ls! %3"));
    EXPECT_EQ(3u, cvn::HighestInsert("%2!*s!"));
    EXPECT_EQ(4u, cvn::HighestInsert("%2!*.*d!"));
    EXPECT_EQ(99u, cvn::HighestInsert("%99"));
}

TEST(EventLogType, FollowsTheTwoSeverityBits)
{
    EXPECT_EQ(cvn::kEventInformation, cvn::EventTypeOf(MSG_CONNECTING));
    EXPECT_EQ(cvn::kEventError, cvn::EventTypeOf(MSG_INIT_FAILED));
    EXPECT_EQ(cvn::kEventWarning, cvn::EventTypeOf(0x80020001));
    EXPECT_EQ(cvn::kEventSuccess, cvn::EventTypeOf(1073));
    EXPECT_EQ(4, cvn::kEventInformation);
    EXPECT_EQ(2, cvn::kEventWarning);
    EXPECT_EQ(1, cvn::kEventError);
#if !defined(_WIN32)
    EXPECT_EQ(LOG_INFO, cvn::SyslogPriorityOf(MSG_CONNECTED));
    EXPECT_EQ(LOG_ERR, cvn::SyslogPriorityOf(MSG_CONNECTION_LOST));
    EXPECT_EQ(LOG_WARNING, cvn::SyslogPriorityOf(0x80020001));
    EXPECT_EQ(LOG_NOTICE, cvn::SyslogPriorityOf(2));
#endif
}
