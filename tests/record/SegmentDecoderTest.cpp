#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "record/CurveSegment.h"
#include "record/RecordWriter.h"

namespace al::file {
namespace {

// A payload written field by field, so that any field can be wrong.
struct Payload {
    std::vector<std::byte> bytes;

    template <typename T>
    Payload& put(T value) {
        const auto at = bytes.size();
        bytes.resize(at + sizeof(T));
        std::memcpy(bytes.data() + at, &value, sizeof(T));
        return *this;
    }
    Payload& segment(std::uint8_t id, std::uint16_t count, double anchorTime = 0.0,
                     double anchorValue = 0.0) {
        return put(id).put(std::uint8_t{0}).put(count).put(anchorTime).put(anchorValue);
    }
    Payload& offsets(std::vector<float> values) {
        for (float v : values)
            put(v);
        return *this;
    }
};

std::vector<CurveSegment> decode(const std::vector<std::byte>& payload, std::uint16_t segments) {
    BlockView view;
    view.header.segmentCount = segments;
    view.header.payloadSize = static_cast<std::uint32_t>(payload.size());
    view.payload = payload;
    return decodeSegments(view);
}

void expectDecodeFails(const Payload& payload, std::uint16_t segments, const std::string& message) {
    try {
        decode(payload.bytes, segments);
        ADD_FAILURE() << "decoded, expected: " << message;
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), message);
    }
}

TEST(SegmentDecoder, RebuildsPointsRelativeToTheAnchor) {
    Payload p;
    p.segment(2, 3, 10.0, 0.5).offsets({0.25f, 0.75f}).offsets({-0.5f, 0.125f});
    p.put(std::uint8_t{3}).put(std::uint8_t{9}).put(std::uint16_t{2}).put(10.75).put(0.625);
    p.offsets({1.0f}).offsets({0.0f});
    const auto segments = decode(p.bytes, 2);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].kind(), SegmentKind::Pchip);
    const auto& points = segments[0].points();
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[1].time, 10.25);
    EXPECT_EQ(points[1].value, 0.0);
    EXPECT_EQ(points[2].time, 10.75);  // anchor + 0.75, not previous + 0.75
    EXPECT_EQ(points[2].value, 0.625);
    EXPECT_EQ(segments[1].kind(), SegmentKind::Polyline);
    EXPECT_EQ(segments[1].flags(), 9);

    // The writer's encoding round-trips, offsets widened exactly from f32.
    std::vector<std::byte> written;
    appendEncodedSegment(written, {SegmentKind::Linear, 0, {{1.0, -0.5}, {1.5, 0.25}}});
    const auto line = decode(written, 1);
    EXPECT_EQ(line[0].kind(), SegmentKind::Linear);
    EXPECT_EQ(line[0].points()[1].time, 1.5);
    EXPECT_EQ(line[0].points()[1].value, 0.25);
}

TEST(SegmentDecoder, CountAndIdMessages) {
    const std::string count = "Auralith segment has invalid control-point count";
    expectDecodeFails(Payload{}.segment(2, 1), 1, count);
    expectDecodeFails(Payload{}.segment(9, 1), 1, count);  // the count is checked before the id
    expectDecodeFails(Payload{}.segment(2, 0), 1, count);
    expectDecodeFails(Payload{}.segment(1, 3).offsets({1, 2, 0, 0}), 1,
                      "Auralith LINEAR segment does not have two control points");
    expectDecodeFails(Payload{}.segment(0, 2), 1, "Unsupported Auralith transport primitive id 0");
    expectDecodeFails(Payload{}.segment(4, 2), 1, "Unsupported Auralith transport primitive id 4");
    expectDecodeFails(Payload{}.segment(255, 2), 1,
                      "Unsupported Auralith transport primitive id 255");
    // Three points are fine for the two chain kinds.
    EXPECT_NO_THROW(decode(Payload{}.segment(2, 3).offsets({1, 2, 0, 0}).bytes, 1));
    EXPECT_NO_THROW(decode(Payload{}.segment(3, 3).offsets({1, 2, 0, 0}).bytes, 1));
}

TEST(SegmentDecoder, AnchorAndRebuiltPointMessages) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string anchor = "Auralith segment anchor is nonfinite";
    const std::string points = "Auralith reconstructed control points are invalid";
    expectDecodeFails(Payload{}.segment(2, 2, std::nan(""), 0).offsets({1, 0}), 1, anchor);
    expectDecodeFails(Payload{}.segment(2, 2, 0, inf).offsets({1, 0}), 1, anchor);
    expectDecodeFails(Payload{}.segment(2, 2).offsets({0, 0}), 1, points);  // offset 0 at point 1
    expectDecodeFails(Payload{}.segment(3, 3).offsets({2, 2, 0, 0}), 1, points);
    expectDecodeFails(Payload{}.segment(3, 3).offsets({2, 1, 0, 0}), 1, points);
    expectDecodeFails(Payload{}.segment(3, 2).offsets({1, std::nanf("")}), 1, points);
    expectDecodeFails(Payload{}.segment(3, 2).offsets({std::numeric_limits<float>::infinity(), 0}),
                      1, points);
}

TEST(SegmentDecoder, PayloadMustEndExactlyAfterTheLastSegment) {
    Payload good;
    good.segment(3, 3).offsets({1, 2, 0.5f, 0.25f});
    ASSERT_NO_THROW(decode(good.bytes, 1));

    Payload trailing = good;
    trailing.put(std::uint8_t{0});
    expectDecodeFails(trailing, 1, "Auralith block payload has trailing or unparsed bytes");

    const std::string shortRead = "Unexpected end of Auralith byte range";
    Payload shorter = good;
    shorter.bytes.pop_back();
    expectDecodeFails(shorter, 1, shortRead);
    // One segment more than the payload holds; and a payload cut inside the
    // leading fields, the anchor and the time offsets.
    expectDecodeFails(good, 2, shortRead);
    for (std::size_t cut : {3u, 12u, 24u}) {
        Payload cutShort = good;
        cutShort.bytes.resize(cut);
        expectDecodeFails(cutShort, 1, shortRead);
    }
    // A short read is reported before the points it would have rebuilt.
    Payload badAndShort;
    badAndShort.segment(3, 3).offsets({2, 1, 0});
    expectDecodeFails(badAndShort, 1, shortRead);
}

// Counting hops over segments by their sizes without decoding: it agrees
// with a full decode, and stops at the first segment that is malformed or
// runs past the payload instead of reading beyond it.
TEST(SegmentDecoder, CountsControlPointsWithoutDecoding) {
    Payload p;
    p.segment(2, 3, 10.0, 0.5).offsets({0.25f, 0.75f}).offsets({-0.5f, 0.125f});
    p.segment(1, 2, 10.75, 0.625).offsets({1.0f}).offsets({0.0f});
    p.segment(3, 5, 11.75, 0.0).offsets({0.1f, 0.2f, 0.3f, 0.4f}).offsets({0.f, 0.f, 0.f, 0.f});
    BlockView view;
    view.header.segmentCount = 3;
    view.payload = p.bytes;
    std::uint64_t decoded = 0;
    for (const auto& segment : decodeSegments(view))
        decoded += segment.points().size();
    EXPECT_EQ(decoded, 10u);
    EXPECT_EQ(countControlPoints(view), 10u);

    view.header.segmentCount = 2;  // fewer segments than bytes: only those
    EXPECT_EQ(countControlPoints(view), 5u);
    view.header.segmentCount = 9;  // more than the payload holds
    EXPECT_EQ(countControlPoints(view), 10u);

    Payload bad = p;
    bad.segment(2, 1);  // a count below 2 ends the count
    bad.segment(2, 2).offsets({1.0f}).offsets({0.0f});
    view.header.segmentCount = 5;
    view.payload = bad.bytes;
    EXPECT_EQ(countControlPoints(view), 10u);

    Payload cut;
    cut.segment(2, 4000, 0.0, 0.0);  // claims 32 kB of offsets it does not have
    view.payload = cut.bytes;
    EXPECT_EQ(countControlPoints(view), 0u);
    view.payload = std::span<const std::byte>(cut.bytes).first(3);
    EXPECT_EQ(countControlPoints(view), 0u);
}

}  // namespace
}  // namespace al::file
