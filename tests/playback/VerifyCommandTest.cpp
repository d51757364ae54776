// `auralith verify` and `auralith info --segments` over real record files.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "RecordFiles.h"
#include "support/TempDir.h"
#include "cli/Commands.h"
#include "cli/RecordCheck.h"
#include "platform/Process.h"

namespace al::cli {
namespace {

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

CommandRun run(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runCommandLine(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(VerifyCommand, GoodRecordAndTheFirstFailureInChunkOrder) {
    test::TempDir dir;
    const auto path = dir / "ten.aur";
    const std::string name = platform::pathToUtf8(path);
    file::RecordWriter::fromSamples(44100, 16, test::testSignal(2, 10 * 1024 - 5)).save(path);

    const CommandRun good = run({"verify", name});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "ok: 10 chunks\n");

    // Damage chunks 7 and 3 (channel 0: blocks 14 and 6). Whatever thread
    // meets which failure first, chunk 3 is the one reported.
    std::uint64_t offset6 = 0;
    std::uint64_t offset14 = 0;
    {
        const file::RecordReader reader(path);
        offset6 = reader.allBlocks().at(6).offset;
        offset14 = reader.allBlocks().at(14).offset;
    }
    test::flipByte(path, offset14 + 100);
    test::flipByte(path, offset6 + 100);
    const CommandRun bad = run({"verify", name});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err.rfind("error: CRC mismatch in block 6: stored=0x", 0), 0u) << bad.err;

    const auto reader = std::make_shared<const file::RecordReader>(path);
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        const RecordScan scan = scanRecord(reader, threads);
        EXPECT_FALSE(scan.ok);
        EXPECT_EQ(scan.failedChunk, 3u) << threads;
    }

    const CommandRun missing = run({"verify", platform::pathToUtf8(dir / "missing.aur")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("error: Open Auralith record image failed (", 0), 0u) << missing.err;
    EXPECT_EQ(run({"verify"}).status, 2);
}

TEST(VerifyCommand, SegmentStatistics) {
    test::TempDir dir;
    const auto path = dir / "lines.aur";
    // Two chunks of one channel at 1 kHz as two-point lines: one per frame
    // step, the last chunk's final step holding the last value.
    file::RecordWriter::fromSamples(1000, 16, test::testSignal(1, 2048), file::SegmentKind::Linear)
        .save(path);
    const CommandRun info = run({"info", platform::pathToUtf8(path), "--segments"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("chunks: 2\n"), std::string::npos);
    EXPECT_NE(info.out.find("segments: 2048\n"
                            "linear segments: 2048\n"
                            "pchip segments: 0\n"
                            "polyline segments: 0\n"
                            "control points: 4096\n"
                            "control points per second: 2000.0\n"
                            "control points per second per channel: 2000.0\n"),
              std::string::npos)
        << info.out;

    const CommandRun plain = run({"info", platform::pathToUtf8(path)});
    EXPECT_EQ(plain.out.find("segments"), std::string::npos);
}

}  // namespace
}  // namespace al::cli
