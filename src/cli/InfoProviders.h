#pragma once
// `auralith info`: the lines every source has (from the playback source the
// factory opens), then format-specific extras. Failures throw with the
// reader's exact message.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "playback/PlaybackSource.h"

namespace al::cli {

// format, channels, sample rate (as the player shows it), bit depth, frames,
// duration and chunks.
void printSourceInfo(const playback::PlaybackSource& source, std::ostream& out);

struct InfoProvider {
    std::vector<std::string> extensions;  // as the factory judges them: ".aur"
    std::function<void(const std::filesystem::path&, std::ostream&)> print;
};

// Extra lines per format, looked up by extension.
const std::vector<InfoProvider>& infoProviders();

void printRecordInfo(const std::filesystem::path& path, std::ostream& out);
void printDsfInfo(const std::filesystem::path& path, std::ostream& out);

}  // namespace al::cli
