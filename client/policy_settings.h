// The optional settings that tune the shutdown policy. Each is read afresh
// when it is needed, like the delays; a missing key keeps the client's
// behaviour as it was before the key existed.
#ifndef CVN_POLICY_SETTINGS_H
#define CVN_POLICY_SETTINGS_H

class CINIFile;

namespace cvn {

struct CEpisodeSettings;

// Every setting the episode follows, from one reading of the settings, for
// a computer fed by the given number of UPSes.
CEpisodeSettings ReadEpisodeSettings(CINIFile& ini, int servers);

// "Notice Delay": seconds the UPS must stay on battery before the users are
// told. Missing or negative: 0, told at once.
int NoticeDelay(CINIFile& ini);

// "Lost On Battery": what a session lost while on battery stands for.
// "keep" (the default, and any value but "low"): the last news holds.
// "low": the battery counts as low until a session tells otherwise.
bool LostOnBatteryMeansLow(CINIFile& ini);

// "Fallback Delay" of [Commands]: seconds the client gives a hibernation or
// shutdown command that reported success to take the computer down before
// it makes the ordinary shutdown. Missing or negative: 60; at most a day.
int FallbackDelay(CINIFile& ini);

// "Dry Run=1": the shutdown is put on record instead of being requested.
bool DryRun(CINIFile& ini);

}  // namespace cvn

#endif
