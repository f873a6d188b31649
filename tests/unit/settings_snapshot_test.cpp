// The monitor's settings snapshot, with synthetic tick counts that cross the
// 32-bit wrap: a change is taken only once it has stayed the same long
// enough, a file unfit to go by never replaces the last good settings, and
// that is reported once per spell.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "qmx/debug.h"
#include "settings_snapshot.h"
#include "support/capture.h"

using cvn::CSettingsSnapshot;
using Outcome = cvn::CSettingsSnapshot::Outcome;
using Unfit = cvn::CSettingsSnapshot::Unfit;

namespace {

const std::uint32_t kStart = 0xFFFFFE00u;  // the wrap comes 512 ms in

const std::string kGood = "[Settings]\nServer Address=ups\nServer Port=1\n";

std::string Address(CSettingsSnapshot& snapshot)
{
    return snapshot.Ini().GetString("Settings", "Server Address", "");
}

class SettingsSnapshot : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Outcome::Taken, snapshot.Offer(true, kGood, kStart)); }
    CSettingsSnapshot snapshot{"unused.ini"};
};

TEST_F(SettingsSnapshot, AChangeIsTakenOnceItsBytesStayedTheSameFor500Ms)
{
    const std::string next = "[Settings]\nServer Address=other\nServer Port=2\n";
    EXPECT_EQ(CSettingsSnapshot::kNoLook, snapshot.NextLookMs(kStart + 50));
    EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, next, kStart + 100));
    EXPECT_EQ(500u, snapshot.NextLookMs(kStart + 100));
    EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, next, kStart + 599));
    EXPECT_EQ(1u, snapshot.NextLookMs(kStart + 599));
    EXPECT_EQ("ups", Address(snapshot));
    EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, next, kStart + 600));
    EXPECT_EQ("other", Address(snapshot));
    EXPECT_EQ(2, snapshot.Server("Settings").port);
    EXPECT_EQ(Outcome::Same, snapshot.Offer(true, next, kStart + 700));
    EXPECT_EQ(CSettingsSnapshot::kNoLook, snapshot.NextLookMs(kStart + 700));

    // Bytes that keep changing are never taken: each change starts the wait anew.
    const std::string a = kGood + "Username=a\n";
    const std::string b = kGood + "Username=b\n";
    std::uint32_t tick = kStart + 1000;
    for (int i = 0; i < 10; ++i, tick += 300)
        EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, i % 2 ? a : b, tick));
    // The same bytes written anew: not steady either.
    for (std::uint64_t stamp = 1; stamp < 5; ++stamp, tick += 600)
        EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, a, tick, stamp));
    EXPECT_EQ("other", Address(snapshot));
    EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, a, tick, 4));
    EXPECT_EQ(a, snapshot.Text());
}

TEST_F(SettingsSnapshot, AnUnfitFileKeepsTheLastGoodSettingsWithOneReportPerSpell)
{
    struct Row {
        bool opened;
        std::string text;
        Unfit unfit;
    } rows[] = {
        {false, "", Unfit::NotOpened},
        {true, "", Unfit::Empty},
        {true, "[Settings]\nServer Address=\nServer Port=3\n", Unfit::NoAddress},
        {true, "[Settings]\n;Server Address=ups\n", Unfit::NoAddress},
    };
    std::uint32_t tick = kStart;
    for (const Row& row : rows) {
        // A save in place: torn for a moment, then whole again. No report.
        EXPECT_EQ(Outcome::Settling, snapshot.Offer(row.opened, row.text, tick += 10));
        EXPECT_EQ(Outcome::Same, snapshot.Offer(true, kGood, tick += 10));
        // Left that way: one report, then the last good settings go on.
        EXPECT_EQ(Outcome::Settling, snapshot.Offer(row.opened, row.text, tick += 10));
        EXPECT_EQ(Outcome::Refused, snapshot.Offer(row.opened, row.text, tick += 500));
        EXPECT_EQ(row.unfit, snapshot.LastUnfit());
        EXPECT_EQ(Outcome::Kept, snapshot.Offer(row.opened, row.text, tick += 60000));
        // Unfit otherwise: still the one report.
        snapshot.Offer(false, "", tick += 1000);
        EXPECT_EQ(Outcome::Kept, snapshot.Offer(false, "", tick += 500));
        EXPECT_EQ("ups", Address(snapshot));
        EXPECT_EQ("ups", snapshot.Server("Settings").address);
        EXPECT_EQ(1, snapshot.Ini().GetInt("Settings", "Server Port", 8888));
        // Readable again: the next spell is reported again.
        EXPECT_EQ(Outcome::Same, snapshot.Offer(true, kGood, tick += 10));
        EXPECT_EQ(Unfit::None, snapshot.LastUnfit());
    }
}

TEST(SettingsSnapshotStart, TheFirstReadIsTakenAsItIsAndAnAddressLaterIsTaken)
{
    // At start a missing address is the monitor's failure to report, as ever.
    CSettingsSnapshot snapshot("unused.ini");
    EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, "[Settings]\n", kStart));
    EXPECT_EQ("", Address(snapshot));
    EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, "[Settings]\nServer Port=5\n", kStart + 1));
    EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, "[Settings]\nServer Port=5\n", kStart + 501));
    EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, kGood, kStart + 502));
    EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, kGood, kStart + 1002));
    EXPECT_EQ("ups", Address(snapshot));
}

// A change that brings back a shutdown the settings rule out waits 5 s; one
// that rules out more, or changes nothing of that, waits the usual 500 ms.
TEST(SettingsSnapshotRisk, AChangeThatBringsBackARuledOutShutdownWaitsFiveSeconds)
{
    const std::string base = "[Settings]\nServer Address=ups\n";
    struct Row {
        const char* was;
        const char* next;
        std::uint32_t wait;
    } rows[] = {
        {"Dry Run=1\n", "Dry Run=0\n", 5000},
        {"Dry Run=1\n", "", 5000},
        {"Dry Run=1\n", "Dry Run=1\nServer Port=2\n", 500},
        {"Dry Run=0\n", "Dry Run=1\n", 500},
        {"On Battery Shutdown=-1\nLow Battery Shutdown=-1\n", "On Battery Shutdown=0\nLow Battery Shutdown=-1\n", 5000},
        {"On Battery Shutdown=-1\nLow Battery Shutdown=-1\n", "On Battery Shutdown=-1\nLow Battery Shutdown=", 5000},
        {"On Battery Shutdown=-1\nLow Battery Shutdown=-1\n", "On Battery Shutdown=-9\nLow Battery Shutdown=-1\n", 500},
        {"Low Battery Shutdown=-1\n", "Low Battery Shutdown=30\n", 5000},
        {"On Battery Shutdown=60\n", "On Battery Shutdown=-1\n", 500},
        {"On Battery Shutdown=60\n", "On Battery Shutdown=5\n", 500},
    };
    for (const Row& row : rows) {
        CSettingsSnapshot snapshot("unused.ini");
        const std::string next = base + row.next;
        ASSERT_EQ(Outcome::Taken, snapshot.Offer(true, base + row.was, kStart));
        EXPECT_EQ(Outcome::Settling, snapshot.Offer(true, next, kStart + 10)) << row.was << row.next;
        const Outcome early = row.wait > 500 ? Outcome::Held : Outcome::Settling;
        EXPECT_EQ(early, snapshot.Offer(true, next, kStart + 10 + row.wait - 1)) << row.was << row.next;
        // The monitor is woken for the very tick the change is due.
        EXPECT_EQ(1u, snapshot.NextLookMs(kStart + 10 + row.wait - 1)) << row.was << row.next;
        EXPECT_EQ(Outcome::Taken, snapshot.Offer(true, next, kStart + 10 + row.wait)) << row.was << row.next;
        EXPECT_EQ(next, snapshot.Text());
    }
}

TEST(SettingsSnapshotFile, RefreshReadsTheWholeFileAndReportsAnUnfitOneOnce)
{
    cvntest::TempDir dir;
    const std::string path = dir.File("CVNRemote.ini");
    // Longer than any one read, so that the whole file is seen to be read.
    const std::string text = kGood + std::string(9000, ';') + "\n[Server 2]\nServer Address=far\n";
    cvntest::WriteFile(path, text);
    CSettingsSnapshot snapshot(path);
    EXPECT_EQ(Outcome::Taken, snapshot.Refresh(kStart));
    EXPECT_EQ("far", snapshot.Server("Server 2").address);

    std::remove(path.c_str());
    cvntest::StderrCapture capture;
    EXPECT_EQ(Outcome::Settling, snapshot.Refresh(kStart + 1));
    EXPECT_EQ(Outcome::Refused, snapshot.Refresh(kStart + 501));
    EXPECT_EQ(Outcome::Kept, snapshot.Refresh(kStart + 1001));
    const std::string reports = capture.Finish();
    EXPECT_NE(std::string::npos, reports.find("The settings file " + path + " cannot be opened: the client keeps"))
        << reports;
    EXPECT_EQ(reports.find("The settings file"), reports.rfind("The settings file")) << reports;
    cvntest::WriteFile(path, text);
    EXPECT_EQ(Outcome::Same, snapshot.Refresh(kStart + 1002));
}

}  // namespace
