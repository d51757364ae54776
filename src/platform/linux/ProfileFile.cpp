#include "platform/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/Utf16.h"

// The rules follow what the Windows profile functions do with the same file:
// lines end at any run of CR and LF characters; white space is 09-0D, 1A
// (a DOS end-of-file mark) and space; a section header is "[" up to the last
// "]" of the line; the first section of a name and its first key of a name
// are the ones used; blank lines and lines without "=" hold no key.
// The Windows functions may rewrite the whole file from what they parsed
// (dropping blank lines and spacing); a write here changes or inserts exactly
// one line and keeps every other byte.

namespace al::platform {

namespace {

enum class Encoding { Bytes, Utf8Bom, Utf16Le, Utf16Be };

// A whole profile file as UTF-8 (or single-byte) text, with how it was stored.
struct Document {
    Encoding encoding = Encoding::Bytes;
    std::string text;
};

bool isBlank(char c) noexcept { return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == ' '; }

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool sameName(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0));
    }
    return utf8FromUtf16(units);
}

std::string utf8ToUtf16(std::string_view text, bool bigEndian) {
    const std::u16string units = utf16FromUtf8(text);
    std::string out;
    out.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        const auto hi = static_cast<char>(unit >> 8);
        const auto lo = static_cast<char>(unit & 0xff);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

// Reads the file; nullopt when it does not exist or cannot be read.
std::optional<Document> load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    Document doc;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        doc.encoding = Encoding::Utf8Bom;
        doc.text = bytes.substr(3);
    } else if (bytes.starts_with("\xFF\xFE")) {
        doc.encoding = Encoding::Utf16Le;
        doc.text = utf16ToUtf8(std::string_view(bytes).substr(2), false);
    } else if (bytes.starts_with("\xFE\xFF")) {
        doc.encoding = Encoding::Utf16Be;
        doc.text = utf16ToUtf8(std::string_view(bytes).substr(2), true);
    } else {
        doc.text = std::move(bytes);
    }
    return doc;
}

std::string encode(const Document& doc) {
    switch (doc.encoding) {
        case Encoding::Utf8Bom:
            return "\xEF\xBB\xBF" + doc.text;
        case Encoding::Utf16Le:
            return "\xFF\xFE" + utf8ToUtf16(doc.text, false);
        case Encoding::Utf16Be:
            return "\xFE\xFF" + utf8ToUtf16(doc.text, true);
        case Encoding::Bytes:
            break;
    }
    return doc.text;
}

// One line of the text: [begin, end) is its content, next is where the line
// after it starts (past its CR/LF run).
struct Line {
    std::size_t begin;
    std::size_t end;
    std::size_t next;
};

enum class LineKind { Blank, Section, Key, Other };

struct ParsedLine {
    Line span;
    LineKind kind;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

std::vector<ParsedLine> parse(std::string_view text) {
    std::vector<ParsedLine> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        Line span{pos, pos, pos};
        while (span.end < text.size() && text[span.end] != '\n' && text[span.end] != '\r') {
            ++span.end;
        }
        span.next = span.end;
        while (span.next < text.size() && (text[span.next] == '\n' || text[span.next] == '\r')) {
            ++span.next;
        }
        pos = span.next;

        ParsedLine line{span, LineKind::Other, {}, {}};
        const std::string_view content = trim(text.substr(span.begin, span.end - span.begin));
        if (content.empty()) {
            line.kind = LineKind::Blank;
        } else if (const auto close = content.rfind(']'); content.front() == '[' && close != std::string_view::npos) {
            line.kind = LineKind::Section;
            line.name = trim(content.substr(1, close - 1));
        } else if (const auto equals = content.find('='); equals != std::string_view::npos) {
            line.kind = LineKind::Key;
            line.name = trim(content.substr(0, equals));
            line.value = trim(content.substr(equals + 1));
        }
        lines.push_back(line);
    }
    return lines;
}

// Where a key is (or would go) in a parsed file.
struct Place {
    std::optional<std::size_t> section;  // index of the section's header line
    std::optional<std::size_t> key;      // index of the key's line
    std::size_t lastInSection = 0;       // last non-blank line of the section
};

Place find(const std::vector<ParsedLine>& lines, std::string_view section, std::string_view key) {
    Place place;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine& line = lines[i];
        if (!place.section) {
            if (line.kind == LineKind::Section && sameName(line.name, section)) {
                place.section = i;
                place.lastInSection = i;
            }
            continue;
        }
        if (line.kind == LineKind::Section) {
            break;  // only the first section of a name counts
        }
        if (line.kind != LineKind::Blank) {
            place.lastInSection = i;
        }
        if (line.kind == LineKind::Key && sameName(line.name, key)) {
            place.key = i;
            break;
        }
    }
    return place;
}

// A value in matching quotes is given without them.
std::string unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

bool hasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != std::string_view::npos; }

// Replaces the file through a temporary beside it, so that a failure leaves the
// old file whole. A symbolic link is followed and its target replaced.
bool replaceFile(const std::filesystem::path& file, const std::string& bytes) {
    std::error_code error;
    std::filesystem::path target = file;
    if (std::filesystem::is_symlink(file, error)) {
        target = std::filesystem::weakly_canonical(file, error);
        if (error) {
            return false;
        }
    }
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    // A rename would replace a file the user made read-only; Windows refuses
    // to write it, and so does this.
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return false;
    }

    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = target;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    std::size_t written = 0;
    while (ok && written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok && exists) {
        ok = ::fchmod(fd, existing.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        ok = ::rename(temp.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here does not undo the write.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

std::string readProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                              std::string_view fallback) {
    while (!fallback.empty() && fallback.back() == ' ') {
        fallback.remove_suffix(1);
    }
    section = trim(section);
    key = trim(key);
    if (key.empty()) {
        return unquote(fallback);
    }
    const std::optional<Document> doc = load(file);
    if (!doc) {
        return unquote(fallback);
    }
    const std::vector<ParsedLine> lines = parse(doc->text);
    const Place place = find(lines, section, key);
    if (!place.key) {
        return unquote(fallback);
    }
    return unquote(lines[*place.key].value);
}

std::uint32_t readProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key,
                             std::uint32_t fallback) {
    std::string text = readProfileString(file, section, key, "");
    if (text.empty()) {
        return fallback;
    }
    // Windows reads the value into a 30-character buffer first.
    if (text.size() > 29) {
        text.resize(29);
    }
    std::size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        switch (text[i + 1]) {
            case 'x': base = 16; break;
            case 'o': base = 8; break;
            case 'b': base = 2; break;
            default: break;
        }
        if (base != 10) {
            i += 2;
        }
    }
    std::uint32_t total = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit = 36;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'z') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'Z') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        }
        if (digit >= base) {
            break;
        }
        total = total * base + digit;
    }
    return negative ? 0u - total : total;
}

bool writeProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                        std::string_view value) noexcept {
    try {
        section = trim(section);
        key = trim(key);
        while (!value.empty() && isBlank(value.front())) {
            value.remove_prefix(1);
        }
        // Such text would change other keys or could not be read back.
        if (section.empty() || key.empty() || key.find('=') != std::string_view::npos || hasLineBreak(section) ||
            hasLineBreak(key) || hasLineBreak(value)) {
            return false;
        }

        Document doc;
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            std::optional<Document> loaded = load(file);
            if (!loaded) {
                return false;
            }
            doc = std::move(*loaded);
        } else if (error) {
            return false;
        }

        std::string& text = doc.text;
        const std::vector<ParsedLine> lines = parse(text);
        const Place place = find(lines, section, key);

        // New lines follow the file's own line ending; a new file gets CR LF,
        // as the Windows build writes it.
        std::string eol = "\r\n";
        if (const auto lf = text.find('\n'); lf != std::string::npos) {
            eol = lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
        } else if (text.find('\r') != std::string::npos) {
            eol = "\r";
        }

        if (place.key) {
            const ParsedLine& line = lines[*place.key];
            if (line.value == value) {
                return true;
            }
            std::string replacement(line.name);
            replacement += '=';
            replacement += value;
            text.replace(line.span.begin, line.span.end - line.span.begin, replacement);
        } else if (place.section) {
            // After the section's last line and its own line break, so that
            // blank lines before the next section stay where they are.
            const Line& after = lines[place.lastInSection].span;
            std::string insertion(key);
            insertion += '=';
            insertion += value;
            if (after.next == after.end) {
                // That line ends the file without a line break.
                text.insert(after.end, eol + insertion);
            } else {
                std::size_t at = after.end + 1;
                if (text[after.end] == '\r' && at < after.next && text[at] == '\n') {
                    ++at;
                }
                text.insert(at, insertion + eol);
            }
        } else {
            if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
                text += eol;
            }
            text += '[';
            text += section;
            text += ']';
            text += eol;
            text += key;
            text += '=';
            text += value;
            text += eol;
        }
        return replaceFile(file, encode(doc));
    } catch (...) {
        return false;
    }
}

}  // namespace al::platform
