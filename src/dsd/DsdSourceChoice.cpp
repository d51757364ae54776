#include "dsd/DsdEngineChoices.h"

#include <stdexcept>

#include "dsd/DsfReader.h"
#include "playback/PlaybackSource.h"

#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"
#include "dsd/WaveformDsd.h"

namespace al::audio::detail {

std::string dsdExtension(const std::filesystem::path& path) {
    const std::u8string name = path.filename().u8string();
    const std::size_t dot = name.rfind(u8'.');
    if (dot == std::u8string::npos) {
        return {};
    }
    std::string extension;
    for (std::size_t i = dot; i < name.size(); ++i) {
        const char c = static_cast<char>(name[i]);
        extension.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return extension;
}

DsdSourceKind chooseDsdSourceKind(const std::filesystem::path& path, bool dsfNative, bool cutoff) {
    const std::string extension = dsdExtension(path);
    if (extension == ".dsf" && dsfNative) {
        if (cutoff) {
            throw std::runtime_error("Direct DSF bit playback cannot apply a waveform cutoff");
        }
        return DsdSourceKind::DsfBits;
    }
    if (extension == ".aur") {
        return DsdSourceKind::Record;
    }
    return DsdSourceKind::Waveform;
}

std::unique_ptr<morrow::dsd::IDsdSource> makeDsdSource(
    DsdSourceKind kind, const std::shared_ptr<const playback::PlaybackSource>& source,
    const DsdEngineOptions& options) {
    const std::filesystem::path& path = source->metadata().path;
    switch (kind) {
        case DsdSourceKind::DsfBits:
            return std::make_unique<morrow::dsd::DsfReader>(path);
        case DsdSourceKind::Record:
            // Modulation mode 0: continuous modulation.
            return std::make_unique<morrow::dsd::AurSource>(
                path, options.dsdMultiple, std::make_shared<morrow::dsd::HiFreqControl>(options.cutoff), 0);
        case DsdSourceKind::Waveform:
            return std::make_unique<WaveformDsd>(source, options.dsdMultiple, options.cutoff);
    }
    throw std::logic_error("Unknown DSD source kind");
}

}  // namespace al::audio::detail
