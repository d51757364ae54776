#pragma once
// What the DSD engine plays from and plays to: the DSD source chosen by the
// track's extension and the built-in output chosen by the options. Internal
// to the engine; each choice lives in its own translation unit so that the
// sources and outputs stay separate libraries of work.

#include <filesystem>
#include <memory>
#include <string>

#include "dsd/AudioOutput.h"
#include "dsd/DsdEngine.h"
#include "dsd/DsdSource.h"

namespace al::playback {
class PlaybackSource;
}

namespace al::audio::detail {

enum class DsdSourceKind {
    DsfBits,   // a DSF file's own bits at its own rate
    Record,    // a record modulated by the record DSD source
    Waveform,  // any playback source modulated frame by frame
};

// The text from the last "." of the file name, ASCII letters lowered; empty
// when the name has no ".".
std::string dsdExtension(const std::filesystem::path& path);

// Which source plays this path. Throws std::runtime_error("Direct DSF bit
// playback cannot apply a waveform cutoff") for a ".dsf" played from its own
// bits with the cutoff on.
DsdSourceKind chooseDsdSourceKind(const std::filesystem::path& path, bool dsfNative, bool cutoff);

// Opens the source of that kind (DsdSourceChoice.cpp). Throws what the
// source's constructor throws.
std::unique_ptr<morrow::dsd::IDsdSource> makeDsdSource(
    DsdSourceKind kind, const std::shared_ptr<const playback::PlaybackSource>& source,
    const DsdEngineOptions& options);

// The built-in output (DsdOutputChoice.cpp): native ASIO when a driver is
// named, else DoP on the exact endpoint. May return null when neither is
// available.
std::unique_ptr<IAudioOutput> makeBuiltInDsdOutput(const DsdEngineOptions& options);

}  // namespace al::audio::detail
