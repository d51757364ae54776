#pragma once
// How much physical memory the system could hand this process now, for
// deciding up front whether a whole track fits in RAM.

#include <cstdint>
#include <optional>

namespace al::platform {

// Physical memory available now, in bytes (what the system can give without
// swapping). nullopt when the system cannot say. Any thread; never throws.
std::optional<std::uint64_t> availablePhysicalMemory() noexcept;

}  // namespace al::platform
