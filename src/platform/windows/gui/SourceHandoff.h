#pragma once
// The sending side of the single-instance handoff: a second start of the
// program finds the running player's window by its class, hands it the file
// from the command line (if any) as a copy-data message, and brings that
// window to the front. Main thread of the second process.

#include <optional>
#include <string>

namespace al::win {

// Never throws; every failure is told to the user in a message box.
void SendSourceHandoff(const std::optional<std::u16string>& path) noexcept;

}  // namespace al::win
