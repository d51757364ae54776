#include "platform/Terminal.h"

#include <windows.h>

#include <new>

namespace al::platform {

namespace {

bool isConsole(DWORD which) noexcept {
    HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

struct RawTerminal::Saved {
    DWORD mode = 0;
};

bool standardInputIsTerminal() noexcept { return isConsole(STD_INPUT_HANDLE); }
bool standardOutputIsTerminal() noexcept { return isConsole(STD_OUTPUT_HANDLE); }

RawTerminal::RawTerminal() noexcept = default;

RawTerminal::~RawTerminal() { restore(); }

bool RawTerminal::enter() noexcept {
    if (active_) {
        return true;
    }
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (!saved_) {
        saved_.reset(new (std::nothrow) Saved);
        if (!saved_) {
            return false;
        }
    }
    if (input == nullptr || input == INVALID_HANDLE_VALUE || ::GetConsoleMode(input, &saved_->mode) == 0) {
        return false;
    }
    // Key events one at a time, no echo, Ctrl+C delivered as a key.
    const DWORD raw = saved_->mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    if (::SetConsoleMode(input, raw) == 0) {
        return false;
    }
    active_ = true;
    return true;
}

void RawTerminal::restore() noexcept {
    if (!active_) {
        return;
    }
    ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
    active_ = false;
}

TerminalKey RawTerminal::readKey(std::uint32_t timeoutMs) noexcept {
    TerminalKey key;
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (::WaitForSingleObject(input, wait) != WAIT_OBJECT_0) {
            return key;
        }
        INPUT_RECORD record{};
        DWORD read = 0;
        if (::ReadConsoleInputW(input, &record, 1, &read) == 0 || read == 0) {
            return key;
        }
        if (record.EventType != KEY_EVENT || record.Event.KeyEvent.bKeyDown == 0) {
            continue;  // mouse, focus, resize and key-up events
        }
        switch (record.Event.KeyEvent.wVirtualKeyCode) {
            case VK_LEFT:
                key.kind = TerminalKey::Kind::Left;
                return key;
            case VK_RIGHT:
                key.kind = TerminalKey::Kind::Right;
                return key;
            case VK_UP:
                key.kind = TerminalKey::Kind::Up;
                return key;
            case VK_DOWN:
                key.kind = TerminalKey::Kind::Down;
                return key;
            default:
                if (record.Event.KeyEvent.wVirtualKeyCode >= VK_F1 && record.Event.KeyEvent.wVirtualKeyCode <= VK_F12) {
                    key.kind = TerminalKey::Kind::Function;
                    key.function = record.Event.KeyEvent.wVirtualKeyCode - VK_F1 + 1;
                    key.alt = (record.Event.KeyEvent.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
                    return key;
                }
                break;
        }
        const wchar_t character = record.Event.KeyEvent.uChar.UnicodeChar;
        if (character != 0) {
            key.kind = TerminalKey::Kind::Character;
            key.character = static_cast<char32_t>(character);
            return key;
        }
    }
}

}  // namespace al::platform
