// The terminal view of the player window: status sentences as lines, the
// transport in words on the live line, and questions answered No without a
// terminal.

#include <gtest/gtest.h>

#include <sstream>

#include "app/PlayerFakes.h"
#include "cli/TerminalView.h"

namespace al::cli {
namespace {

TEST(TerminalViewTest, StatusLinesAndQuestionsWithoutATerminal) {
    std::ostringstream out;
    TerminalView view(out, nullptr);
    view.ShowStatus("Stopped. Playback head returned to zero; output chain retained.");
    view.ShowMessage("Output rate mismatch", "Auralith Player", app::MessageIcon::Error);  // status follows
    view.ShowMessage("DSD: Output rate mismatch", "Auralith DSD output", app::MessageIcon::Error);
    EXPECT_FALSE(view.AskYesNo("busy", "Audio device unavailable"));
    EXPECT_EQ(view.ShowPopupMenu({app::MenuItem{"x", 7000, false, false, false, {}}}), 0);
    view.PostGrowthRequest();
    EXPECT_TRUE(view.TakeGrowthRequest());
    EXPECT_FALSE(view.TakeGrowthRequest());
    EXPECT_EQ(out.str(),
              "Stopped. Playback head returned to zero; output chain retained.\n"
              "Auralith DSD output: DSD: Output rate mismatch\n"
              "Audio device unavailable: busy\n");
    EXPECT_EQ(view.lastStatus(), "Stopped. Playback head returned to zero; output chain retained.");
}

TEST(TerminalViewTest, TransportInWords) {
    app::test::PlayerHarness h;
    app::PlayerWindow& window = h.makeWithSource();
    EXPECT_EQ(TransportWords(window), "PARKED  REMOVE BEFORE PLAYBACK");
    window.TogglePlay();
    EXPECT_EQ(TransportWords(window), "PLAYING  REMOVE BEFORE PLAYBACK");  // the streamer comes off
    h.tickFor(600);
    EXPECT_EQ(TransportWords(window), "PLAYING");
    window.SeekToSeconds(0.05);
    window.TogglePlay();
    EXPECT_EQ(TransportWords(window), "PAUSED");
    window.TogglePlay();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    EXPECT_EQ(TransportWords(window), "RETURNING");

    std::ostringstream out;
    TerminalView view(out, nullptr);
    view.ShowLiveLine(window);
    EXPECT_EQ(out.str().rfind("\r 0:00 / 0:00  RETURNING  L[", 0), 0u) << out.str();
    view.ShowStatus("next");
    EXPECT_EQ(out.str().substr(out.str().size() - 5), "next\n");
}

}  // namespace
}  // namespace al::cli
