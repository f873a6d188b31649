// Figures for the work the monitor does in each pass: the lines of one read,
// the episode step, and the settings reads (the delays are read from the
// file on every pass while on battery). Prints one line per measurement.
//   client_bench [iterations]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "policy/episode.h"
#include "ini_file.h"
#include "line_rules.h"
#include "qmx/debug.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the optimiser from dropping the measured work.
volatile unsigned g_sink;

template <typename Work>
void Measure(const char* what, long iterations, double bytesEach, Work work)
{
    Clock::time_point start = Clock::now();
    for (long i = 0; i < iterations; ++i)
        work(i);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double nsEach = seconds * 1e9 / static_cast<double>(iterations);
    if (bytesEach > 0)
        printf("%-44s %10.0f ns each  %8.1f MB/s\n", what, nsEach, bytesEach * 1e3 / nsEach);
    else
        printf("%-44s %10.0f ns each\n", what, nsEach);
}

}  // namespace

int main(int argc, char** argv)
{
    long iterations = argc > 1 ? atol(argv[1]) : 20000;
    if (iterations <= 0)
        iterations = 20000;
    qmx::CDebug::SetDefaultOutput(nullptr);

    // A full read of update lines, as a busy server might send them.
    std::string read;
    while (read.size() + 64 < 1000)
        read += "Battery Status={{OK}}\r\nOutput Source={{Line}}\r\n";
    bool onBattery = false, batteryLow = false;
    Measure("lines of a 1000-byte read", iterations * 10, static_cast<double>(read.size()), [&](long) {
        cvn::ApplyLines(read.data(), read.size(), onBattery, batteryLow);
        g_sink += onBattery;
    });
    Measure("RECV trace text of a 1000-byte read", iterations * 10, static_cast<double>(read.size()),
            [&](long) { g_sink += static_cast<unsigned>(cvn::PrintableText(read.data(), read.size()).size()); });

    cvn::CEpisode episode;
    cvn::CEpisodeSettings delays;
    delays.onBatteryDelay = 2000000;
    std::uint32_t now = 1;
    Measure("episode step on battery", iterations * 100, 0, [&](long i) {
        now += 1000;
        episode.Settings(now, delays);
        episode.Power(now, 0, (i / 1000) % 2 == 0, false);
        g_sink += static_cast<unsigned>(episode.TakeOutputs().size());
    });

    std::string path = (std::filesystem::temp_directory_path() / "client_bench.ini").string();
    {
        std::ofstream ini(path);
        ini << "[Settings]\nServer Address=192.168.1.10\nServer Port=8888\nUsername=admin\n"
               "Password=vorak\nOn Battery Shutdown=120\nLow Battery Shutdown=30\n"
               "[Debug]\nOn=0\nLevel=2\n";
    }
    CINIFile settings(path.c_str());
    Measure("settings read: On Battery Shutdown", iterations, 0,
            [&](long) { g_sink += static_cast<unsigned>(settings.GetInt("Settings", "On Battery Shutdown", 120)); });
    Measure("settings read: Server Address", iterations, 0,
            [&](long) { g_sink += static_cast<unsigned>(settings.GetString("Settings", "Server Address", "").size()); });
    Measure("settings read: missing key (whole file)", iterations, 0,
            [&](long) { g_sink += static_cast<unsigned>(settings.GetInt("Settings", "Absent", 7)); });
    std::filesystem::remove(path);
    return 0;
}
