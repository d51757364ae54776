#include "output/AudioBufferSettings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace al::audio {

namespace {

bool isSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// The file as single-byte text. Editors that save with a byte-order mark
// would otherwise hide the first key behind it (UTF-8) or every key behind
// zero bytes (UTF-16); characters outside ASCII can only be in comments.
std::string readText(std::ifstream& in) {
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return bytes.substr(3);
    }
    const bool littleEndian = bytes.starts_with("\xFF\xFE");
    if (!littleEndian && !bytes.starts_with("\xFE\xFF")) {
        return bytes;
    }
    std::string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        const unsigned unit = littleEndian ? (second << 8) | first : (first << 8) | second;
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text;
}

bool parseBoolean(std::string_view value, const std::string& key) {
    const std::string word = lower(value);
    if (word == "true" || word == "yes" || word == "on" || word == "1") {
        return true;
    }
    if (word == "false" || word == "no" || word == "off" || word == "0") {
        return false;
    }
    throw std::runtime_error("Invalid Boolean value for " + key);
}

// Converts like std::stod, with the standard library's messages for the two
// conversion failures, then refuses anything left over and non-finite values.
double parseNumber(std::string_view value, const std::string& key) {
    const std::string text(value);
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(begin, &end);
    if (end == begin) {
        throw std::invalid_argument("invalid stod argument");
    }
    if (errno == ERANGE) {
        throw std::out_of_range("stod argument out of range");
    }
    if (*end != '\0' || !std::isfinite(number)) {
        throw std::runtime_error("Invalid numeric value for " + key);
    }
    return number;
}

// Converts like std::stoul where unsigned long has 32 bits: an optional sign
// (a minus wraps the magnitude modulo 2^32), then decimal digits; a magnitude
// beyond 32 bits is out of range. Written out rather than built on strtoul
// because unsigned long is 64 bits wide on Linux.
std::uint32_t parseInteger(std::string_view value, const std::string& key) {
    std::size_t i = 0;
    while (i < value.size() && isSpace(value[i])) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    const std::size_t digitsBegin = i;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(value[i] - '0');
        if (magnitude > 0xFFFFFFFFu) {
            overflow = true;
            magnitude = 0xFFFFFFFFu + std::uint64_t{1};  // keeps consuming digits without wrapping
        }
    }
    if (i == digitsBegin) {
        throw std::invalid_argument("invalid stoul argument");
    }
    if (overflow) {
        throw std::out_of_range("stoul argument out of range");
    }
    if (i != value.size()) {
        throw std::runtime_error("Invalid integer value for " + key);
    }
    const auto result = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - result : result;
}

void validate(const AudioBufferSettings& s) {
    if (s.bufferMs < 1.0 || s.bufferMs > 100.0) {
        throw std::runtime_error("Audio.buffer_ms must be between 1 and 100 ms");
    }
    if (s.safetyMarginMs < 0.1 || s.safetyMarginMs > 20.0) {
        throw std::runtime_error("Audio.buffer_safety_margin_ms must be between 0.1 and 20 ms");
    }
    if (s.stepMs < 0.5 || s.stepMs > 20.0) {
        throw std::runtime_error("Audio.buffer_step_ms must be between 0.5 and 20 ms");
    }
    if (s.maxMs < s.bufferMs || s.maxMs > 200.0) {
        throw std::runtime_error("Audio.buffer_max_ms must be at least buffer_ms and no more than 200 ms");
    }
    if (s.nearMissCount < 1 || s.nearMissCount > 100) {
        throw std::runtime_error("Audio.buffer_near_miss_count must be between 1 and 100");
    }
}

}  // namespace

AudioBufferSettings LoadAudioBufferSettings(const std::filesystem::path& path) {
    AudioBufferSettings settings;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return settings;
    }
    const std::string text = readText(in);

    std::string section;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;

        line = line.substr(0, line.find_first_of(";#"));
        line = trim(line);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = lower(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (!section.empty() && section != "audio") {
            continue;
        }
        const std::string key = lower(trim(line.substr(0, equals)));
        const std::string_view value = trim(line.substr(equals + 1));

        if (key == "buffer_ms") {
            settings.bufferMs = parseNumber(value, key);
        } else if (key == "adaptive_buffer") {
            settings.adaptiveBuffer = parseBoolean(value, key);
        } else if (key == "buffer_safety_margin_ms") {
            settings.safetyMarginMs = parseNumber(value, key);
        } else if (key == "buffer_step_ms") {
            settings.stepMs = parseNumber(value, key);
        } else if (key == "buffer_max_ms") {
            settings.maxMs = parseNumber(value, key);
        } else if (key == "buffer_near_miss_count") {
            settings.nearMissCount = parseInteger(value, key);
        }
    }
    validate(settings);
    return settings;
}

}  // namespace al::audio
