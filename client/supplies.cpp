#include "supplies.h"

namespace cvn {

CPowerFlags ComputerPower(const CPowerFlags* ups, std::size_t count, int minimum)
{
    int onMains = 0;
    int goodBattery = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!ups[i].onBattery)
            ++onMains;
        if (!ups[i].batteryLow)
            ++goodBattery;
    }
    CPowerFlags computer;
    computer.onBattery = onMains < minimum;
    computer.batteryLow = goodBattery < minimum;
    return computer;
}

CPowerFlags ComputerPowerHeard(const CPowerFlags* ups, const bool* heard, std::size_t count, int minimum)
{
    bool heardOnBattery = false;
    for (std::size_t i = 0; i < count; ++i)
        heardOnBattery = heardOnBattery || (heard[i] && ups[i].onBattery);
    int onMains = 0;
    int goodBattery = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const bool onBattery = heard[i] ? ups[i].onBattery : heardOnBattery;
        const bool low = heard[i] && ups[i].batteryLow;
        onMains += onBattery ? 0 : 1;
        goodBattery += low ? 0 : 1;
    }
    CPowerFlags computer;
    computer.onBattery = onMains < minimum;
    computer.batteryLow = goodBattery < minimum;
    return computer;
}

}  // namespace cvn
