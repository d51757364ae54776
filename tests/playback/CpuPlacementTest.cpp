// Worker placement over described machines.
#include "playback/CpuPlacement.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

namespace al::surrogate {
namespace {

using platform::CpuRestriction;
using platform::CpuSetCandidate;

// `cores` cores with `threads` SMT threads each on one node. Logical index is
// core-major (0,1 = core 0 with 2 threads); ids start at 256 like Windows'.
std::vector<CpuSetCandidate> machine(std::uint32_t cores, std::uint32_t threads,
                                     std::int32_t node = 0, std::uint32_t firstIndex = 0) {
    std::vector<CpuSetCandidate> out;
    for (std::uint32_t core = 0; core < cores; ++core) {
        for (std::uint32_t t = 0; t < threads; ++t) {
            CpuSetCandidate c;
            c.logicalIndex = firstIndex + core * threads + t;
            c.id = 256 + c.logicalIndex;
            c.coreIndex = firstIndex / threads + core;
            c.numaKey = node;
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::uint32_t> indexes(const CpuWorkerPlan& plan) {
    std::vector<std::uint32_t> out;
    for (const auto& p : plan.placements) {
        EXPECT_EQ(p.valid, 1);
        out.push_back(p.logicalIndex);
    }
    return out;
}

TEST(CpuPlacement, FourProcessorsReserveOne) {
    const auto plan = PlanWorkersFrom(machine(4, 1), {}, 8);
    EXPECT_EQ(plan.totalProcessors, 4u);
    EXPECT_EQ(plan.numaNodes, 1u);
    EXPECT_EQ(indexes(plan), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(plan.placements[0].cpuSetId, 257u);
}

TEST(CpuPlacement, SmtSiblingsComeAfterEveryFirstThread) {
    const auto plan = PlanWorkersFrom(machine(8, 2), {}, 16);
    EXPECT_EQ(plan.totalProcessors, 16u);
    // Both threads of core 0 are reserved; first threads of cores 1..7, then seconds.
    EXPECT_EQ(indexes(plan), (std::vector<std::uint32_t>{2, 4, 6, 8, 10, 12, 14, 3, 5, 7, 9, 11,
                                                         13, 15}));
}

TEST(CpuPlacement, TwoNodesAlternate) {
    auto candidates = machine(4, 1, 0, 0);
    const auto second = machine(4, 1, 1, 4);
    candidates.insert(candidates.begin(), second.begin(), second.end());  // order must not matter
    const auto plan = PlanWorkersFrom(candidates, {}, 6);
    EXPECT_EQ(plan.numaNodes, 2u);
    // 8 processors: two reserved (0 and 1 on node 0); then node 0, node 1, ...
    EXPECT_EQ(indexes(plan), (std::vector<std::uint32_t>{2, 4, 3, 5, 6, 7}));
    EXPECT_EQ(plan.placements[1].numaKey, 1);
}

TEST(CpuPlacement, CountsAreCappedAndNeverZero) {
    EXPECT_EQ(PlanWorkersFrom(machine(40, 1), {}, 64).placements.size(), 16u);
    EXPECT_EQ(PlanWorkersFrom(machine(40, 1), {}, 0).placements.size(), 1u);
    EXPECT_EQ(PlanWorkersFrom(machine(4, 1), {}, 0).placements.size(), 1u);
    // One processor: nothing can be reserved, the worker shares it.
    const auto single = PlanWorkersFrom(machine(1, 1), {}, 4);
    EXPECT_EQ(indexes(single), (std::vector<std::uint32_t>{0}));
}

TEST(CpuPlacement, RestrictionsAndDuplicates) {
    CpuRestriction defaults;
    defaults.defaultIds = {256 + 5, 256 + 6, 256 + 7};
    const auto plan = PlanWorkersFrom(machine(8, 1), defaults, 8);
    EXPECT_EQ(plan.totalProcessors, 3u);
    EXPECT_EQ(indexes(plan), (std::vector<std::uint32_t>{6, 7}));

    auto candidates = machine(4, 1);
    candidates[2].allocatedElsewhere = true;
    candidates.push_back(candidates[3]);  // same group and index twice
    const auto noAllocated = PlanWorkersFrom(candidates, {}, 8);
    EXPECT_EQ(noAllocated.totalProcessors, 3u);
    EXPECT_EQ(indexes(noAllocated), (std::vector<std::uint32_t>{1, 3}));

    CpuRestriction mask;
    mask.processMaskRestricted = true;
    mask.threadGroupKnown = true;
    mask.processMask = 0b1100;
    EXPECT_EQ(indexes(PlanWorkersFrom(machine(4, 1), mask, 8)), (std::vector<std::uint32_t>{3}));
    mask.threadGroupKnown = false;  // a restricted mask without the thread's group keeps nothing
    const auto none = PlanWorkersFrom(machine(4, 1), mask, 8);
    EXPECT_EQ(none.totalProcessors, 0u);
    ASSERT_EQ(none.placements.size(), 1u);
    EXPECT_EQ(none.placements[0].valid, 0);
}

TEST(CpuPlacement, FallbackAndThisMachine) {
    const auto fallback = FallbackWorkerPlan();
    EXPECT_EQ(fallback.totalProcessors, 0u);
    ASSERT_EQ(fallback.placements.size(), 1u);
    EXPECT_FALSE(fallback.placements[0].ApplyToCurrentThread());

    // Whatever this machine (or Wine) reports, the plan is usable and pinning
    // a worker thread never fails loudly.
    const auto plan = PlanWorkers(4);
    ASSERT_GE(plan.placements.size(), 1u);
    EXPECT_LE(plan.placements.size(), 4u);
    std::thread worker([&] {
        platform::setCurrentThreadBelowNormalPriority();
        (void)plan.placements[0].ApplyToCurrentThread();
    });
    worker.join();
}

}  // namespace
}  // namespace al::surrogate
