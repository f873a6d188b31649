// The pure parts of the administrator's commands: which events a setting
// chooses, how a command line is taken apart, the values a command is told,
// and when a wait counts as a suspension.
#include <gtest/gtest.h>

#include "commands.h"
#include "resume.h"
#include "support/capture.h"

using cvn::CommandEvent;

TEST(CommandSettings, EventNamesAreMatchedWithoutBlanksOrCaseAndAnEmptyListHoldsAll)
{
    EXPECT_TRUE(cvn::EventChosen("", CommandEvent::SessionLost));
    EXPECT_TRUE(cvn::EventChosen(" , ;", CommandEvent::SessionLost));
    EXPECT_TRUE(cvn::EventChosen("On Battery; Power Restored", CommandEvent::PowerRestored));
    EXPECT_TRUE(cvn::EventChosen("SHUTTINGDOWN,batterylow", CommandEvent::BatteryLow));
    EXPECT_FALSE(cvn::EventChosen("On Battery, Power Restored", CommandEvent::BatteryLow));
    // A misspelt name chooses nothing, not everything.
    EXPECT_FALSE(cvn::EventChosen("On Batery", CommandEvent::OnBattery));
}

TEST(CommandSettings, AProgramPathWithBlanksIsQuotedOrNamesAnExistingFile)
{
    cvntest::TempDir dir;
    const std::string script = dir.File("stop all.sh");
    cvntest::WriteFile(script, "");

    const cvn::CCommandLine quoted = cvn::SplitCommand("  \"C:\\Program Files\\ups\\stop vms.bat\"  -force now ");
    EXPECT_EQ("C:\\Program Files\\ups\\stop vms.bat", quoted.program);
    EXPECT_EQ("-force now", quoted.arguments);
    const cvn::CCommandLine whole = cvn::SplitCommand(script);
    EXPECT_EQ(script, whole.program);
    EXPECT_EQ("", whole.arguments);
    const cvn::CCommandLine plain = cvn::SplitCommand("logger -t ups");
    EXPECT_EQ("logger", plain.program);
    EXPECT_EQ("-t ups", plain.arguments);
    // An unclosed quote takes the rest as the program.
    EXPECT_EQ("C:\\a b", cvn::SplitCommand("\"C:\\a b").program);
}

TEST(CommandSettings, TimeoutsBelowOneSecondTakeTheDefaultAndAreHeldToADay)
{
    for (const auto& c : {std::pair<int, int>{0, 60}, {-5, 60}, {1, 1}, {86400, 86400}, {86401, 86400}})
        EXPECT_EQ(c.second, cvn::CommandTimeout(c.first)) << c.first;
}

TEST(CommandSettings, ValuesHeardAreTheLastOfEachKindWithoutTheirBraces)
{
    cvn::CCommandFacts facts;
    const std::string read = "GetValue(Output Source)=0,{{Line}}\r\nBattery Status={{Low\x01}}\r\n"
                             "Output Source={{Battery}}\r\nOther={{x}}";
    cvn::TakeHeardValues(read.data(), read.size(), facts);
    EXPECT_EQ("Battery", facts.outputSource);
    EXPECT_EQ("Low", facts.batteryStatus);
}

TEST(ResumeWatch, AWaitCountsAsASuspensionOnlyWellPastWhatItAsked)
{
    EXPECT_EQ(0u, cvn::Overrun(1000, 2000, 1000));
    EXPECT_EQ(500u, cvn::Overrun(1000, 2500, 1000));
    // Across the wrap of the tick count.
    EXPECT_EQ(40000u, cvn::Overrun(0xFFFFF000u, 0xFFFFF000u + 41000u, 1000));
    EXPECT_GT(cvn::Overrun(0xFFFFF000u, 0xFFFFF000u + 41000u, 1000), cvn::kSuspendedAfterMs);
    EXPECT_LT(cvn::Overrun(0xFFFFF000u, 0xFFFFF000u + 21000u, 1000), cvn::kSuspendedAfterMs);
}
