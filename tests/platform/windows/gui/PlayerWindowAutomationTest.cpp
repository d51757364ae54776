// AuralithPlayer.exe as a user meets it: started with a file, its main window
// found by class name, the texts of its controls and status line read,
// buttons, keys and a second start sent to it. The virtual output
// (--device=virtual) makes playback deterministic; without it, Wine's own
// endpoint refuses exclusive use and the player must say so in its words.

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/DemoRecord.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"
#include "visual/FaceplateLayout.h"

namespace {

constexpr const wchar_t* kClass = L"AuralithPlayerConsumerWindow";

std::wstring TextOf(HWND window) {
    wchar_t buffer[2048] = L"";
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, std::size(buffer),
                               reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 3000, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(buffer, copied);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return done();
}

struct Child {
    HWND window = nullptr;
    int id = 0;
    std::wstring className;
    std::wstring text;
    bool visible = false;
};

std::vector<Child> ChildrenOf(HWND parent) {
    std::vector<Child> children;
    for (HWND child = ::GetWindow(parent, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        Child c;
        c.window = child;
        c.id = ::GetDlgCtrlID(child);
        wchar_t name[128] = L"";
        ::GetClassNameW(child, name, 128);
        c.className = name;
        c.text = TextOf(child);
        c.visible = ::IsWindowVisible(child) != FALSE;
        children.push_back(c);
    }
    return children;
}

// A top-level window of another process with this caption (message boxes).
HWND FindDialog(DWORD process, const std::wstring& caption) {
    struct Search {
        DWORD process;
        const std::wstring* caption;
        HWND found;
    } search{process, &caption, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = L"";
            ::GetClassNameW(window, name, 64);
            if (owner == s->process && std::wstring(name) == L"#32770" &&
                TextOf(window) == *s->caption) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The text of a message box's static (its message).
std::wstring DialogMessage(HWND dialog) {
    std::wstring longest;
    for (const Child& c : ChildrenOf(dialog)) {
        if (c.className == L"Static" && c.text.size() > longest.size()) {
            longest = c.text;
        }
    }
    return longest;
}

// The window as it is on the screen, as a PNG under screenshots/ in the
// current folder (the test's build folder). Returns false when it cannot.
bool SaveScreenshot(HWND window, const std::string& name) {
    RECT rect{};
    if (!::GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) {
        return false;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    const bool copied = ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    std::vector<unsigned char> raw;
    if (copied && bits != nullptr) {
        const auto* pixels = static_cast<const unsigned char*>(bits);
        for (int y = 0; y < height; ++y) {
            raw.push_back(0);  // filter: none
            for (int x = 0; x < width; ++x) {
                const unsigned char* p = pixels + (static_cast<std::size_t>(y) * width + x) * 4;
                raw.insert(raw.end(), {p[2], p[1], p[0]});
            }
        }
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    if (raw.empty()) {
        return false;
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packedSize);
    if (compress(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
        return false;
    }
    packed.resize(packedSize);
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto be32 = [](std::vector<unsigned char>& out, std::uint32_t v) {
        out.insert(out.end(),
                   {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                    static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)});
    };
    auto chunk = [&](const char* type, const std::vector<unsigned char>& data) {
        be32(png, static_cast<std::uint32_t>(data.size()));
        std::vector<unsigned char> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        be32(png,
             static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
    };
    std::vector<unsigned char> header;
    be32(header, static_cast<std::uint32_t>(width));
    be32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    chunk("IHDR", header);
    chunk("IDAT", packed);
    chunk("IEND", {});
    std::filesystem::create_directories("screenshots");
    std::ofstream file(std::filesystem::path("screenshots") / (name + ".png"), std::ios::binary);
    file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    return file.good();
}

// One started AuralithPlayer.exe.
class Player {
  public:
    Player(const std::wstring& arguments, const std::filesystem::path& folder) {
        std::wstring command = L"\"" + std::wstring(AL_PLAYER_EXE) + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        const std::wstring directory = folder.wstring();
        started_ = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                    directory.c_str(), &startup, &process_) != FALSE;
    }
    ~Player() {
        if (!started_) {
            return;
        }
        if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            if (window_ != nullptr) {
                ::PostMessageW(window_, WM_CLOSE, 0, 0);
            }
            if (::WaitForSingleObject(process_.hProcess, 15000) == WAIT_TIMEOUT) {
                ::TerminateProcess(process_.hProcess, 99);
                ::WaitForSingleObject(process_.hProcess, 5000);
            }
        }
        ::CloseHandle(process_.hThread);
        ::CloseHandle(process_.hProcess);
    }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    bool started() const noexcept { return started_; }
    DWORD id() const noexcept { return process_.dwProcessId; }

    // The main window of this process, found by its class.
    HWND Window(int timeoutMs = 20000) {
        WaitUntil(
            [&] {
                for (HWND w = ::FindWindowW(kClass, nullptr); w != nullptr;
                     w = ::FindWindowExW(nullptr, w, kClass, nullptr)) {
                    DWORD owner = 0;
                    ::GetWindowThreadProcessId(w, &owner);
                    if (owner == process_.dwProcessId) {
                        window_ = w;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return window_;
    }

    std::optional<DWORD> ExitCode(int timeoutMs) {
        if (::WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeoutMs)) !=
            WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    std::wstring Control(int id) { return TextOf(::GetDlgItem(window_, id)); }

    // Whether a static text of the window (the status line among them) is `text`.
    bool Shows(const std::wstring& text) {
        for (const Child& c : ChildrenOf(window_)) {
            if (c.className == L"Static" && c.text == text) {
                return true;
            }
        }
        return false;
    }
    bool ShowsPrefix(const std::wstring& prefix) {
        for (const Child& c : ChildrenOf(window_)) {
            if (c.className == L"Static" && c.text.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }
    bool WaitShows(const std::wstring& text, int timeoutMs = 10000) {
        return WaitUntil([&] { return Shows(text); }, timeoutMs);
    }
    bool WaitShowsPrefix(const std::wstring& prefix, int timeoutMs = 10000) {
        return WaitUntil([&] { return ShowsPrefix(prefix); }, timeoutMs);
    }
    // Every static text, for failure messages.
    std::string Texts() {
        std::string all;
        for (const Child& c : ChildrenOf(window_)) {
            if (c.className == L"Static") {
                all += "[" + Narrow(c.text) + "] ";
            }
        }
        return all;
    }

    // A left click on the faceplate at a point of its design canvas.
    void Click(double u, double v) {
        RECT client{};
        ::GetClientRect(window_, &client);
        const auto canvas = al::visual::CanvasTransform::ForClient(client.right, client.bottom);
        const LPARAM at = MAKELPARAM(static_cast<int>(canvas.toClientX(u)),
                                     static_cast<int>(canvas.toClientY(v)));
        ::PostMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, at);
        ::PostMessageW(window_, WM_LBUTTONUP, 0, at);
    }
    void Command(int id) { ::PostMessageW(window_, WM_COMMAND, static_cast<WPARAM>(id), 0); }
    void Key(UINT message, WPARAM key, LPARAM flags = 1) {
        ::PostMessageW(window_, message, key, flags);
    }

  private:
    bool started_ = false;
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

constexpr LPARAM kAltContext = 1 << 29;
constexpr LPARAM kRepeat = 1 << 30;
constexpr LPARAM kExtended = 1 << 24;

class PlayerWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Fresh state and formats cache for every start.
        ::SetEnvironmentVariableW(L"LOCALAPPDATA", (dir_ / "local").wstring().c_str());
        record_ = dir_ / "short.aur";
        al::cli::makeDemoRecord(4.0).save(record_);
    }

    al::test::TempDir dir_;
    std::filesystem::path record_;
};

TEST_F(PlayerWindowTest, ControlsTransportAndKeysOnTheVirtualOutput) {
    Player player(L"--device=virtual \"" + record_.wstring() + L"\"", dir_.path());
    ASSERT_TRUE(player.started());
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(TextOf(window), L"Auralith\u2122 Player V1.1 Candidate 8");

    ASSERT_TRUE(player.WaitShowsPrefix(L"Record ready. ")) << player.Texts();
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const Child& c : ChildrenOf(window)) {
                if (c.text.rfind(L"Record ready. ", 0) == 0 &&
                    c.text.find(L" control points; Playback chain initialized at ") !=
                        std::wstring::npos &&
                    c.text.find(L" \u2014 Virtual Output Exclusive.") != std::wstring::npos) {
                    return true;
                }
            }
            return false;
        },
        3000))
        << player.Texts();
    EXPECT_TRUE(player.ShowsPrefix(L"Captured At: 48 kHz / 24-bit")) << player.Texts();
    EXPECT_TRUE(player.ShowsPrefix(L"Playing At: ")) << player.Texts();
    EXPECT_TRUE(player.Shows(L"0:00 / 0:04")) << player.Texts();

    // Every standard control with its identifier and first text.
    const std::vector<std::pair<int, std::wstring>> expected = {
        {1001, L"Open Music"}, {1010, L"Refresh"}, {1003, L"\u2212"},    {1004, L"+"},
        {1006, L"Play"},       {1007, L"Stop"},    {1011, L"Loop: Off"}, {1009, L"Mute"}};
    for (const auto& [id, text] : expected) {
        EXPECT_EQ(player.Control(id), text) << id;
    }
    wchar_t name[64] = L"";
    ::GetClassNameW(::GetDlgItem(window, 1002), name, 64);
    EXPECT_STREQ(name, L"ComboBox");
    ::GetClassNameW(::GetDlgItem(window, 1005), name, 64);
    EXPECT_STREQ(name, L"msctls_trackbar32");
    EXPECT_EQ(::SendMessageW(::GetDlgItem(window, 1005), TBM_GETRANGEMAX, 0, 0), 10000);
    EXPECT_EQ(::SendMessageW(::GetDlgItem(window, 1008), TBM_GETRANGEMAX, 0, 0), 1000);
    EXPECT_NE(::GetDlgItem(window, 2000), nullptr);  // the two channel meters
    EXPECT_NE(::GetDlgItem(window, 2001), nullptr);
    // The player view hides the standard controls.
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(window, 1006)));

    EXPECT_TRUE(SaveScreenshot(window, "player-view"));

    // Keys: Space plays, and the file plays to its end on the virtual output.
    // (Its first status soon gives way to the adaptive buffering's reports
    // under Wine's timing, so the button tells that it plays.)
    player.Key(WM_KEYDOWN, VK_SPACE);
    EXPECT_TRUE(WaitUntil([&] { return player.Control(1006) == L"Pause"; }, 3000));
    EXPECT_TRUE(player.WaitShows(
        L"Playback complete. Stylus parked at zero; output chain retained.", 15000))
        << player.Texts();
    EXPECT_EQ(player.Control(1006), L"Play");

    // Buttons: Loop, and Stop after Play.
    player.Command(1011);
    EXPECT_TRUE(WaitUntil([&] { return player.Control(1011) == L"Loop: On"; }, 3000));
    player.Command(1011);
    player.Command(1006);
    EXPECT_TRUE(WaitUntil([&] { return player.Control(1006) == L"Pause"; }, 3000));
    player.Command(1007);
    EXPECT_TRUE(
        player.WaitShows(L"Stopped. Playback head returned to zero; output chain retained."))
        << player.Texts();

    // Numeric-keypad Enter mutes; the main Enter does nothing.
    player.Key(WM_KEYDOWN, VK_RETURN, 1);
    player.Key(WM_KEYDOWN, VK_RETURN, 1 | kExtended);
    EXPECT_TRUE(WaitUntil([&] { return player.Control(1009) == L"Unmute"; }, 3000));

    // Alt+F12 toggles the statistics view once per press, not per repeat.
    player.Key(WM_SYSKEYDOWN, VK_F12, 1 | kAltContext);
    player.Key(WM_SYSKEYDOWN, VK_F12, 1 | kAltContext | kRepeat);
    player.Key(WM_SYSKEYDOWN, VK_F12, 1 | kAltContext | kRepeat);
    EXPECT_TRUE(
        player.WaitShows(L"Engineering buffering statistics. Alt+F12 returns to the player."))
        << player.Texts();
    EXPECT_TRUE(
        WaitUntil([&] { return ::IsWindowVisible(::GetDlgItem(window, 1006)) != FALSE; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(SaveScreenshot(window, "statistics-view"));
    // Every control of the plain layout is shown inside the client area.
    RECT client{};
    ::GetClientRect(window, &client);
    for (int id : {1001, 1002, 1010, 1003, 1004, 1005, 1006, 1007, 1011, 1009}) {
        HWND control = ::GetDlgItem(window, id);
        RECT r{};
        ::GetWindowRect(control, &r);
        ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_TRUE(::IsWindowVisible(control)) << id;
        EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right &&
                    r.bottom <= client.bottom)
            << id << ": " << r.left << "," << r.top << "," << r.right << "," << r.bottom << " in "
            << client.right << "x" << client.bottom;
    }
    // F12 without Alt is an ordinary key.
    player.Key(WM_KEYDOWN, VK_F12);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(player.Shows(L"Engineering buffering statistics. Alt+F12 returns to the player."));
    player.Key(WM_SYSKEYDOWN, VK_F12, 1 | kAltContext);
    EXPECT_TRUE(player.WaitShows(L"Player view. Alt+F12 opens buffering statistics."))
        << player.Texts();
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(window, 1006)));

    // The faceplate: Play and Stop regions, then the power region closes the
    // window half a second later and the program ends normally.
    player.Click(515, 590);
    EXPECT_TRUE(WaitUntil([&] { return player.Control(1006) == L"Pause"; }, 3000));
    player.Click(713, 590);
    EXPECT_TRUE(
        player.WaitShows(L"Stopped. Playback head returned to zero; output chain retained."))
        << player.Texts();
    player.Click(93, 906);
    EXPECT_FALSE(player.ExitCode(200).has_value());
    EXPECT_EQ(player.ExitCode(15000), std::optional<DWORD>(0));
}

TEST_F(PlayerWindowTest, WineEndpointRefusesExclusiveUseInThePlayersWords) {
    Player player(L"\"" + record_.wstring() + L"\"", dir_.path());
    ASSERT_TRUE(player.started());
    ASSERT_NE(player.Window(), nullptr);
    // Wine 8 refuses exclusive initialisation as "device in use" (0x8889000A):
    // the player says so, disables no format and asks whether to stay.
    EXPECT_TRUE(player.WaitShowsPrefix(L"Audio device unavailable: ", 20000)) << player.Texts();
    HWND busy = nullptr;
    EXPECT_TRUE(WaitUntil(
        [&] { return (busy = FindDialog(player.id(), L"Audio device unavailable")) != nullptr; },
        5000));
    if (busy != nullptr) {
        EXPECT_NE(DialogMessage(busy).find(L"cannot be opened in exclusive mode"),
                  std::wstring::npos);
        ::PostMessageW(busy, WM_COMMAND, IDYES, 0);  // Yes keeps the player open
    }
    EXPECT_TRUE(player.ShowsPrefix(L"Playing At: ")) << player.Texts();
    EXPECT_EQ(player.Control(1006), L"Play");
    EXPECT_FALSE(player.ExitCode(500).has_value());
    EXPECT_EQ(player.Control(1001), L"Open Music");
}

TEST_F(PlayerWindowTest, SecondStartHandsItsFileToTheRunningPlayer) {
    Player first(L"--device=virtual \"" + record_.wstring() + L"\"", dir_.path());
    ASSERT_NE(first.Window(), nullptr);
    ASSERT_TRUE(first.WaitShowsPrefix(L"Record ready. ")) << first.Texts();

    // A relative path, resolved against the second start's own folder.
    std::filesystem::create_directories(dir_ / "other");
    std::vector<float> samples(44100 * 2, 0.25f);
    al::test::writeFloatWave(dir_ / "other" / "tone.wav", 2, 44100, samples);
    {
        Player second(L"-x first.aur tone.wav --flag", dir_ / "other");
        EXPECT_EQ(second.ExitCode(20000), std::optional<DWORD>(0));
    }
    EXPECT_TRUE(first.WaitShowsPrefix(L"WAV DIRECT ready. Playback chain initialized at "))
        << first.Texts();
    EXPECT_TRUE(first.ShowsPrefix(L"Captured At: 44.1 kHz / 32-bit")) << first.Texts();

    // Without a file the second start only brings the window forward.
    {
        Player second(L"--device=virtual", dir_.path());
        EXPECT_EQ(second.ExitCode(20000), std::optional<DWORD>(0));
    }
    EXPECT_TRUE(first.ShowsPrefix(L"WAV DIRECT ready. ")) << first.Texts();

    // A file that is not there: the running player reports it; the second
    // start waits for the report to be dismissed, then ends.
    {
        Player second(L"missing.wav", dir_.path());
        HWND box = nullptr;
        EXPECT_TRUE(WaitUntil(
            [&] { return (box = FindDialog(first.id(), L"Auralith Player")) != nullptr; }, 20000));
        if (box != nullptr) {
            EXPECT_EQ(DialogMessage(box),
                      L"The requested source is not a readable supported audio file");
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        EXPECT_EQ(second.ExitCode(20000), std::optional<DWORD>(0));
    }
    EXPECT_TRUE(first.WaitShows(L"The requested source is not a readable supported audio file"))
        << first.Texts();
    EXPECT_TRUE(first.ShowsPrefix(L"Captured At: 44.1 kHz")) << first.Texts();
}

TEST_F(PlayerWindowTest, CopyDataThatIsNotAHandoffIsIgnored) {
    Player player(L"--device=virtual", dir_.path());
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    const std::wstring path = record_.wstring();
    auto send = [&](ULONG_PTR tag, DWORD bytes) {
        COPYDATASTRUCT data{tag, bytes, const_cast<wchar_t*>(path.c_str())};
        DWORD_PTR result = 99;
        ::SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_BLOCK,
                              20000, &result);
        return result;
    };
    const DWORD whole = static_cast<DWORD>((path.size() + 1) * 2);
    EXPECT_EQ(send(0x41555231, whole - 1), 0u);  // odd
    EXPECT_EQ(send(0x41555231, 1), 0u);
    EXPECT_EQ(send(0x41555231, whole - 2), 0u);  // last unit not NUL
    EXPECT_EQ(send(0x41555230, whole), 0u);      // another tag
    EXPECT_TRUE(player.Shows(L"Captured At: \u2014")) << player.Texts();
    EXPECT_EQ(send(0x41555231, whole), 1u);
    EXPECT_TRUE(player.WaitShowsPrefix(L"Record ready. ")) << player.Texts();
}

}  // namespace
