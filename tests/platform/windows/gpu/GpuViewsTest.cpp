// The Direct3D geometry views on a real (under Wine: software) device: the
// in-window picture has the trace where the portable maths puts it, every
// failure path shows its text, and the fullscreen stage presents both
// scenes and closes on its keys.

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "PngWriter.h"
#include "app/GeometryViewsController.h"
#include "platform/windows/gpu/GeometryStage.h"
#include "platform/windows/gpu/GeometryViewsFactory.h"
#include "platform/windows/gpu/HardwareGeometryView.h"
#include "visual/CurveSource.h"
#include "visual/GeometryMaths.h"

namespace al::win::gpu {
namespace {

std::string artefact(const std::string& name) {
    const char* dir = std::getenv("AL_GPU_ARTEFACTS");
    std::string base = dir ? dir : ".";
    if (!base.empty() && base[0] == '/') {
        base = "Z:" + base;  // a Unix path seen from Wine
    }
    return base + "/" + name;
}

// Dispatches messages for about the given time. The deadline is checked after
// every message: when a software-rasterised stage frame outlasts the stage's
// 16 ms timer, a timer message is due again as soon as one is handled, so the
// queue never runs empty. Posted messages still come first (timers are only
// generated for an otherwise empty queue), so a posted key is always handled.
void pump(int milliseconds) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
    auto left = [end] { return static_cast<int>(end - GetTickCount()) > 0; };
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (!left()) {
            return;
        }
    }
    while (left()) {
        Sleep(2);
        while (left() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

// Hermite pieces of 0.8 sin(2 pi 3 x) over the window: exact cubic pieces.
std::vector<ui::CubicInterval> sineList(int pieces) {
    std::vector<ui::CubicInterval> list;
    const double w = 1.0 / pieces;
    auto f = [](double x) { return 0.8 * std::sin(2.0 * std::numbers::pi * 3.0 * x); };
    auto df = [](double x) {
        return 0.8 * 2.0 * std::numbers::pi * 3.0 * std::cos(2.0 * std::numbers::pi * 3.0 * x);
    };
    for (int i = 0; i < pieces; ++i) {
        const double a = i * w, b = a + w;
        const double y0 = f(a), y1 = f(b), m0 = df(a) * w, m1 = df(b) * w;
        // c + d v + e v^2 + f v^3 through (y0, m0) and (y1, m1).
        const double c = y0, d = m0, e = 3 * (y1 - y0) - 2 * m0 - m1, g = 2 * (y0 - y1) + m0 + m1;
        ui::appendWindowInterval(list, a, b, c, d, e, g, 0.0, 1.0, 1.0);
    }
    return list;
}

// -0.5 until 0.5, a near-vertical rise over 1/5000 of the window, then +0.5.
std::vector<ui::CubicInterval> stepList() {
    std::vector<ui::CubicInterval> list;
    ui::appendWindowInterval(list, 0.0, 0.5, -0.5, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0);
    ui::appendWindowInterval(list, 0.5, 0.5002, -0.5, 1.0, 0.0, 0.0, 0.0, 1.0, 1.0);
    ui::appendWindowInterval(list, 0.5002, 1.0, 0.5, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0);
    return list;
}

// Pumps until the condition holds or the limit passes; true when it held. A
// loaded machine may deliver the stage's timer late, so waiting for an event
// is sturdier than pumping for a fixed time.
template <typename Condition>
bool pumpUntil(Condition done, int limitMilliseconds) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(limitMilliseconds);
    while (!done()) {
        if (static_cast<int>(end - GetTickCount()) <= 0) {
            return false;
        }
        pump(5);
    }
    return true;
}

const std::uint8_t* pixelAt(const app::GeometryPicture& p, int x, int y) {
    return p.pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.stride) +
           static_cast<std::size_t>(x) * 4;
}
int brightness(const app::GeometryPicture& p, int x, int y) {
    const std::uint8_t* px = pixelAt(p, x, y);
    return std::max({px[0], px[1], px[2]});
}
// The brightest pixel of a column within `reach` rows of y.
int peakNear(const app::GeometryPicture& p, int x, double y, int reach) {
    int best = 0;
    for (int r = static_cast<int>(std::lround(y)) - reach;
         r <= static_cast<int>(std::lround(y)) + reach; ++r) {
        if (r >= 0 && r < p.height) {
            best = std::max(best, brightness(p, x, r));
        }
    }
    return best;
}

// The software rasteriser takes most of a second for a 1920 x 1080 sea.
constexpr RECT kSmallStage{40, 40, 40 + 640, 40 + 360};
// Generous bound for a few software-rasterised stage frames on a loaded machine.
constexpr int kFrameLimitMs = 60000;

class GpuTest : public ::testing::Test {
  protected:
    void SetUp() override { testSeams() = {}; }
    void TearDown() override { testSeams() = {}; }
};

TEST_F(GpuTest, DeviceAndCompilerAreAvailable) {
    HardwareGeometryView view;
    ASSERT_TRUE(view.adapterPresent()) << view.lastError();
    std::printf("adapter: %s (%s)\n", view.adapterDescription().c_str(),
                view.adapterLabel().c_str());
    ASSERT_TRUE(view.enable()) << view.lastError();
    EXPECT_TRUE(view.ready());
    EXPECT_TRUE(view.lastError().empty());
}

TEST_F(GpuTest, TraceLiesWhereTheMathsPutsIt) {
    HardwareGeometryView view;
    ASSERT_TRUE(view.enable()) << view.lastError();
    const int w = app::kGeometryPictureWidth, h = app::kGeometryPictureHeight;
    const auto sine = sineList(48);
    const auto step = stepList();
    ASSERT_TRUE(view.renderLists(sine, step, w, h, false)) << view.lastError();
    const app::GeometryPicture picture = view.picture();
    ASSERT_TRUE(picture.valid());
    ASSERT_EQ(picture.width, w);
    ASSERT_EQ(picture.height, h);
    test::writePng(artefact("hardware-view-sine-step.png"), picture.pixels, w, h, picture.stride);

    ui::RibbonParams lane0;
    lane0.baseline = ui::channelLane(0, false).baseline;
    lane0.amplitudeScale = ui::channelLane(0, false).amplitudeScale;
    int onTrace = 0, probes = 0;
    for (int x = 10; x < w - 10; x += 37) {
        const double fx = (x + 0.5) / w;
        const auto piece = sine[static_cast<std::size_t>(fx * 48)];
        const float u = static_cast<float>((fx - piece.xLeft) / (piece.xRight - piece.xLeft));
        const double y = ui::ribbonCentre(piece, u, lane0).y * h - 0.5;
        ++probes;
        if (peakNear(picture, x, y, 2) > 50) {  // the glow at least; the core is under a pixel wide
            ++onTrace;
        }
        // Well away from the trace (and from channel 1's lane) it is background.
        const double away = y < h * 0.2 ? y + 14 : y - 14;
        EXPECT_LT(brightness(picture, x, static_cast<int>(std::lround(away))), 40) << x;
    }
    EXPECT_EQ(onTrace, probes);

    // Channel 1's step: flat at -0.5 left, +0.5 right, and the rise drawn full width.
    const ui::ChannelLane lane1 = ui::channelLane(1, false);
    const double low = (lane1.baseline + 0.5 * lane1.amplitudeScale) * h - 0.5;
    const double high = (lane1.baseline - 0.5 * lane1.amplitudeScale) * h - 0.5;
    EXPECT_GT(peakNear(picture, 300, low, 2), 50);
    EXPECT_LT(peakNear(picture, 300, high, 2), 40);
    EXPECT_GT(peakNear(picture, 1000, high, 2), 50);
    EXPECT_LT(peakNear(picture, 1000, low, 2), 40);
    int riseColumns = 0;
    for (int x = w / 2 - 4; x <= w / 2 + 4; ++x) {
        if (peakNear(picture, x, (low + high) / 2, 1) > 50) {
            ++riseColumns;
        }
    }
    EXPECT_GE(riseColumns, 1);  // the near-vertical piece is not a hairline gap

    // The same picture read twice gives identical bytes.
    const std::vector<std::uint8_t> first(picture.pixels, picture.pixels + picture.stride * h);
    ASSERT_TRUE(view.renderLists(sine, step, w, h, false));
    const app::GeometryPicture again = view.picture();
    EXPECT_EQ(std::memcmp(first.data(), again.pixels, first.size()), 0);
}

TEST_F(GpuTest, SilenceSplitAndEmptyLists) {
    HardwareGeometryView view;
    ASSERT_TRUE(view.enable()) << view.lastError();
    const int w = 400, h = 120;
    std::vector<ui::CubicInterval> silence;
    ui::appendWindowInterval(silence, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0);
    // Split: channel 0 in the upper half at its middle, channel 1 in the lower half.
    ASSERT_TRUE(view.renderLists(silence, silence, w, h, true)) << view.lastError();
    app::GeometryPicture p = view.picture();
    test::writePng(artefact("hardware-view-silence-split.png"), p.pixels, w, h, p.stride);
    EXPECT_GT(peakNear(p, 200, h * 0.25 - 0.5, 1), 50);
    EXPECT_GT(peakNear(p, 200, h * 0.75 - 0.5, 1), 50);
    EXPECT_LT(brightness(p, 200, h / 2), 40);
    // An empty channel draws nothing and is not an error.
    ASSERT_TRUE(view.renderLists({}, {}, w, h, false)) << view.lastError();
    p = view.picture();
    int brightest = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            brightest = std::max(brightest, brightness(p, x, y));
        }
    }
    EXPECT_LT(brightest, 20);
    // A zero size fails.
    EXPECT_FALSE(view.renderLists(silence, silence, 0, h, false));
    EXPECT_FALSE(view.renderLists(silence, silence, w, 0, false));
    EXPECT_FALSE(view.lastError().empty());
}

TEST_F(GpuTest, PaletteChangesTheTraceColour) {
    HardwareGeometryView view;
    ASSERT_TRUE(view.enable());
    std::vector<ui::CubicInterval> silence;
    ui::appendWindowInterval(silence, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0);
    view.setPalette(3);  // orange: red above blue
    ASSERT_TRUE(view.renderLists(silence, {}, 200, 100, false));
    const std::uint8_t* px = pixelAt(view.picture(), 100, 33);
    EXPECT_GT(px[2], px[0]);
    view.setPalette(8);  // out of range: the first palette, blue above red
    ASSERT_TRUE(view.renderLists(silence, {}, 200, 100, false));
    px = pixelAt(view.picture(), 100, 33);
    EXPECT_GT(px[0], px[2]);
}

TEST_F(GpuTest, FailurePathsShowTheirTexts) {
    testSeams().noAdapter = true;
    {
        HardwareGeometryView view;
        EXPECT_FALSE(view.adapterPresent());
        EXPECT_EQ(view.lastError(), "No hardware Direct3D 11 display adapter was detected.");
        EXPECT_FALSE(view.enable());
        app::GeometryViewsController views(std::make_unique<HardwareGeometryView>(), nullptr);
        EXPECT_EQ(views.rendererLabel(), "Hardware geometry");
        app::GeometryTick tick;
        EXPECT_EQ(views.Update(tick), "No hardware Direct3D 11 display adapter was detected.");
        EXPECT_FALSE(views.inWindowActive());
    }
    testSeams() = {};
    {
        HardwareGeometryView view;
        testSeams().failShaderCompile = true;
        EXPECT_FALSE(view.enable());
        EXPECT_EQ(view.lastError().rfind("hardware geometry vertex shader failed to compile: ", 0),
                  0u)
            << view.lastError();
        EXPECT_FALSE(view.ready());
        testSeams().failShaderCompile = false;
        testSeams().adapterGone = true;
        EXPECT_FALSE(view.enable());
        EXPECT_EQ(view.lastError(),
                  "The Direct3D adapter detected at startup is no longer available.");
        testSeams().adapterGone = false;
        testSeams().failDevice = true;
        EXPECT_FALSE(view.enable());
        EXPECT_EQ(view.lastError().rfind("Unable to create a Direct3D 11 device on ", 0), 0u)
            << view.lastError();
        EXPECT_NE(view.lastError().find("HRESULT 0x80004005"), std::string::npos);
        testSeams().failDevice = false;
        EXPECT_TRUE(view.enable()) << view.lastError();
    }
    {
        GeometryStage stage(nullptr, GetModuleHandleW(nullptr));
        testSeams().failShaderCompile = true;
        EXPECT_FALSE(stage.open(app::StageScene::SurrogateCorridor, false));
        EXPECT_EQ(stage.lastError().rfind("A geometry-stage shader failed to compile: ", 0), 0u)
            << stage.lastError();
        EXPECT_FALSE(stage.isOpen());
        testSeams() = {};
        testSeams().noAdapter = true;
        EXPECT_FALSE(stage.open(app::StageScene::SurrogateCorridor, false));
        EXPECT_EQ(stage.lastError(),
                  "No hardware Direct3D 11 adapter is available for the geometry stage.");
        testSeams() = {};
        testSeams().failDevice = true;
        EXPECT_FALSE(stage.open(app::StageScene::WaveMotionSea, false));
        EXPECT_EQ(stage.lastError().rfind(
                      "Unable to create the geometry-stage D3D11 device: HRESULT 0x", 0),
                  0u);
    }
}

// An owner window that records the stage's messages.
struct Owner {
    static inline int closedMessages = 0;
    static inline int switchCommands = 0;
    static LRESULT CALLBACK proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m == kStageClosedMessage) {
            ++closedMessages;
            return 0;
        }
        if (m == WM_COMMAND && wp == 5010) {
            ++switchCommands;
            return 0;
        }
        return DefWindowProcW(w, m, wp, lp);
    }
    Owner() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &Owner::proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"AuralithGpuTestOwner";
        RegisterClassW(&wc);
        window = CreateWindowExW(0, wc.lpszClassName, L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480,
                                 nullptr, nullptr, wc.hInstance, nullptr);
        ShowWindow(window, SW_SHOW);
    }
    ~Owner() { DestroyWindow(window); }
    HWND window = nullptr;
};

bool saveStageShot(GeometryStage& stage, const std::string& name, int& litPixels) {
    std::vector<std::uint8_t> pixels;
    int w = 0, h = 0;
    if (!stage.captureBackBuffer(pixels, w, h)) {
        return false;
    }
    litPixels = 0;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        if (std::max({pixels[i], pixels[i + 1], pixels[i + 2]}) > 60) {
            ++litPixels;
        }
    }
    return test::writePng(artefact(name), pixels.data(), w, h, w * 4);
}

// Prints how long each step of a slow software-rasterised test took, so that
// a run that crawls shows where.
class StepClock {
  public:
    void mark(const char* step, std::uint64_t frames) {
        const DWORD now = GetTickCount();
        std::printf("  step %-28s %6lu ms  frames %llu\n", step,
                    static_cast<unsigned long>(now - last_),
                    static_cast<unsigned long long>(frames));
        std::fflush(stdout);
        last_ = now;
    }

  private:
    DWORD last_ = GetTickCount();
};

TEST_F(GpuTest, StagePresentsBothScenesAndClosesOnItsKeys) {
    Owner owner;
    ASSERT_TRUE(owner.window);
    HardwareGeometryView view;
    ASSERT_TRUE(view.enable()) << view.lastError();
    GeometryStage stage(owner.window, GetModuleHandleW(nullptr));
    stage.overrideBounds(kSmallStage);
    ASSERT_TRUE(stage.open(app::StageScene::WaveMotionSea, false)) << stage.lastError();
    ASSERT_TRUE(stage.isOpen());
    StepClock clock;
    clock.mark("open", 0);

    // With an empty history the sea draws and presents nothing.
    pump(120);
    clock.mark("empty sea", stage.framesPresented());
    EXPECT_EQ(stage.framesPresented(), 0u);
    EXPECT_TRUE(stage.lastError().empty()) << stage.lastError();

    ui::PresentationGeometrySnapshot snapshot;
    snapshot.channels[0] = sineList(64);
    snapshot.channels[1] = stepList();
    snapshot.time = 1.0;
    snapshot.windowLength = 0.05;
    for (int i = 0; i < 32; ++i) {
        snapshot.channels[0] = sineList(40 + i);
        ASSERT_TRUE(
            view.render(snapshot, app::kGeometryPictureWidth, app::kGeometryPictureHeight, true));
        ASSERT_TRUE(stage.feed(snapshot, view.picture())) << stage.lastError();
        if (i == 0) {
            clock.mark("first picture fed", stage.framesPresented());
        }
    }
    clock.mark("32 pictures fed", stage.framesPresented());
    EXPECT_EQ(stage.historyCount(), 30u);
    EXPECT_TRUE(pumpUntil([&] { return stage.framesPresented() >= 2; }, kFrameLimitMs))
        << stage.lastError();
    clock.mark("sea frames", stage.framesPresented());
    int lit = -1;
    stage.setBeforePresent([&](GeometryStage& s) {
        saveStageShot(s, "stage-wave-motion-sea.png", lit);
        s.setBeforePresent({});
    });
    EXPECT_TRUE(pumpUntil([&] { return lit >= 0; }, kFrameLimitMs));
    clock.mark("sea screenshot", stage.framesPresented());
    EXPECT_GT(lit, 1000);

    const std::uint64_t seaFrames = stage.framesPresented();
    stage.setScene(app::StageScene::SurrogateCorridor);
    stage.setTransport(true, false, true, 0.6f);
    ASSERT_TRUE(stage.feed(snapshot, {}));
    EXPECT_TRUE(pumpUntil([&] { return stage.framesPresented() >= seaFrames + 2; }, kFrameLimitMs))
        << stage.lastError();
    clock.mark("corridor frames", stage.framesPresented());
    lit = -1;
    stage.setBeforePresent([&](GeometryStage& s) {
        saveStageShot(s, "stage-surrogate-corridor.png", lit);
        s.setBeforePresent({});
    });
    EXPECT_TRUE(pumpUntil([&] { return lit >= 0; }, kFrameLimitMs));
    clock.mark("corridor screenshot", stage.framesPresented());
    EXPECT_GT(lit, 1000);
    EXPECT_TRUE(stage.lastError().empty()) << stage.lastError();

    // F9 asks the owner to switch; Escape closes and tells the owner.
    // (Closing releases the device, which under Wine can outlast a short pump.)
    PostMessageW(stage.window(), WM_KEYDOWN, VK_F9, 0);
    EXPECT_TRUE(pumpUntil([] { return Owner::switchCommands == 1; }, kFrameLimitMs));
    EXPECT_EQ(Owner::switchCommands, 1);
    PostMessageW(stage.window(), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(pumpUntil([] { return Owner::closedMessages == 1; }, kFrameLimitMs));
    EXPECT_FALSE(stage.isOpen());
    EXPECT_EQ(Owner::closedMessages, 1);

    // Reopens, and F11 closes it the same way.
    ASSERT_TRUE(stage.open(app::StageScene::SurrogateCorridor, true)) << stage.lastError();
    pump(40);
    PostMessageW(stage.window(), WM_KEYDOWN, VK_F11, 0);
    EXPECT_TRUE(pumpUntil([] { return Owner::closedMessages == 2; }, kFrameLimitMs));
    EXPECT_FALSE(stage.isOpen());
    EXPECT_EQ(Owner::closedMessages, 2);
    clock.mark("keys", stage.framesPresented());
}

TEST_F(GpuTest, ViewsFollowTheTickFromAnOpenedSource) {
    Owner owner;
    auto source = std::make_shared<const test::CurveSource>(48000, 96000, 440.0);
    auto stage = std::make_unique<GeometryStage>(owner.window, GetModuleHandleW(nullptr));
    stage->overrideBounds(kSmallStage);
    app::GeometryViewsController views(std::make_unique<HardwareGeometryView>(), std::move(stage),
                                       [&](const std::filesystem::path&) { return source; });
    EXPECT_EQ(views.rendererLabel().empty(), false);
    views.SourceOpened("curves.wav", source);
    app::GeometryTick tick;
    tick.sourceLoaded = true;
    tick.time = 0.5;
    tick.duration = 2.0;
    tick.sampleRate = 48000;
    tick.playing = true;
    std::string status;
    for (int i = 0; i < 200 && !views.picture().valid(); ++i) {
        status = views.Update(tick);
        ASSERT_EQ(status, "");
        pump(10);
    }
    const app::GeometryPicture picture = views.picture();
    ASSERT_TRUE(picture.valid());
    EXPECT_EQ(picture.width, 1350);
    EXPECT_EQ(picture.height, 235);
    test::writePng(artefact("hardware-view-from-source.png"), picture.pixels, picture.width,
                   picture.height, picture.stride);

    EXPECT_EQ(
        views.ToggleStage(false),
        views.rendererLabel() + " Wave Motion Sea active. F9 switches view; Esc or F11 closes it.");
    // The stage's own frames are covered above; here only the hand-over
    // (a software frame of the stage takes seconds under Wine).
    tick.time += 0.016;
    EXPECT_EQ(views.Update(tick), "");
    EXPECT_EQ(views.SwitchStageView(),
              "Surrogate Corridor active. F9 switches view; Esc or F11 closes it.");
    EXPECT_EQ(views.Update(tick), "");
    EXPECT_EQ(views.ToggleStage(false),
              "Fullscreen geometry stage closed. Press F11 to reopen it.");
    EXPECT_FALSE(views.stageOpen());
    views.Shutdown();
    EXPECT_FALSE(views.picture().valid());
}

TEST_F(GpuTest, FactoryMakesThePort) {
    Owner owner;
    auto views = MakeGeometryViews(owner.window, GetModuleHandleW(nullptr));
    ASSERT_TRUE(views);
    EXPECT_FALSE(views->stageOpen());
    EXPECT_EQ(views->stageSceneName(), "Wave Motion Sea");
    const std::string label = views->rendererLabel();
    EXPECT_TRUE(label == "NVIDIA" || label == "Direct3D") << label;
}

}  // namespace
}  // namespace al::win::gpu
