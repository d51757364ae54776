#pragma once
// The logical processors a worker pool may use, thread pinning and worker
// priority.

#include <cstdint>
#include <optional>
#include <vector>

namespace al::platform {

// One logical processor as the platform describes it.
struct CpuSetCandidate {
    std::uint32_t id = 0;            // CPU-set id (Windows) or CPU number (Linux)
    std::uint16_t group = 0;         // processor group; 0 on Linux
    std::uint32_t coreIndex = 0;     // physical core, unique within the group
    std::uint32_t logicalIndex = 0;  // logical-processor index within the group
    std::int32_t numaKey = 0;        // NUMA node key
    bool allocatedElsewhere = false; // allocated exclusively to another process
};

// What restricts the process to a subset of the candidates.
struct CpuRestriction {
    std::vector<std::uint32_t> defaultIds;  // empty: no default CPU-set restriction
    bool processMaskRestricted = false;     // the affinity mask excludes some processors
    bool threadGroupKnown = false;
    std::uint16_t threadGroup = 0;
    std::uint64_t processMask = 0;  // bit i: logical processor i of threadGroup allowed
};

struct CpuTopology {
    std::vector<CpuSetCandidate> candidates;
    CpuRestriction restriction;
};

// Reads the machine's processors and the process's restrictions. Returns
// nothing when any platform query is missing, fails, or answers an
// implausible size. Any thread.
std::optional<CpuTopology> readCpuTopology() noexcept;

// Restricts the calling thread to one processor. False when the platform
// cannot do it; the thread then stays unrestricted.
bool pinCurrentThread(const CpuSetCandidate& processor) noexcept;

// Lowers the calling thread's priority below normal (worker threads). Never fails.
void setCurrentThreadBelowNormalPriority() noexcept;

}  // namespace al::platform
