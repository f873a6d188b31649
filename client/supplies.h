// The computer's power from the power of its UPSes: a computer with
// redundant power supplies runs as long as enough of them have power. Each
// UPS's two flags come from its own server's lines by the usual rules; the
// computer's two flags drive the countdown as a single UPS's flags would.
#ifndef CVN_SUPPLIES_H
#define CVN_SUPPLIES_H

#include <cstddef>

namespace cvn {

struct CPowerFlags {
    bool onBattery = false;
    bool batteryLow = false;
};

// On battery when fewer than minimum UPSes are on mains power; battery low
// when fewer than minimum UPSes report a good battery, whatever their output
// source. With one UPS and a minimum of 1 these are that UPS's own flags.
CPowerFlags ComputerPower(const CPowerFlags* ups, std::size_t count, int minimum);

// The same when some UPSes have not been heard from (heard[i] false; their
// flags are not looked at). While every UPS heard from is on mains power an
// unheard one counts as on mains with a good battery: a boot while its
// server is still down, or a mistyped section, brings no countdown. Once one
// heard from is on battery, each unheard one counts as on battery with a
// good battery: nobody can say that it feeds the computer. The monitor and
// status count by this one rule.
CPowerFlags ComputerPowerHeard(const CPowerFlags* ups, const bool* heard, std::size_t count, int minimum);

}  // namespace cvn

#endif
