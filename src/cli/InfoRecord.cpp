#include <iomanip>
#include <ostream>

#include "cli/InfoProviders.h"
#include "record/RecordReader.h"

namespace al::cli {

void printRecordInfo(const std::filesystem::path& path, std::ostream& out) {
    file::RecordReader reader(path);
    const auto& h = reader.header();
    out << "format: Auralith AUR\n"
        << "channels: " << h.channelCount << '\n'
        << "sample rate: " << h.capturedSampleRate << " Hz\n"
        << "bit depth: " << h.capturedBitDepth << '\n'
        << "frames: " << h.frameCount << '\n'
        << "duration: " << std::fixed << std::setprecision(6) << h.duration << " s\n"
        << std::defaultfloat << "chunks: " << reader.chunkCount() << '\n'
        << "source peak: " << h.sourcePeak << '\n'
        << "version: " << unsigned{h.version} << '.' << unsigned{h.revision} << '\n'
        << "size: " << reader.imageSize() << " bytes\n";
}

}  // namespace al::cli
