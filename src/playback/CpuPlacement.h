#pragma once
// Placement of worker threads on logical processors: spread over NUMA nodes
// and physical cores, keep the first processors free for the user interface
// and the render thread, SMT siblings last, never more than 16 workers.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/CpuTopology.h"

namespace al::surrogate {

// One logical processor a worker may be pinned to; not pinned when !valid.
struct CpuPlacement {
    std::uint32_t cpuSetId = 0;
    std::uint16_t group = 0;
    std::int32_t numaKey = 0;
    std::uint32_t coreIndex = 0;
    std::uint32_t logicalIndex = 0;
    std::uint8_t valid = 0;

    // Pins the calling thread to this processor. False, leaving the thread
    // unrestricted, when not valid or the platform refuses. Worker threads
    // call it on themselves when they start.
    bool ApplyToCurrentThread() const noexcept;
};

struct CpuWorkerPlan {
    std::uint64_t totalProcessors = 0;  // usable, after de-duplication, before reservation
    std::uint64_t numaNodes = 0;        // distinct NUMA keys among them
    std::vector<CpuPlacement> placements;  // one per worker; worker i takes entry i
};

inline constexpr std::size_t kMaxWorkers = 16;

// The plan for at most `requested` workers on this machine. Never fails: any
// platform failure gives the fallback plan (one unpinned worker). Any thread.
CpuWorkerPlan PlanWorkers(std::size_t requested);

// The plan over a described machine: keeps the candidates the restriction
// allows, then sorts, de-duplicates, reserves, orders SMT siblings last per
// node, interleaves nodes and caps the count. Pure; any thread.
CpuWorkerPlan PlanWorkersFrom(const std::vector<platform::CpuSetCandidate>& candidates,
                              const platform::CpuRestriction& restriction, std::size_t requested);

// Zero counts and one unpinned entry.
CpuWorkerPlan FallbackWorkerPlan();

}  // namespace al::surrogate
