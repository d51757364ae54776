#pragma once
// The formats cache: for each endpoint and channel count, the exact format
// the user chose last, kept in "formats.cfg" under the user's local state
// folder (Tessaly/AuralithPlayer). Remembered formats are matched against a
// fresh probe by their six scalar fields; the structure bytes are not kept.

#include <cstdint>
#include <filesystem>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "output/EndpointFormat.h"

namespace al::audio {

// 64-bit FNV-1a style hash over each UTF-16 unit of the identifier (low byte,
// high byte, two zero bytes), then the channel count's low and high byte. The
// offset basis is 0x14650FB0739D0383, not the published one: files already
// written depend on exactly this value.
std::uint64_t FormatsCacheKey(std::u16string_view endpointId, std::uint16_t channels) noexcept;

// The six scalar fields of a remembered format.
struct RememberedFormat {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t containerBits = 0;
    std::uint16_t validBits = 0;
    SampleKind kind = SampleKind::Float32;
    bool sharedFallback = false;

    bool Matches(const EndpointFormat& format) const noexcept;
    friend bool operator==(const RememberedFormat&, const RememberedFormat&) = default;
};

// The remembered formats and the file they live in. Never reports an error:
// an unreadable file reads as empty and a failed write is dropped.
// User-interface thread only.
class FormatsCache {
public:
    // Not tied to a file: remembers in memory only.
    FormatsCache() = default;
    explicit FormatsCache(std::filesystem::path file) : file_(std::move(file)) {}

    // <local state root>/Tessaly/AuralithPlayer/formats.cfg, or nothing when
    // the root is unknown or not 1 to 259 characters long.
    static std::optional<std::filesystem::path> DefaultFile();

    // Replaces the entries with those of the file.
    void Load();
    // Reads groups of seven unsigned numbers (key, channels, rate, container
    // bits, valid bits, kind, shared flag) until one cannot be read. Groups
    // with channels outside 1..8, a kind above 4 or a flag above 1 are
    // skipped; bit counts are narrowed to 16 bits; a later key wins.
    void Read(std::istream& in);

    // Stores the format under (endpointId, its channel count), then rewrites
    // the file (creating its folder when needed).
    void RememberFormat(std::u16string_view endpointId, const EndpointFormat& format);

    const RememberedFormat* Find(std::uint64_t key) const noexcept;
    const std::map<std::uint64_t, RememberedFormat>& Entries() const noexcept { return entries_; }
    const std::optional<std::filesystem::path>& File() const noexcept { return file_; }

    // One line per entry in ascending key order: the seven numbers separated
    // by single spaces, each line ended by a line break.
    std::string Text() const;

private:
    void Write() const;

    std::optional<std::filesystem::path> file_;
    std::map<std::uint64_t, RememberedFormat> entries_;
};

// The cache of the default file, loaded.
FormatsCache LoadFormatsCache();

}  // namespace al::audio
