#pragma once
// Bounded little-endian reader over a byte range of a record image.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

namespace al::file {

static_assert(std::endian::native == std::endian::little,
              "record images are little-endian and read in place");

// Reads fixed-width fields one after another. Every read that would pass the
// end of the range throws std::runtime_error("Unexpected end of Auralith byte
// range") and leaves the position unchanged. Any thread; not shared.
class ByteCursor {
public:
    explicit ByteCursor(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}

    std::uint8_t u8() { return read<std::uint8_t>(); }
    std::uint16_t u16() { return read<std::uint16_t>(); }
    std::uint32_t u32() { return read<std::uint32_t>(); }
    std::uint64_t u64() { return read<std::uint64_t>(); }
    float f32() { return read<float>(); }
    double f64() { return read<double>(); }

    // The next n bytes as a view into the range (no copy).
    std::span<const std::byte> take(std::size_t n) {
        require(n);
        auto out = bytes_.subspan(position_, n);
        position_ += n;
        return out;
    }

    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return bytes_.size() - position_; }

private:
    template <typename T>
    T read() {
        require(sizeof(T));
        T value;
        std::memcpy(&value, bytes_.data() + position_, sizeof(T));
        position_ += sizeof(T);
        return value;
    }

    void require(std::size_t n) const {
        if (n > bytes_.size() - position_) {
            throw std::runtime_error("Unexpected end of Auralith byte range");
        }
    }

    std::span<const std::byte> bytes_;
    std::size_t position_ = 0;
};

}  // namespace al::file
