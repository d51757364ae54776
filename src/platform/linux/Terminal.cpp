#include "platform/Terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace al::platform {

namespace {

// After an escape byte, how long the rest of an arrow-key sequence may take.
constexpr int kSequenceGapMs = 30;

bool readByte(int timeoutMs, unsigned char& byte) noexcept {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, timeoutMs) <= 0 || (input.revents & POLLIN) == 0) {
        return false;
    }
    return ::read(STDIN_FILENO, &byte, 1) == 1;
}

}  // namespace

struct RawTerminal::Saved {
    termios mode{};
};

bool standardInputIsTerminal() noexcept { return ::isatty(STDIN_FILENO) == 1; }
bool standardOutputIsTerminal() noexcept { return ::isatty(STDOUT_FILENO) == 1; }

RawTerminal::RawTerminal() noexcept = default;

RawTerminal::~RawTerminal() { restore(); }

bool RawTerminal::enter() noexcept {
    if (active_) {
        return true;
    }
    if (!standardInputIsTerminal()) {
        return false;
    }
    if (!saved_) {
        saved_.reset(new (std::nothrow) Saved);
        if (!saved_) {
            return false;
        }
    }
    if (::tcgetattr(STDIN_FILENO, &saved_->mode) != 0) {
        return false;
    }
    termios raw = saved_->mode;
    // Keys one at a time, no echo, and Ctrl+C as a key so that the player
    // can put the terminal back before it quits.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        return false;
    }
    active_ = true;
    return true;
}

void RawTerminal::restore() noexcept {
    if (!active_) {
        return;
    }
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
    active_ = false;
}

TerminalKey RawTerminal::readKey(std::uint32_t timeoutMs) noexcept {
    TerminalKey key;
    unsigned char byte = 0;
    const int timeout = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
    if (!readByte(timeout, byte)) {
        return key;
    }
    if (byte != 0x1B) {
        key.kind = TerminalKey::Kind::Character;
        key.character = byte;
        return key;
    }
    // ESC [ A..D (or ESC O A..D in application mode): the arrow keys.
    unsigned char introducer = 0;
    unsigned char final = 0;
    if (!readByte(kSequenceGapMs, introducer) || (introducer != '[' && introducer != 'O') ||
        !readByte(kSequenceGapMs, final)) {
        key.kind = TerminalKey::Kind::Character;
        key.character = 0x1B;
        return key;
    }
    switch (final) {
        case 'A':
            key.kind = TerminalKey::Kind::Up;
            break;
        case 'B':
            key.kind = TerminalKey::Kind::Down;
            break;
        case 'C':
            key.kind = TerminalKey::Kind::Right;
            break;
        case 'D':
            key.kind = TerminalKey::Kind::Left;
            break;
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
            // ESC O P..S: F1..F4.
            key.kind = TerminalKey::Kind::Function;
            key.function = final - 'P' + 1;
            break;
        default: {
            // ESC [ code [; modifier] ~: a function key (F12 is 24, Alt
            // adds 2 to modifier - 1). Other sequences are skipped whole.
            int params[2] = {0, 0};
            int index = 0;
            while (!(final >= 0x40 && final <= 0x7E)) {
                if (final >= '0' && final <= '9' && params[index] < 1000) {
                    params[index] = params[index] * 10 + (final - '0');
                } else if (final == ';' && index == 0) {
                    index = 1;
                }
                if (!readByte(kSequenceGapMs, final)) {
                    return key;
                }
            }
            static constexpr int kCodes[12] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24};
            for (int f = 0; final == '~' && f < 12; ++f) {
                if (params[0] == kCodes[f]) {
                    key.kind = TerminalKey::Kind::Function;
                    key.function = f + 1;
                    key.alt = params[1] > 1 && ((params[1] - 1) & 2) != 0;
                }
            }
            break;
        }
    }
    return key;
}

}  // namespace al::platform
