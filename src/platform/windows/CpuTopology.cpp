#include "platform/CpuTopology.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace al::platform {

namespace {

// The CPU-set API is looked up at run time (older systems lack it) and its
// record layout declared here, since not every toolchain's headers have it.
using GetSystemCpuSetInformationFn = BOOL(WINAPI*)(void*, ULONG, PULONG, HANDLE, ULONG);
using GetProcessDefaultCpuSetsFn = BOOL(WINAPI*)(HANDLE, PULONG, ULONG, PULONG);
using SetThreadSelectedCpuSetsFn = BOOL(WINAPI*)(HANDLE, const ULONG*, ULONG);

constexpr ULONG kMaxInformationBytes = 0x1000000;
constexpr ULONG kMaxDefaultIds = 65536;
constexpr std::size_t kRecordHeaderBytes = 8;
constexpr std::size_t kCpuSetRecordBytes = 32;
constexpr std::uint8_t kFlagAllocated = 0x02;
constexpr std::uint8_t kFlagAllocatedToTarget = 0x04;

template <typename Fn>
Fn kernelFunction(const char* name) {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(kernel, name)));
}

template <typename T>
T field(const unsigned char* record, std::size_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

}  // namespace

std::optional<CpuTopology> readCpuTopology() noexcept {
    try {
        const auto getInformation =
            kernelFunction<GetSystemCpuSetInformationFn>("GetSystemCpuSetInformation");
        const auto getDefaults =
            kernelFunction<GetProcessDefaultCpuSetsFn>("GetProcessDefaultCpuSets");
        if (getInformation == nullptr || getDefaults == nullptr) {
            return std::nullopt;
        }
        HANDLE process = ::GetCurrentProcess();

        ULONG size = 0;
        getInformation(nullptr, 0, &size, process, 0);
        if (size == 0 || size > kMaxInformationBytes) {
            return std::nullopt;
        }
        std::vector<unsigned char> buffer(size);
        if (!getInformation(buffer.data(), size, &size, process, 0)) {
            return std::nullopt;
        }
        if (size > buffer.size()) {
            return std::nullopt;
        }

        CpuTopology topology;
        ULONG idCount = 0;
        if (!getDefaults(process, nullptr, 0, &idCount)) {
            if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                return std::nullopt;
            }
        }
        if (idCount > kMaxDefaultIds) {
            return std::nullopt;
        }
        if (idCount > 0) {
            std::vector<ULONG> ids(idCount);
            ULONG filled = 0;
            if (!getDefaults(process, ids.data(), idCount, &filled)) {
                return std::nullopt;
            }
            ids.resize(std::min(filled, idCount));
            topology.restriction.defaultIds.assign(ids.begin(), ids.end());
        }

        GROUP_AFFINITY groupAffinity{};
        if (::GetThreadGroupAffinity(::GetCurrentThread(), &groupAffinity)) {
            topology.restriction.threadGroupKnown = true;
            topology.restriction.threadGroup = groupAffinity.Group;
        }
        DWORD_PTR processMask = 0;
        DWORD_PTR systemMask = 0;
        if (::GetProcessAffinityMask(process, &processMask, &systemMask)) {
            topology.restriction.processMask = processMask;
            topology.restriction.processMaskRestricted = processMask != 0 && processMask != systemMask;
        }

        std::size_t offset = 0;
        while (offset + kRecordHeaderBytes <= size) {
            const unsigned char* record = buffer.data() + offset;
            const auto recordSize = field<DWORD>(record, 0);
            const auto type = field<DWORD>(record, 4);
            if (recordSize < kRecordHeaderBytes || offset + recordSize > size) {
                break;
            }
            offset += recordSize;
            if (type != 0 || recordSize < kCpuSetRecordBytes) {
                continue;
            }
            CpuSetCandidate candidate;
            candidate.id = field<DWORD>(record, 8);
            candidate.group = field<WORD>(record, 12);
            candidate.logicalIndex = field<BYTE>(record, 14);
            candidate.coreIndex = field<BYTE>(record, 15);
            const auto nodeIndex = field<BYTE>(record, 17);
            const auto flags = field<BYTE>(record, 19);
            candidate.allocatedElsewhere =
                (flags & kFlagAllocated) != 0 && (flags & kFlagAllocatedToTarget) == 0;
            PROCESSOR_NUMBER number{};
            number.Group = candidate.group;
            number.Number = static_cast<BYTE>(candidate.logicalIndex);
            USHORT node = 0xFFFF;
            if (::GetNumaProcessorNodeEx(&number, &node) && node != 0xFFFF) {
                candidate.numaKey = node;
            } else {
                candidate.numaKey = candidate.group * 256 + nodeIndex;
            }
            topology.candidates.push_back(candidate);
        }
        return topology;
    } catch (...) {
        return std::nullopt;
    }
}

bool pinCurrentThread(const CpuSetCandidate& processor) noexcept {
    const auto setSelected = kernelFunction<SetThreadSelectedCpuSetsFn>("SetThreadSelectedCpuSets");
    if (setSelected == nullptr) {
        return false;
    }
    const ULONG id = processor.id;
    return setSelected(::GetCurrentThread(), &id, 1) != FALSE;
}

void setCurrentThreadBelowNormalPriority() noexcept {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

}  // namespace al::platform
