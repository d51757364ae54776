#pragma once
// The player's main window: the Win32 face of app::PlayerWindow. It creates
// the window classes, the standard controls (shown in the statistics view
// and while the fullscreen stage is open) and the per-channel meters, paints
// the faceplate through the faceplate painter, and turns messages, keys,
// pointer input and its two timers into calls on the player window. Every
// rule and text comes from the player window; this class only shows them.
//
// Thread: the thread that created it (the process's main thread) only.
// Errors: the constructor and Create() throw std::runtime_error (the entry
// routine reports them); inside the window procedure every error is reported
// through PlayerWindow::ReportCommandError and the window stays open.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/FaceplatePointer.h"
#include "app/GeometryViews.h"
#include "app/PlayerStartup.h"
#include "app/PlayerView.h"
#include "app/PlayerWindow.h"
#include "platform/windows/faceplate/FaceplatePainter.h"

namespace al::win {

// Child identifiers of the standard controls.
namespace control {
constexpr int kOpen = 1001;
constexpr int kEndpoints = 1002;
constexpr int kStepDown = 1003;
constexpr int kStepUp = 1004;
constexpr int kPosition = 1005;
constexpr int kPlay = 1006;
constexpr int kStop = 1007;
constexpr int kVolume = 1008;
constexpr int kMute = 1009;
constexpr int kRefresh = 1010;
constexpr int kLoop = 1011;
constexpr int kMeterFirst = 2000;
}  // namespace control

// Private messages.
constexpr UINT kGrowthRequestMessage = WM_APP + 0x25;
constexpr UINT kStageClosedMessage = WM_APP + 0x26;
constexpr UINT kStageFirstMessage = WM_APP + 0x8C;
constexpr UINT kStageLastMessage = WM_APP + 0x93;

class MainWindow final : public app::PlayerView {
  public:
    // Builds the player window object (settings, state, formats cache) and
    // the drawing resources.
    MainWindow(HINSTANCE instance, app::PlayerSettings::Files files);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Checks the display, registers the classes, creates and shows the
    // window with the process's show command.
    void Create(int showCommand);
    // The file named on the command line; its errors escape (they end the
    // program).
    void OpenCommandLineFile(const std::filesystem::path& path);
    HWND handle() const noexcept { return hwnd_; }

    // ---- app::PlayerView ----
    void ShowStatus(const std::string& text) override;
    void ShowPlayButton(const std::string& caption) override;
    void ShowLoopButton(const std::string& caption) override;
    void ShowMuteButton(const std::string& caption) override;
    void ShowControlStates(const app::ControlStates& states) override;
    void ShowLabels(const app::PlayerLabels& labels) override;
    void ShowEndpoints(const std::vector<std::string>& items, int selected) override;
    void ShowStatistics(const std::string& text) override;
    void ShowVolume(bool controllable, float level) override;
    void RepaintNow() override;
    void RequestRepaint() override;
    void ShowMessage(const std::string& text, const std::string& caption,
                     app::MessageIcon icon) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    int ShowPopupMenu(const std::vector<app::MenuItem>& items) override;
    void OpenEndpointList() override;
    void PostGrowthRequest() override;
    void RequestClose() override;
    void ShowStatisticsView(bool statistics) override;
    void ShowOpening(bool opening) override;
    void ShowStageOpen(bool open) override;

  private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    // Messages.
    void OnCreate();
    void OnDestroy();
    void OnCommand(int id, int code, HWND from);
    void OnKeyDown(WPARAM key, LPARAM flags);
    void OnTimer(UINT_PTR id);
    void OnPollTick();
    void OnHorizontalScroll(HWND bar, int code);
    void OnPaint();
    LRESULT OnCopyData(const COPYDATASTRUCT* data);
    bool OnSetCursor();
    void OnPointerDown(POINT client);
    void OnPointerMove(POINT client);
    void OnPointerUp(POINT client);
    void OnPointerCancel();
    LRESULT OnCtlColorStatic(HDC dc, HWND control);

    // Controls and layout (MainWindowControls.cpp).
    void CreateControls();
    void SyncChannelMeters();
    void Layout();
    void ShowControls(bool shown);
    bool ControlsShown() const noexcept { return statisticsView_ || stageOpen_; }
    app::ClientSize InitialClientSize() const;
    RECT WindowRectForClient(app::ClientSize client) const;
    void UpdateRefreshTooltip();
    RECT RefreshHoverRect() const;

    // Runs a player operation with the window's error reporting; timer
    // ticks wait while one runs (a message box or menu inside it lets them in).
    bool Run(const std::function<void()>& operation);
    void ShowOpenDialog();
    app::FaceplateClient FaceplateArea() const;
    int Dpi() const noexcept;

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    std::unique_ptr<FaceplatePainter> painter_;
    std::unique_ptr<app::PlayerWindow> player_;
    std::unique_ptr<app::GeometryViewsPort> views_;
    app::FaceplatePointer pointer_;
    int busy_ = 0;

    // Standard controls.
    HFONT font_ = nullptr;
    HBRUSH background_ = nullptr;
    HWND open_ = nullptr;
    HWND endpoints_ = nullptr;
    HWND refresh_ = nullptr;
    HWND captured_ = nullptr;
    HWND stepDown_ = nullptr;
    HWND playingAt_ = nullptr;
    HWND stepUp_ = nullptr;
    HWND position_ = nullptr;
    HWND time_ = nullptr;
    HWND play_ = nullptr;
    HWND stop_ = nullptr;
    HWND loop_ = nullptr;
    HWND statistics_ = nullptr;
    HWND status_ = nullptr;
    HWND volumeLabel_ = nullptr;
    HWND volume_ = nullptr;
    HWND mute_ = nullptr;
    HWND caption_ = nullptr;
    HWND tooltip_ = nullptr;
    std::vector<HWND> channelLabels_;
    std::vector<HWND> meters_;
    const playback::PlaybackSource* metersFor_ = nullptr;

    // What is shown.
    std::wstring statusText_;
    std::string paintFailure_;
    app::PlayerLabels labels_;
    bool volumeControllable_ = false;
    bool volumeDragging_ = false;
    bool statisticsView_ = false;
    bool stageOpen_ = false;
    bool minimised_ = false;
    bool tooltipShown_ = false;
    std::int64_t hoverStart_ = 0;
    RECT playerRect_{};
    RECT statisticsRect_{};
    bool playerRectKnown_ = false;
    bool statisticsRectKnown_ = false;

    // A file handed over while another operation was showing a dialog or a
    // menu: opened at the next poll tick instead of inside that operation.
    std::optional<std::filesystem::path> pendingHandoff_;

    // The one tracked touch or pen pointer, 0 for none.
    UINT32 pointerId_ = 0;
};

}  // namespace al::win
