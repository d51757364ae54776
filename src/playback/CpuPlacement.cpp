#include "playback/CpuPlacement.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace al::surrogate {

namespace {

bool allowed(const platform::CpuSetCandidate& c, const platform::CpuRestriction& r) {
    if (r.defaultIds.empty()) {
        if (c.allocatedElsewhere) {
            return false;
        }
    } else if (std::find(r.defaultIds.begin(), r.defaultIds.end(), c.id) == r.defaultIds.end()) {
        return false;
    }
    if (r.processMaskRestricted) {
        if (!r.threadGroupKnown || c.group != r.threadGroup || c.logicalIndex >= 64 ||
            ((r.processMask >> c.logicalIndex) & 1u) == 0) {
            return false;
        }
    }
    return true;
}

CpuPlacement placementOf(const platform::CpuSetCandidate& c) {
    CpuPlacement p;
    p.cpuSetId = c.id;
    p.group = c.group;
    p.numaKey = c.numaKey;
    p.coreIndex = c.coreIndex;
    p.logicalIndex = c.logicalIndex;
    p.valid = 1;
    return p;
}

}  // namespace

bool CpuPlacement::ApplyToCurrentThread() const noexcept {
    if (valid == 0) {
        return false;
    }
    platform::CpuSetCandidate processor;
    processor.id = cpuSetId;
    processor.group = group;
    processor.coreIndex = coreIndex;
    processor.logicalIndex = logicalIndex;
    processor.numaKey = numaKey;
    return platform::pinCurrentThread(processor);
}

CpuWorkerPlan FallbackWorkerPlan() {
    CpuWorkerPlan plan;
    plan.placements.push_back(CpuPlacement{});
    return plan;
}

CpuWorkerPlan PlanWorkersFrom(const std::vector<platform::CpuSetCandidate>& candidates,
                              const platform::CpuRestriction& restriction, std::size_t requested) {
    std::vector<CpuPlacement> kept;
    for (const auto& c : candidates) {
        if (allowed(c, restriction)) {
            kept.push_back(placementOf(c));
        }
    }
    const auto key = [](const CpuPlacement& p) {
        return std::make_tuple(p.numaKey, p.group, p.coreIndex, p.logicalIndex);
    };
    std::stable_sort(kept.begin(), kept.end(),
                     [&](const CpuPlacement& a, const CpuPlacement& b) { return key(a) < key(b); });
    {
        std::set<std::pair<std::uint16_t, std::uint32_t>> seen;
        std::vector<CpuPlacement> unique;
        for (const auto& p : kept) {
            if (seen.insert({p.group, p.logicalIndex}).second) {
                unique.push_back(p);
            }
        }
        kept = std::move(unique);
    }

    CpuWorkerPlan plan;
    plan.totalProcessors = kept.size();
    std::set<std::int32_t> nodes;
    for (const auto& p : kept) {
        nodes.insert(p.numaKey);
    }
    plan.numaNodes = nodes.size();
    if (kept.empty()) {
        plan.placements.push_back(CpuPlacement{});
        return plan;
    }

    // Leave the first one or two processors to the rest of the program.
    const std::size_t reserve = std::min<std::size_t>(kept.size() - 1, kept.size() < 8 ? 1 : 2);
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(reserve));

    // Per node: every core's first thread in core order, then every second thread, ...
    std::map<std::int32_t, std::vector<CpuPlacement>> orderByNode;
    {
        std::map<std::int32_t, std::map<std::pair<std::uint16_t, std::uint32_t>,
                                        std::vector<CpuPlacement>>>
            cores;
        for (const auto& p : kept) {
            cores[p.numaKey][{p.group, p.coreIndex}].push_back(p);
        }
        for (auto& [node, byCore] : cores) {
            auto& order = orderByNode[node];
            for (std::size_t rank = 0;; ++rank) {
                bool any = false;
                for (auto& [core, threads] : byCore) {
                    if (rank < threads.size()) {
                        order.push_back(threads[rank]);
                        any = true;
                    }
                }
                if (!any) {
                    break;
                }
            }
        }
    }

    const std::size_t count = std::max<std::size_t>(1, std::min({kept.size(), requested, kMaxWorkers}));
    for (std::size_t pass = 0; plan.placements.size() < count; ++pass) {
        bool any = false;
        for (const auto& [node, order] : orderByNode) {
            if (pass < order.size()) {
                any = true;
                plan.placements.push_back(order[pass]);
                if (plan.placements.size() == count) {
                    break;
                }
            }
        }
        if (!any) {
            break;
        }
    }
    if (plan.placements.empty()) {
        plan.placements.push_back(CpuPlacement{});
    }
    return plan;
}

CpuWorkerPlan PlanWorkers(std::size_t requested) {
    const auto topology = platform::readCpuTopology();
    if (!topology) {
        return FallbackWorkerPlan();
    }
    return PlanWorkersFrom(topology->candidates, topology->restriction, requested);
}

}  // namespace al::surrogate
