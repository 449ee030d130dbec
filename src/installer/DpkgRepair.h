#pragma once

#include "util/StringView.h"

namespace Installer {

// Runs one repair command line; true when it exited with status 0.
using CommandRunner = bool (*)(CStringView commandLine);

// What unattended upgrades do before they start: when dpkg was interrupted (a
// power cut, a kill), finish what it left half done, keeping the hub's own
// configuration files, so that the next apt-get does not refuse to run.
// Packages that "dpkg --configure -a" cannot mend (half-installed ones, with
// only their ".dpkg-new" files on disk) are reinstalled; a removal that was cut
// off is finished. True when dpkg reports nothing left in a half state, also
// when there was nothing to do (then nothing is run).
bool repairInterruptedDpkg(CStringView dpkgDirectory, CommandRunner run);

} // namespace Installer
