// The computer's power from its UPSes' power, over every combination of two
// UPSes (and one), with one or both required.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "supplies.h"

namespace {

// A UPS or the computer in one letter: m on mains, b on battery; a capital
// when the battery is low.
cvn::CPowerFlags Flags(char state)
{
    cvn::CPowerFlags flags;
    flags.onBattery = state == 'b' || state == 'B';
    flags.batteryLow = state == 'M' || state == 'B';
    return flags;
}

char Letter(cvn::CPowerFlags flags)
{
    return flags.onBattery ? (flags.batteryLow ? 'B' : 'b') : (flags.batteryLow ? 'M' : 'm');
}

TEST(Supplies, TheComputerHasPowerWhileEnoughUpsesHave)
{
    struct Row {
        const char* ups;
        int minimum;
        char computer;
    };
    const Row rows[] = {
        {"m", 1, 'm'}, {"M", 1, 'M'}, {"b", 1, 'b'}, {"B", 1, 'B'}, {"mm", 1, 'm'}, {"mM", 1, 'm'},
        {"mb", 1, 'm'}, {"mB", 1, 'm'}, {"Mm", 1, 'm'}, {"MM", 1, 'M'}, {"Mb", 1, 'm'}, {"MB", 1, 'M'},
        {"bm", 1, 'm'}, {"bM", 1, 'm'}, {"bb", 1, 'b'}, {"bB", 1, 'b'}, {"Bm", 1, 'm'}, {"BM", 1, 'M'},
        {"Bb", 1, 'b'}, {"BB", 1, 'B'}, {"mm", 2, 'm'}, {"mM", 2, 'M'}, {"mb", 2, 'b'}, {"mB", 2, 'B'},
        {"Mm", 2, 'M'}, {"MM", 2, 'M'}, {"Mb", 2, 'B'}, {"MB", 2, 'B'}, {"bm", 2, 'b'}, {"bM", 2, 'B'},
        {"bb", 2, 'b'}, {"bB", 2, 'B'}, {"Bm", 2, 'B'}, {"BM", 2, 'B'}, {"Bb", 2, 'B'}, {"BB", 2, 'B'},
        {"mbB", 1, 'm'}, {"mbB", 2, 'b'}, {"mbB", 3, 'B'}, {"MMb", 2, 'M'},
    };
    for (const Row& row : rows) {
        std::vector<cvn::CPowerFlags> ups;
        for (const char* c = row.ups; *c; ++c)
            ups.push_back(Flags(*c));
        EXPECT_EQ(row.computer, Letter(cvn::ComputerPower(ups.data(), ups.size(), row.minimum)))
            << row.ups << " with " << row.minimum << " required";
    }
}

// '?' is a UPS not heard from: on mains with a good battery while every
// heard one is on mains, on battery with a good battery once one is not; the
// rule the monitor and status share. A recharging UPS on mains with a low
// battery ('M') counts as low: with two required, the other on battery
// brings the low-battery delay.
TEST(Supplies, AnUnheardUpsCountsOnMainsUntilAHeardOneIsOnBattery)
{
    struct Row {
        const char* ups;
        int minimum;
        char computer;
    };
    const Row rows[] = {
        {"?", 1, 'm'},   {"??", 1, 'm'},  {"??", 2, 'm'},  {"m?", 2, 'm'}, {"M?", 2, 'M'}, {"b?", 1, 'b'},
        {"?b", 1, 'b'},  {"b?", 2, 'b'},  {"B?", 1, 'b'},  {"B?", 2, 'B'}, {"mb?", 1, 'm'}, {"mb?", 2, 'b'},
        {"Mb", 2, 'B'},  {"m??", 3, 'm'}, {"b??", 1, 'b'}, {"???????b", 1, 'b'}, {"???????m", 8, 'm'},
    };
    for (const Row& row : rows) {
        std::vector<cvn::CPowerFlags> ups;
        bool heard[8] = {};
        for (const char* c = row.ups; *c; ++c) {
            heard[ups.size()] = *c != '?';
            // What an unheard UPS last held must not count.
            ups.push_back(*c == '?' ? Flags('B') : Flags(*c));
        }
        EXPECT_EQ(row.computer, Letter(cvn::ComputerPowerHeard(ups.data(), heard, ups.size(), row.minimum)))
            << row.ups << " with " << row.minimum << " required";
    }
}

}  // namespace
