#include "platform/CpuTime.h"

#include <windows.h>

namespace al::platform {

namespace {

double seconds(const FILETIME& t) noexcept {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;  // 100-ns units
}

}  // namespace

double threadCpuSeconds() noexcept {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user) == 0) {
        return 0.0;
    }
    return seconds(kernel) + seconds(user);
}

double processCpuSeconds() noexcept {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) == 0) {
        return 0.0;
    }
    return seconds(kernel) + seconds(user);
}

}  // namespace al::platform
