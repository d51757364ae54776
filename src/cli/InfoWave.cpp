#include <iomanip>
#include <ostream>

#include "cli/InfoProviders.h"
#include "decoders/SndFileReader.h"
#include "decoders/WavReader.h"

namespace al::cli {

namespace {

void printReaderInfo(const file::AudioFileReader& reader, std::ostream& out) {
    out << "format: " << reader.formatLabel() << '\n'
        << "channels: " << reader.channelCount() << '\n'
        << "sample rate: " << reader.sampleRate() << " Hz\n"
        << "bit depth: " << reader.bitDepth() << '\n'
        << "frames: " << reader.frameCount() << '\n'
        << "duration: " << std::fixed << std::setprecision(6) << reader.durationSeconds() << " s\n"
        << std::defaultfloat;
}

}  // namespace

void printWaveInfo(const std::filesystem::path& path, std::ostream& out) {
    printReaderInfo(file::WavReader(path), out);
}

void printSndFileInfo(const std::filesystem::path& path, std::ostream& out) {
    printReaderInfo(file::SndFileReader(path), out);
}

}  // namespace al::cli
