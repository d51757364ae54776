#include "platform/windows/gui/MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <stdexcept>

#include "app/DsdEnginePlayback.h"
#include "dsd/NativeAsioOutput.h"
#include "platform/windows/gpu/GeometryViewsFactory.h"
#include "platform/windows/gui/WinText.h"

namespace al::win {

namespace {

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kMeterTimer = 2;
constexpr UINT kPollMs = 16;
constexpr UINT kMeterMs = 10;
constexpr COLORREF kBackground = RGB(30, 30, 34);
constexpr COLORREF kText = RGB(235, 234, 238);
constexpr COLORREF kUnavailable = RGB(128, 22, 22);
constexpr COLORREF kInitialising = RGB(104, 72, 10);
constexpr double kVolumeStep = 0.025;

// A file that exists as itself: not a directory, not a symbolic link or a
// mount point (other reparse points, such as cloud placeholders, are files).
bool IsPlainFile(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    return found.dwReserved0 != IO_REPARSE_TAG_SYMLINK &&
           found.dwReserved0 != IO_REPARSE_TAG_MOUNT_POINT;
}

app::PlayerServices WindowServices() {
    app::PlayerServices services = app::PlayerServices::Defaults();
    services.makeDsd = app::MakeDsdEnginePlayback;
    services.listAsioDrivers = [] {
        std::vector<app::AsioDriverEntry> drivers;
        for (const platform::AsioDriverEntry& driver : audio::listAsioDrivers()) {
            drivers.push_back({driver.clsid, driver.name});
        }
        return drivers;
    };
    services.isPlainFile = IsPlainFile;
    return services;
}

UINT IconFlags(app::MessageIcon icon) {
    switch (icon) {
        case app::MessageIcon::Warning:
            return MB_ICONWARNING;
        case app::MessageIcon::Information:
            return MB_ICONINFORMATION;
        default:
            return MB_ICONERROR;
    }
}

HMENU BuildMenu(const std::vector<app::MenuItem>& items) {
    HMENU menu = ::CreatePopupMenu();
    for (const app::MenuItem& item : items) {
        if (item.separator) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        const std::wstring text = Wide(item.text);
        UINT flags = MF_STRING;
        if (item.checked) {
            flags |= MF_CHECKED;
        }
        if (item.greyed) {
            flags |= MF_GRAYED;
        }
        if (!item.submenu.empty()) {
            ::AppendMenuW(menu, flags | MF_POPUP,
                          reinterpret_cast<UINT_PTR>(BuildMenu(item.submenu)), text.c_str());
        } else {
            ::AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.command), text.c_str());
        }
    }
    return menu;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, app::PlayerSettings::Files files) : instance_(instance) {
    painter_ = std::make_unique<FaceplatePainter>(instance);
    player_ = std::make_unique<app::PlayerWindow>(*this, std::move(files), WindowServices());
}

MainWindow::~MainWindow() {
    if (hwnd_ != nullptr) {
        ::DestroyWindow(hwnd_);
    }
    if (background_ != nullptr) {
        ::DeleteObject(background_);
    }
}

void MainWindow::Create(int showCommand) {
    HDC screen = ::GetDC(nullptr);
    const int planes = ::GetDeviceCaps(screen, PLANES);
    const int bits = ::GetDeviceCaps(screen, BITSPIXEL);
    ::ReleaseDC(nullptr, screen);
    app::CheckDisplayColours(planes, bits);

    RegisterPeakMeterClass(instance_);
    background_ = ::CreateSolidBrush(kBackground);
    const std::wstring className = Wide(app::kMainWindowClass);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = &MainWindow::Procedure;
    windowClass.hInstance = instance_;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background_;
    windowClass.lpszClassName = className.c_str();
    windowClass.hIcon = static_cast<HICON>(
        ::LoadImageW(instance_, MAKEINTRESOURCEW(101), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    windowClass.hIconSm =
        static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(101), IMAGE_ICON, 16, 16, 0));
    ::RegisterClassExW(&windowClass);

    const RECT rect = WindowRectForClient(InitialClientSize());
    const std::wstring title = Wide(app::kMainWindowTitle);
    hwnd_ = ::CreateWindowExW(0, className.c_str(), title.c_str(),
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, rect.left, rect.top,
                              rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                              instance_, this);
    if (hwnd_ == nullptr) {
        throw std::runtime_error("Unable to create Auralith Player window");
    }
    ::ShowWindow(hwnd_, showCommand);
    ::UpdateWindow(hwnd_);
}

void MainWindow::OpenCommandLineFile(const std::filesystem::path& path) {
    ++busy_;
    struct Leave {
        int& busy;
        ~Leave() { --busy; }
    } leave{busy_};
    player_->OpenMusic(path);
    SyncChannelMeters();
}

LRESULT CALLBACK MainWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    // Before creation and after destruction the window is the system's.
    if (self == nullptr || self->hwnd_ == nullptr) {
        if (message == WM_NCDESTROY) {
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        }
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return self->Handle(message, wParam, lParam);
    } catch (const std::exception& error) {
        self->player_->ReportCommandError(error.what());
    } catch (...) {
        self->player_->ReportCommandError("Unknown error");
    }
    return 0;
}

bool MainWindow::Run(const std::function<void()>& operation) {
    ++busy_;
    const bool done = player_->Execute(operation);
    --busy_;
    SyncChannelMeters();
    return done;
}

app::FaceplateClient MainWindow::FaceplateArea() const {
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    return {static_cast<double>(client.right), static_cast<double>(client.bottom), Dpi()};
}

int MainWindow::Dpi() const noexcept {
    const UINT dpi = hwnd_ != nullptr ? ::GetDpiForWindow(hwnd_) : 0;
    return dpi != 0 ? static_cast<int>(dpi) : 96;
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_CLOSE:
            Run([&] { player_->PollPlayback(); });
            ::DestroyWindow(hwnd_);
            return 0;
        case WM_SIZE:
            minimised_ = wParam == SIZE_MINIMIZED;
            player_->SetMinimised(minimised_);
            if (minimised_) {
                pointer_.Cancel(*player_);
            } else {
                Layout();
                ::InvalidateRect(hwnd_, nullptr, FALSE);
            }
            return 0;
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const app::ClientSize minimum =
                statisticsView_ ? app::kStatisticsMinimumSize : app::kPlayerMinimumSize;
            RECT rect{0, 0, minimum.width, minimum.height};
            ::AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, FALSE, 0);
            info->ptMinTrackSize = {rect.right - rect.left, rect.bottom - rect.top};
            return 0;
        }
        case WM_DPICHANGED: {
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                           suggested->right - suggested->left, suggested->bottom - suggested->top,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            Layout();
            return 0;
        }
        case WM_COPYDATA:
            return OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_SETCURSOR:
            if (LOWORD(lParam) == HTCLIENT && reinterpret_cast<HWND>(wParam) == hwnd_ &&
                OnSetCursor()) {
                return TRUE;
            }
            break;
        case WM_KEYDOWN:
            OnKeyDown(wParam, lParam);
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_HSCROLL:
            OnHorizontalScroll(reinterpret_cast<HWND>(lParam), LOWORD(wParam));
            return 0;
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_LBUTTONDOWN:
            OnPointerDown({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_MOUSEMOVE:
            if (pointerId_ == 0) {
                OnPointerMove({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            }
            return 0;
        case WM_LBUTTONUP:
            if (pointerId_ == 0) {
                OnPointerUp({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            }
            return 0;
        case WM_CAPTURECHANGED:
            if (reinterpret_cast<HWND>(lParam) != hwnd_) {
                OnPointerCancel();
            }
            return 0;
        case WM_MOUSEWHEEL: {
            if (ControlsShown()) {
                break;
            }
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ::ScreenToClient(hwnd_, &at);
            const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
            Run([&] { pointer_.Wheel(*player_, FaceplateArea(), at.x, at.y, delta); });
            return 0;
        }
        case WM_POINTERDOWN:
        case WM_POINTERUPDATE:
        case WM_POINTERUP:
        case WM_POINTERCAPTURECHANGED: {
            const UINT32 id = GET_POINTERID_WPARAM(wParam);
            POINTER_INPUT_TYPE type = PT_POINTER;
            if (message != WM_POINTERCAPTURECHANGED &&
                (!::GetPointerType(id, &type) || (type != PT_TOUCH && type != PT_PEN))) {
                break;  // the mouse comes as mouse messages
            }
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ::ScreenToClient(hwnd_, &at);
            if (message == WM_POINTERDOWN) {
                if (pointerId_ != 0) {
                    return 0;  // one pointer at a time
                }
                pointerId_ = id;
                OnPointerDown(at);
            } else if (id == pointerId_) {
                if (message == WM_POINTERUPDATE) {
                    OnPointerMove(at);
                } else if (message == WM_POINTERUP) {
                    OnPointerUp(at);
                    pointerId_ = 0;
                } else {
                    OnPointerCancel();
                    pointerId_ = 0;
                }
            }
            return 0;
        }
        case kGrowthRequestMessage:
            Run([&] { player_->GrowEndpointBuffer(); });
            return 0;
        case kStageClosedMessage:
            if (::IsIconic(hwnd_)) {
                ::ShowWindow(hwnd_, SW_RESTORE);
            }
            Run([&] { player_->StageClosed(); });
            return 0;
        default:
            if (message >= kStageFirstMessage && message <= kStageLastMessage) {
                ++busy_;
                const std::intptr_t result = player_->HandleStageRequest(
                    message - WM_APP, static_cast<std::uint64_t>(wParam));
                --busy_;
                return result;
            }
            break;
    }
    return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

void MainWindow::OnCreate() {
    CreateControls();
    ++busy_;
    player_->Create();
    --busy_;
    ShowControls(false);
    Layout();
    views_ = MakeGeometryViews(hwnd_, instance_);
    player_->AttachGeometryViews(views_.get());
    ::SetTimer(hwnd_, kPollTimer, kPollMs, nullptr);
    ::SetTimer(hwnd_, kMeterTimer, kMeterMs, nullptr);
}

void MainWindow::OnDestroy() {
    if (tooltip_ != nullptr) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.hwnd = hwnd_;
        tool.uId = 1;
        ::SendMessageW(tooltip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
    }
    ::KillTimer(hwnd_, kPollTimer);
    ::KillTimer(hwnd_, kMeterTimer);
    // The views first (in-window view, stage, presentation geometry), then
    // the output and the meters.
    player_->Close();
    player_->AttachGeometryViews(nullptr);
    views_.reset();
    if (tooltip_ != nullptr) {
        ::DestroyWindow(tooltip_);
        tooltip_ = nullptr;
    }
    ::PostQuitMessage(0);
    hwnd_ = nullptr;
}

void MainWindow::ShowOpenDialog() {
    static const wchar_t kFilter[] =
        L"Supported Music (*.aur;*.wav;*.wave;*.flac;*.mp3;*.aif;*.aiff;*.aifc;*.m4a;*.dsf)\0"
        L"*.aur;*.wav;*.wave;*.flac;*.mp3;*.aif;*.aiff;*.aifc;*.m4a;*.dsf\0"
        L"Auralith Records (*.aur)\0*.aur\0"
        L"WAV DIRECT Audio (*.wav;*.wave;*.flac;*.mp3;*.aif;*.aiff;*.aifc;*.m4a;*.dsf)\0"
        L"*.wav;*.wave;*.flac;*.mp3;*.aif;*.aiff;*.aifc;*.m4a;*.dsf\0"
        L"WAVE Audio (*.wav;*.wave)\0*.wav;*.wave\0"
        L"FLAC Audio (*.flac)\0*.flac\0"
        L"MP3 Audio (*.mp3)\0*.mp3\0"
        L"AIFF Audio (*.aif;*.aiff;*.aifc)\0*.aif;*.aiff;*.aifc\0"
        L"M4A Audio (*.m4a)\0*.m4a\0"
        L"DSF Audio (*.dsf)\0*.dsf\0"
        L"All Files (*.*)\0*.*\0";
    wchar_t file[260] = L"";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = 260;
    dialog.lpstrTitle = L"Open Music";
    dialog.lpstrDefExt = L"aur";
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_EXPLORER;
    ++busy_;
    const BOOL chosen = ::GetOpenFileNameW(&dialog);
    --busy_;
    if (chosen) {
        const std::filesystem::path path(file);
        Run([&] { player_->OpenMusic(path); });
    }
}

void MainWindow::OnCommand(int id, int code, HWND from) {
    if (from != nullptr && from == endpoints_) {
        if (code == CBN_SELCHANGE) {
            const int selected = static_cast<int>(::SendMessageW(endpoints_, CB_GETCURSEL, 0, 0));
            Run([&] { player_->SelectEndpoint(selected); });
        }
        return;
    }
    if (from != nullptr && code != BN_CLICKED) {
        return;
    }
    if (id == control::kOpen) {
        ShowOpenDialog();
    } else {
        ++busy_;
        player_->HandleCommand(id);
        --busy_;
    }
    // Keys keep reaching the window after a button click.
    if (from != nullptr && hwnd_ != nullptr) {
        ::SetFocus(hwnd_);
    }
}

void MainWindow::OnKeyDown(WPARAM key, LPARAM flags) {
    const bool extended = (flags & (1 << 24)) != 0;
    switch (key) {
        case VK_RETURN:
            if (extended) {  // the numeric keypad's Enter only
                OnCommand(app::command::kMute, 0, nullptr);
            }
            break;
        case VK_SPACE:
            OnCommand(app::command::kPlay, 0, nullptr);
            break;
        case VK_ADD:
            OnCommand(app::command::kVolumeUp, 0, nullptr);
            break;
        case VK_SUBTRACT:
            OnCommand(app::command::kVolumeDown, 0, nullptr);
            break;
        case VK_F9:
            OnCommand(app::command::kStageView, 0, nullptr);
            break;
        default:
            break;
    }
}

void MainWindow::OnTimer(UINT_PTR id) {
    if (busy_ > 0) {
        return;  // a dialog or menu inside an operation: the tick waits
    }
    if (id == kMeterTimer) {
        player_->UpdateMeters();
        const app::FaceplateState state = player_->BuildFaceplateState();
        for (std::size_t i = 0; i < meters_.size(); ++i) {
            SetPeakMeterLevel(meters_[i], state.meterLevels[std::min<std::size_t>(i, 1)]);
        }
        if (!ControlsShown() && !minimised_ && player_->FaceplateMoving()) {
            ::InvalidateRect(hwnd_, nullptr, FALSE);
        }
        return;
    }
    if (id == kPollTimer) {
        OnPollTick();
    }
}

void MainWindow::OnPollTick() {
    if (pendingHandoff_) {
        const std::filesystem::path file = *pendingHandoff_;
        pendingHandoff_.reset();
        Run([&] { player_->OpenHandedOver(file); });
    }
    const bool visible = !minimised_ && !stageOpen_;
    Run([&] { player_->Tick(visible); });
    UpdateRefreshTooltip();
    if (ControlsShown() || minimised_) {
        return;
    }
    if (player_->FaceplateMoving()) {
        ::InvalidateRect(hwnd_, nullptr, FALSE);
    }
}

void MainWindow::OnHorizontalScroll(HWND bar, int code) {
    if (bar == position_) {
        const int value = static_cast<int>(::SendMessageW(position_, TBM_GETPOS, 0, 0));
        Run([&] { player_->SeekToFraction(value / 10000.0); });
        return;
    }
    if (bar == volume_) {
        const double level =
            static_cast<double>(::SendMessageW(volume_, TBM_GETPOS, 0, 0)) / 1000.0;
        Run([&] {
            if (!volumeDragging_) {
                player_->BeginVolumeDrag();
                volumeDragging_ = true;
            }
            if (code == TB_THUMBTRACK) {
                player_->DragVolume(level);
            } else {
                volumeDragging_ = false;
                player_->EndVolumeDrag(level);
            }
        });
    }
}

void MainWindow::OnPaint() {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd_, &paint);
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    std::string failure;
    try {
        if (painter_ && ControlsShown()) {
            painter_->PaintStatisticsBackground(dc, client);
        } else if (painter_) {
            const app::FaceplateState state = player_->BuildFaceplateState();
            FaceplatePaintInput input;
            input.state = &state;
            input.trackTitle = player_->openedFile().filename().wstring();
            input.statusText = statusText_;
            if (views_ && views_->inWindowActive()) {
                input.picture = views_->picture();
            }
            input.idleFade = player_->idleFade();
            painter_->Paint(dc, client, input);
        } else {
            ::FillRect(dc, &client, background_);
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    ::EndPaint(hwnd_, &paint);
    // A drawing failure never interrupts the window with a message box: it
    // is left in the status line, once.
    if (!failure.empty() && failure != paintFailure_) {
        paintFailure_ = failure;
        ShowStatus(failure);
    }
}

LRESULT MainWindow::OnCopyData(const COPYDATASTRUCT* data) {
    const std::optional<std::u16string> path =
        data == nullptr
            ? std::nullopt
            : app::HandoffPathFromMessage(true, data->dwData, data->lpData, data->cbData);
    if (!path) {
        return 0;
    }
    const std::filesystem::path file(Wide(*path));
    if (busy_ > 0) {
        // Sent from the other process while this one waits in a dialog of
        // an operation: opening a source now would cut into that operation.
        pendingHandoff_ = file;
    } else {
        Run([&] { player_->OpenHandedOver(file); });
    }
    if (::IsIconic(hwnd_)) {
        ::ShowWindow(hwnd_, SW_RESTORE);
    }
    ::SetForegroundWindow(hwnd_);
    return TRUE;
}

bool MainWindow::OnSetCursor() {
    if (ControlsShown()) {
        return false;
    }
    POINT at{};
    ::GetCursorPos(&at);
    ::ScreenToClient(hwnd_, &at);
    if (app::FaceplatePointer::RegionAt(*player_, FaceplateArea(), at.x, at.y) == 0) {
        return false;
    }
    ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
    return true;
}

void MainWindow::OnPointerDown(POINT client) {
    if (ControlsShown()) {
        return;
    }
    const app::FaceplateClient area = FaceplateArea();
    app::PointerOutcome outcome = app::PointerOutcome::None;
    Run([&] {
        RECT rect{};
        ::GetClientRect(hwnd_, &rect);
        const app::FaceplateState state = player_->BuildFaceplateState();
        const bool onTonearm = painter_ && painter_->GrabsTonearm(rect, client, state);
        outcome = pointer_.Press(*player_, area, client.x, client.y, onTonearm);
    });
    if (outcome == app::PointerOutcome::Captured && pointerId_ == 0) {
        ::SetCapture(hwnd_);
    } else if (outcome == app::PointerOutcome::OpenDialog) {
        ShowOpenDialog();
    }
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::OnPointerMove(POINT client) {
    if (!pointer_.dragging()) {
        return;
    }
    Run([&] { pointer_.Move(*player_, FaceplateArea(), client.x, client.y); });
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::OnPointerUp(POINT client) {
    if (!pointer_.dragging()) {
        return;
    }
    Run([&] { pointer_.Release(*player_, FaceplateArea(), client.x, client.y); });
    if (::GetCapture() == hwnd_) {
        ::ReleaseCapture();
    }
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::OnPointerCancel() {
    if (pointer_.dragging()) {
        Run([&] { pointer_.Cancel(*player_); });
    }
}

LRESULT MainWindow::OnCtlColorStatic(HDC dc, HWND control) {
    COLORREF text = kText;
    if (control == playingAt_) {
        if (labels_.chainStatus == 2) {
            text = kUnavailable;
        } else if (labels_.chainStatus == 1) {
            text = kInitialising;
        }
    }
    ::SetTextColor(dc, text);
    ::SetBkColor(dc, kBackground);
    ::SetBkMode(dc, OPAQUE);
    return reinterpret_cast<LRESULT>(background_);
}

// ---- app::PlayerView: dialogs and requests ----

void MainWindow::ShowMessage(const std::string& text, const std::string& caption,
                             app::MessageIcon icon) {
    ++busy_;
    ::MessageBoxW(hwnd_, WideMessage(text).c_str(), Wide(caption).c_str(), MB_OK | IconFlags(icon));
    --busy_;
}

bool MainWindow::AskYesNo(const std::string& text, const std::string& caption) {
    ++busy_;
    const int answer = ::MessageBoxW(hwnd_, WideMessage(text).c_str(), Wide(caption).c_str(),
                                     MB_YESNO | MB_ICONWARNING);
    --busy_;
    return answer == IDYES;
}

int MainWindow::ShowPopupMenu(const std::vector<app::MenuItem>& items) {
    HMENU menu = BuildMenu(items);
    POINT at{};
    ::GetCursorPos(&at);
    ++busy_;
    ::SetForegroundWindow(hwnd_);
    const int chosen = static_cast<int>(::TrackPopupMenu(
        menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd_, nullptr));
    --busy_;
    ::DestroyMenu(menu);
    return chosen;
}

void MainWindow::OpenEndpointList() {
    ::SetFocus(endpoints_);
    ::SendMessageW(endpoints_, CB_SHOWDROPDOWN, TRUE, 0);
}

void MainWindow::PostGrowthRequest() {
    ::PostMessageW(hwnd_, kGrowthRequestMessage, 0, 0);
}

void MainWindow::RequestClose() {
    ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void MainWindow::RepaintNow() {
    if (hwnd_ == nullptr) {
        return;
    }
    ::InvalidateRect(hwnd_, nullptr, FALSE);
    ::UpdateWindow(hwnd_);
}

void MainWindow::RequestRepaint() {
    if (hwnd_ != nullptr && !ControlsShown()) {
        ::InvalidateRect(hwnd_, nullptr, FALSE);
    }
}

}  // namespace al::win
