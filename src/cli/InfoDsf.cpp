#include <ostream>

#include "cli/InfoProviders.h"
#include "decoders/DsfSurrogateReader.h"

namespace al::cli {

// The DSD stream the 88.2 kHz surrogate is projected from.
void printDsfInfo(const std::filesystem::path& path, std::ostream& out) {
    const file::DsfSurrogateReader reader(path);
    const auto& dsd = reader.dsdInfo();
    out << "DSD rate: " << dsd.rate << " Hz (DSD" << dsd.rate / 44'100 << ")\n"
        << "DSD samples: " << dsd.sampleCount << '\n'
        << "filter stages: " << reader.stages().size() << " (decimation " << reader.ratio() << ")\n";
}

}  // namespace al::cli
