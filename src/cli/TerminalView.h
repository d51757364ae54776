#pragma once
// The player window shown in a terminal: status sentences as lines, a live
// line (time, transport state in words, meters, or the statistics panel),
// menus as numbered lists answered by typing a number, and the busy-device
// question as y/n. Without a terminal only the status lines are written and
// every question is answered No.

#include <iosfwd>
#include <string>
#include <vector>

#include "app/PlayerView.h"
#include "platform/Terminal.h"

namespace al::app {
class PlayerWindow;
}

namespace al::cli {

// Main thread only, as the player window it shows.
class TerminalView final : public app::PlayerView {
  public:
    // `terminal` is null without interactive keys.
    TerminalView(std::ostream& out, platform::RawTerminal* terminal)
        : out_(out), terminal_(terminal) {}

    void ShowStatus(const std::string& text) override;
    void ShowPlayButton(const std::string&) override {}
    void ShowLoopButton(const std::string& caption) override { line(caption + "."); }
    void ShowMuteButton(const std::string&) override {}
    void ShowControlStates(const app::ControlStates&) override {}
    void ShowLabels(const app::PlayerLabels& labels) override { labels_ = labels; }
    void ShowEndpoints(const std::vector<std::string>&, int) override {}
    void ShowStatistics(const std::string& text) override { statistics_ = text; }
    void ShowVolume(bool controllable, float level) override {
        volumeControllable_ = controllable;
        volume_ = level;
    }
    void RepaintNow() override {}
    void RequestRepaint() override {}
    void ShowMessage(const std::string& text, const std::string& caption,
                     app::MessageIcon icon) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    int ShowPopupMenu(const std::vector<app::MenuItem>& items) override;
    void OpenEndpointList() override {}
    void PostGrowthRequest() override { growthPosted_ = true; }
    void RequestClose() override { closeRequested_ = true; }
    void ShowStatisticsView(bool statistics) override { statisticsView_ = statistics; }

    // The live line from the window's state, written over itself.
    void ShowLiveLine(const app::PlayerWindow& window);
    // Ends the live line so that what follows starts on a fresh line.
    void EndLiveLine();

    bool TakeGrowthRequest() noexcept {
        const bool posted = growthPosted_;
        growthPosted_ = false;
        return posted;
    }
    bool closeRequested() const noexcept { return closeRequested_; }
    const std::string& lastStatus() const noexcept { return lastStatus_; }

  private:
    void line(const std::string& text);
    // Digits up to Enter, or -1 (Escape, a time-out, or nothing typed).
    long readNumber();

    std::ostream& out_;
    platform::RawTerminal* terminal_;
    bool liveShown_ = false;
    std::size_t liveWidth_ = 0;
    std::string lastStatus_;
    app::PlayerLabels labels_;
    std::string statistics_;
    bool statisticsView_ = false;
    bool volumeControllable_ = false;
    float volume_ = 0.0f;
    bool growthPosted_ = false;
    bool closeRequested_ = false;
};

// "PLAYING", "PAUSED", "PARKED", "LIFTED", "RETURNING", "LOWERING", with
// "REMOVE BEFORE PLAYBACK" while the streamer is on the faceplate.
std::string TransportWords(const app::PlayerWindow& window);

}  // namespace al::cli
