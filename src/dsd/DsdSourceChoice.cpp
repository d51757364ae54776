#include "dsd/DsdEngineChoices.h"

#include <stdexcept>

#include "dsd/DsfReader.h"
#include "playback/PlaybackSource.h"

#if __has_include("dsd/AurSource.h") && __has_include("dsd/HiFreqFilter.h")
#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"
#define AL_DSD_HAS_RECORD_SOURCE 1
#else
#define AL_DSD_HAS_RECORD_SOURCE 0
#endif

#if __has_include("dsd/WaveformDsd.h")
#include "dsd/WaveformDsd.h"
#define AL_DSD_HAS_WAVEFORM_SOURCE 1
#else
#define AL_DSD_HAS_WAVEFORM_SOURCE 0
#endif

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
#if AL_DSD_HAS_RECORD_SOURCE
            // Modulation mode 0: continuous modulation.
            return std::make_unique<morrow::dsd::AurSource>(
                path, options.dsdMultiple, std::make_shared<morrow::dsd::HiFreqControl>(options.cutoff), 0);
#else
            break;
#endif
        case DsdSourceKind::Waveform:
#if AL_DSD_HAS_WAVEFORM_SOURCE
            return std::make_unique<WaveformDsd>(source, options.dsdMultiple, options.cutoff);
#else
            break;
#endif
    }
    (void)options;
    throw std::runtime_error("DSD source not available in this build");
}

}  // namespace al::audio::detail
