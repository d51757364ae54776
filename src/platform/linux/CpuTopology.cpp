#include "platform/CpuTopology.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace al::platform {

namespace {

constexpr int kMaxCpus = CPU_SETSIZE;

bool readInt(const std::filesystem::path& path, long& value) {
    std::ifstream in(path);
    return static_cast<bool>(in >> value);
}

// The NUMA node of a CPU is the nodeN entry in its sysfs folder.
std::int32_t numaNodeOf(const std::filesystem::path& cpuDir) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(cpuDir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(0, 4, "node") == 0 &&
            name.find_first_not_of("0123456789", 4) == std::string::npos) {
            return static_cast<std::int32_t>(std::stol(name.substr(4)));
        }
    }
    return 0;
}

}  // namespace

std::optional<CpuTopology> readCpuTopology() noexcept {
    try {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
            return std::nullopt;
        }
        CpuTopology topology;
        // The affinity mask already names exactly the usable CPUs, so the
        // candidates are those and no further restriction applies.
        for (int cpu = 0; cpu < kMaxCpus; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) {
                continue;
            }
            const std::filesystem::path dir =
                "/sys/devices/system/cpu/cpu" + std::to_string(cpu);
            long core = cpu;
            long package = 0;
            readInt(dir / "topology" / "core_id", core);
            readInt(dir / "topology" / "physical_package_id", package);
            CpuSetCandidate candidate;
            candidate.id = static_cast<std::uint32_t>(cpu);
            candidate.group = 0;
            // core_id repeats across packages; make it unique on the machine.
            candidate.coreIndex = static_cast<std::uint32_t>((package & 0xFFFF) << 16) |
                                  static_cast<std::uint32_t>(core & 0xFFFF);
            candidate.logicalIndex = static_cast<std::uint32_t>(cpu);
            candidate.numaKey = numaNodeOf(dir);
            topology.candidates.push_back(candidate);
        }
        if (topology.candidates.empty()) {
            return std::nullopt;
        }
        return topology;
    } catch (...) {
        return std::nullopt;
    }
}

bool pinCurrentThread(const CpuSetCandidate& processor) noexcept {
    if (processor.id >= static_cast<std::uint32_t>(kMaxCpus)) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(processor.id), &set);
    return ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set) == 0;
}

void setCurrentThreadBelowNormalPriority() noexcept {
    // On Linux the nice value of a thread id applies to that thread alone.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, tid, 5);
}

}  // namespace al::platform
