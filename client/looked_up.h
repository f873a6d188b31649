// The functions that the client looks up by name, at run time, in the
// system libraries that not every Windows it runs on has (the programs must
// load where they are missing), one line each with its library. The tests'
// stand-ins for these libraries are held to this list by
// tests/integration/export_check.sh, which reads its lines: each keeps the
// form  constexpr char kName[] = "Function";  // library.dll
#pragma once

namespace cvn {

// The terminal services' message box on every session.
constexpr char kWtsEnumerateSessionsA[] = "WTSEnumerateSessionsA";  // wtsapi32.dll
constexpr char kWtsSendMessageA[] = "WTSSendMessageA";  // wtsapi32.dll
constexpr char kWtsFreeMemory[] = "WTSFreeMemory";  // wtsapi32.dll

// Hibernation.
constexpr char kSetSuspendState[] = "SetSuspendState";  // powrprof.dll

}  // namespace cvn
