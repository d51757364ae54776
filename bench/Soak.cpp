// Long play on the virtual output in real time: a playlist of every format,
// PCM and DSD, with late device events (so the endpoint buffer grows) and
// seeks, through the same player object the front ends use. Reports
// underruns, missing frames, growths, memory and every error; exits 1 when
// any error was seen, so a short run can guard CI.
//
//   soak SECONDS FILE... [--dsd FILE...]

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/DsdEnginePlayback.h"
#include "app/PlayerWindow.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"

namespace {

using namespace al;
using Clock = std::chrono::steady_clock;

// Resident memory in KiB, from the kernel's own account.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Bytes the allocator has handed out and not had back: what a leak would
// grow. Resident memory also holds what the allocator keeps for reuse.
long heapInUseKiB() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// A view that keeps what matters for the report.
class SoakView final : public app::PlayerView {
  public:
    void ShowStatus(const std::string& text) override {
        last = text;
        if (text.rfind("Increasing the endpoint buffer", 0) == 0)
            ++growths;
        if (text.rfind("Audio error", 0) == 0 || text.find("failed") != std::string::npos ||
            text.find("unavailable") != std::string::npos) {
            errors.push_back(text);
        }
    }
    void ShowPlayButton(const std::string&) override {}
    void ShowLoopButton(const std::string&) override {}
    void ShowMuteButton(const std::string&) override {}
    void ShowControlStates(const app::ControlStates&) override {}
    void ShowLabels(const app::PlayerLabels&) override {}
    void ShowEndpoints(const std::vector<std::string>&, int) override {}
    void ShowStatistics(const std::string&) override {}
    void ShowVolume(bool, float) override {}
    void RepaintNow() override {}
    void RequestRepaint() override {}
    void ShowMessage(const std::string& text, const std::string& caption,
                     app::MessageIcon) override {
        errors.push_back(caption + ": " + text);
    }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    int ShowPopupMenu(const std::vector<app::MenuItem>&) override { return 0; }
    void OpenEndpointList() override {}
    void PostGrowthRequest() override { ++growthPosts; }
    void RequestClose() override {}
    void ShowStatisticsView(bool) override {}

    std::string last;
    std::vector<std::string> errors;
    int growths = 0;
    int growthPosts = 0;
};

struct Totals {
    std::uint64_t items = 0, seeks = 0, missingFrames = 0, chunkFailures = 0;
    std::uint64_t dsdItems = 0, dsdPlayed = 0;  // DSD items, and those that got to play
    double playedSeconds = 0.0;
};

// Plays one item for `span` with a seek every 2.5 s; DSD items are prepared
// whole first (the preparation counts against the span).
void playItem(const std::filesystem::path& file, bool dsd, Clock::duration span,
              const app::PlayerSettings::Files& files, SoakView& view, Totals& totals,
              std::mt19937& random) {
    app::PlayerServices services = app::PlayerServices::Defaults();
    services.makeDsd = app::MakeDsdEnginePlayback;
    app::PlayerWindow window(view, files, std::move(services));
    int handled = view.growthPosts;
    window.Create();
    window.Execute([&] { window.OpenMusic(file); });
    if (dsd)
        window.Execute([&] { window.ApplyDsdOption(app::command::kDsdRateFirst); });
    window.Execute([&] { window.TogglePlay(); });
    const auto until = Clock::now() + span;
    auto nextSeek = Clock::now() + std::chrono::milliseconds(2500);
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
        window.UpdateMeters();
        window.Execute([&] { window.Tick(); });
        if (view.growthPosts > handled) {
            handled = view.growthPosts;
            window.Execute([&] { window.GrowEndpointBuffer(); });
        }
        if (Clock::now() >= nextSeek && window.durationSeconds() > 1.0) {
            const double to =
                std::uniform_real_distribution<double>(0.0, 0.9)(random) * window.durationSeconds();
            window.Execute([&] { window.SeekToSeconds(to); });
            ++totals.seeks;
            nextSeek += std::chrono::milliseconds(2500);
        }
        // A finished track starts again, so the span is all playing.
        if (window.transportState() == app::TransportState::Stopped && !window.stylusReturning() &&
            !window.chainBusy() && view.errors.empty()) {
            window.Execute([&] { window.TogglePlay(); });
        }
    }
    if (dsd) {
        ++totals.dsdItems;
        totals.dsdPlayed += window.dsdEngine() != nullptr && window.positionSeconds() > 0.0 ? 1 : 0;
    }
    if (!dsd && window.lattice() != nullptr) {
        totals.missingFrames += window.lattice()->missingFrames();
        totals.chunkFailures += window.lattice()->surrogate().failures();
    }
    totals.playedSeconds += std::chrono::duration<double>(span).count();
    ++totals.items;
    window.Close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: soak SECONDS FILE... [--dsd FILE...]\n";
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    std::vector<std::pair<std::filesystem::path, bool>> playlist;
    bool dsd = false;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--dsd") {
            dsd = true;
            continue;
        }
        playlist.emplace_back(argv[i], dsd);
    }
    if (playlist.empty()) {
        std::cerr << "soak: no files\n";
        return 2;
    }

    audio::VirtualOutputConfig config;
    config.lateByNs = 6'000'000;  // 6 ms late, two events in a row, every 1.5 s
    config.lateIntervalNs = 1'500'000'000;
    config.lateBurst = 2;
    auto device = audio::VirtualOutput::create(config);
    audio::UseVirtualOutput(device, audio::VirtualListing::Only);

    const auto folder =
        std::filesystem::temp_directory_path() /
        ("auralith-soak-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    const app::PlayerSettings::Files files{folder / "settings.ini", folder / "state.ini",
                                           std::nullopt};

    SoakView view;
    Totals totals;
    std::mt19937 random(20261208);
    const long memoryStart = residentKiB();
    const long heapStart = heapInUseKiB();
    long memoryAfterFirstRound = -1;
    long heapAfterFirstRound = -1;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    const auto itemSpan = std::chrono::seconds(seconds >= 120 ? 20 : 6);
    for (std::size_t k = 0; Clock::now() < end; ++k) {
        const auto& [file, asDsd] = playlist[k % playlist.size()];
        const auto left = end - Clock::now();
        std::cout << "soak: " << file.filename().string() << (asDsd ? " as DSD64" : "")
                  << std::endl;
        playItem(file, asDsd, std::min<Clock::duration>(itemSpan, left), files, view, totals,
                 random);
        if (k + 1 == playlist.size()) {
            memoryAfterFirstRound = residentKiB();
            heapAfterFirstRound = heapInUseKiB();
        }
    }
    const auto stats = device->statistics();
    const long memoryEnd = residentKiB();
    const long heapEnd = heapInUseKiB();
    std::filesystem::remove_all(folder);

    std::cout << "soak: " << totals.items << " items, " << totals.playedSeconds << " s played, "
              << totals.seeks << " seeks; " << totals.dsdPlayed << " of " << totals.dsdItems
              << " DSD items reached play\n"
              << "  device: " << stats.eventsSignalled << " events (" << stats.lateEvents
              << " late), " << stats.underruns << " underruns, " << stats.streamsInitialized
              << " streams\n"
              << "  player: " << totals.missingFrames << " missing frames, " << totals.chunkFailures
              << " chunk failures, " << view.growths << " buffer growths\n"
              << "  memory: " << memoryStart << " KiB at start, " << memoryAfterFirstRound
              << " KiB after the first round, " << memoryEnd
              << " KiB at the end (resident); heap in use " << heapStart << " / "
              << heapAfterFirstRound << " / " << heapEnd << " KiB\n"
              << "  errors: " << view.errors.size() << '\n';
    for (const auto& error : view.errors)
        std::cout << "    " << error << '\n';
    return view.errors.empty() ? 0 : 1;
}
