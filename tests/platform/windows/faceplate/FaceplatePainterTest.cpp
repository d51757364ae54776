// Paints the faceplate through FaceplatePainter into memory at known client
// sizes and probes the pixels where FaceplateLayout says things are: meter
// faces, needles, carriage, seek thumb, streamer, "PARKED" notice and the
// plate. Each painted frame is kept as a PNG under the build folder.
// Runs under Wine on a virtual display (tools/wine-gui-run).

#include <gtest/gtest.h>

#include <objidl.h>
#include <windows.h>

#include <gdiplus.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/PlayerWindow.h"
#include "platform/windows/faceplate/FaceplatePainter.h"
#include "platform/windows/faceplate/GdiPlus.h"
#include "visual/FaceplateLayout.h"

namespace al::win {
namespace {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
    int luminance() const { return (r * 3 + g * 6 + b) / 10; }
};

std::wstring ArtefactPath(const std::wstring& name) {
    std::wstring dir = L"faceplate-artefacts";
    if (const char* env = std::getenv("AL_ARTEFACT_DIR"); env != nullptr && *env != '\0') {
        const std::string unix(env);
        dir.assign(unix.begin(), unix.end());
        if (!dir.empty() && dir.front() == L'/') {
            // A Unix path handed through Wine: reach it through drive Z.
            for (wchar_t& c : dir)
                if (c == L'/')
                    c = L'\\';
            dir = L"Z:" + dir;
        }
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(dir), ignored);
    return dir + L"\\" + name;
}

// A client area painted into memory, with its pixels readable.
class Frame {
  public:
    Frame(int width, int height) {
        EXPECT_TRUE(surface_.create(width, height));
        rect_ = RECT{0, 0, width, height};
    }
    HDC dc() const { return surface_.dc(); }
    const RECT& rect() const { return rect_; }
    int width() const { return surface_.width(); }
    int height() const { return surface_.height(); }

    Rgb at(double x, double y) const {
        const int ix = static_cast<int>(std::floor(x));
        const int iy = static_cast<int>(std::floor(y));
        if (ix < 0 || iy < 0 || ix >= width() || iy >= height())
            return {};
        const std::uint32_t p = surface_.pixels()[static_cast<std::size_t>(iy) * width() + ix];
        return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                static_cast<int>(p & 0xFF)};
    }
    // Pixels in a box that satisfy a test.
    template <class Test>
    int count(int x0, int y0, int x1, int y1, Test test) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (test(at(x, y)))
                    ++n;
        return n;
    }

    void save(const std::wstring& name) const {
        CLSID png;
        ASSERT_TRUE(gdi::PngEncoder(png));
        Gdiplus::Bitmap bitmap(width(), height(), width() * 4, PixelFormat32bppRGB,
                               reinterpret_cast<BYTE*>(surface_.pixels()));
        EXPECT_EQ(bitmap.Save(ArtefactPath(name).c_str(), &png, nullptr), Gdiplus::Ok);
    }

  private:
    gdi::Surface surface_;
    RECT rect_{};
};

bool IsRed(Rgb c) {
    return c.r > 150 && c.g < 90 && c.b < 90;
}
bool IsWarmFace(Rgb c) {
    return c.r > 170 && c.r > c.g && c.g > c.b && c.r - c.b > 30;
}

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

class FaceplatePainterTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = GetModuleHandleW(nullptr);
        painter_ = new FaceplatePainter(module_);
        RegisterPeakMeterClass(module_);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = module_;
        wc.lpszClassName = L"AuralithFaceplateTestWindow";
        RegisterClassExW(&wc);
        RECT r{0, 0, 1458, 1023};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        window_ = CreateWindowExW(0, wc.lpszClassName, L"Faceplate test",
                                  WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, r.right - r.left,
                                  r.bottom - r.top, nullptr, nullptr, module_, nullptr);
        ShowWindow(window_, SW_SHOWNOACTIVATE);
        UpdateWindow(window_);
    }
    static void TearDownTestSuite() {
        DestroyWindow(window_);
        delete painter_;
        painter_ = nullptr;
    }

    // Playing, meters at known levels, the notice and the streamer shown.
    static app::FaceplateState PlayingState() {
        app::FaceplateState s;
        s.endpointText = "Speakers (Virtual Output)  (Default)";
        s.capturedText = "Captured At: 44.1 kHz / 16-bit";
        s.timeText = "1:05 / 3:00";
        s.playFraction = 65.0 / 180.0;
        s.playingAtText = "Playing At: 48 kHz / 24-bit in 32-bit / 2 ch";
        s.modeText = "WASAPI Exclusive";
        s.rateText = "48000 Hz";
        s.readyText = "WAV DIRECT ready";
        s.hintText = "Evaluate at 48 kHz / 24-bit in 32-bit / 2 ch";
        s.playCaption = "Pause";
        s.loopCaption = "Loop: On";
        s.muteCaption = "Mute";
        s.sourceLoaded = true;
        s.wavDirect = true;
        s.chainInitialised = true;
        s.loopOn = true;
        s.volumeControllable = true;
        s.volumeLevel = 0.42f;
        s.meterActivity = true;
        s.meterLevels[0] = 1.0f;  // 0 dB
        s.meterLevels[1] = 0.1f;  // -20 dB
        s.stylusState = 2;
        s.parkedStrength = 1.0f;
        s.streamerShown = true;
        s.tagRemoval = 0.0f;
        return s;
    }

    static FaceplatePaintInput InputFor(const app::FaceplateState& state) {
        FaceplatePaintInput in;
        in.state = &state;
        in.trackTitle = L"Demo Record.aur";
        in.statusText =
            L"WAV DIRECT ready. Playback chain initialized at 48 kHz / 24-bit — WASAPI Exclusive.";
        return in;
    }

    // Darkest pixel near a point (the needle is 2.5 units wide).
    static int DarkestNear(const Frame& f, visual::DesignPoint p) {
        int best = 255;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                best = std::min(best, f.at(p.x + dx, p.y + dy).luminance());
        return best;
    }

    static visual::DesignPoint AlongNeedle(visual::DesignPoint pivot, double level, double radius) {
        const double a = visual::NeedleAngleDegrees(level) * 3.14159265358979323846 / 180.0;
        return {pivot.x + radius * std::cos(a), pivot.y + radius * std::sin(a)};
    }

    static inline HINSTANCE module_ = nullptr;
    static inline FaceplatePainter* painter_ = nullptr;
    static inline HWND window_ = nullptr;
};

TEST_F(FaceplatePainterTest, PlayingFrameShowsFacesNeedlesStreamerAndNotice) {
    const app::FaceplateState state = PlayingState();
    Frame frame(1458, 1023);
    painter_->Paint(frame.dc(), frame.rect(), InputFor(state));
    frame.save(L"faceplate-playing.png");
    EXPECT_EQ(painter_->lastStatus(), 0);

    // Both meter faces are warm cards, away from scale and needle.
    EXPECT_TRUE(IsWarmFace(frame.at(372, 128)));
    EXPECT_TRUE(IsWarmFace(frame.at(1090, 128)));
    EXPECT_TRUE(IsWarmFace(frame.at(665, 128)));

    // Needles where the layout puts them, and nowhere else at that radius.
    const visual::DesignPoint left = AlongNeedle(visual::kLeftMeterPivot, 1.0, 150);
    const visual::DesignPoint right = AlongNeedle(visual::kRightMeterPivot, 0.1, 150);
    EXPECT_LT(DarkestNear(frame, left), 110);
    EXPECT_LT(DarkestNear(frame, right), 110);
    EXPECT_GT(DarkestNear(frame, AlongNeedle(visual::kLeftMeterPivot, 0.1, 150)), 150);
    EXPECT_GT(DarkestNear(frame, AlongNeedle(visual::kRightMeterPivot, 1.0, 150)), 150);

    // The streamer's red cloth along its length, beside its lettering.
    const visual::StreamerPlacement streamer =
        visual::StreamerAt(visual::CarriageX(state.playFraction), true, 0.0);
    for (double along : {40.0, 190.0, 330.0}) {
        const visual::DesignPoint p = visual::StreamerPoint(streamer, along, 12.0);
        EXPECT_TRUE(IsRed(frame.at(p.x, p.y))) << along;
    }

    // "PARKED" in red at the picture's centre.
    const int red = frame.count(600, 410, 860, 462, IsRed);
    EXPECT_GT(red, 150);

    // The lowered carriage: metal head on the rail, stylus down to the record.
    const double cx = visual::CarriageX(state.playFraction);
    EXPECT_GT(frame.at(cx - 10, visual::kCarriageTop + 4).luminance(), 110);
    EXPECT_GT(frame.at(visual::SeekThumbX(state.playFraction) - 6, 649).luminance(), 110);

    // The plate itself: dark neutral metal between the controls.
    const Rgb plate = frame.at(700, 1010);
    EXPECT_GT(plate.luminance(), 20);
    EXPECT_LT(plate.luminance(), 110);
    EXPECT_LT(std::abs(plate.r - plate.b), 16);
}

TEST_F(FaceplatePainterTest, ParkedFrameHidesWhatIsNotShown) {
    app::FaceplateState state = PlayingState();
    state.parkedStrength = 0.0f;
    state.streamerShown = false;
    state.meterLevels[0] = 0.0f;
    state.meterLevels[1] = 0.0f;
    state.stylusState = 0;
    state.playFraction = 0.0;
    Frame frame(1458, 1023);
    painter_->Paint(frame.dc(), frame.rect(), InputFor(state));
    frame.save(L"faceplate-quiet.png");

    EXPECT_EQ(frame.count(600, 410, 860, 462, IsRed), 0);
    const visual::StreamerPlacement streamer = visual::StreamerAt(visual::CarriageX(0), true, 0.0);
    const visual::DesignPoint p = visual::StreamerPoint(streamer, 190.0, 12.0);
    EXPECT_FALSE(IsRed(frame.at(p.x, p.y)));
    // Silence rests both needles at the scale's left end.
    EXPECT_LT(DarkestNear(frame, AlongNeedle(visual::kLeftMeterPivot, 0.0, 150)), 110);
    EXPECT_GT(DarkestNear(frame, AlongNeedle(visual::kLeftMeterPivot, 1.0, 150)), 150);
    // The parked stylus hangs clear of the record's lower edge.
    const double cx = visual::CarriageX(0.0);
    EXPECT_LT(frame.at(cx, visual::kCarriageTop + visual::CarriageHeight(0) + 12).luminance(), 40);
}

TEST_F(FaceplatePainterTest, HalfStrengthNoticeAndFadingStreamerAreFainter) {
    app::FaceplateState full = PlayingState();
    app::FaceplateState half = PlayingState();
    half.parkedStrength = 0.5f;
    half.tagRemoval = 0.5f;
    Frame a(1458, 1023);
    Frame b(1458, 1023);
    painter_->Paint(a.dc(), a.rect(), InputFor(full));
    painter_->Paint(b.dc(), b.rect(), InputFor(half));
    b.save(L"faceplate-fading.png");
    const auto reddest = [](const Frame& f) {
        int best = 0;
        for (int y = 410; y < 462; ++y)
            for (int x = 600; x < 860; ++x)
                best = std::max(best, f.at(x, y).r - f.at(x, y).g);
        return best;
    };
    EXPECT_LT(reddest(b), reddest(a) * 3 / 4);
    EXPECT_GT(reddest(b), 40);
    // Halfway through its removal the streamer has dropped below its rest.
    const visual::StreamerPlacement resting =
        visual::StreamerAt(visual::CarriageX(full.playFraction), true, 0.0);
    const visual::StreamerPlacement falling =
        visual::StreamerAt(visual::CarriageX(full.playFraction), true, 0.5);
    const visual::DesignPoint p = visual::StreamerPoint(falling, 200.0, 12.0);
    const Rgb c = b.at(p.x, p.y);
    EXPECT_GT(c.r - c.g, 40);
    EXPECT_GT(p.y, visual::StreamerPoint(resting, 200.0, 12.0).y + 20);
    // What has dropped below the picture is hidden behind its frame.
    const visual::DesignPoint below = visual::StreamerPoint(falling, 340.0, 0.0);
    ASSERT_GT(below.y, visual::kGeometryPictureRect.y + visual::kGeometryPictureRect.height + 4);
    const Rgb hidden = b.at(below.x, below.y);
    EXPECT_LT(hidden.r - hidden.g, 25);
}

TEST_F(FaceplatePainterTest, ContractTextTakesTheChainStateColour) {
    const auto reddish = [](Rgb c) { return c.r > 150 && c.r > c.g + 60; };
    const auto amberish = [](Rgb c) { return c.r > 150 && c.g > 100 && c.b < 90; };
    app::FaceplateState state = PlayingState();
    state.streamerShown = false;
    Frame ready(1458, 1023);
    painter_->Paint(ready.dc(), ready.rect(), InputFor(state));
    EXPECT_EQ(ready.count(430, 266, 1040, 304, reddish), 0);
    EXPECT_EQ(ready.count(430, 266, 1040, 304, amberish), 0);

    state.unavailable = true;
    state.playingAtText = "Playing At: 48 kHz / 24-bit in 32-bit / 2 ch  \u2014 UNAVAILABLE";
    Frame unavailable(1458, 1023);
    painter_->Paint(unavailable.dc(), unavailable.rect(), InputFor(state));
    EXPECT_GT(unavailable.count(430, 266, 1040, 304, reddish), 100);

    state.unavailable = false;
    state.initialising = true;
    Frame initialising(1458, 1023);
    painter_->Paint(initialising.dc(), initialising.rect(), InputFor(state));
    EXPECT_GT(initialising.count(430, 266, 1040, 304, amberish), 100);
}

TEST_F(FaceplatePainterTest, ScaledAndLetterboxedClientsFollowTheCanvas) {
    const app::FaceplateState state = PlayingState();
    // Twice the design width: scale 1, canvas centred, dark margins.
    Frame wide(2916, 1023);
    painter_->Paint(wide.dc(), wide.rect(), InputFor(state));
    const Rgb margin = wide.at(100, 500);
    EXPECT_EQ(margin.r, 0x0B);
    EXPECT_EQ(margin.g, 0x0B);
    EXPECT_EQ(margin.b, 0x0C);
    EXPECT_TRUE(IsWarmFace(wide.at(729 + 372, 128)));

    // A smaller window rebuilds the cached layers at the new scale.
    Frame small(729, 512);
    painter_->Paint(small.dc(), small.rect(), InputFor(state));
    small.save(L"faceplate-small.png");
    const visual::CanvasTransform t = visual::CanvasTransform::ForClient(729, 512);
    EXPECT_TRUE(IsWarmFace(small.at(t.toClientX(372), t.toClientY(128))));
    EXPECT_TRUE(IsWarmFace(small.at(t.toClientX(1090), t.toClientY(128))));
    const visual::DesignPoint needle = AlongNeedle(visual::kLeftMeterPivot, 1.0, 150);
    EXPECT_LT(DarkestNear(small, {t.toClientX(needle.x), t.toClientY(needle.y)}), 150);
}

TEST_F(FaceplatePainterTest, GeometryPictureIsDrawnOnlyWhenValid) {
    const app::FaceplateState state = PlayingState();
    // A flat teal picture, 64 x 16 pixels with padded rows.
    const int w = 64;
    const int h = 16;
    const int stride = w * 4 + 16;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &pixels[static_cast<std::size_t>(y) * stride + x * 4];
            p[0] = 200;  // blue
            p[1] = 160;  // green
            p[2] = 20;   // red
            p[3] = 255;
        }
    FaceplatePaintInput in = InputFor(state);
    in.picture = {pixels.data(), w, h, stride};
    app::FaceplateState quiet = state;
    quiet.parkedStrength = 0.0f;
    quiet.streamerShown = false;
    in.state = &quiet;
    Frame shown(1458, 1023);
    painter_->Paint(shown.dc(), shown.rect(), in);
    shown.save(L"faceplate-picture.png");
    const Rgb inside = shown.at(1000, 480);
    EXPECT_GT(inside.b, 170);
    EXPECT_GT(inside.g, 130);
    EXPECT_LT(inside.r, 60);

    // Overlays: a mark per point on each channel's lane, over the picture.
    in.overlay = true;
    in.overlayPoints[0] = {{0.25f, 0.0f}, {0.5f, 0.5f}};
    in.overlayPoints[1] = {{0.75f, -1.0f}};
    Frame overlaid(1458, 1023);
    painter_->Paint(overlaid.dc(), overlaid.rect(), in);
    for (const auto& [channel, point] :
         {std::pair{0, OverlayPoint{0.25f, 0.0f}}, std::pair{0, OverlayPoint{0.5f, 0.5f}},
          std::pair{1, OverlayPoint{0.75f, -1.0f}}}) {
        const visual::DesignPoint q = visual::OverlayPointAt(channel, point.x, point.value);
        const Rgb mark = overlaid.at(q.x, q.y);
        EXPECT_GT(mark.r, 130) << channel;  // light marks over the teal picture
        EXPECT_GT(mark.luminance(), inside.luminance() + 20) << channel;
    }
    in.overlay = false;

    in.picture.stride = w * 4 - 4;  // too short a row: not a picture
    Frame refused(1458, 1023);
    painter_->Paint(refused.dc(), refused.rect(), in);
    EXPECT_LT(refused.at(1000, 480).luminance(), 40);
}

TEST_F(FaceplatePainterTest, TonearmGrabFollowsTheDrawnCarriage) {
    app::FaceplateState state = PlayingState();
    const RECT client{0, 0, 729, 512};
    const visual::CanvasTransform t = visual::CanvasTransform::ForClient(729, 512);
    const double x = visual::CarriageX(state.playFraction);
    const POINT head{static_cast<LONG>(t.toClientX(x)),
                     static_cast<LONG>(t.toClientY(visual::kCarriageTop + 6))};
    const POINT away{static_cast<LONG>(t.toClientX(x + 200)), head.y};
    EXPECT_TRUE(painter_->GrabsTonearm(client, head, state));
    EXPECT_FALSE(painter_->GrabsTonearm(client, away, state));
}

TEST_F(FaceplatePainterTest, StatisticsBackgroundCentresThePlatter) {
    Frame frame(800, 600);
    painter_->PaintStatisticsBackground(frame.dc(), frame.rect());
    frame.save(L"statistics-background.png");
    const Rgb corner = frame.at(3, 3);
    EXPECT_EQ(corner.r, 0x1E);
    EXPECT_EQ(corner.g, 0x1E);
    EXPECT_EQ(corner.b, 0x22);
    // 86 % of 600 high: the disc spans 258 pixels either side of the centre;
    // its label is warm, its grooves dark.
    const Rgb label = frame.at(400 + 50, 300);
    EXPECT_GT(label.r, 100);
    EXPECT_GT(label.r, label.b + 40);
    EXPECT_LT(frame.at(400 + 200, 300).luminance(), 70);
    EXPECT_EQ(frame.at(400 + 262, 300).r, 0x1E);
}

TEST_F(FaceplatePainterTest, ArtworkResourcesAreEmbedded) {
    EXPECT_NE(
        FindResourceW(module_, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */),
        nullptr);
    // The window class takes a large and a 16 x 16 icon from it.
    for (int size : {16, 32}) {
        HANDLE icon = LoadImageW(module_, MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, 0);
        EXPECT_NE(icon, nullptr) << size;
        if (icon != nullptr)
            DestroyIcon(static_cast<HICON>(icon));
    }
    struct Expected {
        int id;
        UINT width;
        UINT height;
    };
    for (const Expected& e :
         {Expected{102, 1024, 1024}, Expected{103, 1458, 1023}, Expected{104, 128, 128}}) {
        const std::unique_ptr<Gdiplus::Bitmap> image = gdi::LoadPngResource(module_, e.id);
        ASSERT_NE(image, nullptr) << e.id;
        EXPECT_EQ(image->GetWidth(), e.width) << e.id;
        EXPECT_EQ(image->GetHeight(), e.height) << e.id;
    }
    EXPECT_EQ(gdi::LoadPngResource(module_, 199), nullptr);
}

// ---- Peak meter child window ----

class PeakMeterTest : public FaceplatePainterTest {
  protected:
    void SetUp() override {
        meter_ = CreateWindowExW(0, L"AuralithPeakMeter", L"", WS_CHILD | WS_VISIBLE, 20, 20, 200,
                                 20, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(2000)),
                                 module_, nullptr);
        ASSERT_NE(meter_, nullptr);
    }
    void TearDown() override { DestroyWindow(meter_); }

    // Paints the meter and reads its pixels back from the screen.
    std::unique_ptr<Frame> Capture(double level, const wchar_t* name) {
        SetPeakMeterLevel(meter_, level);
        UpdateWindow(meter_);
        GdiFlush();
        auto frame = std::make_unique<Frame>(200, 20);
        HDC dc = GetDC(meter_);
        BitBlt(frame->dc(), 0, 0, 200, 20, dc, 0, 0, SRCCOPY);
        ReleaseDC(meter_, dc);
        frame->save(name);
        return frame;
    }

    HWND meter_ = nullptr;
};

TEST_F(PeakMeterTest, LevelTravelsWhole) {
    // 0.1's lower 32 bits have their top bit set: they must not spill into
    // the upper half on the way through the message.
    for (double level : {0.1, 0.5, 1e-300, 0.0}) {
        SetPeakMeterLevel(meter_, level);
        const auto stored = static_cast<std::uint64_t>(GetWindowLongPtrW(meter_, 0));
        EXPECT_EQ(stored, std::bit_cast<std::uint64_t>(level)) << level;
    }
}

TEST_F(PeakMeterTest, BandsAndEmptyBarForSilence) {
    const std::unique_ptr<Frame> silent = Capture(0.0, L"peak-silent.png");
    const Rgb inside = silent->at(8, 10);
    EXPECT_EQ(inside.r, 24);
    EXPECT_EQ(inside.g, 24);
    EXPECT_EQ(inside.b, 28);
    EXPECT_EQ(silent->at(0, 10).r, 128);  // gray frame

    const std::unique_ptr<Frame> loud = Capture(std::pow(10.0, -0.5 / 20), L"peak-red.png");
    EXPECT_EQ(loud->at(100, 10).r, 220);
    EXPECT_EQ(loud->at(100, 10).g, 70);

    const std::unique_ptr<Frame> amber = Capture(std::pow(10.0, -6.0 / 20), L"peak-amber.png");
    EXPECT_EQ(amber->at(100, 10).g, 180);
    EXPECT_EQ(amber->at(190, 10).g, 24);  // -6 dB fills 90 %: 180 pixels less the margin

    const std::unique_ptr<Frame> quiet = Capture(std::pow(10.0, -30.0 / 20), L"peak-green.png");
    EXPECT_EQ(quiet->at(50, 10).g, 190);
    EXPECT_EQ(quiet->at(110, 10).g, 24);
}

}  // namespace
}  // namespace al::win
