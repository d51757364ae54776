// GDI+ drawing of the turntable faceplate. Everything is drawn in design
// units through a world transform that scales and centres the 1458 x 1023
// canvas, so the same numbers serve the paint and the hit tests
// (visual/FaceplateLayout). The static layers (plate artwork, meter faces)
// are drawn once per client size into a cache; each paint copies the cache
// into a frame, draws what moves, and copies the frame to the window, so the
// screen never shows a half-drawn faceplate.

#include "platform/windows/faceplate/FaceplatePainter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <stdexcept>
#include <utility>

#include "platform/Utf16.h"
#include "platform/windows/faceplate/GdiPlus.h"
#include "visual/FaceplateLayout.h"

namespace al::win {
namespace {

using gdi::Argb;
using gdi::Faded;
namespace gp = Gdiplus;

constexpr int kSplashImage = 102;
constexpr int kPlateImage = 103;
constexpr int kBadgeImage = 104;

constexpr std::uint32_t kText = 0xF5E5E5E8;
constexpr std::uint32_t kSourceText = 0xDCE4E4E7;
constexpr std::uint32_t kAmber = 0xFFFFB740;
constexpr std::uint32_t kWarning = 0xFFFF5A4A;

// Meter face window in design units (the plate's bezels frame it).
constexpr visual::DesignRect kMeterFaces[2] = {{356, 111, 327, 130}, {781, 111, 327, 130}};
constexpr double kMeterFaceRadius = 12.0;

// A meter face artwork bitmap is made at this many pixels per design unit.
constexpr int kFaceResolution = 3;

std::wstring Wide(const std::string& text) {
    const std::u16string u = platform::utf16FromUtf8(text);
    return std::wstring(u.begin(), u.end());
}

gp::RectF Rect(double x, double y, double w, double h) noexcept {
    return gp::RectF(static_cast<gp::REAL>(x), static_cast<gp::REAL>(y), static_cast<gp::REAL>(w),
                     static_cast<gp::REAL>(h));
}
gp::RectF Rect(const visual::DesignRect& r) noexcept {
    return Rect(r.x, r.y, r.width, r.height);
}
gp::PointF Point(double x, double y) noexcept {
    return gp::PointF(static_cast<gp::REAL>(x), static_cast<gp::REAL>(y));
}
gp::PointF Point(visual::DesignPoint p) noexcept {
    return Point(p.x, p.y);
}
gp::REAL F(double v) noexcept {
    return static_cast<gp::REAL>(v);
}

void AddRoundedRect(gp::GraphicsPath& path, const gp::RectF& r, gp::REAL radius) {
    const gp::REAL d = std::min({radius * 2, r.Width, r.Height});
    if (d <= 0) {
        path.AddRectangle(r);
        return;
    }
    path.AddArc(r.X, r.Y, d, d, 180, 90);
    path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
    path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
    path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
    path.CloseFigure();
}

// Picks the first font family the system has, for a stable look across
// Windows versions and Wine.
std::unique_ptr<gp::FontFamily> PickFamily(std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
        auto family = std::make_unique<gp::FontFamily>(name);
        if (family->GetLastStatus() == gp::Ok && family->IsAvailable())
            return family;
    }
    return nullptr;
}

}  // namespace

struct FaceplatePainter::Impl {
    ULONG_PTR token = 0;
    std::unique_ptr<gp::Bitmap> splash;
    std::unique_ptr<gp::Bitmap> plate;
    std::unique_ptr<gp::Bitmap> badge;
    std::unique_ptr<gp::Bitmap> meterFace;
    std::unique_ptr<gp::FontFamily> family;
    std::unique_ptr<gp::FontFamily> badgeFamily;
    // Fonts by size (tenths of a design unit), weight and family, made on first use.
    std::map<int, std::unique_ptr<gp::Font>> fonts;
    gdi::Surface cache;
    gdi::Surface frame;
    int status = 0;

    void Note(gp::Status s) noexcept {
        if (s != gp::Ok)
            status = static_cast<int>(s);
    }

    const gp::Font* FontOf(double size, bool bold, bool badgeFont = false);
    void DrawText(gp::Graphics& g, const std::wstring& text, const gp::RectF& box, double size,
                  gp::Color colour, gp::StringAlignment horizontal = gp::StringAlignmentNear,
                  gp::StringAlignment vertical = gp::StringAlignmentCenter, bool bold = false,
                  bool wrap = false);

    void MakeMeterFace();
    void EnsureCache(int width, int height);
    void DrawStatic(gp::Graphics& g, int width, int height);
    void DrawMeterScale(gp::Graphics& g, const visual::DesignRect& face, visual::DesignPoint pivot,
                        const wchar_t* name);
    void DrawDynamic(gp::Graphics& g, const FaceplatePaintInput& input);
    void DrawPicture(gp::Graphics& g, const FaceplatePaintInput& input);
    void DrawCarriage(gp::Graphics& g, const app::FaceplateState& state);
    void DrawStreamer(gp::Graphics& g, const app::FaceplateState& state);
    void DrawParked(gp::Graphics& g, double strength);
    void DrawNeedles(gp::Graphics& g, const app::FaceplateState& state);
    void DrawTexts(gp::Graphics& g, const FaceplatePaintInput& input,
                   const app::FaceplateState& state);
    void DrawControls(gp::Graphics& g, const app::FaceplateState& state);
};

const gp::Font* FaceplatePainter::Impl::FontOf(double size, bool bold, bool badgeFont) {
    const int key =
        static_cast<int>(std::lround(size * 10)) * 4 + (bold ? 1 : 0) + (badgeFont ? 2 : 0);
    auto& slot = fonts[key];
    if (!slot) {
        const gp::FontFamily* fam = badgeFont && badgeFamily ? badgeFamily.get() : family.get();
        const int style = bold ? gp::FontStyleBold : gp::FontStyleRegular;
        if (fam != nullptr) {
            slot = std::make_unique<gp::Font>(fam, F(size), style, gp::UnitPixel);
        } else {
            slot = std::make_unique<gp::Font>(gp::FontFamily::GenericSansSerif(), F(size), style,
                                              gp::UnitPixel);
        }
    }
    return slot.get();
}

void FaceplatePainter::Impl::DrawText(gp::Graphics& g, const std::wstring& text,
                                      const gp::RectF& box, double size, gp::Color colour,
                                      gp::StringAlignment horizontal, gp::StringAlignment vertical,
                                      bool bold, bool wrap) {
    if (text.empty())
        return;
    gp::StringFormat format;
    format.SetAlignment(horizontal);
    format.SetLineAlignment(vertical);
    format.SetTrimming(gp::StringTrimmingEllipsisCharacter);
    if (!wrap)
        format.SetFormatFlags(gp::StringFormatFlagsNoWrap);
    gp::SolidBrush brush(colour);
    Note(g.DrawString(text.c_str(), static_cast<INT>(text.size()), FontOf(size, bold), box, &format,
                      &brush));
}

// The meter face artwork: a warm, lamp-lit card with a soft vignette. The
// scale is drawn over it in vector form so it stays sharp at any size.
void FaceplatePainter::Impl::MakeMeterFace() {
    const int w = static_cast<int>(kMeterFaces[0].width) * kFaceResolution;
    const int h = static_cast<int>(kMeterFaces[0].height) * kFaceResolution;
    meterFace = std::make_unique<gp::Bitmap>(w, h, PixelFormat32bppPARGB);
    if (meterFace->GetLastStatus() != gp::Ok) {
        meterFace.reset();
        return;
    }
    gp::Graphics g(meterFace.get());
    g.SetSmoothingMode(gp::SmoothingModeAntiAlias);
    g.Clear(Argb(0x00000000));
    gp::GraphicsPath card;
    AddRoundedRect(card, Rect(0, 0, w, h), F(kMeterFaceRadius * kFaceResolution));
    gp::LinearGradientBrush paper(Point(0, 0), Point(0, h), Argb(0xFFF6E7C4), Argb(0xFFDDBE86));
    g.FillPath(&paper, &card);
    // Lamp glow from below the scale's pivot.
    gp::GraphicsPath glowPath;
    glowPath.AddEllipse(Rect(-0.25 * w, 0.35 * h, 1.5 * w, 1.4 * h));
    gp::PathGradientBrush glow(&glowPath);
    glow.SetCenterColor(Argb(0x70FFD27A));
    gp::Color edge = Argb(0x00FFD27A);
    INT count = 1;
    glow.SetSurroundColors(&edge, &count);
    g.SetClip(&card);
    g.FillPath(&glow, &glowPath);
    // Vignette towards the bezel.
    gp::Pen shade(Argb(0x30381E00), F(10 * kFaceResolution));
    g.DrawPath(&shade, &card);
    gp::Pen shade2(Argb(0x24381E00), F(22 * kFaceResolution));
    g.DrawPath(&shade2, &card);
}

FaceplatePainter::FaceplatePainter(HINSTANCE module) : impl_(std::make_unique<Impl>()) {
    gp::GdiplusStartupInput startup;
    if (gp::GdiplusStartup(&impl_->token, &startup, nullptr) != gp::Ok)
        throw std::runtime_error("Unable to start GDI+");
    // Missing artwork leaves its place to the vector drawing beneath it.
    impl_->splash = gdi::LoadPngResource(module, kSplashImage);
    impl_->plate = gdi::LoadPngResource(module, kPlateImage);
    impl_->badge = gdi::LoadPngResource(module, kBadgeImage);
    impl_->family =
        PickFamily({L"Segoe UI", L"Tahoma", L"Arial", L"Liberation Sans", L"DejaVu Sans"});
    impl_->badgeFamily = PickFamily({L"Segoe UI", L"Arial", L"Liberation Sans", L"DejaVu Sans"});
    impl_->MakeMeterFace();
}

FaceplatePainter::~FaceplatePainter() {
    // Every GDI+ object goes before GDI+ itself.
    const ULONG_PTR token = impl_->token;
    impl_.reset();
    gp::GdiplusShutdown(token);
}

int FaceplatePainter::lastStatus() const noexcept {
    return impl_->status;
}

void FaceplatePainter::Impl::EnsureCache(int width, int height) {
    if (cache.dc() != nullptr && cache.width() == width && cache.height() == height)
        return;
    frame.reset();
    if (!cache.create(width, height)) {
        cache.reset();
        throw std::runtime_error("Unable to cache meter faces");
    }
    if (!frame.create(width, height)) {
        cache.reset();
        throw std::runtime_error("Unable to create meter drawing surface");
    }
    gp::Graphics g(cache.dc());
    if (g.GetLastStatus() != gp::Ok) {
        cache.reset();
        frame.reset();
        throw std::runtime_error("Unable to create meter drawing surface");
    }
    DrawStatic(g, width, height);
}

void FaceplatePainter::Impl::DrawStatic(gp::Graphics& g, int width, int height) {
    const visual::CanvasTransform t = visual::CanvasTransform::ForClient(width, height);
    Note(g.Clear(Argb(0xFF080809)));
    gp::SolidBrush base(Argb(0xFF0B0B0C));
    Note(g.FillRectangle(&base, 0, 0, width, height));
    g.SetSmoothingMode(gp::SmoothingModeAntiAlias);
    g.SetInterpolationMode(gp::InterpolationModeHighQualityBicubic);
    g.SetPixelOffsetMode(gp::PixelOffsetModeHalf);
    g.SetTextRenderingHint(gp::TextRenderingHintAntiAlias);
    g.TranslateTransform(F(t.offsetX), F(t.offsetY));
    g.ScaleTransform(F(t.scale), F(t.scale));

    const gp::RectF canvas = Rect(0, 0, visual::kCanvasWidth, visual::kCanvasHeight);
    gp::LinearGradientBrush gradient(Point(0, 0), Point(0, visual::kCanvasHeight), Argb(0xFF1F1F1F),
                                     Argb(0xFF151515));
    Note(g.FillRectangle(&gradient, canvas));
    if (plate)
        Note(g.DrawImage(plate.get(), canvas));

    DrawMeterScale(g, kMeterFaces[0], visual::kLeftMeterPivot, L"LEFT");
    DrawMeterScale(g, kMeterFaces[1], visual::kRightMeterPivot, L"RIGHT");
}

void FaceplatePainter::Impl::DrawMeterScale(gp::Graphics& g, const visual::DesignRect& face,
                                            visual::DesignPoint pivot, const wchar_t* name) {
    gp::GraphicsPath card;
    AddRoundedRect(card, Rect(face), F(kMeterFaceRadius));
    if (meterFace) {
        Note(g.DrawImage(meterFace.get(), Rect(face)));
    } else {
        gp::SolidBrush paper(Argb(0xFFEBD3A2));
        Note(g.FillPath(&paper, &card));
    }
    gp::Region previous;
    g.GetClip(&previous);
    g.SetClip(&card, gp::CombineModeIntersect);

    const auto at = [&](double db, double radius) {
        const double a = ((db + 40.0) / 43.0 * 70.0 - 125.5) * std::numbers::pi / 180.0;
        return Point(pivot.x + radius * std::cos(a), pivot.y + radius * std::sin(a));
    };
    const auto sweep = [](double db) { return F((db + 40.0) / 43.0 * 70.0 - 125.5); };
    const gp::RectF arc200 = Rect(pivot.x - 200, pivot.y - 200, 400, 400);

    gp::Pen ink(Argb(0xFF3A2410), 1.4f);
    gp::Pen red(Argb(0xFFC0392B), 6.0f);
    const gp::RectF arc203 = Rect(pivot.x - 203, pivot.y - 203, 406, 406);
    Note(g.DrawArc(&red, arc203, sweep(0.0), sweep(3.0) - sweep(0.0)));
    Note(g.DrawArc(&ink, arc200, sweep(-40.0), sweep(3.0) - sweep(-40.0)));

    const double marks[] = {-40, -35, -30, -25, -20, -17, -14, -12, -10, -8, -7,
                            -6,  -5,  -4,  -3,  -2,  -1,  0,   1,   2,   3};
    gp::Pen tick(Argb(0xFF3A2410), 1.3f);
    gp::Pen redTick(Argb(0xFFB02A1E), 1.6f);
    for (double db : marks) {
        const bool major = db == -40 || db == -20 || db == -10 || db == -5 || db == -3 || db == 0 ||
                           db == 3 || db == -30 || db == -7;
        Note(g.DrawLine(db > 0 ? &redTick : &tick, at(db, major ? 194 : 198),
                        at(db, major ? 213 : 207)));
    }
    struct Label {
        double db;
        const wchar_t* text;
    };
    const Label labels[] = {{-40, L"40"}, {-30, L"30"}, {-20, L"20"}, {-10, L"10"}, {-7, L"7"},
                            {-5, L"5"},   {-3, L"3"},   {0, L"0"},    {3, L"+3"}};
    for (const Label& l : labels) {
        const gp::PointF p = at(l.db, 225);
        DrawText(g, l.text, Rect(p.X - 20, p.Y - 9, 40, 18), 12.5,
                 Argb(l.db >= 0 ? 0xFFB02A1E : 0xFF3A2410), gp::StringAlignmentCenter,
                 gp::StringAlignmentCenter, true);
    }
    // Minus sign and unit, as on a studio meter's card.
    const gp::PointF minus = at(-41.5, 236);
    DrawText(g, L"\u2212", Rect(minus.X - 12, minus.Y - 9, 24, 18), 13, Argb(0xFF3A2410),
             gp::StringAlignmentCenter, gp::StringAlignmentCenter, true);
    DrawText(g, L"dB", Rect(pivot.x - 40, 176, 80, 20), 13, Argb(0xFF5A3A1C),
             gp::StringAlignmentCenter, gp::StringAlignmentCenter, true);
    DrawText(g, L"PEAK", Rect(face.x + 14, face.y + face.height - 26, 80, 18), 10, Argb(0xB05A3A1C),
             gp::StringAlignmentNear, gp::StringAlignmentCenter, true);
    DrawText(g, name, Rect(face.x + face.width - 94, face.y + face.height - 26, 80, 18), 11,
             Argb(0xFF3A2410), gp::StringAlignmentFar, gp::StringAlignmentCenter, true);

    // The housing over the needle's pivot, below the scale.
    gp::GraphicsPath housing;
    housing.AddEllipse(Rect(pivot.x - 128, pivot.y - 128, 256, 256));
    gp::PathGradientBrush housingBrush(&housing);
    housingBrush.SetCenterColor(Argb(0xFF2A1A0C));
    gp::Color rim = Argb(0xFF4A3018);
    INT one = 1;
    housingBrush.SetSurroundColors(&rim, &one);
    Note(g.FillPath(&housingBrush, &housing));
    gp::Pen housingEdge(Argb(0x80F0D8A8), 1.2f);
    Note(g.DrawEllipse(&housingEdge, Rect(pivot.x - 128, pivot.y - 128, 256, 256)));

    g.SetClip(&previous);
}

void FaceplatePainter::Paint(HDC dc, const RECT& client, const FaceplatePaintInput& input) {
    Impl& m = *impl_;
    m.status = 0;
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0 || input.state == nullptr)
        return;
    m.EnsureCache(width, height);
    // Both layers are DIBs of the client's size: the frame starts as a copy
    // of the cache, and is drawn into through its memory rather than its DC,
    // which spares a read-back and write of the pixels for each operation.
    GdiFlush();
    std::memcpy(m.frame.pixels(), m.cache.pixels(), static_cast<std::size_t>(width) * height * 4);
    {
        gp::Bitmap target(width, height, width * 4, PixelFormat32bppRGB,
                          reinterpret_cast<BYTE*>(m.frame.pixels()));
        gp::Graphics g(&target);
        m.Note(g.GetLastStatus());
        const visual::CanvasTransform t = visual::CanvasTransform::ForClient(width, height);
        g.SetSmoothingMode(gp::SmoothingModeAntiAlias);
        g.SetPixelOffsetMode(gp::PixelOffsetModeHalf);
        g.SetTextRenderingHint(gp::TextRenderingHintAntiAlias);
        g.TranslateTransform(F(t.offsetX), F(t.offsetY));
        g.ScaleTransform(F(t.scale), F(t.scale));
        m.DrawDynamic(g, input);
    }
    BitBlt(dc, client.left, client.top, width, height, m.frame.dc(), 0, 0, SRCCOPY);
}

void FaceplatePainter::PaintStatisticsBackground(HDC dc, const RECT& client) {
    Impl& m = *impl_;
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0)
        return;
    gp::Graphics g(dc);
    m.Note(g.GetLastStatus());
    gp::SolidBrush background(Argb(0xFF1E1E22));
    m.Note(g.FillRectangle(&background, client.left, client.top, width, height));
    if (!m.splash)
        return;
    const visual::PixelRect r =
        visual::SplashRect(width, height, static_cast<int>(m.splash->GetWidth()),
                           static_cast<int>(m.splash->GetHeight()));
    if (r.empty())
        return;
    g.SetInterpolationMode(gp::InterpolationModeHighQualityBicubic);
    m.Note(g.DrawImage(m.splash.get(), client.left + r.left, client.top + r.top, r.right - r.left,
                       r.bottom - r.top));
}

bool FaceplatePainter::GrabsTonearm(const RECT& client, POINT point,
                                    const app::FaceplateState& state) const {
    const visual::CanvasTransform t =
        visual::CanvasTransform::ForClient(client.right - client.left, client.bottom - client.top);
    const visual::DesignPoint p = t.toDesign(point.x - client.left, point.y - client.top);
    return visual::CarriageContains(p, state.playFraction, state.stylusState);
}

// ---- What moves ----

void FaceplatePainter::Impl::DrawDynamic(gp::Graphics& g, const FaceplatePaintInput& input) {
    const app::FaceplateState& state = *input.state;
    DrawPicture(g, input);
    DrawNeedles(g, state);
    DrawControls(g, state);
    DrawTexts(g, input, state);
    DrawCarriage(g, state);
    DrawStreamer(g, state);
    DrawParked(g, state.parkedStrength);
}

void FaceplatePainter::Impl::DrawPicture(gp::Graphics& g, const FaceplatePaintInput& input) {
    const gp::RectF area = Rect(visual::kGeometryPictureRect);
    const app::GeometryPicture& picture = input.picture;
    if (picture.valid()) {
        // The window's pixels are used in place; GDI+ only reads them here.
        gp::Bitmap view(picture.width, picture.height, picture.stride, PixelFormat32bppRGB,
                        const_cast<BYTE*>(picture.pixels));
        Note(view.GetLastStatus());
        const gp::InterpolationMode previous = g.GetInterpolationMode();
        g.SetInterpolationMode(gp::InterpolationModeHighQualityBilinear);
        Note(g.DrawImage(&view, area));
        g.SetInterpolationMode(previous);
        if (input.overlay) {
            const std::uint32_t colours[2] = {0xDCAEEFFF, 0xDCC2CDFF};
            for (int channel = 0; channel < 2; ++channel) {
                const auto& points = input.overlayPoints[channel];
                if (points.empty())
                    continue;
                gp::SolidBrush dot(Argb(colours[channel]));
                for (const OverlayPoint& p : points) {
                    const visual::DesignPoint q = visual::OverlayPointAt(channel, p.x, p.value);
                    Note(g.FillEllipse(&dot, F(q.x - 2.2), F(q.y - 2.2), 4.4f, 4.4f));
                }
            }
        }
        return;
    }
    // Placeholder: an empty scope with the two channels' baselines.
    gp::Pen grid(Argb(0x14FFFFFF), 1.0f);
    for (int i = 1; i < 12; ++i) {
        const double x = area.X + area.Width * i / 12.0;
        Note(g.DrawLine(&grid, Point(x, area.Y + 6), Point(x, area.Y + area.Height - 6)));
    }
    gp::Pen baseline(Argb(0x30AEEFFF), 1.0f);
    for (double b : visual::kOverlayBaselines) {
        const double y = area.Y + area.Height * b;
        Note(g.DrawLine(&baseline, Point(area.X + 8, y), Point(area.X + area.Width - 8, y)));
    }
}

void FaceplatePainter::Impl::DrawNeedles(gp::Graphics& g, const app::FaceplateState& state) {
    const visual::DesignPoint pivots[2] = {visual::kLeftMeterPivot, visual::kRightMeterPivot};
    for (int i = 0; i < 2; ++i) {
        gp::GraphicsPath card;
        AddRoundedRect(card, Rect(kMeterFaces[i]), F(kMeterFaceRadius));
        gp::Region previous;
        g.GetClip(&previous);
        g.SetClip(&card, gp::CombineModeIntersect);
        const visual::NeedleLine line = visual::NeedleAt(pivots[i], state.meterLevels[i]);
        gp::Pen shadow(Argb(0x69281405), 5.0f);
        shadow.SetStartCap(gp::LineCapRound);
        shadow.SetEndCap(gp::LineCapRound);
        Note(g.DrawLine(&shadow, Point(line.from.x + 2.5, line.from.y + 3),
                        Point(line.to.x + 2.5, line.to.y + 3)));
        gp::Pen needle(Argb(0xFF27180A), 2.5f);
        needle.SetStartCap(gp::LineCapRound);
        needle.SetEndCap(gp::LineCapRound);
        Note(g.DrawLine(&needle, Point(line.from), Point(line.to)));
        // The meter's glass: a soft sheen over the upper half.
        const visual::DesignRect& f = kMeterFaces[i];
        gp::LinearGradientBrush sheen(Point(0, f.y), Point(0, f.y + f.height * 0.55),
                                      Argb(0x2CFFFFFF), Argb(0x00FFFFFF));
        Note(g.FillRectangle(&sheen, Rect(f.x, f.y, f.width, f.height * 0.55)));
        g.SetClip(&previous);
    }
}

void FaceplatePainter::Impl::DrawControls(gp::Graphics& g, const app::FaceplateState& state) {
    // Seek thumb over the position scale.
    const visual::DesignRect thumb = visual::SeekThumbRect(state.playFraction);
    gp::GraphicsPath shadowPath;
    AddRoundedRect(shadowPath, Rect(thumb.x + 2.5, thumb.y + 3, thumb.width, thumb.height),
                   F(visual::kSeekThumbRadius));
    gp::SolidBrush shadow(Argb(0xB9000000));
    Note(g.FillPath(&shadow, &shadowPath));
    gp::GraphicsPath thumbPath;
    AddRoundedRect(thumbPath, Rect(thumb), F(visual::kSeekThumbRadius));
    gp::LinearGradientBrush metal(Point(0, thumb.y), Point(0, thumb.y + thumb.height),
                                  Argb(0xFFE4E6EA), Argb(0xFF7C8088));
    Note(g.FillPath(&metal, &thumbPath));
    gp::Pen edge(Argb(0xFF2A2B2E), 1.0f);
    Note(g.DrawPath(&edge, &thumbPath));
    gp::Pen index(Argb(0xFFC8281E), 2.0f);
    const double cx = thumb.x + thumb.width / 2;
    Note(g.DrawLine(&index, Point(cx, thumb.y + 6), Point(cx, thumb.y + thumb.height - 6)));

    // Output level: the bar along the level track and the knob's arc.
    const double level = state.volumeControllable
                             ? std::clamp(static_cast<double>(state.volumeLevel), 0.0, 1.0)
                             : 0.0;
    if (state.volumeControllable) {
        gp::LinearGradientBrush bar(Point(215, 0), Point(1215, 0), Argb(0xFF7A4A10),
                                    Argb(0xFFFFB740));
        const double x = visual::VolumeScaleX(level);
        if (x > 215.5)
            Note(g.FillRectangle(&bar, Rect(215, 681.5, x - 215, 5)));
    }
    const visual::DesignPoint knob = visual::kVolumeKnobCentre;
    const gp::RectF ring = Rect(knob.x - 80, knob.y - 80, 160, 160);
    gp::Pen track(Argb(0x50000000), 4.0f);
    Note(g.DrawArc(&track, ring, 135.0f, 270.0f));
    if (state.volumeControllable && level > 0.0) {
        gp::Pen lit(Argb(0xFFFFB740), 4.0f);
        lit.SetStartCap(gp::LineCapRound);
        lit.SetEndCap(gp::LineCapRound);
        Note(g.DrawArc(&lit, ring, 135.0f, F(270.0 * level)));
    }
    const double pointer =
        (visual::VolumeKnobSweepDegrees(level) - 90.0) * std::numbers::pi / 180.0;
    gp::Pen mark(Argb(state.volumeControllable ? 0xFFFFB740 : 0xFF8A8C92), 3.0f);
    mark.SetStartCap(gp::LineCapRound);
    mark.SetEndCap(gp::LineCapRound);
    Note(g.DrawLine(&mark, Point(knob.x + 38 * std::cos(pointer), knob.y + 38 * std::sin(pointer)),
                    Point(knob.x + 54 * std::cos(pointer), knob.y + 54 * std::sin(pointer))));

    // Needle-lift lever handle in its slot.
    const double lever = 212.0 + (378.0 - 212.0) * visual::NeedleLeverPosition(state.stylusState);
    gp::SolidBrush leverShadow(Argb(0x90000000));
    Note(g.FillEllipse(&leverShadow, Rect(lever - 15, 893, 32, 32)));
    gp::GraphicsPath leverPath;
    leverPath.AddEllipse(Rect(lever - 16, 890, 32, 32));
    gp::PathGradientBrush leverBrush(&leverPath);
    leverBrush.SetCenterPoint(Point(lever - 5, 899));
    leverBrush.SetCenterColor(Argb(0xFFF2F3F6));
    gp::Color leverRim = Argb(0xFF5C6068);
    INT one = 1;
    leverBrush.SetSurroundColors(&leverRim, &one);
    Note(g.FillPath(&leverBrush, &leverPath));

    // Indicator lamps: loop, mute and power.
    const auto lamp = [&](double x, double y, bool on, std::uint32_t colour) {
        gp::SolidBrush off(Argb(0xFF202124));
        Note(g.FillEllipse(&off, Rect(x - 4.5, y - 4.5, 9, 9)));
        if (!on)
            return;
        gp::GraphicsPath halo;
        halo.AddEllipse(Rect(x - 12, y - 12, 24, 24));
        gp::PathGradientBrush glow(&halo);
        glow.SetCenterColor(Faded(colour, 0.55));
        gp::Color clear = Faded(colour, 0.0);
        INT n = 1;
        glow.SetSurroundColors(&clear, &n);
        Note(g.FillPath(&glow, &halo));
        gp::SolidBrush bulb(Argb(colour));
        Note(g.FillEllipse(&bulb, Rect(x - 3.5, y - 3.5, 7, 7)));
    };
    lamp(1019, 572, state.loopOn, kAmber);
    lamp(1418, 639, state.muted, kWarning);
    lamp(93, 846, state.powerPressed || state.sourceLoaded,
         state.powerPressed ? kWarning : 0xFF5CD67A);
    if (state.powerPressed) {
        gp::Pen ring2(Faded(kWarning, 0.8), 2.5f);
        Note(g.DrawEllipse(&ring2, Rect(93 - 42, 900 - 42, 84, 84)));
    }

    // Transport key symbols, left of their captions.
    gp::SolidBrush symbol(Argb(0xE6D8DADF));
    if (state.playCaption == "Pause") {
        Note(g.FillRectangle(&symbol, Rect(452, 580, 6, 20)));
        Note(g.FillRectangle(&symbol, Rect(463, 580, 6, 20)));
    } else if (state.playCaption == "Cancel") {
        gp::Pen cross(Argb(0xE6D8DADF), 3.5f);
        Note(g.DrawLine(&cross, Point(451, 580), Point(469, 600)));
        Note(g.DrawLine(&cross, Point(469, 580), Point(451, 600)));
    } else {
        const gp::PointF triangle[] = {Point(452, 579), Point(472, 590), Point(452, 601)};
        Note(g.FillPolygon(&symbol, triangle, 3));
    }
    Note(g.FillRectangle(&symbol, Rect(652, 581, 18, 18)));
    gp::Pen loop(Argb(0xE6D8DADF), 3.0f);
    Note(g.DrawArc(&loop, Rect(846, 580, 24, 20), 200.0f, 290.0f));
    const gp::PointF arrow[] = {Point(843, 582), Point(853, 588), Point(842, 593)};
    Note(g.FillPolygon(&symbol, arrow, 3));

    // The badge in its socket.
    if (badge) {
        Note(g.DrawImage(badge.get(), Rect(136, 197, 108, 108)));
    }
}

void FaceplatePainter::Impl::DrawTexts(gp::Graphics& g, const FaceplatePaintInput& input,
                                       const app::FaceplateState& state) {
    using SA = gp::StringAlignment;
    const gp::Color text = Argb(kText);
    DrawText(g, state.opening ? L"Opening Music" : L"Open Music", Rect(69, 35, 142, 41), 20, text,
             SA::StringAlignmentCenter);
    DrawText(g, Wide(state.endpointText), Rect(272, 30, 923, 47), 21, text,
             SA::StringAlignmentCenter);
    DrawText(g, L"Refresh", Rect(1228, 35, 196, 41), 20, text, SA::StringAlignmentCenter);
    DrawText(g, Wide(state.capturedText), Rect(27, 93, 321, 45), 16, Argb(kSourceText),
             SA::StringAlignmentCenter);

    if (state.sourceLoaded && state.wavDirect) {
        const gp::RectF badgeBox = Rect(27, 138, 321, 54);
        gp::StringFormat format;
        format.SetAlignment(SA::StringAlignmentCenter);
        format.SetLineAlignment(SA::StringAlignmentCenter);
        format.SetFormatFlags(gp::StringFormatFlagsNoWrap);
        gp::SolidBrush glow(Argb(0x69FF9118));
        gp::SolidBrush face(Argb(0xFFFFB740));
        Note(g.DrawString(L"WAV DIRECT", -1, FontOf(36, true, true), badgeBox, &format, &glow));
        Note(g.DrawString(L"WAV DIRECT", -1, FontOf(34, true, true), badgeBox, &format, &face));
    }

    // The exact output contract, coloured by the chain's state.
    std::uint32_t contract = kText;
    if (state.unavailable)
        contract = kWarning;
    if (state.initialising)
        contract = kAmber;
    DrawText(g, Wide(state.playingAtText), Rect(414, 259, 637, 57), 22, Argb(contract),
             SA::StringAlignmentCenter);

    // Time, on its own plate over the picture's lower edge.
    gp::GraphicsPath timePlate;
    AddRoundedRect(timePlate, Rect(611, 507, 242, 55), 10.0f);
    gp::SolidBrush plateShadow(Argb(0x80000000));
    gp::GraphicsPath timeShadow;
    AddRoundedRect(timeShadow, Rect(613, 510, 242, 55), 10.0f);
    Note(g.FillPath(&plateShadow, &timeShadow));
    gp::LinearGradientBrush plateBrush(Point(0, 507), Point(0, 562), Argb(0xF22A2B2F),
                                       Argb(0xF2141416));
    Note(g.FillPath(&plateBrush, &timePlate));
    gp::Pen plateEdge(Argb(0x60A0A4AC), 1.0f);
    Note(g.DrawPath(&plateEdge, &timePlate));
    DrawText(g, Wide(state.timeText), Rect(611, 507, 242, 55), 22, text, SA::StringAlignmentCenter);

    // Transport captions.
    DrawText(g, Wide(state.playCaption), Rect(492, 574, 90, 32), 20, text,
             SA::StringAlignmentCenter);
    DrawText(g, L"Stop", Rect(692, 574, 85, 32), 20, text, SA::StringAlignmentCenter);
    DrawText(g, Wide(state.loopCaption), Rect(891, 574, 125, 32), 20, text,
             SA::StringAlignmentCenter);
    DrawText(g, Wide(state.muteCaption), Rect(1236, 641, 160, 32), 20, text,
             SA::StringAlignmentCenter);

    // Lower display: what is on the platter and what to do next.
    const std::wstring title = input.trackTitle.empty() ? Wide(state.readyText) : input.trackTitle;
    DrawText(g, title, Rect(150, 704, 780, 44), 26, text, SA::StringAlignmentNear,
             SA::StringAlignmentCenter, true);
    if (!input.trackTitle.empty())
        DrawText(g, Wide(state.readyText), Rect(940, 704, 370, 44), 18, Argb(kAmber),
                 SA::StringAlignmentFar);
    DrawText(g, Wide(state.hintText), Rect(150, 752, 760, 66), 17, Argb(kSourceText),
             SA::StringAlignmentNear, SA::StringAlignmentNear, false, true);
    DrawText(g, Wide(state.modeText), Rect(920, 752, 390, 28), 17, Argb(kSourceText),
             SA::StringAlignmentFar);
    DrawText(g, Wide(state.rateText), Rect(920, 784, 390, 28), 17, Argb(0xB4E4E4E7),
             SA::StringAlignmentFar);

    // Status window.
    DrawText(g, input.statusText, Rect(462, 862, 950, 100), 18, Argb(kSourceText),
             SA::StringAlignmentNear, SA::StringAlignmentCenter, false, true);
}

void FaceplatePainter::Impl::DrawCarriage(gp::Graphics& g, const app::FaceplateState& state) {
    // The rail along the picture's top edge.
    gp::LinearGradientBrush rail(Point(0, 311), Point(0, 321), Argb(0xFFD8DADF), Argb(0xFF4E5258));
    Note(g.FillRectangle(&rail, Rect(55, 312, 1350, 8)));
    gp::Pen railEdge(Argb(0xA0000000), 1.0f);
    Note(g.DrawLine(&railEdge, Point(55, 320.5), Point(1405, 320.5)));

    const visual::DesignRect box = visual::CarriageRect(state.playFraction, state.stylusState);
    const double x = box.x + box.width / 2;
    const double tip = box.y + box.height;
    // Rod.
    gp::SolidBrush rodShadow(Argb(0x70000000));
    Note(g.FillRectangle(&rodShadow, Rect(x - 1, 332, 5, tip - 30 - 332)));
    gp::LinearGradientBrush rod(Point(x - 2.5, 0), Point(x + 2.5, 0), Argb(0xFFF0F1F4),
                                Argb(0xFF6A6E76));
    Note(g.FillRectangle(&rod, Rect(x - 2.5, 330, 5, tip - 28 - 330)));
    // Cartridge.
    gp::GraphicsPath cartridge;
    const gp::PointF body[] = {Point(x - 13, tip - 30), Point(x + 13, tip - 30),
                               Point(x + 9, tip - 9), Point(x - 9, tip - 9)};
    cartridge.AddPolygon(body, 4);
    gp::LinearGradientBrush cartridgeBrush(Point(x - 13, 0), Point(x + 13, 0), Argb(0xFF2C2D31),
                                           Argb(0xFF111214));
    Note(g.FillPath(&cartridgeBrush, &cartridge));
    gp::Pen stripe(Argb(0xFFC8281E), 2.0f);
    Note(g.DrawLine(&stripe, Point(x - 11, tip - 25), Point(x + 11, tip - 25)));
    gp::Pen stylus(Argb(0xFFE8E2D0), 1.4f);
    Note(g.DrawLine(&stylus, Point(x, tip - 9), Point(x, tip)));
    if (state.stylusState != 0 && state.stylusState != 1) {
        // Down in the groove: a warm point of light where it touches.
        gp::GraphicsPath spot;
        spot.AddEllipse(Rect(x - 10, tip - 10, 20, 20));
        gp::PathGradientBrush glow(&spot);
        glow.SetCenterColor(Argb(0xA0FFB740));
        gp::Color clear = Argb(0x00FFB740);
        INT n = 1;
        glow.SetSurroundColors(&clear, &n);
        Note(g.FillPath(&glow, &spot));
    }
    // Head riding on the rail.
    gp::GraphicsPath head;
    AddRoundedRect(head, Rect(box.x, box.y, box.width, 26), 6.0f);
    gp::SolidBrush headShadow(Argb(0x90000000));
    gp::GraphicsPath headShadowPath;
    AddRoundedRect(headShadowPath, Rect(box.x + 2, box.y + 3, box.width, 26), 6.0f);
    Note(g.FillPath(&headShadow, &headShadowPath));
    gp::LinearGradientBrush headBrush(Point(0, box.y), Point(0, box.y + 26), Argb(0xFFE9EBEF),
                                      Argb(0xFF6E727A));
    Note(g.FillPath(&headBrush, &head));
    gp::Pen headEdge(Argb(0xFF26272A), 1.0f);
    Note(g.DrawPath(&headEdge, &head));
    gp::Pen headIndex(Argb(0xFFC8281E), 2.0f);
    Note(g.DrawLine(&headIndex, Point(x, box.y + 5), Point(x, box.y + 21)));
}

void FaceplatePainter::Impl::DrawStreamer(gp::Graphics& g, const app::FaceplateState& state) {
    const visual::StreamerPlacement p = visual::StreamerAt(visual::CarriageX(state.playFraction),
                                                           state.streamerShown, state.tagRemoval);
    if (!p.visible)
        return;
    const double half = visual::kStreamerWidth / 2;
    const double length = visual::kStreamerLength;
    const auto q = [&](double along, double across) {
        return Point(visual::StreamerPoint(p, along, across));
    };
    // Being removed, it drops away behind the picture's frame.
    const gp::GraphicsState clipped = g.Save();
    g.SetClip(Rect(visual::kGeometryPictureRect), gp::CombineModeIntersect);

    // Cord from the carriage head to the ribbon's ring.
    const double headX = visual::CarriageX(state.playFraction);
    gp::Pen cord(Faded(0xFFB8BCC4, p.alpha), 1.6f);
    Note(g.DrawLine(&cord, Point(headX, visual::kCarriageTop + 12), q(0, 0)));

    const gp::PointF outline[] = {q(0, -half), q(length, -half), q(length - 20, 0), q(length, half),
                                  q(0, half)};
    gp::GraphicsPath ribbon;
    ribbon.AddPolygon(outline, 5);
    gp::Matrix drop;
    drop.Translate(3.0f, 5.0f);
    gp::GraphicsPath shadowPath;
    shadowPath.AddPolygon(outline, 5);
    shadowPath.Transform(&drop);
    gp::SolidBrush shadow(Faded(0x80000000, p.alpha));
    Note(g.FillPath(&shadow, &shadowPath));
    gp::LinearGradientBrush cloth(q(0, -half), q(0, half), Faded(0xFFD8242A, p.alpha),
                                  Faded(0xFF9E1218, p.alpha));
    Note(g.FillPath(&cloth, &ribbon));
    // Stitching along both edges.
    gp::Pen stitch(Faded(0xB0F6E6E0, p.alpha), 1.2f);
    const gp::REAL dashes[] = {4.0f, 3.0f};
    stitch.SetDashPattern(dashes, 2);
    Note(g.DrawLine(&stitch, q(8, -half + 5), q(length - 6, -half + 5)));
    Note(g.DrawLine(&stitch, q(8, half - 5), q(length - 6, half - 5)));
    // Grommet.
    const gp::PointF ring = q(13, 0);
    gp::Pen grommet(Faded(0xFFE0E2E6, p.alpha), 2.4f);
    Note(g.DrawEllipse(&grommet, Rect(ring.X - 6, ring.Y - 6, 12, 12)));

    // Lettering, upright whichever way the ribbon flies.
    const gp::PointF centre = q(length / 2 + 4, 0);
    const double reading = std::cos(p.angleDegrees * std::numbers::pi / 180.0) < 0
                               ? p.angleDegrees - 180.0
                               : p.angleDegrees;
    const gp::GraphicsState saved = g.Save();
    g.TranslateTransform(centre.X, centre.Y);
    g.RotateTransform(F(reading));
    DrawText(g, L"REMOVE BEFORE PLAYBACK", Rect(-length / 2 + 18, -half, length - 44, 2 * half), 19,
             Faded(0xFFFFFFFF, p.alpha), gp::StringAlignmentCenter, gp::StringAlignmentCenter,
             true);
    g.Restore(saved);
    g.Restore(clipped);
}

void FaceplatePainter::Impl::DrawParked(gp::Graphics& g, double strength) {
    const visual::ParkedAlphas a = visual::ParkedNoticeAlphas(strength);
    if (!a.visible)
        return;
    const gp::RectF box = Rect(visual::kGeometryPictureRect);
    gp::StringFormat format;
    format.SetAlignment(gp::StringAlignmentCenter);
    format.SetLineAlignment(gp::StringAlignmentCenter);
    format.SetFormatFlags(gp::StringFormatFlagsNoWrap);
    gp::SolidBrush shadow(gp::Color(static_cast<BYTE>(a.shadow), 0xFF, 0x12, 0x08));
    gp::SolidBrush text(gp::Color(static_cast<BYTE>(a.text), 0xEE, 0x21, 0x14));
    Note(g.DrawString(L"PARKED", -1, FontOf(29, true), box, &format, &shadow));
    Note(g.DrawString(L"PARKED", -1, FontOf(27, true), box, &format, &text));
}

}  // namespace al::win
