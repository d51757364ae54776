#include "cli/InfoProviders.h"

#include <iomanip>
#include <ostream>

namespace al::cli {

void printSourceInfo(const playback::PlaybackSource& source, std::ostream& out) {
    const auto& m = source.metadata();
    out << "format: " << m.formatLabel << '\n'
        << "channels: " << m.channelCount << '\n'
        << "sample rate: " << playback::formatSampleRate(m.sampleRate) << '\n'
        << "bit depth: " << m.bitDepth << '\n'
        << "frames: " << m.frameCount << '\n'
        << "duration: " << std::fixed << std::setprecision(6) << m.duration << " s\n"
        << std::defaultfloat << "chunks: " << source.chunkCount() << '\n';
}

const std::vector<InfoProvider>& infoProviders() {
    static const std::vector<InfoProvider> providers = {
        {{".aur"}, printRecordInfo},
        {{".dsf"}, printDsfInfo},
    };
    return providers;
}

}  // namespace al::cli
