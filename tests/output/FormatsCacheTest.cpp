#include "output/FormatsCache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/TempDir.h"

namespace al::audio {
namespace {

TEST(FormatsCacheKey, KnownAnswers) {
    // Only the two channel bytes after the offset basis.
    EXPECT_EQ(FormatsCacheKey(u"", 2), 11124532098193617577ull);
    EXPECT_EQ(FormatsCacheKey(u"", 0x0102), 11124530998681989366ull);
    EXPECT_EQ(FormatsCacheKey(u"virtual", 2), 487029033314007808ull);
    EXPECT_EQ(FormatsCacheKey(u"{0.0.0.00000000}.{e1}", 6), 14051823981477671049ull);
    // Units above 0xFF contribute their high byte.
    EXPECT_EQ(FormatsCacheKey(u"\u00DC\u20AC", 1), 8530832300554372226ull);
    EXPECT_NE(FormatsCacheKey(u"virtual", 2), FormatsCacheKey(u"virtual", 1));
}

EndpointFormat stereo(std::uint32_t rate, SampleKind kind, std::uint16_t container, std::uint16_t valid) {
    EndpointFormat format;
    format.sampleRate = rate;
    format.channels = 2;
    format.containerBits = container;
    format.validBits = valid;
    format.kind = kind;
    return format;
}

TEST(FormatsCache, ReadingSkipsBadGroupsAndKeepsTheirNeighbours) {
    std::istringstream text(
        "10 2 44100 16 16 4 0\n"
        "20 2 48000 32 32 7 0\n"   // kind 7
        "30 9 48000 32 32 0 0\n"   // nine channels
        "40 0 48000 32 32 0 0\n"   // no channels
        "50 2 48000 32 32 0 2\n"   // shared flag 2
        "60 2 96000 32 24 2 1\n"
        "10 1 8000 65552 16 3 0\n");  // later key wins; 65552 narrows to 16
    FormatsCache cache;
    cache.Read(text);
    ASSERT_EQ(cache.Entries().size(), 2u);
    const RememberedFormat* first = cache.Find(10);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->channels, 1);
    EXPECT_EQ(first->sampleRate, 8000u);
    EXPECT_EQ(first->containerBits, 16);
    EXPECT_EQ(first->kind, SampleKind::Pcm24Packed);
    const RememberedFormat* second = cache.Find(60);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->kind, SampleKind::Pcm24In32);
    EXPECT_TRUE(second->sharedFallback);
    EXPECT_EQ(cache.Find(20), nullptr);
}

TEST(FormatsCache, ReadingStopsAtTheFirstUnreadableNumber) {
    const char* const cases[] = {
        "10 2 44100 16 16 4 0 20 2 48000 -32 32 0 0 30 2 48000 32 32 0 0",
        "10 2 44100 16 16 4 0 20 2 4294967296 32 32 0 0 30 2 48000 32 32 0 0",  // over 32 bits
        "10 2 44100 16 16 4 0 18446744073709551616 2 48000 32 32 0 0",          // over 64 bits
        "10 2 44100 16 16 4 0 20 2 48000 x 32 0 0",
        "10 2 44100 16 16 4 0 20 2 48000 32",  // an incomplete group
    };
    for (const char* text : cases) {
        std::istringstream in(text);
        FormatsCache cache;
        cache.Read(in);
        EXPECT_EQ(cache.Entries().size(), 1u) << text;
        EXPECT_NE(cache.Find(10), nullptr) << text;
    }
    std::istringstream largest("18446744073709551615 2 4294967295 16 16 4 0");
    FormatsCache cache;
    cache.Read(largest);
    ASSERT_NE(cache.Find(18446744073709551615ull), nullptr);
    EXPECT_EQ(cache.Find(18446744073709551615ull)->sampleRate, 4294967295u);
}

TEST(FormatsCache, RememberingWritesSortedLinesAndReadsBack) {
    al::test::TempDir temp;
    const auto file = temp.path() / "Tessaly" / "AuralithPlayer" / "formats.cfg";
    FormatsCache cache(file);
    cache.RememberFormat(u"virtual", stereo(96000, SampleKind::Pcm24In32, 32, 24));
    cache.RememberFormat(u"", stereo(44100, SampleKind::Pcm16, 16, 16));
    EndpointFormat shared = stereo(48000, SampleKind::Float32, 32, 32);
    shared.sharedFallback = true;
    cache.RememberFormat(u"virtual", shared);  // replaces the first

    std::ifstream in(file, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written,
              "487029033314007808 2 48000 32 32 0 1\n"
              "11124532098193617577 2 44100 16 16 4 0\n");

    FormatsCache reread(file);
    reread.Load();
    EXPECT_EQ(reread.Entries(), cache.Entries());
    const RememberedFormat* remembered = reread.Find(FormatsCacheKey(u"virtual", 2));
    ASSERT_NE(remembered, nullptr);
    EXPECT_TRUE(remembered->Matches(shared));
    EXPECT_FALSE(remembered->Matches(stereo(48000, SampleKind::Float32, 32, 32)));
}

TEST(FormatsCache, MissingFilesAndUnwritableFoldersAreSilent) {
    al::test::TempDir temp;
    FormatsCache missing(temp.path() / "nothing" / "formats.cfg");
    missing.Load();
    EXPECT_TRUE(missing.Entries().empty());

    // The folder cannot be made where a file of that name stands.
    { std::ofstream blocker(temp.path() / "blocked"); }
    FormatsCache blocked(temp.path() / "blocked" / "formats.cfg");
    EXPECT_NO_THROW(blocked.RememberFormat(u"x", stereo(44100, SampleKind::Pcm16, 16, 16)));
    EXPECT_EQ(blocked.Entries().size(), 1u);  // still remembered for this session

    FormatsCache memoryOnly;
    memoryOnly.RememberFormat(u"x", stereo(44100, SampleKind::Pcm16, 16, 16));
    EXPECT_NE(memoryOnly.Find(FormatsCacheKey(u"x", 2)), nullptr);
}

TEST(FormatsCache, TheDefaultFileLivesUnderTheLocalStateRoot) {
    const auto file = FormatsCache::DefaultFile();
    if (!file) {
        GTEST_SKIP() << "no local state folder on this machine";
    }
    EXPECT_EQ(file->filename(), "formats.cfg");
    EXPECT_EQ(file->parent_path().filename(), "AuralithPlayer");
    EXPECT_EQ(file->parent_path().parent_path().filename(), "Tessaly");
}

}  // namespace
}  // namespace al::audio
