#pragma once
// What the player shows and asks, as the player window's front end must
// offer it: texts, button captions and enabled states, the endpoint list,
// menus, the volume control, repaints and message boxes. The Win32 window and
// the terminal player each implement it; every rule behind the texts lives in
// PlayerWindow and is tested with a recording view.

#include <string>
#include <vector>

namespace al::app {

enum class MessageIcon { Error, Warning, Information };

// Enabled states of the standard controls, recomputed after every command.
struct ControlStates {
    bool stepDown = false;      // "−" (1003)
    bool stepUp = false;        // "+" (1004)
    bool endpointList = false;  // endpoint combo box (1002)
    bool refresh = false;       // Refresh (1010)
    bool play = false;          // Play/Pause (1006)
    bool loop = false;          // Loop (1011)

    friend bool operator==(const ControlStates&, const ControlStates&) = default;
};

// One entry of a popup menu. A separator has neither text nor command; an
// entry with a submenu opens it instead of choosing a command.
struct MenuItem {
    std::string text;
    int command = 0;
    bool checked = false;
    bool greyed = false;
    bool separator = false;
    std::vector<MenuItem> submenu;
};

// The labels of the player view and the statistics view, all UTF-8.
struct PlayerLabels {
    std::string capturedAt;  // "Captured At: —" without a source
    std::string playingAt;   // "Playing At: —" without a selected format
    int chainStatus = 0;     // 0 ready, 1 initialising, 2 unavailable (label colour)
    std::string time;        // "0:00 / 0:00"
    int trackbar = 0;        // 0..10,000

    friend bool operator==(const PlayerLabels&, const PlayerLabels&) = default;
};

// Called on the user-interface thread only, from inside PlayerWindow's
// operations. Implementations must not call back into the player window
// from these methods (a front end reacts to the answer afterwards).
class PlayerView {
  public:
    virtual ~PlayerView() = default;

    // The status line (one sentence); in the player view the faceplate shows
    // it too and is repainted.
    virtual void ShowStatus(const std::string& text) = 0;
    virtual void ShowPlayButton(const std::string& caption) = 0;
    virtual void ShowLoopButton(const std::string& caption) = 0;
    virtual void ShowMuteButton(const std::string& caption) = 0;
    virtual void ShowControlStates(const ControlStates& states) = 0;
    virtual void ShowLabels(const PlayerLabels& labels) = 0;
    // The endpoint combo box: one item per endpoint, the selection or -1.
    virtual void ShowEndpoints(const std::vector<std::string>& items, int selected) = 0;
    virtual void ShowStatistics(const std::string& text) = 0;
    // The hardware volume control: whether the endpoint's volume can be set,
    // and the level shown (0..1).
    virtual void ShowVolume(bool controllable, float level) = 0;

    // Paint the whole window now: the status must be visible during the
    // blocking step that follows.
    virtual void RepaintNow() = 0;
    // The faceplate has changed; paint at the next opportunity.
    virtual void RequestRepaint() = 0;

    virtual void ShowMessage(const std::string& text, const std::string& caption,
                             MessageIcon icon) = 0;
    // A warning with Yes and No buttons; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // A popup menu at the pointer; the chosen command, or 0 when dismissed.
    virtual int ShowPopupMenu(const std::vector<MenuItem>& items) = 0;

    // Focus the endpoint list and open its drop-down.
    virtual void OpenEndpointList() = 0;
    // Post the adaptive buffer growth request to the window: the front end
    // calls PlayerWindow::GrowEndpointBuffer once the current handler is done.
    virtual void PostGrowthRequest() = 0;
    // Close the main window (the program ends).
    virtual void RequestClose() = 0;
    // Lay the window out for the statistics view (true) or the player view.
    virtual void ShowStatisticsView(bool statistics) = 0;
    // A file is being opened: the Open button reads "Opening Music" and is
    // disabled until it reads "Open Music" again.
    virtual void ShowOpening(bool /*opening*/) {}
    // The fullscreen stage opened (the window shows its control layout) or
    // closed (the window returns to the view shown before).
    virtual void ShowStageOpen(bool /*open*/) {}
};

}  // namespace al::app
