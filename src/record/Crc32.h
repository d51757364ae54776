#pragma once
// CRC-32 of ISO-HDLC / IEEE 802.3 (reflected 0xEDB88320, init and final XOR
// 0xFFFFFFFF), as used by record blocks.

#include <cstddef>
#include <cstdint>
#include <span>

namespace al::file {

// Continues a running checksum: crc32(crc32(0, a), b) == crc32(0, a ++ b).
// Start with 0. Any thread.
std::uint32_t crc32(std::uint32_t running, std::span<const std::byte> bytes) noexcept;

}  // namespace al::file
