#include "platform/FileMapping.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>

namespace al::platform {

namespace {

// A mapped file that another program truncates raises SIGBUS on the first
// read of a page past its new end, which would end the process in the middle
// of playback. The guard keeps the address ranges of the mappings; its
// handler covers a faulting page of one of them with a zero page, marks that
// mapping damaged and lets the read go on, so the reader sees zeros (its
// checksums then fail) and the player can stop with a message. A fault
// anywhere else goes to the handler that was there before.
struct GuardSlot {
    std::atomic<bool> claimed{false};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> damaged{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free,
              "the handler reads slots lock-free");

constexpr int kGuardSlots = 256;
GuardSlot g_slots[kGuardSlots];
std::uintptr_t g_pageSize = 4096;
struct sigaction g_previous {};
std::once_flag g_installed;

void forwardToPrevious(int signal, siginfo_t* info, void* context) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler == SIG_IGN) {
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != nullptr) {
        g_previous.sa_handler(signal);
        return;
    }
    // Default action: die of the signal as if no guard had been installed.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardSlot& slot : g_slots) {
        const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire)) {
            continue;
        }
        void* page = reinterpret_cast<void*>(address & ~(g_pageSize - 1));
        // mmap is a plain system call here; it replaces only that page.
        if (::mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
            MAP_FAILED) {
            slot.damaged.store(true, std::memory_order_release);
            return;
        }
        break;
    }
    forwardToPrevious(signal, info, context);
}

void installGuard() {
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) {
        g_pageSize = static_cast<std::uintptr_t>(page);
    }
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
}

// Returns the slot, or -1 when all are taken (the mapping then works as
// before, unguarded).
int guardRange(const std::byte* view, std::size_t length) noexcept {
    try {
        std::call_once(g_installed, installGuard);
    } catch (...) {
        return -1;
    }
    for (int index = 0; index < kGuardSlots; ++index) {
        GuardSlot& slot = g_slots[index];
        bool expected = false;
        if (slot.claimed.compare_exchange_strong(expected, true)) {
            const auto begin = reinterpret_cast<std::uintptr_t>(view);
            slot.damaged.store(false);
            slot.end.store(begin + length, std::memory_order_release);
            slot.begin.store(begin, std::memory_order_release);
            return index;
        }
    }
    return -1;
}

void releaseRange(int index) noexcept {
    GuardSlot& slot = g_slots[index];
    slot.begin.store(0, std::memory_order_release);
    slot.end.store(0, std::memory_order_release);
    slot.damaged.store(false);
    slot.claimed.store(false, std::memory_order_release);
}

}  // namespace

std::string failureText(std::string_view phrase, NativeError code) {
    std::string text(phrase);
    text += " failed (errno ";
    text += std::to_string(code);
    text += ')';
    return text;
}

ReadOnlyMapping::~ReadOnlyMapping() {
    close();
}

ReadOnlyMapping::ReadOnlyMapping(ReadOnlyMapping&& other) noexcept
    : file_(std::exchange(other.file_, -1)),
      mapping_(std::exchange(other.mapping_, -1)),
      view_(std::exchange(other.view_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      guard_(std::exchange(other.guard_, -1)) {}

ReadOnlyMapping& ReadOnlyMapping::operator=(ReadOnlyMapping&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, -1);
        mapping_ = std::exchange(other.mapping_, -1);
        view_ = std::exchange(other.view_, nullptr);
        length_ = std::exchange(other.length_, 0);
        guard_ = std::exchange(other.guard_, -1);
    }
    return *this;
}

NativeError ReadOnlyMapping::openFile(const std::filesystem::path& path) noexcept {
    close();
    // POSIX lets others read, rename and unlink a file we hold open, which is
    // the sharing the reader asks for.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return static_cast<NativeError>(errno);
    }
    file_ = fd;
    return 0;
}

NativeError ReadOnlyMapping::querySize(std::uint64_t& size) noexcept {
    struct stat info {};
    if (::fstat(static_cast<int>(file_), &info) != 0) {
        return static_cast<NativeError>(errno);
    }
    if (info.st_size < 0) {
        return EOVERFLOW;
    }
    if (S_ISDIR(info.st_mode)) {
        return EISDIR;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

std::optional<ReadOnlyMapping::MapFailure> ReadOnlyMapping::mapWhole(std::uint64_t size) noexcept {
    if (size > SIZE_MAX) {
        return MapFailure{MapStep::CreateMapping, EFBIG};
    }
    void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED,
                        static_cast<int>(file_), 0);
    if (view == MAP_FAILED) {
        return MapFailure{MapStep::MapView, static_cast<NativeError>(errno)};
    }
    // Chunks are fetched out of order when the user seeks.
    ::madvise(view, static_cast<std::size_t>(size), MADV_RANDOM);
    view_ = static_cast<const std::byte*>(view);
    length_ = static_cast<std::size_t>(size);
    guard_ = guardRange(view_, length_);
    return std::nullopt;
}

bool ReadOnlyMapping::damaged() const noexcept {
    return guard_ >= 0 && g_slots[guard_].damaged.load(std::memory_order_acquire);
}

void ReadOnlyMapping::close() noexcept {
    if (guard_ >= 0) {
        releaseRange(guard_);
        guard_ = -1;
    }
    if (view_ != nullptr) {
        ::munmap(const_cast<std::byte*>(view_), length_);
        view_ = nullptr;
        length_ = 0;
    }
    mapping_ = -1;  // mmap has no separate mapping object
    if (file_ >= 0) {
        ::close(static_cast<int>(file_));
        file_ = -1;
    }
}

}  // namespace al::platform
