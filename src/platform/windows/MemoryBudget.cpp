#include "platform/MemoryBudget.h"

#include <windows.h>

namespace al::platform {

std::optional<std::uint64_t> availablePhysicalMemory() noexcept {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.ullAvailPhys);
}

}  // namespace al::platform
