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

}  // namespace cvn
