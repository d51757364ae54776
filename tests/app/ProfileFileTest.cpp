// The profile file rules, checked against known file contents. The Windows
// build runs these against the system's own profile functions, so passing on
// both platforms shows that the two implementations agree.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "platform/ProfileFile.h"
#include "support/TempDir.h"

namespace {

using al::platform::readProfileInt;
using al::platform::readProfileString;
using al::platform::writeProfileString;

class ProfileFileTest : public ::testing::Test {
protected:
    void put(const std::string& bytes) { std::ofstream(file_, std::ios::binary) << bytes; }
    std::string contents() const {
        std::ifstream in(file_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string get(const char* section, const char* key, const char* fallback = "DEF") const {
        return readProfileString(file_, section, key, fallback);
    }

    al::test::TempDir dir_;
    std::filesystem::path file_ = dir_ / "profile.ini";
};

TEST_F(ProfileFileTest, NamesValuesQuotesAndSections) {
    put("top=0\r\n"
        "[ Audio ]\r\n"
        "  Key1 =  v1  \r\n"
        "k2=\"q\"\r\n"
        "k3='s'\r\n"
        "k4=\"x'\r\n"
        "k5=\"\r\n"
        "k6=a;b\r\n"
        "k7\r\n"
        "k9=\r\n"
        "[audio]\r\n"
        "k8=second section of the same name\r\n"
        "[V] trailing text\r\n"
        "a=1\rb=2\n"
        ";c=3\r\n");
    EXPECT_EQ(get("audio", "key1"), "v1");
    EXPECT_EQ(get(" AUDIO ", " KEY1 "), "v1");
    EXPECT_EQ(get("Audio", "k2"), "q");
    EXPECT_EQ(get("Audio", "k3"), "s");
    EXPECT_EQ(get("Audio", "k4"), "\"x'");
    EXPECT_EQ(get("Audio", "k5"), "\"");
    EXPECT_EQ(get("Audio", "k6"), "a;b");  // no comments inside a line
    EXPECT_EQ(get("Audio", "k7"), "DEF");  // a line without "=" holds no value
    EXPECT_EQ(get("Audio", "k9"), "");
    EXPECT_EQ(get("Audio", "k8"), "DEF");  // only the first section of a name is read
    EXPECT_EQ(get("V", "a"), "1");
    EXPECT_EQ(get("V", "b"), "2");  // a lone CR ends a line too
    EXPECT_EQ(get("V", ";c"), "3");
    EXPECT_EQ(get("V", "top"), "DEF");
    EXPECT_EQ(get("V", ""), "DEF");
    EXPECT_EQ(get("Missing", "a"), "DEF");
    EXPECT_EQ(get("V", "missing", "fallback   "), "fallback");
    EXPECT_EQ(get("V", "missing", "'quoted'"), "quoted");
}

TEST_F(ProfileFileTest, MissingFileGivesTheFallback) {
    EXPECT_EQ(get("Visual", "waveform_color", "0"), "0");
    EXPECT_EQ(readProfileInt(file_, "Visual", "waveform_color", 77), 77u);
    EXPECT_EQ(readProfileInt(dir_ / "no-folder" / "x.ini", "A", "b", 5), 5u);
}

TEST_F(ProfileFileTest, IntegersAreReadTheWayWindowsReadsThem) {
    put("[N]\r\n"
        "hex= 0x1F\r\nneg=-1\r\ntail=12abc\r\nempty=\r\nbin=0b101\r\nplus=  +7\r\n"
        "wrap=99999999999\r\noct=0o17\r\nupperx=0X1F\r\nword=abc\r\ncomment=3 ; three\r\n"
        "quoted=\"42\"\r\nlong=" + std::string(28, '0') + "12345\r\n");
    const std::map<std::string, std::uint32_t> expected = {
        {"hex", 31u},     {"neg", 4294967295u}, {"tail", 12u}, {"empty", 77u},   {"bin", 5u},
        {"plus", 7u},     {"wrap", 1215752191u}, {"oct", 15u}, {"upperx", 0u},   {"word", 0u},
        {"comment", 3u},  {"quoted", 42u},      {"missing", 77u},
        {"long", 1u},  // only the first 29 characters are read
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(readProfileInt(file_, "N", key, 77), value) << key;
    }
}

TEST_F(ProfileFileTest, ByteOrderMarksSelectTheEncoding) {
    put("\xEF\xBB\xBF[S]\r\nk=caf\xC3\xA9\r\n");
    EXPECT_EQ(get("S", "k"), "caf\xC3\xA9");

    const std::u16string text = u"[S]\r\nk=v\u00e9\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t unit : text) {
        utf16 += static_cast<char>(unit & 0xff);
        utf16 += static_cast<char>(unit >> 8);
    }
    put(utf16);
    EXPECT_EQ(get("s", "K"), "v\xC3\xA9");
    ASSERT_TRUE(writeProfileString(file_, "S", "n", "1"));
    const std::string written = contents();
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(written.substr(0, 2), "\xFF\xFE");  // stays UTF-16
    EXPECT_EQ(get("S", "k"), "v\xC3\xA9");
    EXPECT_EQ(get("S", "n"), "1");
}

TEST_F(ProfileFileTest, WriteReplacesOneValueInPlace) {
    put("[Visual]\r\nwaveform_color=3\r\n[Audio]\r\nbuffer_ms=8\r\n");
    ASSERT_TRUE(writeProfileString(file_, "visual", "WAVEFORM_COLOR", "4"));
    EXPECT_EQ(contents(), "[Visual]\r\nwaveform_color=4\r\n[Audio]\r\nbuffer_ms=8\r\n");
    // Leading blanks of a value are not written.
    ASSERT_TRUE(writeProfileString(file_, "Audio", "buffer_ms", "  9"));
    EXPECT_EQ(contents(), "[Visual]\r\nwaveform_color=4\r\n[Audio]\r\nbuffer_ms=9\r\n");
}

TEST_F(ProfileFileTest, WriteAddsKeysAtTheEndOfTheirSection) {
    put("[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(writeProfileString(file_, "A", "z", "3"));
    EXPECT_EQ(contents(), "[A]\r\nx=1\r\nz=3\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(writeProfileString(file_, "B", "w", "4"));
    EXPECT_EQ(contents(), "[A]\r\nx=1\r\nz=3\r\n[B]\r\ny=2\r\nw=4\r\n");
    ASSERT_TRUE(writeProfileString(file_, "Experience", "first_run_volume_initialized", "1"));
    EXPECT_EQ(contents(), "[A]\r\nx=1\r\nz=3\r\n[B]\r\ny=2\r\nw=4\r\n[Experience]\r\nfirst_run_volume_initialized=1\r\n");
}

TEST_F(ProfileFileTest, WriteCreatesTheFile) {
    ASSERT_TRUE(writeProfileString(file_, "Experience", "remove_before_playback_removed", "1"));
    EXPECT_EQ(contents(), "[Experience]\r\nremove_before_playback_removed=1\r\n");
    EXPECT_FALSE(writeProfileString(dir_ / "no-folder" / "x.ini", "A", "b", "1"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "no-folder"));
}

TEST_F(ProfileFileTest, WriteRefusesTextThatWouldAddKeys) {
    const std::string before = "[S]\r\nk=v\r\n";
    put(before);
    EXPECT_FALSE(writeProfileString(file_, "S", "k", "a\r\nq=1"));
    EXPECT_FALSE(writeProfileString(file_, "S", "k", "a\nq=1"));
    EXPECT_FALSE(writeProfileString(file_, "S\r\n[T]", "k", "1"));
    EXPECT_FALSE(writeProfileString(file_, "S", "k\nq", "1"));
    EXPECT_FALSE(writeProfileString(file_, "S", "a=b", "1"));
    EXPECT_FALSE(writeProfileString(file_, "S", "", "1"));
    EXPECT_FALSE(writeProfileString(file_, " ", "k", "1"));
    EXPECT_EQ(contents(), before);
}

TEST_F(ProfileFileTest, WriteKeepsEveryOtherKeyOfAnUntidyFile) {
    put("; settings written by hand\n"
        "\n"
        "[Visual]   \n"
        "  waveform_color = 3\n"
        "\tother = \"kept\"  \n"
        "\n"
        "[Audio]\n"
        "buffer_ms=8   ; eight\n"
        "adaptive_buffer = off\n"
        "\n\n"
        "[Empty]\n"
        "[Last]\n"
        "tail=no line break at the end");
    ASSERT_TRUE(writeProfileString(file_, "Visual", "waveform_color", "5"));
    ASSERT_TRUE(writeProfileString(file_, "Audio", "new_key", "n"));
    ASSERT_TRUE(writeProfileString(file_, "Empty", "e", "1"));
    ASSERT_TRUE(writeProfileString(file_, "Last", "after_tail", "2"));
    ASSERT_TRUE(writeProfileString(file_, "Added", "a", "3"));

    EXPECT_EQ(get("Visual", "waveform_color"), "5");
    EXPECT_EQ(get("Visual", "other"), "kept");
    EXPECT_EQ(get("Audio", "buffer_ms"), "8   ; eight");
    EXPECT_EQ(get("Audio", "adaptive_buffer"), "off");
    EXPECT_EQ(get("Audio", "new_key"), "n");
    EXPECT_EQ(get("Empty", "e"), "1");
    EXPECT_EQ(get("Last", "tail"), "no line break at the end");
    EXPECT_EQ(get("Last", "after_tail"), "2");
    EXPECT_EQ(get("Added", "a"), "3");
    EXPECT_EQ(get("Audio", "e"), "DEF");  // nothing landed in the wrong section
}

TEST_F(ProfileFileTest, ManyWritesNeverLoseAKey) {
    // A model of the file, updated alongside it; every key must read back.
    std::map<std::pair<std::string, std::string>, std::string> model;
    std::mt19937 rng(20240611u);
    for (int i = 0; i < 60; ++i) {
        const std::string section = "Section" + std::to_string(rng() % 5);
        const std::string key = "key_" + std::to_string(rng() % 7);
        const std::string value = std::to_string(rng() % 1000);
        ASSERT_TRUE(writeProfileString(file_, section, key, value));
        model[{section, key}] = value;
    }
    for (const auto& [name, value] : model) {
        EXPECT_EQ(readProfileString(file_, name.first, name.second, "lost"), value)
            << name.first << "/" << name.second;
    }
}

}  // namespace
