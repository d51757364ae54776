// How the Linux profile writer replaces a file: only the one line changes,
// and the new file goes through a temporary, so a failed write never leaves a
// half-written file behind.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/ProfileFile.h"
#include "support/TempDir.h"

namespace {

using al::platform::readProfileString;
using al::platform::writeProfileString;
namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

ino_t inode(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::size_t entries(const fs::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

TEST(ProfileFileLinuxTest, OtherLinesKeepTheirBytes) {
    al::test::TempDir dir;
    const auto file = dir / "settings.ini";
    put(file, "; by hand\n\n[Visual]  \n  waveform_color = 3 ; c\n\n[Audio]\nbuffer_ms=8\n\n[Last]\ntail=1");
    ASSERT_TRUE(writeProfileString(file, "visual", "waveform_color", "4"));
    ASSERT_TRUE(writeProfileString(file, "Visual", "added", "x"));
    ASSERT_TRUE(writeProfileString(file, "Last", "more", "2"));
    EXPECT_EQ(contents(file),
              "; by hand\n\n[Visual]  \nwaveform_color=4\nadded=x\n\n[Audio]\nbuffer_ms=8\n\n[Last]\ntail=1\nmore=2");
}

TEST(ProfileFileLinuxTest, UnchangedValueLeavesTheFileAlone) {
    al::test::TempDir dir;
    const auto file = dir / "state.ini";
    put(file, "[Experience]\nfirst_run_volume_initialized=1\n");
    const ino_t before = inode(file);
    ASSERT_TRUE(writeProfileString(file, "EXPERIENCE", "First_Run_Volume_Initialized", "1"));
    EXPECT_EQ(inode(file), before);
    ASSERT_TRUE(writeProfileString(file, "Experience", "first_run_volume_initialized", "2"));
    EXPECT_NE(inode(file), before);  // replaced through a rename
}

TEST(ProfileFileLinuxTest, ModeAndSymbolicLinksSurviveAWrite) {
    al::test::TempDir dir;
    const auto target = dir / "real.ini";
    const auto link = dir / "link.ini";
    put(target, "[A]\nx=1\n");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(target, link);
    ASSERT_TRUE(writeProfileString(link, "A", "x", "2"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contents(target), "[A]\nx=2\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries(dir.path()), 2u);
}

TEST(ProfileFileLinuxTest, FailedWriteLeavesTheOldFileWhole) {
    al::test::TempDir dir;
    const auto file = dir / "settings.ini";
    const std::string before = "[Visual]\nwaveform_color=3\n[Audio]\nbuffer_ms=8\n";
    put(file, before);

    // Files may not grow beyond 4 KiB for a moment; the new text is larger,
    // so writing the temporary fails part-way.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeProfileString(file, "Visual", "waveform_color", std::string(10000, '7'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(contents(file), before);
    EXPECT_EQ(entries(dir.path()), 1u);  // no temporary left behind
    EXPECT_EQ(readProfileString(file, "Audio", "buffer_ms", ""), "8");
}

}  // namespace
