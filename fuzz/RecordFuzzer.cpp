// Arbitrary bytes as a record image: validation and every block fetch with its
// checksum must either succeed or throw, never crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "record/RecordFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into an exact-size buffer so the sanitizer sees any overread.
    const std::vector<std::byte> image(reinterpret_cast<const std::byte*>(data),
                                       reinterpret_cast<const std::byte*>(data) + size);
    try {
        const auto index = al::file::indexRecordImage(image);
        for (const auto& entry : index.allBlocks) {
            try {
                (void)al::file::viewIndexedBlock(image, entry, true);
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}
