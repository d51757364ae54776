// Files the player rewrites survive the process being killed at any moment:
// a child rewrites the formats cache or a settings file as fast as it can
// and is killed after a varying delay, again and again; each time the file
// left behind is a whole earlier or later version, never a torn one.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "output/FormatsCache.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();  // the settings files end lines with CR LF
        out.push_back(line);
    }
    return out;
}

// Runs `writeForever` in a child, kills it after `delay`, and returns once it
// is gone.
template <typename Body>
void killWhileWriting(Body writeForever, std::chrono::microseconds delay) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeForever();
        ::_exit(0);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own";
}

TEST(AtomicWriteKill, FormatsCacheIsAlwaysWhole) {
    al::test::TempDir dir;
    const fs::path file = dir / "formats.cfg";
    std::mt19937 random(20261208);
    for (int round = 0; round < 40; ++round) {
        killWhileWriting(
            [&] {
                al::audio::FormatsCache cache(file);
                cache.Load();
                for (std::uint32_t i = 0;; ++i) {
                    al::audio::EndpointFormat format{};
                    format.sampleRate = 44100 + i;
                    format.channels = 2;
                    format.containerBits = 32;
                    format.validBits = 24;
                    const std::string id = "endpoint " + std::to_string(i % 300);
                    cache.RememberFormat(std::u16string(id.begin(), id.end()), format);
                }
            },
            std::chrono::microseconds(2000 + random() % 20000));
        const std::string text = contents(file);
        if (text.empty())
            continue;  // killed before the first write finished
        ASSERT_EQ(text.back(), '\n') << "round " << round << ": torn file";
        const auto rows = lines(text);
        for (const auto& row : rows) {
            std::istringstream fields(row);
            std::uint64_t value = 0;
            int count = 0;
            while (fields >> value)
                ++count;
            ASSERT_EQ(count, 7) << "round " << round << ": torn line \"" << row << '"';
        }
        al::audio::FormatsCache reread(file);
        reread.Load();
        EXPECT_EQ(reread.Entries().size(), rows.size()) << "round " << round;
    }
}

TEST(AtomicWriteKill, SettingsFileIsAlwaysWhole) {
    al::test::TempDir dir;
    const fs::path file = dir / "settings.ini";
    std::mt19937 random(8122026);
    std::size_t keysSeen = 0;
    for (int round = 0; round < 40; ++round) {
        killWhileWriting(
            [&] {
                for (std::uint32_t i = 0;; ++i) {
                    const std::string value(200, static_cast<char>('a' + i % 26));
                    al::platform::writeProfileString(file, "Audio", "key" + std::to_string(i % 40),
                                                     value);
                }
            },
            std::chrono::microseconds(1000 + random() % 10000));
        const std::string text = contents(file);
        if (text.empty())
            continue;
        const auto rows = lines(text);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.front(), "[Audio]") << "round " << round;
        for (std::size_t k = 1; k < rows.size(); ++k) {
            const auto equals = rows[k].find('=');
            ASSERT_NE(equals, std::string::npos) << "round " << round << ": torn line";
            const std::string value = rows[k].substr(equals + 1);
            ASSERT_EQ(value.size(), 200u) << "round " << round << ": torn value";
            EXPECT_EQ(value.find_first_not_of(value[0]), std::string::npos);
        }
        // Keys are only ever added: a version may be older than the last
        // one seen only by the write in flight.
        EXPECT_GE(rows.size() - 1, keysSeen) << "round " << round << ": keys lost";
        keysSeen = rows.size() - 1;
    }
}

}  // namespace
