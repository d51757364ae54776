#include "output/FormatsCache.h"

#include <cctype>
#include <fstream>
#include <limits>
#include <system_error>

#include "platform/UserFolders.h"

namespace al::audio {

namespace {

constexpr std::uint64_t kOffsetBasis = 0x14650FB0739D0383ull;
constexpr std::uint64_t kPrime = 0x100000001B3ull;

void absorb(std::uint64_t& hash, std::uint8_t byte) noexcept { hash = (hash ^ byte) * kPrime; }

// One whitespace-separated unsigned decimal number no larger than `maximum`.
// A sign, any other character or an overflow is a failed read, which ends the
// file (unlike stream extraction, which would take "-1" as the largest value).
bool readNumber(std::istream& in, std::uint64_t maximum, std::uint64_t& value) {
    std::string token;
    if (!(in >> token)) {
        return false;
    }
    value = 0;
    for (const char c : token) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (maximum - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

std::uint64_t FormatsCacheKey(std::u16string_view endpointId, std::uint16_t channels) noexcept {
    std::uint64_t hash = kOffsetBasis;
    for (const char16_t unit : endpointId) {
        absorb(hash, static_cast<std::uint8_t>(unit & 0xFF));
        absorb(hash, static_cast<std::uint8_t>(unit >> 8));
        absorb(hash, 0);
        absorb(hash, 0);
    }
    absorb(hash, static_cast<std::uint8_t>(channels & 0xFF));
    absorb(hash, static_cast<std::uint8_t>(channels >> 8));
    return hash;
}

bool RememberedFormat::Matches(const EndpointFormat& format) const noexcept {
    return format.channels == channels && format.sampleRate == sampleRate && format.containerBits == containerBits &&
           format.validBits == validBits && format.kind == kind && format.sharedFallback == sharedFallback;
}

std::optional<std::filesystem::path> FormatsCache::DefaultFile() {
    const std::filesystem::path root = platform::localStateRoot();
    const std::size_t length = root.native().size();
    if (length < 1 || length > 259) {
        return std::nullopt;
    }
    return root / "Tessaly" / "AuralithPlayer" / "formats.cfg";
}

void FormatsCache::Load() {
    entries_.clear();
    if (!file_) {
        return;
    }
    std::ifstream in(*file_);
    if (in) {
        Read(in);
    }
}

void FormatsCache::Read(std::istream& in) {
    constexpr std::uint64_t k32 = std::numeric_limits<std::uint32_t>::max();
    for (;;) {
        std::uint64_t key = 0;
        std::uint64_t values[6] = {};
        if (!readNumber(in, std::numeric_limits<std::uint64_t>::max(), key)) {
            return;
        }
        for (std::uint64_t& value : values) {
            if (!readNumber(in, k32, value)) {
                return;
            }
        }
        const std::uint64_t channels = values[0];
        const std::uint64_t kind = values[4];
        const std::uint64_t shared = values[5];
        if (channels < 1 || channels > 8 || kind > 4 || shared > 1) {
            continue;
        }
        RememberedFormat format;
        format.channels = static_cast<std::uint16_t>(channels);
        format.sampleRate = static_cast<std::uint32_t>(values[1]);
        format.containerBits = static_cast<std::uint16_t>(values[2]);
        format.validBits = static_cast<std::uint16_t>(values[3]);
        format.kind = static_cast<SampleKind>(kind);
        format.sharedFallback = shared == 1;
        entries_[key] = format;
    }
}

void FormatsCache::RememberFormat(std::u16string_view endpointId, const EndpointFormat& format) {
    RememberedFormat entry;
    entry.channels = format.channels;
    entry.sampleRate = format.sampleRate;
    entry.containerBits = format.containerBits;
    entry.validBits = format.validBits;
    entry.kind = format.kind;
    entry.sharedFallback = format.sharedFallback;
    entries_[FormatsCacheKey(endpointId, format.channels)] = entry;
    Write();
}

const RememberedFormat* FormatsCache::Find(std::uint64_t key) const noexcept {
    const auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : &found->second;
}

std::string FormatsCache::Text() const {
    std::string text;
    for (const auto& [key, format] : entries_) {
        text += std::to_string(key) + ' ' + std::to_string(format.channels) + ' ' +
                std::to_string(format.sampleRate) + ' ' + std::to_string(format.containerBits) + ' ' +
                std::to_string(format.validBits) + ' ' + std::to_string(static_cast<unsigned>(format.kind)) + ' ' +
                (format.sharedFallback ? "1" : "0") + '\n';
    }
    return text;
}

void FormatsCache::Write() const {
    if (!file_) {
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(file_->parent_path(), error);
    if (error) {
        return;
    }
    // The new content goes to a side file first and replaces the old file in
    // one rename, so an interrupted write never leaves half a cache.
    std::filesystem::path partial = *file_;
    partial += ".new";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            return;
        }
        out << Text();
        out.close();
        if (!out) {
            std::filesystem::remove(partial, error);
            return;
        }
    }
    std::filesystem::rename(partial, *file_, error);
    if (error) {
        std::filesystem::remove(partial, error);
    }
}

FormatsCache LoadFormatsCache() {
    std::optional<std::filesystem::path> file = FormatsCache::DefaultFile();
    FormatsCache cache = file ? FormatsCache(*file) : FormatsCache();
    cache.Load();
    return cache;
}

}  // namespace al::audio
