// The main window's standard controls: creation with their identifiers and
// first texts, the plain layout of the statistics view (also used while the
// fullscreen stage is open), the per-channel meters, the two views' window
// rectangles, the Refresh tooltip, and the PlayerView methods that show
// texts and states in them.

#include <windows.h>

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/windows/gui/MainWindow.h"
#include "platform/windows/gui/WinText.h"
#include "visual/FaceplateLayout.h"

namespace al::win {

namespace {

constexpr const wchar_t* kRefreshTip =
    L"Reset counters and rescan audio devices and supported modes.";
constexpr const wchar_t* kProductCaption =
    L"Auralith\u2122 Player  \u2022  records played as curves, exact output contract";
constexpr std::int64_t kTooltipHoverNs = 499'999'999;
constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void MainWindow::CreateControls() {
    INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX),
                                ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&common);
    font_ = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));

    auto make = [&](const wchar_t* className, const wchar_t* text, DWORD style, int id) {
        HWND child = ::CreateWindowExW(0, className, text, WS_CHILD | style, 0, 0, 10, 10, hwnd_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                                       nullptr);
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return child;
    };
    auto trackbar = [&](int id, int maximum) {
        HWND bar = make(TRACKBAR_CLASSW, L"", TBS_HORZ | TBS_NOTICKS | WS_TABSTOP, id);
        ::SetWindowTheme(bar, L"", L"");
        ::SendMessageW(bar, TBM_SETRANGEMIN, FALSE, 0);
        ::SendMessageW(bar, TBM_SETRANGEMAX, TRUE, maximum);
        return bar;
    };
    open_ = make(L"BUTTON", L"Open Music", BS_PUSHBUTTON | WS_TABSTOP, control::kOpen);
    endpoints_ =
        make(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, control::kEndpoints);
    refresh_ = make(L"BUTTON", L"Refresh", BS_PUSHBUTTON | WS_TABSTOP, control::kRefresh);
    captured_ = make(L"STATIC", L"Captured At: \u2014", SS_LEFT | SS_NOPREFIX, 0);
    stepDown_ = make(L"BUTTON", L"\u2212", BS_PUSHBUTTON | WS_TABSTOP, control::kStepDown);
    playingAt_ = make(L"STATIC", L"Playing At: \u2014", SS_CENTER | SS_NOPREFIX, 0);
    stepUp_ = make(L"BUTTON", L"+", BS_PUSHBUTTON | WS_TABSTOP, control::kStepUp);
    position_ = trackbar(control::kPosition, 10000);
    time_ = make(L"STATIC", L"0:00 / 0:00", SS_CENTER | SS_NOPREFIX, 0);
    play_ = make(L"BUTTON", L"Play", BS_PUSHBUTTON | WS_TABSTOP, control::kPlay);
    stop_ = make(L"BUTTON", L"Stop", BS_PUSHBUTTON | WS_TABSTOP, control::kStop);
    loop_ = make(L"BUTTON", L"Loop: Off", BS_PUSHBUTTON | WS_TABSTOP, control::kLoop);
    statistics_ =
        make(L"STATIC", Wide(player_->statisticsText()).c_str(), SS_LEFT | SS_NOPREFIX, 0);
    status_ = make(L"STATIC", L"Open a music recording.", SS_LEFT | SS_NOPREFIX, 0);
    statusText_ = L"Open a music recording.";
    volumeLabel_ = make(L"STATIC", L"Hardware Volume", SS_LEFT | SS_NOPREFIX, 0);
    volume_ = trackbar(control::kVolume, 1000);
    mute_ = make(L"BUTTON", L"Mute", BS_PUSHBUTTON | WS_TABSTOP, control::kMute);
    caption_ = make(L"STATIC", kProductCaption, SS_RIGHT | SS_NOPREFIX, 0);

    tooltip_ =
        ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                          WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance_, nullptr);
    if (tooltip_ != nullptr) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
        tool.hwnd = hwnd_;
        tool.uId = 1;
        tool.lpszText = const_cast<wchar_t*>(kRefreshTip);
        ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 420);
        ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_INITIAL, 500);
        ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_RESHOW, 100);
        ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_AUTOPOP, 32767);
    }
}

void MainWindow::SyncChannelMeters() {
    const playback::PlaybackSource* source = player_->source().get();
    if (source == metersFor_ || hwnd_ == nullptr) {
        return;
    }
    metersFor_ = source;
    for (HWND child : channelLabels_) {
        ::DestroyWindow(child);
    }
    for (HWND child : meters_) {
        ::DestroyWindow(child);
    }
    channelLabels_.clear();
    meters_.clear();
    if (source == nullptr) {
        return;
    }
    const int channels = source->metadata().channelCount;
    for (int i = 0; i < channels; ++i) {
        const std::wstring name =
            channels == 2 ? std::wstring(i == 0 ? L"L" : L"R") : std::to_wstring(i + 1);
        HWND label = ::CreateWindowExW(0, L"STATIC", name.c_str(), WS_CHILD | SS_LEFT, 0, 0, 30, 20,
                                       hwnd_, nullptr, instance_, nullptr);
        ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        HWND meter = ::CreateWindowExW(
            0, L"AuralithPeakMeter", L"", WS_CHILD, 0, 0, 10, 10, hwnd_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(control::kMeterFirst + i)), instance_,
            nullptr);
        channelLabels_.push_back(label);
        meters_.push_back(meter);
    }
    ShowControls(ControlsShown());
    Layout();
}

void MainWindow::ShowControls(bool shown) {
    const int show = shown ? SW_SHOW : SW_HIDE;
    for (HWND child :
         {open_, endpoints_, refresh_, captured_, stepDown_, playingAt_, stepUp_, position_, time_,
          play_, stop_, loop_, statistics_, status_, mute_, caption_}) {
        ::ShowWindow(child, show);
    }
    const int volumeShow = shown && volumeControllable_ ? SW_SHOW : SW_HIDE;
    ::ShowWindow(volumeLabel_, volumeShow);
    ::ShowWindow(volume_, volumeShow);
    for (HWND child : channelLabels_) {
        ::ShowWindow(child, show);
    }
    for (HWND child : meters_) {
        ::ShowWindow(child, show);
    }
    if (!shown && hwnd_ != nullptr && ::GetFocus() != hwnd_ && ::IsWindowVisible(hwnd_)) {
        ::SetFocus(hwnd_);
    }
}

void MainWindow::Layout() {
    if (hwnd_ == nullptr || open_ == nullptr) {
        return;
    }
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    const double s = Dpi() / 96.0;
    auto px = [s](int value) { return static_cast<int>(std::lround(value * s)); };
    const int w = client.right;
    const int h = client.bottom;
    const int m = px(12);
    const int row = px(26);
    const int inner = std::max(w - 2 * m, px(100));
    auto place = [](HWND child, int x, int y, int cx, int cy) {
        ::MoveWindow(child, x, y, std::max(cx, 1), std::max(cy, 1), FALSE);
    };
    int y = m;
    place(open_, m, y, px(120), row);
    place(refresh_, w - m - px(90), y, px(90), row);
    place(endpoints_, m + px(130), y, inner - px(230), px(300));
    y += row + px(8);
    place(captured_, m, y, inner, px(20));
    y += px(28);
    place(stepDown_, m, y, px(32), row);
    place(playingAt_, m + px(40), y + px(4), inner - px(80), px(20));
    place(stepUp_, w - m - px(32), y, px(32), row);
    y += row + px(8);
    place(position_, m, y, inner, px(30));
    y += px(34);
    place(time_, m, y, inner, px(20));
    y += px(28);
    place(play_, m, y, px(100), row);
    place(stop_, m + px(110), y, px(100), row);
    place(loop_, m + px(220), y, px(110), row);
    place(mute_, m + px(340), y, px(100), row);
    y += row + px(10);
    place(volumeLabel_, m, y + px(4), px(130), px(20));
    place(volume_, m + px(140), y, inner - px(140), px(30));
    y += px(36);
    for (std::size_t i = 0; i < meters_.size(); ++i) {
        place(channelLabels_[i], m, y, px(30), px(20));
        place(meters_[i], m + px(36), y + px(1), inner - px(36), px(18));
        y += px(24);
    }
    y += px(6);
    const int statusTop = h - m - px(44);
    place(statistics_, m, y, inner, std::max(statusTop - y - px(8), px(20)));
    place(status_, m, statusTop, inner, px(20));
    place(caption_, m, h - m - px(20), inner, px(20));
    // Moved children are not repainted by the move itself.
    ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

app::ClientSize MainWindow::InitialClientSize() const {
    RECT work{};
    app::ScreenRect area = app::kFallbackWorkArea;
    if (::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        area = {work.left, work.top, work.right, work.bottom};
    }
    return app::InitialPlayerClientSize(area);
}

RECT MainWindow::WindowRectForClient(app::ClientSize client) const {
    RECT outer{0, 0, client.width, client.height};
    ::AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
    RECT work{};
    app::ScreenRect area = app::kFallbackWorkArea;
    if (::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        area = {work.left, work.top, work.right, work.bottom};
    }
    const app::ScreenRect placed =
        app::CentreInWorkArea(area, outer.right - outer.left, outer.bottom - outer.top);
    return {placed.left, placed.top, placed.right, placed.bottom};
}

RECT MainWindow::RefreshHoverRect() const {
    RECT rect{};
    if (ControlsShown()) {
        ::GetWindowRect(refresh_, &rect);
        return rect;
    }
    // The faceplate's Refresh region.
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    const visual::CanvasTransform canvas =
        visual::CanvasTransform::ForClient(client.right, client.bottom);
    POINT corners[2] = {
        {static_cast<LONG>(canvas.toClientX(1225)), static_cast<LONG>(canvas.toClientY(22))},
        {static_cast<LONG>(canvas.toClientX(1427)), static_cast<LONG>(canvas.toClientY(87))}};
    ::MapWindowPoints(hwnd_, nullptr, corners, 2);
    return {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
}

void MainWindow::UpdateRefreshTooltip() {
    if (tooltip_ == nullptr) {
        return;
    }
    HWND foreground = ::GetForegroundWindow();
    const bool foremost = foreground == hwnd_ || (foreground != nullptr &&
                                                  ::GetAncestor(foreground, GA_ROOTOWNER) == hwnd_);
    POINT cursor{};
    ::GetCursorPos(&cursor);
    const RECT hover = RefreshHoverRect();
    const bool hovering = ::IsWindowVisible(hwnd_) && !minimised_ && !stageOpen_ && foremost &&
                          ::PtInRect(&hover, cursor);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = hwnd_;
    tool.uId = 1;
    if (!hovering) {
        hoverStart_ = 0;
        if (tooltipShown_) {
            ::SendMessageW(tooltip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
            tooltipShown_ = false;
        }
        return;
    }
    const std::int64_t now = NowNs();
    if (hoverStart_ == 0) {
        hoverStart_ = now;
    }
    if (!tooltipShown_ && now - hoverStart_ > kTooltipHoverNs) {
        ::SendMessageW(tooltip_, TTM_TRACKPOSITION, 0,
                       MAKELPARAM(hover.left + 12, hover.bottom + 6));
        ::SendMessageW(tooltip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
        tooltipShown_ = true;
    }
}

// ---- app::PlayerView: texts and states ----

void MainWindow::ShowStatus(const std::string& text) {
    statusText_ = Wide(text);
    ::SetWindowTextW(status_, statusText_.c_str());
    RequestRepaint();
}

void MainWindow::ShowPlayButton(const std::string& caption) {
    ::SetWindowTextW(play_, Wide(caption).c_str());
}

void MainWindow::ShowLoopButton(const std::string& caption) {
    ::SetWindowTextW(loop_, Wide(caption).c_str());
}

void MainWindow::ShowMuteButton(const std::string& caption) {
    ::SetWindowTextW(mute_, Wide(caption).c_str());
}

void MainWindow::ShowControlStates(const app::ControlStates& states) {
    ::EnableWindow(stepDown_, states.stepDown);
    ::EnableWindow(stepUp_, states.stepUp);
    ::EnableWindow(endpoints_, states.endpointList);
    ::EnableWindow(refresh_, states.refresh);
    ::EnableWindow(play_, states.play);
    ::EnableWindow(loop_, states.loop);
}

void MainWindow::ShowLabels(const app::PlayerLabels& labels) {
    if (labels == labels_) {
        return;
    }
    if (labels.capturedAt != labels_.capturedAt) {
        ::SetWindowTextW(captured_, Wide(labels.capturedAt).c_str());
    }
    if (labels.playingAt != labels_.playingAt || labels.chainStatus != labels_.chainStatus) {
        ::SetWindowTextW(playingAt_, Wide(labels.playingAt).c_str());
        ::InvalidateRect(playingAt_, nullptr, TRUE);
    }
    if (labels.time != labels_.time) {
        ::SetWindowTextW(time_, Wide(labels.time).c_str());
    }
    // The position bar is left alone while the user drags it.
    if (::GetCapture() != position_ &&
        ::SendMessageW(position_, TBM_GETPOS, 0, 0) != labels.trackbar) {
        ::SendMessageW(position_, TBM_SETPOS, TRUE, labels.trackbar);
    }
    labels_ = labels;
}

void MainWindow::ShowEndpoints(const std::vector<std::string>& items, int selected) {
    ::SendMessageW(endpoints_, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
        ::SendMessageW(endpoints_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    }
    ::SendMessageW(endpoints_, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void MainWindow::ShowStatistics(const std::string& text) {
    ::SetWindowTextW(statistics_, Wide(text).c_str());
}

void MainWindow::ShowVolume(bool controllable, float level) {
    volumeControllable_ = controllable;
    const int value = static_cast<int>(std::lround(std::clamp(level, 0.0f, 1.0f) * 1000.0f));
    if (::SendMessageW(volume_, TBM_GETPOS, 0, 0) != value) {
        ::SendMessageW(volume_, TBM_SETPOS, TRUE, value);
    }
    const int show = ControlsShown() && controllable ? SW_SHOW : SW_HIDE;
    ::ShowWindow(volumeLabel_, show);
    ::ShowWindow(volume_, show);
}

void MainWindow::ShowOpening(bool opening) {
    ::SetWindowTextW(open_, opening ? L"Opening Music" : L"Open Music");
    ::EnableWindow(open_, !opening);
}

void MainWindow::ShowStatisticsView(bool statistics) {
    if (statistics == statisticsView_ || hwnd_ == nullptr) {
        statisticsView_ = statistics;
        return;
    }
    // Each view keeps the window rectangle it was left with.
    RECT current{};
    ::GetWindowRect(hwnd_, &current);
    if (statisticsView_) {
        statisticsRect_ = current;
        statisticsRectKnown_ = true;
    } else {
        playerRect_ = current;
        playerRectKnown_ = true;
    }
    statisticsView_ = statistics;
    RECT next{};
    if (statistics) {
        next = statisticsRectKnown_ ? statisticsRect_
                                    : WindowRectForClient(app::kStatisticsClientSize);
    } else {
        next = playerRectKnown_ ? playerRect_ : WindowRectForClient(InitialClientSize());
    }
    ShowControls(ControlsShown());
    if (!::IsIconic(hwnd_) && !::IsZoomed(hwnd_)) {
        ::SetWindowPos(hwnd_, nullptr, next.left, next.top, next.right - next.left,
                       next.bottom - next.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Layout();
    ::InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindow::ShowStageOpen(bool open) {
    stageOpen_ = open;
    ShowControls(ControlsShown());
    Layout();
    ::InvalidateRect(hwnd_, nullptr, TRUE);
}

}  // namespace al::win
