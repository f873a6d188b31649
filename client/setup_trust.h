// The security steps of an installation as verbs of the client itself, so
// that the setup program and the Windows Installer package judge, lock and
// fill the program folder with one piece of code: the service runs what is
// in that folder as the system account, so nothing in it may be something a
// user could have written. setup_trust_win32.cpp holds them; natively they
// fail with the system's "not supported" error, as the service commands do.
//
//   trust <folder> [<product codes, separated by ";">]
//       Changes nothing. Refuses a settings file in the folder that the
//       registry does not vouch for (the setup's uninstall entry, the
//       package's own ones for the product codes, or the mark of settings
//       kept in that folder), anything in the folder that is a link or has
//       other names elsewhere, and anything owned by, or whose access rules
//       let write it, change its rules or take it, anyone but the
//       administrators, the system, TrustedInstaller or the running account.
//   lock <folder>
//       Makes the folder if need be and locks it and all in it (the
//       settings file narrower), stops the service if it runs, and then
//       opens every file in it with read sharing only: one that someone
//       still holds open for writing is refused (after a few seconds, which
//       a virus scanner's look takes).
//   msibegin <folder> <product codes> <server address> <settings file>
//       The package's first step: trust, the server address that the
//       installation will have (given, in the prepared file or in the
//       settings already in the folder), lock, and an empty folder for what
//       the package hands over, which only the system and the
//       administrators can read.
//   msisettings <folder> <settings file>
//       The package's second step: the settings file written from what the
//       package handed over, as the setup writes it, and that hand-over
//       deleted.
//   msiend <folder> <purge> [<upgrading product code>]
//       At removal: with purge "1" the settings and the trace file go;
//       otherwise settings left in the folder are marked as kept in the
//       registry, as the setup's uninstaller marks them. A removal by a
//       newer package's upgrade leaves that package's hand-over alone.
//
// Exit statuses: 0 done, kExitRefused refused (the reason on standard error
// and in the Event Log, nothing changed by the verb), kExitFailed failed.
#ifndef CVN_SETUP_TRUST_H
#define CVN_SETUP_TRUST_H

#include <string>
#include <vector>

namespace cvn {

const int kExitRefused = 2;

// True for the words above, in any letter case.
bool IsSetupVerb(const char* word);
// Runs the verb with the arguments after it and returns the exit status;
// throws CCVNException* where the platform has no such steps.
int RunSetupVerb(const std::string& verb, const std::vector<std::string>& arguments);

}  // namespace cvn

#endif
