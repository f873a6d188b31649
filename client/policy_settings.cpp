#include "policy_settings.h"

#include <cctype>
#include <string>

#include "commands.h"
#include "ini_file.h"
#include "policy/episode.h"
#include "servers.h"

namespace cvn {

int NoticeDelay(CINIFile& ini)
{
    const int seconds = ini.GetInt("Settings", "Notice Delay", 0);
    return seconds > 0 ? seconds : 0;
}

bool LostOnBatteryMeansLow(CINIFile& ini)
{
    // Values keep their trailing blanks in the file; "Low " is still low.
    std::string value = ini.GetString("Settings", "Lost On Battery", "keep");
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.pop_back();
    if (value.size() != 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != "low"[i])
            return false;
    }
    return true;
}

int FallbackDelay(CINIFile& ini)
{
    const int seconds = ini.GetInt("Commands", "Fallback Delay", 60);
    return seconds < 0 ? 60 : seconds > 86400 ? 86400 : seconds;
}

bool DryRun(CINIFile& ini)
{
    return ini.GetInt("Settings", "Dry Run", 0) == 1;
}

CEpisodeSettings ReadEpisodeSettings(CINIFile& ini, int servers)
{
    CEpisodeSettings settings;
    settings.onBatteryDelay = ini.GetInt("Settings", "On Battery Shutdown", 120);
    settings.lowBatteryDelay = ini.GetInt("Settings", "Low Battery Shutdown", 30);
    settings.noticeDelay = NoticeDelay(ini);
    settings.lostOnBatteryLow = LostOnBatteryMeansLow(ini);
    settings.fallbackDelay = FallbackDelay(ini);
    settings.dryRun = DryRun(ini);
    settings.action = Folded(ini.GetString("Commands", "Shutdown Action", ""));
    settings.beforeShutdown = !Folded(ini.GetString("Commands", "Before Shutdown Command", "")).empty();
    settings.beforeShutdownTimeout =
        CommandTimeout(ini.GetInt("Commands", "Before Shutdown Timeout", CCommands::kDefaultTimeoutS));
    settings.minimumSupplies = MinimumSupplies(ini, servers);
    return settings;
}

}  // namespace cvn
