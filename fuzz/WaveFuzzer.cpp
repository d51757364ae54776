// Arbitrary bytes as a WAVE file: open, then read the start, the middle and
// the end. Must throw or succeed, never crash or overread.
#include <cstdint>
#include <exception>

#include "FuzzFile.h"
#include "decoders/WavReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto path = al::fuzz::scratchFile(".wav");
    al::fuzz::writeInput(path, data, size);
    try {
        const al::file::WavReader reader(path);
        const auto frames = reader.frameCount();
        for (std::uint64_t first : {std::uint64_t{0}, frames / 2, frames > 3 ? frames - 3 : 0}) {
            try {
                (void)reader.ReadFrames(first, 4);
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}
