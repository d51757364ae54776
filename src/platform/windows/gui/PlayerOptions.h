#pragma once
// Switches of AuralithPlayer.exe. Arguments that begin with a hyphen never
// name the file to open; one of them chooses the output for machines without
// a sound card and for automated runs:
//   --device=virtual[:OPTIONS]  the virtual output is the only endpoint (in
//                               real time; OPTIONS as for `auralith play
//                               --device virtual:...`, e.g. late=8ms/2s).
// Main thread, before the player window is built.

#include <string>
#include <vector>

namespace al::win {

// Applies the switches. Throws std::invalid_argument for a virtual-output
// option it does not understand.
void ApplyPlayerSwitches(const std::vector<std::u16string>& arguments);

}  // namespace al::win
