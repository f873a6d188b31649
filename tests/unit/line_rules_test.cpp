// What the monitor takes from the bytes of one read.
#include <gtest/gtest.h>

#include <string>

#include "line_rules.h"
#include "server_text.h"

namespace {

struct Flags {
    bool onBattery = false;
    bool batteryLow = false;
};

Flags Apply(const std::string& bytes, Flags flags = {})
{
    cvn::ApplyLines(bytes.data(), bytes.size(), flags.onBattery, flags.batteryLow);
    return flags;
}

TEST(LineRules, QueryAnswersAndUpdatesSetTheFlags)
{
    EXPECT_TRUE(Apply("GetValue(Output Source)=0,{{Battery}}\r\n").onBattery);
    EXPECT_TRUE(Apply("Output Source={{Battery Backup}}\r\n").onBattery);
    EXPECT_TRUE(Apply("Battery Status={{Low}}\r\n").batteryLow);
    EXPECT_TRUE(Apply("GetValue(Battery Status)=0,{{Depleted}}\r\n").batteryLow);
    Flags set{true, true};
    EXPECT_FALSE(Apply("Output Source={{Line}}\r\n", set).onBattery);
    EXPECT_FALSE(Apply("Battery Status={{OK, charging}}\r\n", set).batteryLow);
}

TEST(LineRules, OnlyTheStartOfTheValueCounts)
{
    EXPECT_TRUE(Apply("Output Source={{Battery").onBattery);
    EXPECT_FALSE(Apply("Output Source={{battery}}").onBattery);
    EXPECT_FALSE(Apply("Output Source={{Batter").onBattery);
    // An empty value is not "OK".
    EXPECT_TRUE(Apply("Battery Status={{").batteryLow);
    EXPECT_FALSE(Apply("Battery Status={{OK").batteryLow);
}

TEST(LineRules, LinesThatMatchNoRuleChangeNothing)
{
    Flags set{true, true};
    Flags after = Apply("GetValue(Output Source)=1,{{Line}}\r\nSetAutoUpdate(1)=0\r\n"
                        " Output Source={{Line}}\r\noutput source={{Line}}\r\nOutput Source=Line\r\n",
                        set);
    EXPECT_TRUE(after.onBattery);
    EXPECT_TRUE(after.batteryLow);
}

TEST(LineRules, TheLastMatchingLineOfAReadDecides)
{
    Flags f = Apply("Output Source={{Battery}}\r\nOutput Source={{Line}}\r\n");
    EXPECT_FALSE(f.onBattery);
    f = Apply("Output Source={{Line}}\nBattery Status={{Low}}\rOutput Source={{Battery}}");
    EXPECT_TRUE(f.onBattery);
    EXPECT_TRUE(f.batteryLow);
}

TEST(LineRules, ALineSplitAcrossReadsIsTakenAsTwoLines)
{
    Flags f = Apply("Output Source={{Batt", Flags{true, false});
    EXPECT_FALSE(f.onBattery);
    f = Apply("ery}}\r\n", f);
    EXPECT_FALSE(f.onBattery);
}

TEST(LineRules, AZeroByteEndsTheText)
{
    std::string bytes = std::string("Output Source={{Battery}}\r\n") + '\0' + "Output Source={{Line}}\r\n";
    EXPECT_TRUE(Apply(bytes).onBattery);
    bytes = std::string("Output Source={{Li") + '\0' + "ne}}";
    EXPECT_FALSE(Apply(bytes, Flags{true, false}).onBattery);
}

TEST(LineRules, JunkOfAnyShapeIsHarmless)
{
    std::string junk;
    for (int i = 0; i < 4000; ++i)
        junk += static_cast<char>((i * 37) % 256);
    Flags f = Apply(junk);
    EXPECT_FALSE(f.onBattery);
    Apply(std::string(100000, '\r'));
    Apply(std::string(100000, 'x'));
}

TEST(LineRules, TheTraceShowsOnlyPrintableCharacters)
{
    std::string bytes = std::string("A\r\nB\t~\x7f\x80") + '\0' + "C";
    EXPECT_EQ("AB~C", cvn::PrintableText(bytes.data(), bytes.size()));
    EXPECT_EQ("100% %s", cvn::PrintableText("100% %s", 7));
}

// What a command is told of the server's values: the rules above still see
// the raw text, a script only the tame one.
TEST(LineRules, ACommandIsToldTheValueTame)
{
    const struct {
        std::string raw;
        const char* tame;
    } rows[] = {
        {"Battery Backup, 80.5% +2:10 h/min_x-y", "Battery Backup, 80.5_ +2:10 h/min_x-y"},
        {"Battery & whoami ; $(id) `id` %COMSPEC% ^& | calc", "Battery _ whoami _ __id_ _id_ _COMSPEC_ __ _ calc"},
        {"<>\\\"'=*?![]{}()~#@", "__________________"},
        {"Low\x01\x7f\t\r\n", "Low"},
        {"B\xc3\xa4tt\xff" "ery", "Bttery"},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.tame, cvn::TameServerText(row.raw)) << row.raw;
    const std::string raw = "Output Source={{" + rows[1].raw + "}}\r\n";
    EXPECT_TRUE(Apply(raw).onBattery);
}

}  // namespace
