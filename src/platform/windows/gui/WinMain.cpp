// The entry routine of AuralithPlayer.exe: the command line, the per-login
// single-instance mutex (a second start hands its file to the running player
// and ends), COM, the main window, the command-line file, and the message
// loop with its accelerators and the Alt+F12 statistics key.

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/PlayerStartup.h"
#include "app/PlayerWindow.h"
#include "platform/windows/gui/MainWindow.h"
#include "platform/windows/gui/PlayerOptions.h"
#include "platform/windows/gui/SourceHandoff.h"
#include "platform/windows/gui/WinText.h"

namespace al::win {

namespace {

// Owns what the entry routine acquires, released in reverse order.
class ArgumentList {
  public:
    ArgumentList() { list_ = ::CommandLineToArgvW(::GetCommandLineW(), &count_); }
    ~ArgumentList() {
        if (list_ != nullptr) {
            ::LocalFree(list_);
        }
    }
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;
    bool valid() const noexcept { return list_ != nullptr; }
    std::vector<std::u16string> arguments() const {
        std::vector<std::u16string> out;
        for (int i = 0; i < count_; ++i) {
            out.push_back(Utf16(list_[i]));
        }
        return out;
    }

  private:
    LPWSTR* list_ = nullptr;
    int count_ = 0;
};

class Handle {
  public:
    explicit Handle(HANDLE handle) noexcept : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr) {
            ::CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const noexcept { return handle_; }

  private:
    HANDLE handle_;
};

class ComApartment {
  public:
    explicit ComApartment(HRESULT result) noexcept : uninitialise_(SUCCEEDED(result)) {}
    ~ComApartment() {
        if (uninitialise_) {
            ::CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    bool uninitialise_;
};

class Accelerators {
  public:
    Accelerators() {
        ACCEL table[] = {
            {FVIRTKEY, VK_F11, static_cast<WORD>(app::command::kStage)},
            {FVIRTKEY, VK_F9, static_cast<WORD>(app::command::kStageView)},
            {FVIRTKEY, 'C', static_cast<WORD>(app::command::kColor)},
            {FVIRTKEY | FCONTROL, 'C', static_cast<WORD>(app::command::kColor)},
            {FVIRTKEY | FSHIFT, 'C', static_cast<WORD>(app::command::kColor)},
        };
        table_ = ::CreateAcceleratorTableW(table, static_cast<int>(std::size(table)));
    }
    ~Accelerators() {
        if (table_ != nullptr) {
            ::DestroyAcceleratorTable(table_);
        }
    }
    Accelerators(const Accelerators&) = delete;
    Accelerators& operator=(const Accelerators&) = delete;
    HACCEL get() const noexcept { return table_; }

  private:
    HACCEL table_ = nullptr;
};

void ShowFatal(const std::wstring& text, UINT icon) noexcept {
    ::MessageBoxW(nullptr, text.c_str(), Wide(std::string_view(app::kPlayerCaption)).c_str(),
                  MB_OK | icon);
}

void RunMessageLoop(HWND window) {
    Accelerators accelerators;
    MSG message;
    for (;;) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        if (message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) {
            app::KeyMessage key;
            key.keyDown = true;
            key.f12 = message.wParam == VK_F12;
            // The context-code bit says Alt for system keys.
            key.alt = ::GetKeyState(VK_MENU) < 0 ||
                      (message.message == WM_SYSKEYDOWN && (message.lParam & (1 << 29)) != 0);
            key.ctrl = ::GetKeyState(VK_CONTROL) < 0;
            key.shift = ::GetKeyState(VK_SHIFT) < 0;
            key.repeat = (message.lParam & (1 << 30)) != 0;
            const app::LoopKey action = app::ClassifyLoopKey(key);
            if (action == app::LoopKey::ToggleStatistics) {
                ::SendMessageW(window, WM_COMMAND, app::command::kStatistics, 0);
                continue;
            }
            if (action == app::LoopKey::Swallow) {
                continue;
            }
        }
        if (accelerators.get() != nullptr && ::IsWindow(window) &&
            ::TranslateAcceleratorW(window, accelerators.get(), &message)) {
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

int RunPlayer(HINSTANCE instance, int showCommand) {
    // Sizes follow each monitor's DPI (the window relays itself out when it
    // changes); a system that refuses leaves the process scaled by Windows.
    ::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    ArgumentList argumentList;
    if (!argumentList.valid()) {
        return 1;
    }
    const std::vector<std::u16string> arguments = argumentList.arguments();
    const std::optional<std::u16string> path = app::CommandLinePath(arguments);

    const std::wstring mutexName = Wide(app::kInstanceMutexName);
    Handle instanceMutex(::CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    if (instanceMutex.get() == nullptr) {
        ShowFatal(Wide(std::string_view(app::kSingleInstanceFailureText)), MB_ICONERROR);
        return 1;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        SendSourceHandoff(path);
        return 0;
    }

    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(com) && com != RPC_E_CHANGED_MODE) {
        return 1;
    }
    ComApartment apartment(com);

    try {
        ApplyPlayerSwitches(arguments);
        MainWindow window(instance, app::PlayerSettings::DefaultFiles());
        window.Create(showCommand);
        if (path) {
            window.OpenCommandLineFile(std::filesystem::path(Wide(*path)));
        }
        RunMessageLoop(window.handle());
    } catch (const std::exception& error) {
        ShowFatal(WideMessage(error.what()), MB_ICONERROR);
    }
    return 0;
}

}  // namespace al::win

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return al::win::RunPlayer(instance, showCommand);
}
