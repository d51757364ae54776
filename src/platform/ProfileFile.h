#pragma once
// Small INI ("private profile") files: one value read or written per call.
//
// The semantics are those of the Windows private-profile functions, which the
// Windows build uses directly; other platforms implement the same rules so a
// file written on one home reads the same on the other:
// - Section and key names compare without regard to ASCII case; white space
//   around names and values is not part of them ("[ Audio ]" is "Audio",
//   "key = v " has the value "v").
// - A value enclosed in a matching pair of double or single quotes is returned
//   without them.
// - Only a line with "=" holds a key; the first such line of a section wins.
// - A write replaces the value of one key, or adds the key at the end of its
//   section (adding the section at the end of the file when it is missing),
//   and leaves every other line of the file as it was.
// Text is UTF-8 in this interface; the file's own encoding is kept.
//
// Each call opens, reads and (for a write) replaces the file, so calls are
// independent of each other. They may be made from any thread, but two
// concurrent writers of the same file may lose one of the writes.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace al::platform {

// The value of key in section, or `fallback` (without its trailing blanks)
// when the file, the section or the key is missing. Never throws for a missing
// or unreadable file; may throw std::bad_alloc.
std::string readProfileString(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::string_view fallback);

// The value of key in section read as an integer the way the Windows profile
// reader does: leading blanks, an optional sign, an optional 0x/0o/0b prefix,
// then digits up to the first character that is not one, wrapping at 32 bits;
// no digits give 0. A missing or empty value gives `fallback`.
std::uint32_t readProfileInt(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::uint32_t fallback);

// Sets key in section to value (leading blanks of the value are dropped),
// creating the file, the section or the key as needed; the folder must exist.
// Returns false, writing nothing, when a name is empty, the key holds "=", or
// any of the three holds a line break (which would smuggle in other keys), and
// false when the file could not be written. Where the platform allows (Linux),
// the new text goes through a temporary file and a rename, so a failed write
// leaves the old file whole.
bool writeProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) noexcept;

}  // namespace al::platform
