#include "cli/TerminalView.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <sstream>

#include "app/PlayerWindow.h"

namespace al::cli {

namespace {

constexpr std::size_t kLineWidth = 118;
constexpr std::size_t kMeterWidth = 12;
constexpr double kMeterFloorDb = -48.0;
constexpr std::uint32_t kAnswerTimeoutMs = 60'000;

// A peak meter on a -48..0 dBFS scale.
std::string meterText(float peak) {
    const double db = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : kMeterFloorDb;
    const double fill = std::clamp((db - kMeterFloorDb) / -kMeterFloorDb, 0.0, 1.0);
    const auto lit = static_cast<std::size_t>(std::lround(fill * kMeterWidth));
    return "[" + std::string(lit, '#') + std::string(kMeterWidth - lit, '-') + "]";
}

void flatten(const std::vector<app::MenuItem>& items, const std::string& indent,
             std::vector<int>& commands, std::ostream& out) {
    for (const app::MenuItem& item : items) {
        if (item.separator) {
            continue;
        }
        if (!item.submenu.empty()) {
            out << indent << item.text << ":\n";
            flatten(item.submenu, indent + "    ", commands, out);
            continue;
        }
        if (item.command == 0 || item.greyed) {
            out << indent << "    " << item.text
                << (item.greyed && item.command != 0 ? "  (unavailable)" : "") << '\n';
            continue;
        }
        commands.push_back(item.command);
        out << indent << (item.checked ? "* " : "  ") << commands.size() << ") " << item.text
            << '\n';
    }
}

}  // namespace

std::string TransportWords(const app::PlayerWindow& window) {
    const app::FaceplateState face = window.BuildFaceplateState();
    std::string words;
    if (window.stylusLowering()) {
        words = "LOWERING";
    } else if (window.stylusReturning()) {
        words = "RETURNING";
    } else if (window.transportState() == app::TransportState::Playing) {
        words = "PLAYING";
    } else if (face.preparing) {
        words = "PREPARING";
    } else if (face.stylusState == 0) {
        words = "PARKED";
    } else {
        words = window.transportState() == app::TransportState::Paused ? "PAUSED" : "LIFTED";
    }
    if (face.streamerShown) {
        words += "  REMOVE BEFORE PLAYBACK";
    }
    return words;
}

void TerminalView::line(const std::string& text) {
    EndLiveLine();
    out_ << text << '\n' << std::flush;
}

void TerminalView::ShowStatus(const std::string& text) {
    lastStatus_ = text;
    line(text);
}

void TerminalView::ShowMessage(const std::string& text, const std::string& caption,
                               app::MessageIcon) {
    // The same text reaches the status line right after; only a message with
    // its own caption is written here.
    if (caption != "Auralith Player") {
        line(caption + ": " + text);
    }
}

bool TerminalView::AskYesNo(const std::string& text, const std::string& caption) {
    line(caption + ": " + text);
    if (terminal_ == nullptr) {
        return false;
    }
    out_ << "[y/n] " << std::flush;
    for (;;) {
        const platform::TerminalKey key = terminal_->readKey(kAnswerTimeoutMs);
        if (key.kind == platform::TerminalKey::Kind::None) {
            out_ << '\n';
            return false;
        }
        if (key.kind == platform::TerminalKey::Kind::Character) {
            if (key.character == U'y' || key.character == U'Y') {
                out_ << "y\n";
                return true;
            }
            if (key.character == U'n' || key.character == U'N' || key.character == 0x1B) {
                out_ << "n\n";
                return false;
            }
        }
    }
}

long TerminalView::readNumber() {
    std::string digits;
    for (;;) {
        const platform::TerminalKey key = terminal_->readKey(kAnswerTimeoutMs);
        if (key.kind != platform::TerminalKey::Kind::Character) {
            if (key.kind == platform::TerminalKey::Kind::None) {
                out_ << '\n';
                return -1;
            }
            continue;
        }
        const char32_t c = key.character;
        if (c >= U'0' && c <= U'9' && digits.size() < 4) {
            digits.push_back(static_cast<char>(c));
            out_ << static_cast<char>(c) << std::flush;
        } else if ((c == 0x7F || c == 8) && !digits.empty()) {
            digits.pop_back();
            out_ << "\b \b" << std::flush;
        } else if (c == U'\r' || c == U'\n') {
            out_ << '\n';
            return digits.empty() ? -1 : std::stol(digits);
        } else if (c == 0x1B || c == 3 || c == U'q') {
            out_ << '\n';
            return -1;
        }
    }
}

int TerminalView::ShowPopupMenu(const std::vector<app::MenuItem>& items) {
    if (terminal_ == nullptr) {
        return 0;
    }
    EndLiveLine();
    std::vector<int> commands;
    flatten(items, "", commands, out_);
    if (commands.empty()) {
        return 0;
    }
    out_ << "Choose 1-" << commands.size() << " and Enter (Escape cancels): " << std::flush;
    const long chosen = readNumber();
    if (chosen < 1 || static_cast<std::size_t>(chosen) > commands.size()) {
        return 0;
    }
    return commands[static_cast<std::size_t>(chosen - 1)];
}

void TerminalView::ShowLiveLine(const app::PlayerWindow& window) {
    std::ostringstream text;
    if (statisticsView_) {
        std::string panel = statistics_;
        std::size_t at = 0;
        while ((at = panel.find('\n', at)) != std::string::npos) {
            panel.replace(at, 1, "  |  ");
        }
        text << ' ' << panel;
    } else {
        const app::FaceplateState face = window.BuildFaceplateState();
        text << ' ' << face.timeText << "  " << TransportWords(window) << "  L"
             << meterText(face.meterLevels[0]) << " R" << meterText(face.meterLevels[1]);
        if (volumeControllable_) {
            text << "  vol " << std::lround(face.volumeLevel * 100.0f) << '%';
        }
        if (window.loopOn()) {
            text << "  loop";
        }
        if (window.muted()) {
            text << "  muted";
        }
        text << "  buf "
             << app::Fixed(static_cast<double>(window.output().Statistics().bufferDurationNs) / 1e6,
                           1)
             << " ms";
    }
    std::string shown = text.str();
    // The statistics panel is wider than the player's line; it is never cut.
    shown.resize(std::max(kLineWidth, statisticsView_ ? shown.size() : kLineWidth), ' ');
    liveWidth_ = shown.size();
    out_ << '\r' << shown << std::flush;
    liveShown_ = true;
}

void TerminalView::EndLiveLine() {
    if (liveShown_) {
        out_ << '\r' << std::string(liveWidth_, ' ') << '\r';
        liveShown_ = false;
    }
}

}  // namespace al::cli
