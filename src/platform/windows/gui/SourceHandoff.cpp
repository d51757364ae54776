#include "platform/windows/gui/SourceHandoff.h"

#include <windows.h>

#include <string>

#include "app/PlayerStartup.h"
#include "platform/windows/gui/WinText.h"

namespace al::win {

namespace {

// The path made absolute against this process's current directory, or the
// argument unchanged when that fails.
std::wstring AbsolutePath(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    full.resize(written);
    return full;
}

void Tell(const char* text, UINT icon) noexcept {
    ::MessageBoxW(nullptr, Wide(std::string_view(text)).c_str(),
                  Wide(std::string_view(app::kPlayerCaption)).c_str(), MB_OK | icon);
}

}  // namespace

void SendSourceHandoff(const std::optional<std::u16string>& path) noexcept {
    try {
        const std::wstring className = Wide(app::kMainWindowClass);
        HWND running = nullptr;
        for (int look = 0; look < app::kHandoffWindowLooks; ++look) {
            running = ::FindWindowW(className.c_str(), nullptr);
            if (running != nullptr) {
                break;
            }
            ::Sleep(app::kHandoffLookIntervalMs);
        }
        if (running == nullptr) {
            Tell(app::kStillStartingText, MB_ICONINFORMATION);
            return;
        }
        if (path) {
            const std::wstring absolute = AbsolutePath(Wide(*path));
            const std::optional<std::u16string> payload = app::HandoffPayload(Utf16(absolute));
            if (payload) {
                COPYDATASTRUCT data{};
                data.dwData = app::kHandoffTag;
                data.cbData = static_cast<DWORD>(payload->size() * sizeof(char16_t));
                data.lpData = const_cast<char16_t*>(payload->data());
                DWORD_PTR result = 0;
                // Blocking: this process handles none of its own messages
                // meanwhile. The receiver's answer is not examined.
                const LRESULT sent =
                    ::SendMessageTimeoutW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                          SMTO_BLOCK, app::kHandoffSendTimeoutMs, &result);
                if (sent == 0) {
                    Tell(app::kHandoffTimedOutText, MB_ICONWARNING);
                }
            }
        }
        if (::IsIconic(running)) {
            ::ShowWindow(running, SW_RESTORE);
        }
        ::ShowWindow(running, SW_SHOW);
        ::SetForegroundWindow(running);
    } catch (...) {
        // Out of memory while building the path: nothing is delivered.
    }
}

}  // namespace al::win
