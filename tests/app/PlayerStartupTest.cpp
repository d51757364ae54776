// The start-up and window rules decided without a window: the command-line
// file, the copy-data handoff both ways, the message loop's Alt+F12 test, the
// colour-depth refusal and the first window size and place.

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/PlayerStartup.h"

namespace al::app {
namespace {

TEST(CommandLinePathTest, LastPlainArgumentWinsAndHyphenArgumentsAreSkipped) {
    EXPECT_FALSE(CommandLinePath({u"player.exe"}).has_value());
    EXPECT_FALSE(CommandLinePath({}).has_value());
    EXPECT_FALSE(CommandLinePath({u"player.exe", u"", u"--device=virtual", u"-x"}).has_value());
    EXPECT_EQ(CommandLinePath({u"player.exe", u"a.aur"}), u"a.aur");
    EXPECT_EQ(CommandLinePath({u"player.exe", u"a.aur", u"-v", u"b.wav", u"", u"--flag"}),
              u"b.wav");
    // The program name itself is never the file.
    EXPECT_FALSE(CommandLinePath({u"C:\\music\\x.aur"}).has_value());
}

std::optional<std::u16string> receive(std::uint64_t tag, const std::u16string& units,
                                      std::uint64_t bytes) {
    return HandoffPathFromMessage(true, tag, units.data(), bytes);
}

TEST(HandoffTest, PayloadIsThePathWithItsNul) {
    const std::optional<std::u16string> payload = HandoffPayload(u"C:\\m\\\u00e9t\u00e9.aur");
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(payload->size(), 13u);
    EXPECT_EQ(payload->back(), u'\0');
    // What one side sends, the other side takes back unchanged.
    EXPECT_EQ(receive(kHandoffTag, *payload, payload->size() * 2), u"C:\\m\\\u00e9t\u00e9.aur");
    EXPECT_EQ(kHandoffTag, (std::uint32_t{'A'} << 24) | ('U' << 16) | ('R' << 8) | '1');
}

TEST(HandoffTest, MalformedMessagesAreNotHandoffs) {
    const std::u16string good = std::u16string(u"x.aur") + u'\0';
    const std::uint64_t bytes = good.size() * 2;
    EXPECT_FALSE(HandoffPathFromMessage(false, kHandoffTag, good.data(), bytes));
    EXPECT_FALSE(HandoffPathFromMessage(true, kHandoffTag, nullptr, bytes));
    EXPECT_FALSE(receive(kHandoffTag + 1, good, bytes));
    EXPECT_FALSE(receive(kHandoffTag, good, bytes - 1));  // odd
    EXPECT_FALSE(receive(kHandoffTag, good, 1));
    EXPECT_FALSE(receive(kHandoffTag, good, 0));
    EXPECT_FALSE(receive(kHandoffTag, good, bytes - 2));  // last unit inside is 'r', not NUL
    // A lone NUL is a handoff of an empty path (refused later as no file).
    EXPECT_EQ(receive(kHandoffTag, good.substr(5), 2), u"");
}

TEST(HandoffTest, PathEndsAtTheFirstNulAndUnalignedDataIsRead) {
    const std::u16string units = std::u16string(u"a.wav") + u'\0' + u"junk" + u'\0';
    EXPECT_EQ(receive(kHandoffTag, units, units.size() * 2), u"a.wav");

    std::vector<unsigned char> raw(1 + units.size() * 2);
    std::memcpy(raw.data() + 1, units.data(), units.size() * 2);
    EXPECT_EQ(HandoffPathFromMessage(true, kHandoffTag, raw.data() + 1, units.size() * 2),
              u"a.wav");
}

TEST(LoopKeyTest, AltF12TogglesOncePerPress) {
    KeyMessage key{.keyDown = true, .f12 = true, .alt = true};
    EXPECT_EQ(ClassifyLoopKey(key), LoopKey::ToggleStatistics);
    key.repeat = true;
    EXPECT_EQ(ClassifyLoopKey(key), LoopKey::Swallow);
    key.repeat = false;
    key.ctrl = true;
    EXPECT_EQ(ClassifyLoopKey(key), LoopKey::Pass);
    key.ctrl = false;
    key.shift = true;
    EXPECT_EQ(ClassifyLoopKey(key), LoopKey::Pass);
    EXPECT_EQ(ClassifyLoopKey({.keyDown = true, .f12 = true}), LoopKey::Pass);
    EXPECT_EQ(ClassifyLoopKey({.keyDown = false, .f12 = true, .alt = true}), LoopKey::Pass);
    EXPECT_EQ(ClassifyLoopKey({.keyDown = true, .f12 = false, .alt = true}), LoopKey::Pass);
}

TEST(DisplayColoursTest, FewerThan15BitsAreRefused) {
    try {
        CheckDisplayColours(1, 8);
        FAIL() << "256 colours accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Auralith Player requires a display mode with at least 32,768 colors "
                     "(15-bit RGB).");
    }
    EXPECT_THROW(CheckDisplayColours(2, 7), std::runtime_error);
    EXPECT_NO_THROW(CheckDisplayColours(1, 15));
    EXPECT_NO_THROW(CheckDisplayColours(1, 32));
    // A device that reports nothing is not refused.
    EXPECT_NO_THROW(CheckDisplayColours(0, 0));
}

TEST(WindowSizeTest, PlayerViewFollowsTheWorkArea) {
    EXPECT_EQ(InitialPlayerClientSize({0, 0, 1920, 1040}), (ClientSize{1220, 856}));
    // Height-limited: the width is recomputed from the ratio.
    EXPECT_EQ(InitialPlayerClientSize({0, 0, 1366, 728}), (ClientSize{934, 655}));
    // Never narrower than 820 nor lower than 620 where the height limits.
    EXPECT_EQ(InitialPlayerClientSize({0, 0, 800, 600}), (ClientSize{820, 575}));
    EXPECT_EQ(InitialPlayerClientSize({0, 0, 1400, 500}), (ClientSize{884, 620}));
    // An unreadable work area counts as 1280 x 800.
    EXPECT_EQ(InitialPlayerClientSize({}), (ClientSize{1026, 720}));
}

TEST(WindowSizeTest, CentredInTheWorkAreaButNeverAboveOrLeftOfIt) {
    EXPECT_EQ(CentreInWorkArea({0, 0, 1920, 1040}, 1236, 895), (ScreenRect{342, 72, 1578, 967}));
    EXPECT_EQ(CentreInWorkArea({100, 40, 1100, 640}, 400, 200), (ScreenRect{400, 240, 800, 440}));
    EXPECT_EQ(CentreInWorkArea({100, 40, 900, 640}, 1000, 700), (ScreenRect{100, 40, 1100, 740}));
}

}  // namespace
}  // namespace al::app
