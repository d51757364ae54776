#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "output/AudioBufferSettings.h"
#include "support/TempDir.h"

namespace {

using al::audio::AudioBufferSettings;
using al::audio::LoadAudioBufferSettings;

class AudioBufferSettingsTest : public ::testing::Test {
protected:
    AudioBufferSettings load(const std::string& text) {
        const auto path = dir_ / "AuralithPlayer.ini";
        std::ofstream(path, std::ios::binary) << text;
        return LoadAudioBufferSettings(path);
    }

    // "<type>: <message>" of what loading throws, or "(loaded)".
    std::string failure(const std::string& text) {
        try {
            load(text);
        } catch (const std::invalid_argument& error) {
            return std::string("invalid_argument: ") + error.what();
        } catch (const std::out_of_range& error) {
            return std::string("out_of_range: ") + error.what();
        } catch (const std::runtime_error& error) {
            return std::string("runtime_error: ") + error.what();
        }
        return "(loaded)";
    }

    al::test::TempDir dir_;
};

TEST_F(AudioBufferSettingsTest, MissingOrEmptyFileGivesTheDefaults) {
    const AudioBufferSettings defaults = LoadAudioBufferSettings(dir_ / "absent.ini");
    EXPECT_EQ(defaults.bufferMs, 5.0);
    EXPECT_TRUE(defaults.adaptiveBuffer);
    EXPECT_EQ(defaults.safetyMarginMs, 1.0);
    EXPECT_EQ(defaults.stepMs, 1.0);
    EXPECT_EQ(defaults.maxMs, 20.0);
    EXPECT_EQ(defaults.nearMissCount, 2u);
    EXPECT_EQ(load(""), defaults);
    EXPECT_EQ(load("\r\n; nothing but a comment\r\n"), defaults);
}

TEST_F(AudioBufferSettingsTest, ReadsEveryKeyOfTheAudioSection) {
    const AudioBufferSettings s = load(
        "[Visual]\r\n"
        "waveform_color=3\r\n"
        "[Audio]\r\n"
        "buffer_ms=7.5\r\n"
        "adaptive_buffer=no\r\n"
        "buffer_safety_margin_ms=0.25\r\n"
        "buffer_step_ms=2e0\r\n"
        "buffer_max_ms=+40\r\n"
        "buffer_near_miss_count=5\r\n");
    EXPECT_EQ(s.bufferMs, 7.5);
    EXPECT_FALSE(s.adaptiveBuffer);
    EXPECT_EQ(s.safetyMarginMs, 0.25);
    EXPECT_EQ(s.stepMs, 2.0);
    EXPECT_EQ(s.maxMs, 40.0);
    EXPECT_EQ(s.nearMissCount, 5u);
}

TEST_F(AudioBufferSettingsTest, SectionsCommentsAndKeyCase) {
    // Before any header the lines count as Audio; names ignore case; a comment
    // may follow a value.
    EXPECT_EQ(load("Buffer_MS = 8 ; eight\n").bufferMs, 8.0);
    EXPECT_EQ(load("  buffer_ms\t=\t9 # nine\r\n").bufferMs, 9.0);
    // Keys of another section are not Audio keys, even with the same names.
    EXPECT_EQ(load("[Visual]\nbuffer_ms=50\nbuffer_max_ms=1\n").bufferMs, 5.0);
    // Header text is trimmed and lower-cased; a comment may follow it.
    EXPECT_EQ(load("[Visual]\n[ AUDIO ]\nbuffer_ms=6\n").bufferMs, 6.0);
    EXPECT_EQ(load("[Audio] ; buffers\nbuffer_ms=6\n[Other]\nbuffer_ms=70\n").bufferMs, 6.0);
    // A key given twice takes its last value; unknown keys and lines without
    // "=" are ignored.
    EXPECT_EQ(load("buffer_ms=9\nbuffer_ms=11\nbuffer_colour=x\njust words\n").bufferMs, 11.0);
    // The last line needs no line break; a lone header bracket is no header.
    EXPECT_EQ(load("[Visual\nbuffer_ms=12").bufferMs, 12.0);
}

TEST_F(AudioBufferSettingsTest, ByteOrderMarksDoNotHideTheFirstKey) {
    EXPECT_EQ(load("\xEF\xBB\xBF" "buffer_ms=8\r\n").bufferMs, 8.0);
    const std::string text = "[Audio]\r\nbuffer_ms=9\r\n";
    std::string utf16le = "\xFF\xFE";
    std::string utf16be = "\xFE\xFF";
    for (char c : text) {
        utf16le += c;
        utf16le += '\0';
        utf16be += '\0';
        utf16be += c;
    }
    EXPECT_EQ(load(utf16le).bufferMs, 9.0);
    EXPECT_EQ(load(utf16be).bufferMs, 9.0);
}

TEST_F(AudioBufferSettingsTest, BoundsAreInclusiveAndCheckedInOrder) {
    const std::string bufferMs = "runtime_error: Audio.buffer_ms must be between 1 and 100 ms";
    const std::string margin = "runtime_error: Audio.buffer_safety_margin_ms must be between 0.1 and 20 ms";
    const std::string step = "runtime_error: Audio.buffer_step_ms must be between 0.5 and 20 ms";
    const std::string maxMs =
        "runtime_error: Audio.buffer_max_ms must be at least buffer_ms and no more than 200 ms";
    const std::string count = "runtime_error: Audio.buffer_near_miss_count must be between 1 and 100";

    EXPECT_EQ(failure("buffer_ms=1\nbuffer_max_ms=1\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_ms=100\nbuffer_max_ms=200\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_ms=0.999\n"), bufferMs);
    EXPECT_EQ(failure("buffer_ms=100.001\nbuffer_max_ms=200\n"), bufferMs);

    EXPECT_EQ(failure("buffer_safety_margin_ms=0.1\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_safety_margin_ms=20\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_safety_margin_ms=0.09\n"), margin);
    EXPECT_EQ(failure("buffer_safety_margin_ms=20.5\n"), margin);

    EXPECT_EQ(failure("buffer_step_ms=0.5\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_step_ms=20\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_step_ms=0.4\n"), step);
    EXPECT_EQ(failure("buffer_step_ms=21\n"), step);

    EXPECT_EQ(failure("buffer_max_ms=5\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_max_ms=4\n"), maxMs);
    EXPECT_EQ(failure("buffer_max_ms=200.5\n"), maxMs);
    EXPECT_EQ(failure("buffer_ms=30\n"), maxMs);  // above the default ceiling of 20

    EXPECT_EQ(failure("buffer_near_miss_count=1\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_near_miss_count=100\n"), "(loaded)");
    EXPECT_EQ(failure("buffer_near_miss_count=0\n"), count);
    EXPECT_EQ(failure("buffer_near_miss_count=101\n"), count);

    // Several bad values: the first check in the fixed order reports.
    EXPECT_EQ(failure("buffer_near_miss_count=0\nbuffer_step_ms=99\nbuffer_ms=0\n"), bufferMs);
    EXPECT_EQ(failure("buffer_near_miss_count=0\nbuffer_max_ms=999\nbuffer_step_ms=99\n"), step);
}

TEST_F(AudioBufferSettingsTest, BooleanWords) {
    for (const char* word : {"true", "YES", "On", "1"}) {
        EXPECT_TRUE(load(std::string("adaptive_buffer=") + word + "\n").adaptiveBuffer) << word;
    }
    for (const char* word : {"false", "No", "Off", "0"}) {
        EXPECT_FALSE(load(std::string("adaptive_buffer=") + word + "\n").adaptiveBuffer) << word;
    }
    EXPECT_EQ(failure("Adaptive_Buffer=disabled\n"), "runtime_error: Invalid Boolean value for adaptive_buffer");
    EXPECT_EQ(failure("adaptive_buffer=\n"), "runtime_error: Invalid Boolean value for adaptive_buffer");
    EXPECT_EQ(failure("adaptive_buffer=2\n"), "runtime_error: Invalid Boolean value for adaptive_buffer");
}

TEST_F(AudioBufferSettingsTest, NumberConversionFailures) {
    EXPECT_EQ(failure("buffer_ms=7ms\n"), "runtime_error: Invalid numeric value for buffer_ms");
    EXPECT_EQ(failure("buffer_ms=inf\n"), "runtime_error: Invalid numeric value for buffer_ms");
    EXPECT_EQ(failure("buffer_ms=-INFINITY\n"), "runtime_error: Invalid numeric value for buffer_ms");
    EXPECT_EQ(failure("buffer_ms=nan\n"), "runtime_error: Invalid numeric value for buffer_ms");
    EXPECT_EQ(failure("BUFFER_STEP_MS=2 ms\n"), "runtime_error: Invalid numeric value for buffer_step_ms");
    EXPECT_EQ(failure("buffer_max_ms=1,5\n"), "runtime_error: Invalid numeric value for buffer_max_ms");
    EXPECT_EQ(failure("buffer_ms=ms7\n"), "invalid_argument: invalid stod argument");
    EXPECT_EQ(failure("buffer_ms=\n"), "invalid_argument: invalid stod argument");
    EXPECT_EQ(failure("buffer_safety_margin_ms=.\n"), "invalid_argument: invalid stod argument");
    EXPECT_EQ(failure("buffer_ms=1e999\n"), "out_of_range: stod argument out of range");
    EXPECT_EQ(failure("buffer_ms=-1e999\n"), "out_of_range: stod argument out of range");
    EXPECT_EQ(failure("buffer_ms=1e-400\n"), "out_of_range: stod argument out of range");
    // A conversion error aborts the loading even if a later line would fix it.
    EXPECT_EQ(failure("buffer_ms=x\nbuffer_ms=8\n"), "invalid_argument: invalid stod argument");
    EXPECT_EQ(load("buffer_ms=1.5E1\nbuffer_step_ms=-.5e-0\nbuffer_step_ms=.75\n").stepMs, 0.75);
}

TEST_F(AudioBufferSettingsTest, IntegerConversionFailures) {
    EXPECT_EQ(failure("buffer_near_miss_count=3.0\n"),
              "runtime_error: Invalid integer value for buffer_near_miss_count");
    EXPECT_EQ(failure("Buffer_Near_Miss_Count=0x10\n"),
              "runtime_error: Invalid integer value for buffer_near_miss_count");
    EXPECT_EQ(failure("buffer_near_miss_count=three\n"), "invalid_argument: invalid stoul argument");
    EXPECT_EQ(failure("buffer_near_miss_count=-\n"), "invalid_argument: invalid stoul argument");
    EXPECT_EQ(failure("buffer_near_miss_count=\n"), "invalid_argument: invalid stoul argument");
    // 32 bits hold 4294967295; one more is out of range, even with a tail.
    EXPECT_EQ(failure("buffer_near_miss_count=4294967296\n"), "out_of_range: stoul argument out of range");
    EXPECT_EQ(failure("buffer_near_miss_count=99999999999999999999999x\n"),
              "out_of_range: stoul argument out of range");
    EXPECT_EQ(failure("buffer_near_miss_count=4294967295\n"),
              "runtime_error: Audio.buffer_near_miss_count must be between 1 and 100");
    // A minus sign wraps modulo 2^32 and then fails the range check...
    EXPECT_EQ(failure("buffer_near_miss_count=-1\n"),
              "runtime_error: Audio.buffer_near_miss_count must be between 1 and 100");
    // ...unless it wraps into range: 2^32 - 4294967290 = 6.
    EXPECT_EQ(load("buffer_near_miss_count=-4294967290\n").nearMissCount, 6u);
    EXPECT_EQ(load("buffer_near_miss_count=+07\n").nearMissCount, 7u);
}

}  // namespace
