// Random battery episodes for the episode core: each seed gives the same
// UPSes, settings, inputs and effect outcomes; a small reference model that
// knows only the inputs checks the promise on every one (a shutdown by the
// deadline + 1 s, none without cause, each once-only step once). The unit
// test runs them from fixed seeds, the benchmark counts them per second.
#ifndef CVN_TEST_EPISODES_H
#define CVN_TEST_EPISODES_H

#include <cstdint>
#include <string>
#include <vector>

#include "policy/episode.h"

namespace cvn {
namespace test {

struct CScriptedInput {
    enum class Kind { Power, Lost, Made, Failed, Suspend, Settings };
    Kind kind = Kind::Power;
    std::uint32_t at = 0;  // ms after the episode's first tick
    int ups = 0;
    bool onBattery = false;
    bool batteryLow = false;
    std::uint32_t ms = 0;  // a suspension's length
    CEpisodeSettings settings;
};

// How the next effect asked for comes out.
struct CEffectBehaviour {
    enum class Kind { Succeed, Fail, Hang, NoEffect, Suspend };
    Kind kind = Kind::Succeed;
    std::uint32_t delayMs = 0;
};

struct CEpisodeCase {
    std::uint32_t seed = 0;
    std::uint32_t start = 0;
    int ups = 1;
    CEpisodeSettings settings;
    std::vector<CScriptedInput> inputs;
    std::vector<CEffectBehaviour> behaviours;
};

CEpisodeCase MakeEpisode(std::uint32_t seed);
// Empty when every invariant held; otherwise what broke, and when. The
// checker's own test swallows every output of the kind dropped, as a core
// that forgot it would.
std::string CheckEpisode(const CEpisodeCase& episode, int dropped = -1);
// The failing episode with inputs left out one at a time while it still
// fails: every input left is needed for the fault.
CEpisodeCase ShrinkEpisode(const CEpisodeCase& episode);
std::string DescribeEpisode(const CEpisodeCase& episode);

}  // namespace test
}  // namespace cvn

#endif
