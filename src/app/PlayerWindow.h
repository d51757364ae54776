#pragma once
// The player window object: the source, the playback lattice, the PCM output,
// the DSD engine, the settings and all player state, with the operations the
// window's commands, keys and timers call. It is portable: it shows and asks
// through a PlayerView, and reaches endpoints, outputs, engines and the clock
// through PlayerServices, so the Win32 window and the terminal player differ
// only in how they show the view and how commands reach this object.
//
// Thread: the user-interface thread only, for every method. The render
// thread, the DSD engine's threads and the meter feed are reached only
// through the atomics of the objects they belong to.
//
// Failures: an operation that cannot complete throws std::runtime_error (or
// the error of the step that failed); the front end passes it to
// ReportCommandError, which shows it in a message box and the status line.
// Execute() does both.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/DsdPlayback.h"
#include "app/GeometryViews.h"
#include "app/PcmOutput.h"
#include "app/PlayerSettings.h"
#include "app/PlayerView.h"
#include "output/AudioBufferSettings.h"
#include "output/AudioEndpoints.h"
#include "output/EndpointFormat.h"
#include "playback/LevelMeterFeed.h"
#include "playback/PlaybackLattice.h"
#include "playback/PlaybackSource.h"

namespace al::app {

enum class TransportState { Stopped = 0, Playing = 1, Paused = 2 };
enum class HoldRequest { None = 0, Pause = 1, Stop = 2 };

// A 64-bit ASIO driver: its identity and the name of its registry key.
struct AsioDriverEntry {
    std::u16string clsid;
    std::u16string name;
};

// Everything the window object reaches outside itself. Defaults() gives the
// real ones; tests replace single members.
struct PlayerServices {
    std::function<std::vector<audio::EndpointInfo>()> enumerateEndpoints;
    std::function<std::vector<audio::EndpointFormat>(const std::u16string& endpointId,
                                                     int channels)>
        probeFormats;
    std::function<std::unique_ptr<PcmOutput>()> makeOutput;
    std::function<std::unique_ptr<VolumeControl>()> makeVolume;
    std::function<std::shared_ptr<const playback::PlaybackSource>(const std::filesystem::path&)>
        openSource;
    // Nanoseconds of a monotonic clock.
    std::function<std::int64_t()> now;
    // Blocks the user-interface thread (the pause after a failed format).
    std::function<void(std::int64_t ns)> wait;
    // Whether an endpoint is the virtual output (named as such to the user).
    std::function<bool(const std::u16string& endpointId)> isVirtualEndpoint;
    std::function<std::vector<AsioDriverEntry>()> listAsioDrivers;
    // Empty: DSD output is unavailable in this build.
    DsdPlaybackFactory makeDsd;
    // Whether a path names an existing regular file: not a directory and not
    // a symbolic link or mount point (a file handed over by a second start).
    std::function<bool(const std::filesystem::path&)> isPlainFile;

    static PlayerServices Defaults();
};

// What the faceplate drawing reads; built fresh from the window state.
struct FaceplateState {
    std::string endpointText;
    std::string capturedText;
    std::string timeText;
    double playFraction = 0.0;
    std::string playingAtText;
    std::string modeText;
    std::string rateText;
    std::string readyText;
    std::string hintText;
    std::string playCaption;
    std::string loopCaption;
    std::string muteCaption;
    bool opening = false;
    bool sourceLoaded = false;
    bool wavDirect = false;
    bool chainInitialised = false;
    bool loopOn = false;
    bool muted = false;
    bool preparing = false;
    bool initialising = false;
    bool unavailable = false;
    bool volumeControllable = false;
    float volumeLevel = 0.0f;
    bool powerPressed = false;
    bool meterActivity = false;
    bool stageOpen = false;
    float meterLevels[2] = {0.0f, 0.0f};
    int stylusState = 0;  // 0 parked at zero, 1 lifted, 2 down
    float parkedStrength = 0.0f;
    bool streamerShown = false;
    float tagRemoval = 0.0f;
};

// Command identifiers of the window (menus, buttons, accelerators).
namespace command {
constexpr int kOpen = 1001;
constexpr int kEndpointSelection = 1002;
constexpr int kStepDown = 1003;
constexpr int kStepUp = 1004;
constexpr int kPlay = 1006;
constexpr int kStop = 1007;
constexpr int kMute = 1009;
constexpr int kRefresh = 1010;
constexpr int kLoop = 1011;
constexpr int kStage = 5009;
constexpr int kStageView = 5010;
constexpr int kColor = 5011;
constexpr int kPlayAccelerator = 5013;
constexpr int kVolumeUp = 5015;
constexpr int kVolumeDown = 5016;
constexpr int kMuteAccelerator = 5017;
constexpr int kStatistics = 5020;
constexpr int kEndpointMenuFirst = 6000;
constexpr int kFormatMenuFirst = 7000;
constexpr int kDsdRateFirst = 20000;  // 20000..20005: 64 << k
constexpr int kDsdDop = 20020;
constexpr int kDsdCutoff = 20021;
constexpr int kDsdPreserve = 20022;
constexpr int kDsdAsioFirst = 20100;
}  // namespace command

class PlayerWindow {
  public:
    // Loads the settings, the state flags and the formats cache. An invalid
    // Audio value throws the message of LoadAudioBufferSettings.
    PlayerWindow(PlayerView& view, PlayerSettings::Files files,
                 PlayerServices services = PlayerServices::Defaults());
    ~PlayerWindow();
    PlayerWindow(const PlayerWindow&) = delete;
    PlayerWindow& operator=(const PlayerWindow&) = delete;

    // Window creation: the endpoint list (default selected) and the output
    // for it, then every label.
    void Create();
    // Window destruction: polls once, shuts the output down, stops the meters.
    void Close() noexcept;

    // Runs one command handler; an escaping error goes to ReportCommandError.
    // Returns false when it did.
    bool Execute(const std::function<void()>& handler);
    void ReportCommandError(const std::string& text);
    // The commands of the window by identifier (buttons, menus, accelerators).
    void HandleCommand(int id);

    // ---- Transport ----
    void TogglePlay();
    void RequestHold(HoldRequest kind);
    void CompleteHold();
    void Stop();
    void HoldStylusUp();
    void ToggleLoop();
    void PollPlayback();
    void AdvanceStylusReturn();
    void CancelStylusReturn() noexcept;
    void SeekToFraction(double fraction);
    void SeekToSeconds(double seconds);
    // The faceplate's needle-lift lever moved up (true) or down.
    void NeedleLift(bool up);
    void ToggleMute();
    // The 16 ms poll tick. `visibleForStatistics`: neither minimised nor in
    // the fullscreen stage (the statistics refresh, and with it the adaptive
    // buffering watcher, runs only then).
    void Tick(bool visibleForStatistics = true);
    // Opens a file and the output for it.
    void OpenMusic(const std::filesystem::path& path);
    // A file handed over by a second start of the program: it must have a
    // supported extension and name a plain file, else std::runtime_error
    // ("The requested source is not a readable supported audio file") and
    // the current source stays. Playing continues with the new file.
    void OpenHandedOver(const std::filesystem::path& path);
    // The file last opened (the faceplate shows its name); empty before.
    const std::filesystem::path& openedFile() const noexcept { return openedFile_; }
    // A file is being opened (the Open button is disabled meanwhile).
    bool opening() const noexcept { return opening_; }

    // ---- Geometry views and the fullscreen stage ----
    // The views the window made, or null where there are none; not owned,
    // and detached (null) before they are destroyed.
    void AttachGeometryViews(GeometryViewsPort* views) noexcept { views_ = views; }
    GeometryViewsPort* geometryViews() const noexcept { return views_; }
    // F11 (command 5009): open or close the fullscreen stage.
    void ToggleStage();
    // F9 (command 5010): the stage's next scene, when it is open.
    void SwitchStageView();
    // Faceplate regions 15 and 16.
    void OpenStageScene(StageScene scene);
    // The stage closed itself (Esc).
    void StageClosed();
    bool stageOpen() const noexcept { return views_ != nullptr && views_->stageOpen(); }
    // The stage's requests, by their offset from WM_APP (0x8C..0x93) with
    // the message's first parameter; returns the message's result.
    std::intptr_t HandleStageRequest(unsigned offset, std::uint64_t parameter);
    // Whether the window is minimised (the views rest then).
    void SetMinimised(bool minimised) noexcept { minimised_ = minimised; }

    // ---- Output selection ----
    void ListEndpoints(bool keepSelection);
    void OpenSelectedOutput(bool refresh);
    bool InitializeChain(int formatIndex, int direction, TransportState resumeState,
                         double positionSeconds);
    void ChooseFormat(int index);
    void StepFormat(int direction);
    void ShowFormatMenu();
    void ShowEndpointMenu();
    // A selection in the endpoint list (the combo box, or the endpoint menu
    // with `fromMenu`, which is refused unless Stopped).
    void SelectEndpoint(int index);
    bool ApplyDsdOption(int commandId);
    void RefreshOutputs();
    void ShowDeviceBusyDialog(const std::string& endpointName);

    // ---- Adaptive buffering and statistics ----
    void WatchBuffering();
    void GrowEndpointBuffer();
    void ResetBufferingCounters() noexcept;
    void RefreshStatisticsView();
    void ToggleStatisticsView();

    // ---- Hardware volume ----
    void RefreshVolumeControl();
    void StepVolume(double step);
    void BeginVolumeDrag();
    void DragVolume(double level);
    void EndVolumeDrag(double level);

    // ---- Meters, faceplate, colours ----
    // Timer 2: takes the meter levels.
    void UpdateMeters();
    FaceplateState BuildFaceplateState() const;
    void CycleWaveformColor();
    // The faceplate's power region: close 500 ms from now.
    void PressPower();
    // The idle fade of the faceplate, 0..1 (smoothstep over 0.32 s).
    double idleFade() const noexcept { return fade_; }
    // Whether anything on the faceplate moves, so the poll tick repaints:
    // playing, a stylus return, meter activity now or at the tick before, a
    // volume ramp, the streamer animation or a running idle fade.
    bool FaceplateMoving() const noexcept;

    // ---- Read access for front ends and tests ----
    TransportState transportState() const noexcept { return transportState_; }
    HoldRequest holdRequest() const noexcept { return holdRequest_; }
    bool loopOn() const noexcept { return loopOn_; }
    bool muted() const noexcept { return muted_; }
    bool stylusReturning() const noexcept { return stylusReturning_; }
    bool stylusLowering() const noexcept { return stylusLowering_; }
    double tonearmPosition() const noexcept { return tonearmPosition_; }
    int chainStatus() const noexcept { return chainStatus_; }
    bool chainBusy() const noexcept { return chainBusy_; }
    const std::vector<audio::EndpointInfo>& endpoints() const noexcept { return endpoints_; }
    int selectedEndpoint() const noexcept { return selectedEndpoint_; }
    const std::vector<audio::EndpointFormat>& formats() const noexcept { return formats_; }
    const std::vector<bool>& disabledFormats() const noexcept { return disabledFormats_; }
    int selectedFormat() const noexcept { return selectedFormat_; }
    const std::string& status() const noexcept { return status_; }
    const std::string& playCaption() const noexcept { return playCaption_; }
    double currentBufferMs() const noexcept { return currentBufferMs_; }
    bool growthSuspended() const noexcept { return growthSuspended_; }
    bool growthRequested() const noexcept { return growthRequested_; }
    bool statsView() const noexcept { return statsView_; }
    const std::string& statisticsText() const noexcept { return statisticsText_; }
    bool dsdSelected() const noexcept { return dsdSelected_; }
    std::uint32_t dsdMultiple() const noexcept { return dsdMultiple_; }
    bool firstRunVolumePending() const noexcept { return settings_.firstRunVolumePending(); }
    bool firstRunVolumeFailed() const noexcept { return firstRunVolumeFailed_; }
    bool streamerRemoved() const noexcept { return settings_.streamerRemoved(); }
    bool volumeControllable() const noexcept;
    bool closeRequested() const noexcept { return closeRequested_; }
    std::size_t cancellingEngineCount() const noexcept { return cancellingEngines_.size(); }
    const std::shared_ptr<DsdPlayback>& dsdEngine() const noexcept { return dsdEngine_; }
    const PlayerSettings& settings() const noexcept { return settings_; }
    PlayerSettings& settings() noexcept { return settings_; }
    const PcmOutput& output() const noexcept { return *output_; }
    playback::PlaybackLattice* lattice() noexcept { return lattice_.get(); }
    const std::shared_ptr<const playback::PlaybackSource>& source() const noexcept {
        return source_;
    }
    // The position in seconds (DSD engine or lattice) and the duration.
    double positionSeconds() const;
    double durationSeconds() const;
    // The endpoint buffer asked for at first, in place of Audio.buffer_ms
    // (a front end's command-line override); applies from the next open.
    void OverrideConfiguredBufferMs(double ms) noexcept {
        configuredBufferMs_ = ms;
        currentBufferMs_ = ms;
    }
    double configuredBufferMs() const noexcept { return configuredBufferMs_; }
    // Diagnostic log level shown in the statistics ("Log: "), 0 = off.
    void setLogLevel(int level) noexcept { logLevel_ = level; }

    // Texts the window and faceplate share.
    std::string CapturedText() const;
    std::string PlayingAtText() const;
    std::string TimeText() const;
    std::string ModeLabel(const audio::EndpointFormat& format) const;
    std::string DsdRateLabel() const;
    std::string EndpointItemText(std::size_t index) const;

  private:
    void UpdateGeometryViews();
    void ShowStageStatus(const std::string& portText, const char* fallback);
    // Output selection helpers.
    const audio::EndpointInfo* SelectedEndpointInfo() const noexcept;
    bool FormatSelectable(int index) const noexcept;
    std::string FormatLabelText(int index) const;
    void PrepareLattice(std::uint32_t rate, double positionSeconds, const char* primeFailure);
    void ReopenForGrowth(const std::u16string& endpointId, const audio::EndpointFormat& format,
                         double bufferMs, TransportState state, double positionSeconds);
    std::uint32_t DsdRate() const;
    bool SourceIsDsf() const;

    // Transport helpers.
    void DiscardDsdEngine();
    void PruneCancellingEngines();
    void MirrorDsdStatus();
    void TogglePlayDsd();
    void ApplyFirstRunVolume();
    void StartStreamerRemoval();
    void UpdateTimeDisplay();

    // Presentation.
    void SetStatus(const std::string& text);
    void SetPlayCaption(const std::string& caption);
    void UpdateControls();
    void UpdateLabels();
    void VolumeFailed(const std::exception& error);
    void ApplyVolumeRamp(std::int64_t now);
    bool AnyLowerEnabled() const noexcept;
    bool AnyHigherEnabled() const noexcept;
    std::string ProbeKey() const;

    PlayerView& view_;
    PlayerServices services_;
    PlayerSettings settings_;
    std::unique_ptr<PcmOutput> output_;
    std::unique_ptr<VolumeControl> volume_;
    playback::LevelMeterFeed meters_{4000};

    // Source and lattice.
    std::shared_ptr<const playback::PlaybackSource> source_;
    std::unique_ptr<playback::PlaybackLattice> lattice_;
    bool opening_ = false;
    std::uint64_t controlPoints_ = 0;
    std::filesystem::path openedFile_;
    GeometryViewsPort* views_ = nullptr;
    bool minimised_ = false;

    // Transport.
    TransportState transportState_ = TransportState::Stopped;
    HoldRequest holdRequest_ = HoldRequest::None;
    bool loopOn_ = false;
    bool muted_ = false;
    bool stylusReturning_ = false;
    bool stylusLowering_ = false;
    bool restartAfterReturn_ = false;
    double tonearmPosition_ = 0.0;
    std::int64_t phaseStart_ = 0;
    std::shared_ptr<DsdPlayback> dsdEngine_;
    std::vector<std::shared_ptr<DsdPlayback>> cancellingEngines_;
    double dsdPosition_ = 0.0;
    bool dsdUserStopped_ = false;
    bool dsdErrorReported_ = false;
    bool reopenAfterCancel_ = false;
    bool streamerAnimating_ = false;
    std::int64_t streamerAnimationStart_ = 0;
    bool firstRunVolumeFailed_ = false;
    bool powerPressed_ = false;
    std::int64_t powerCloseAt_ = 0;
    bool closeRequested_ = false;
    // Idle fade of the faceplate.
    bool active_ = false;
    std::int64_t fadeStart_ = 0;
    double fade_ = 1.0;

    // Output selection.
    std::vector<audio::EndpointInfo> endpoints_;
    int selectedEndpoint_ = -1;
    std::vector<audio::EndpointFormat> formats_;
    std::vector<bool> disabledFormats_;
    int selectedFormat_ = -1;
    std::uint16_t channelCount_ = 2;
    std::string probeKey_;
    std::map<std::string, std::vector<audio::EndpointFormat>> formatListCache_;
    std::map<std::string, std::vector<bool>> disabledCache_;
    int chainStatus_ = 0;
    bool chainBusy_ = false;
    bool dsdSelected_ = false;
    std::uint32_t dsdMultiple_ = 64;
    std::u16string asioDriver_;
    std::vector<AsioDriverEntry> asioDrivers_;
    bool cutoff18k_ = false;
    bool preserveDsf_ = false;

    // Adaptive buffering.
    double currentBufferMs_ = 5.0;
    double configuredBufferMs_ = 5.0;
    std::uint64_t seenUnderruns_ = 0;
    std::uint64_t seenNearMisses_ = 0;
    std::uint32_t windowNearMisses_ = 0;
    std::int64_t windowStart_ = 0;
    std::int64_t lastAdaptation_ = 0;
    bool growthSuspended_ = false;
    bool growthRequested_ = false;
    std::string growthReason_;
    bool statsView_ = false;
    std::string statisticsText_;
    int logLevel_ = 0;
    std::uint64_t meterDrops_ = 0;

    // Hardware volume.
    bool volumeRead_ = false;
    float volumeCurrent_ = 0.0f;
    float volumeTarget_ = 0.0f;
    bool volumeDragging_ = false;
    std::int64_t lastTick_ = 0;
    float shownVolume_ = 0.0f;

    // Meters.
    float meterLevels_[2] = {0.0f, 0.0f};
    bool meterActivity_ = false;
    bool meterActivityBefore_ = false;

    // Presentation.
    std::string status_;
    std::string playCaption_ = "Play";
};

// Text helpers shared with front ends.
// Rate label: "800 Hz", "44.1 kHz", "48 kHz", "2.822 MHz".
std::string RateLabel(std::uint32_t rate);
// m:ss, or h:mm:ss from one hour.
std::string ClockText(double seconds);
// Fixed notation with `decimals` decimals.
std::string Fixed(double value, int decimals);

}  // namespace al::app
