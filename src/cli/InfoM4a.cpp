#include <iomanip>
#include <ostream>

#include "cli/InfoProviders.h"
#include "decoders/MediaFoundationAudioReader.h"

namespace al::cli {

void printM4aInfo(const std::filesystem::path& path, std::ostream& out) {
    const file::MediaFoundationAudioReader reader(path);
    out << "format: " << reader.formatLabel() << '\n'
        << "channels: " << reader.channelCount() << '\n'
        << "sample rate: " << reader.sampleRate() << " Hz\n"
        << "bit depth: " << reader.bitDepth() << '\n'
        << "frames: " << reader.frameCount() << '\n'
        << "duration: " << std::fixed << std::setprecision(6) << reader.durationSeconds() << " s\n"
        << std::defaultfloat;
}

}  // namespace al::cli
