#pragma once
// `auralith devices --dsd`: what every endpoint offers for DSD playback.

#include <iosfwd>
#include <optional>
#include <string>

namespace al::cli {

// For each endpoint (or only --device ID): the DoP rates DSD64 to DSD512 it
// accepts exactly at DSD rate / 16, with the carrier the DoP output would
// open; where the platform has native DSD devices, the DSD sample formats the
// hardware device offers and the one each rate would use. Then the native
// DSD drivers of the platform, where it has any. Returns the exit status.
int runDsdDevices(const std::optional<std::u16string>& deviceId, std::ostream& out,
                  std::ostream& err);

}  // namespace al::cli
