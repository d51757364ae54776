#include "platform/MemoryBudget.h"

#include <cstdio>
#include <cstring>

namespace al::platform {

// MemAvailable (kernel 3.14 and later) is the kernel's own estimate of what
// can be allocated without swapping, page cache it can drop included.
std::optional<std::uint64_t> availablePhysicalMemory() noexcept {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> bytes;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long kib = 0;
        char unit[8] = {};
        if (std::strncmp(line, "MemAvailable:", 13) == 0) {
            if (std::sscanf(line + 13, "%llu %7s", &kib, unit) == 2 && std::strcmp(unit, "kB") == 0 &&
                kib <= UINT64_MAX / 1024) {
                bytes = static_cast<std::uint64_t>(kib) * 1024u;
            }
            break;
        }
    }
    std::fclose(file);
    return bytes;
}

}  // namespace al::platform
