#include <iomanip>
#include <ostream>

#include "cli/InfoProviders.h"
#include "decoders/DsfSurrogateReader.h"

namespace al::cli {

// A DSF file as the PCM chain plays it (the 88.2 kHz surrogate), followed by
// the DSD stream it is projected from.
void printDsfInfo(const std::filesystem::path& path, std::ostream& out) {
    const file::DsfSurrogateReader reader(path);
    const auto& dsd = reader.dsdInfo();
    out << "format: " << reader.formatLabel() << '\n'
        << "channels: " << reader.channelCount() << '\n'
        << "sample rate: " << reader.sampleRate() << " Hz\n"
        << "bit depth: " << reader.bitDepth() << '\n'
        << "frames: " << reader.frameCount() << '\n'
        << "duration: " << std::fixed << std::setprecision(6) << reader.durationSeconds() << " s\n"
        << std::defaultfloat << "DSD rate: " << dsd.rate << " Hz (DSD" << dsd.rate / 44'100 << ")\n"
        << "DSD samples: " << dsd.sampleCount << '\n'
        << "filter stages: " << reader.stages().size() << " (decimation " << reader.ratio() << ")\n";
}

}  // namespace al::cli
