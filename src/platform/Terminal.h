#pragma once
// The interactive terminal of a command-line player: whether there is one,
// and single key presses read without echo or line editing.

#include <cstdint>
#include <memory>

namespace al::platform {

// Whether standard input (output) is an interactive terminal or console
// rather than a pipe or a file. Any thread.
bool standardInputIsTerminal() noexcept;
bool standardOutputIsTerminal() noexcept;

struct TerminalKey {
    enum class Kind { None, Character, Left, Right, Up, Down, Function };
    Kind kind = Kind::None;
    // For Kind::Function: the function key's number (1..12) and whether Alt
    // was held (a terminal reports Alt+F12 as such where it sends it).
    int function = 0;
    bool alt = false;
    // For Kind::Character: the character (ASCII; control keys as their codes,
    // so Ctrl+C arrives as 3 instead of ending the program).
    char32_t character = 0;
};

// Raw key input on standard input: enter() switches the terminal to single
// keys without echo, and destruction (or restore()) puts back exactly the
// mode it found. One thread at a time; never throws.
class RawTerminal {
public:
    RawTerminal() noexcept;
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // False when standard input is not a terminal or its mode cannot be set.
    bool enter() noexcept;
    void restore() noexcept;
    bool active() const noexcept { return active_; }

    // The next key press, waiting at most timeoutMs; Kind::None when none
    // came in time (or input failed).
    TerminalKey readKey(std::uint32_t timeoutMs) noexcept;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
    bool active_ = false;
};

}  // namespace al::platform
