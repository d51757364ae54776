#pragma once
// The rules of the program's start and of its main window that do not need a
// window to be decided: which command-line argument names the file to open,
// what a second start sends to the running player and what the running
// player accepts, the Alt+F12 key test of the message loop, the display's
// colour depth, and the first size and place of the window. The Win32 entry
// routine and window call these and only make the platform calls.
//
// Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace al::app {

// The names the single-instance coordination relies on.
inline constexpr std::u16string_view kInstanceMutexName = u"Local\\Tessaly.AuralithPlayer.Consumer";
inline constexpr std::u16string_view kMainWindowClass = u"AuralithPlayerConsumerWindow";
inline constexpr std::u16string_view kMainWindowTitle = u"Auralith\u2122 Player V1.1 Candidate 8";
inline constexpr const char* kPlayerCaption = "Auralith Player";

// "AUR1", the first character in the most significant byte.
inline constexpr std::uint32_t kHandoffTag = 0x41555231;
// A second start looks for the running window this often, 50 ms apart.
inline constexpr int kHandoffWindowLooks = 40;
inline constexpr unsigned kHandoffLookIntervalMs = 50;
inline constexpr unsigned kHandoffSendTimeoutMs = 60'000;

inline constexpr const char* kSingleInstanceFailureText =
    "Auralith Player could not initialize its single-instance coordination.";
inline constexpr const char* kStillStartingText =
    "Auralith Player is already starting. Please try the record again after the player window "
    "appears.";
inline constexpr const char* kHandoffTimedOutText =
    "The running Auralith Player did not complete the new source handoff within one minute. "
    "Check the existing player window before trying again.";
inline constexpr const char* kHandoffRefusedText =
    "The requested source is not a readable supported audio file";

// The file to open: the last argument after the program name that is not
// empty and does not begin with a hyphen. `arguments[0]` is the program.
std::optional<std::u16string> CommandLinePath(const std::vector<std::u16string>& arguments);

// The UTF-16 units a second start sends for `path`: the path and its
// terminating NUL. Nothing when the byte count would not fit the message's
// 32-bit size (reach 4,294,967,295).
std::optional<std::u16string> HandoffPayload(std::u16string_view path);

// The receiving side's acceptance test of a copy-data message: present, the
// tag, data, an even byte count above 1 whose last unit is NUL. Returns the
// path up to its first NUL, or nothing when the message is not a handoff.
// `data` must point at `bytes` readable bytes when not null.
std::optional<std::u16string> HandoffPathFromMessage(bool present, std::uint64_t tag,
                                                     const void* data, std::uint64_t bytes);

// The message loop's own key: a key-down or system-key-down of F12 with Alt
// down, Ctrl and Shift up.
struct KeyMessage {
    bool keyDown = false;  // key-down or system-key-down
    bool f12 = false;
    bool alt = false;
    bool ctrl = false;
    bool shift = false;
    bool repeat = false;  // the previous-key-state bit
};
enum class LoopKey {
    Pass,             // translate and dispatch as usual
    Swallow,          // an auto-repeat of Alt+F12: dropped
    ToggleStatistics  // swallow and send command 5020 to the main window
};
LoopKey ClassifyLoopKey(const KeyMessage& key) noexcept;

// Throws std::runtime_error("Auralith Player requires a display mode with at
// least 32,768 colors (15-bit RGB).") when planes x bits per pixel is 1..14.
void CheckDisplayColours(int planes, int bitsPerPixel);

struct ClientSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const ClientSize&, const ClientSize&) = default;
};
struct ScreenRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const noexcept { return right - left; }
    int height() const noexcept { return bottom - top; }
    friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

// The faceplate's aspect ratio (image 103, 1458 x 1023).
inline constexpr double kFaceplateAspect = 1.4252199413489737;
inline constexpr ClientSize kStatisticsClientSize{760, 600};
inline constexpr ClientSize kStatisticsMinimumSize{640, 520};
inline constexpr ClientSize kPlayerMinimumSize{820, 620};
// The work area assumed when it cannot be read.
inline constexpr ScreenRect kFallbackWorkArea{0, 0, 1280, 800};

// The player view's first client size for a work area: 90 % of its width
// (truncated) within 820..1,220 at the faceplate's ratio, made smaller to fit
// 90 % of its height (truncated, at least 620).
ClientSize InitialPlayerClientSize(const ScreenRect& workArea) noexcept;
// A window of the given outer size centred in the work area, never left of
// or above the work area's origin.
ScreenRect CentreInWorkArea(const ScreenRect& workArea, int windowWidth, int windowHeight) noexcept;

}  // namespace al::app
