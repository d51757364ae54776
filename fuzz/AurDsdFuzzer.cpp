// Arbitrary bytes as a record made into DSD: the DSD source's own walk and
// checks of the record, then the first frames through the conveyors (whose
// errors must come back from readFrame, never end the process).
#include <cstdint>
#include <exception>
#include <memory>

#include "FuzzFile.h"
#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto path = al::fuzz::scratchFile(".aur");
    al::fuzz::writeInput(path, data, size);
    try {
        auto control = std::make_shared<morrow::dsd::HiFreqControl>(size % 2 == 1);
        morrow::dsd::AurSource source(path, 64, control, 0);
        const std::uint64_t frames = source.info().frameCount;
        // A few blocks' worth: enough to cross a block boundary without making
        // every input modulate a whole track.
        const std::uint64_t limit = frames < 4096 ? frames : 4096;
        for (std::uint64_t index = 0; index < limit; ++index)
            (void)source.readFrame(index);
    } catch (const std::exception&) {
    }
    return 0;
}
