// Arbitrary bytes as a formats cache: whatever is accepted must survive a
// write and read back as exactly the same entries.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "output/FormatsCache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    al::audio::FormatsCache cache;
    cache.Read(in);
    std::istringstream again(cache.Text());
    al::audio::FormatsCache reread;
    reread.Read(again);
    if (reread.Entries() != cache.Entries()) std::abort();
    return 0;
}
