#include "platform/ThreadScheduling.h"

#include <windows.h>

namespace al::platform {

namespace {

// avrt.dll is loaded at run time so that the program starts, and plays at
// normal priority, where the multimedia class scheduler is missing.
using AvSetMmThreadCharacteristicsWFn = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
using AvSetMmThreadPriorityFn = BOOL(WINAPI*)(HANDLE, int);
using AvRevertMmThreadCharacteristicsFn = BOOL(WINAPI*)(HANDLE);

constexpr int kAvrtPriorityHigh = 1;

template <typename Fn>
Fn avrtFunction(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

}  // namespace

ProAudioScheduling::~ProAudioScheduling() { leave(); }

bool ProAudioScheduling::join() noexcept {
    if (joined_) {
        return true;
    }
    HMODULE library = ::LoadLibraryExW(L"avrt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        return false;
    }
    const auto setCharacteristics = avrtFunction<AvSetMmThreadCharacteristicsWFn>(library, "AvSetMmThreadCharacteristicsW");
    const auto setPriority = avrtFunction<AvSetMmThreadPriorityFn>(library, "AvSetMmThreadPriority");
    if (setCharacteristics == nullptr || setPriority == nullptr) {
        ::FreeLibrary(library);
        return false;
    }
    DWORD taskIndex = 0;
    HANDLE task = setCharacteristics(L"Pro Audio", &taskIndex);
    if (task == nullptr) {
        ::FreeLibrary(library);
        return false;
    }
    setPriority(task, kAvrtPriorityHigh);
    handle_ = reinterpret_cast<std::intptr_t>(task);
    library_ = reinterpret_cast<std::intptr_t>(library);
    joined_ = true;
    return true;
}

void ProAudioScheduling::leave() noexcept {
    if (!joined_) {
        return;
    }
    auto library = reinterpret_cast<HMODULE>(library_);
    const auto revert = avrtFunction<AvRevertMmThreadCharacteristicsFn>(library, "AvRevertMmThreadCharacteristics");
    if (revert != nullptr) {
        revert(reinterpret_cast<HANDLE>(handle_));
    }
    ::FreeLibrary(library);
    handle_ = 0;
    library_ = 0;
    joined_ = false;
}

}  // namespace al::platform
