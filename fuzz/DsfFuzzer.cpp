// Arbitrary bytes as a DSF file: validation, frame reads and the surrogate.
#include <cstdint>
#include <exception>

#include "FuzzFile.h"
#include "decoders/DsfSurrogateReader.h"
#include "dsd/DsfReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto path = al::fuzz::scratchFile(".dsf");
    al::fuzz::writeInput(path, data, size);
    try {
        morrow::dsd::DsfReader reader(path);
        const auto frames = reader.info().frameCount;
        for (std::uint64_t index : {std::uint64_t{0}, frames / 2, frames > 0 ? frames - 1 : 0}) {
            try {
                (void)reader.readFrame(index);
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    try {
        const al::file::DsfSurrogateReader surrogate(path);
        (void)surrogate.ReadFrames(0, 16);
        (void)surrogate.ReadFrames(surrogate.frameCount(), 4);
    } catch (const std::exception&) {
    }
    return 0;
}
