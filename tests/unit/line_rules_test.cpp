// What the monitor takes from the bytes of one read.
#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "line_joiner.h"
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

// The reads of one session, through its joiner, as the sessions take them:
// the flags and the commands' facts after each read.
struct Session {
    cvn::CLineJoiner joiner;
    Flags flags;
    cvn::CCommandFacts facts;
    int dropped = 0;

    Flags Read(const std::string& bytes)
    {
        const cvn::CJoinedLines lines = joiner.Take(bytes.data(), bytes.size());
        const std::string rules = lines.whole + lines.settled;
        cvn::ApplyLines(rules.data(), rules.size(), flags.onBattery, flags.batteryLow);
        cvn::TakeHeardValues(lines.whole.data(), lines.whole.size(), facts);
        dropped += lines.droppedLong ? 1 : 0;
        return flags;
    }
};

// A line cut anywhere between two reads is taken once, whole: the first
// piece never flips a flag the whole line leaves as it is, and the value a
// command is told is never a piece.
TEST(LineRules, ALineCutAtAnyPlaceIsTakenWhole)
{
    const struct {
        std::string line;
        Flags before;
        Flags after;
        const char* outputSource;
        const char* batteryStatus;
    } rows[] = {
        {"Battery Status={{OK}}\r\n", {true, false}, {true, false}, "", "OK"},
        {"Output Source={{Battery}}\r\n", {true, false}, {true, false}, "Battery", ""},
        {"GetValue(Output Source)=0,{{Battery Backup}}\n", {true, true}, {true, true}, "Battery Backup", ""},
        {"Output Source={{Line}}\r", {false, false}, {false, false}, "Line", ""},
        {"Battery Status={{Low}}\r\n", {true, true}, {true, true}, "", "Low"},
        {"Output Source={{Line}}\r\n", {true, false}, {false, false}, "Line", ""},
        {"GetValue(Battery Status)=0,{{OK}}\r\n", {true, true}, {true, false}, "", "OK"},
    };
    for (const auto& row : rows) {
        for (std::size_t cut = 1; cut < row.line.size(); ++cut) {
            Session session;
            session.flags = row.before;
            const Flags first = session.Read(row.line.substr(0, cut));
            if (row.before.onBattery == row.after.onBattery) {
                EXPECT_EQ(row.before.onBattery, first.onBattery) << row.line << " cut at " << cut;
            }
            if (row.before.batteryLow == row.after.batteryLow) {
                EXPECT_EQ(row.before.batteryLow, first.batteryLow) << row.line << " cut at " << cut;
            }
            const Flags second = session.Read(row.line.substr(cut));
            EXPECT_EQ(row.after.onBattery, second.onBattery) << row.line << " cut at " << cut;
            EXPECT_EQ(row.after.batteryLow, second.batteryLow) << row.line << " cut at " << cut;
            EXPECT_EQ(row.outputSource, session.facts.outputSource) << row.line << " cut at " << cut;
            EXPECT_EQ(row.batteryStatus, session.facts.batteryStatus) << row.line << " cut at " << cut;
        }
    }
}

// A line that has not ended yet counts once its value tells, never on a
// timer: one that never ends counts only as far as it settles its rule.
TEST(LineRules, AnUnendedLineCountsOnceItsValueSettlesItsRule)
{
    const struct {
        const char* piece;
        Flags before;
        Flags after;
    } rows[] = {
        {"Battery Status={{O", {true, false}, {true, false}},
        {"Battery Status={{X", {true, false}, {true, true}},
        {"Battery Status={{OK", {true, true}, {true, false}},
        {"Battery Status={{", {true, false}, {true, false}},
        {"Output Source={{Bat", {true, false}, {true, false}},
        {"Output Source={{Bata", {true, false}, {false, false}},
        {"Output Source={{L", {true, false}, {false, false}},
        {"Output Source={{Battery", {false, false}, {true, false}},
        {"Output So", {true, true}, {true, true}},
        {"GetValue(Battery Status)=0,{{Lo", {false, false}, {false, true}},
    };
    for (const auto& row : rows) {
        Session session;
        session.flags = row.before;
        Flags f = session.Read(row.piece);
        EXPECT_EQ(row.after.onBattery, f.onBattery) << row.piece;
        EXPECT_EQ(row.after.batteryLow, f.batteryLow) << row.piece;
        // Reads that end nothing change nothing, and the facts wait for the end.
        f = session.Read("");
        EXPECT_EQ(row.after.onBattery, f.onBattery) << row.piece;
        EXPECT_EQ("", session.facts.outputSource + session.facts.batteryStatus) << row.piece;
    }
}

// The joiner's edges: a zero byte drops the rest of its read and the line
// not yet ended; a line over 1,000 bytes is dropped up to its end, once;
// a new session keeps nothing of the last one.
TEST(LineRules, ZeroBytesLongLinesAndNewSessionsDropWhatIsNotWhole)
{
    Session session;
    session.flags = {true, false};
    session.Read("Output Source={{Li");
    session.Read("ne}}\r\nOutput Source={{Ba" + std::string(1, '\0') + "ttery}}\r\n");
    EXPECT_FALSE(session.flags.onBattery);
    EXPECT_FALSE(session.Read("ttery}}\r\n").onBattery);
    session.Read("Output Source={{Bat");
    session.Read(std::string(1, '\0'));
    EXPECT_FALSE(session.Read("tery}}\r\n").onBattery);

    // 1,000 bytes are a line; 1,001 are not, whatever they say, however cut.
    const std::string line1000 = "Output Source={{Battery}}" + std::string(975, 'x');
    EXPECT_TRUE(session.Read(line1000.substr(0, 600)).onBattery);
    session.flags.onBattery = false;
    EXPECT_TRUE(session.Read(line1000.substr(600) + "\n").onBattery);
    EXPECT_EQ(0, session.dropped);
    const std::string line1501 = line1000 + std::string(501, 'y');
    session.Read(line1501.substr(0, 999));
    session.flags.onBattery = false;
    session.Read(line1501.substr(999, 500));
    EXPECT_FALSE(session.Read(line1501.substr(1499) + "\r\n").onBattery);
    EXPECT_EQ(1, session.dropped);
    EXPECT_EQ("Battery", session.facts.outputSource);
    session.Read("Output Source={{Line}}\r\n");
    EXPECT_EQ("Line", session.facts.outputSource);
    EXPECT_EQ(1, session.dropped);

    session.Read("Battery Status={{O");
    session.joiner.Clear();
    session.Read("w}}\r\n");
    EXPECT_EQ("", session.facts.batteryStatus);
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
