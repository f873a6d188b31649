// Random battery episodes per second through the episode core and its
// reference model (the property test's, with the same seeds).
//   episode_bench [episodes]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/episodes.h"

int main(int argc, char** argv)
{
    long episodes = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (episodes <= 0)
        episodes = 1000000;
    const auto start = std::chrono::steady_clock::now();
    long faults = 0;
    for (long seed = 1; seed <= episodes; ++seed) {
        if (!cvn::test::CheckEpisode(cvn::test::MakeEpisode(static_cast<std::uint32_t>(seed))).empty())
            ++faults;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld episodes in %.1f s: %.0f episodes per second, %ld faults\n", episodes, seconds,
                static_cast<double>(episodes) / seconds, faults);
    return faults ? 1 : 0;
}
