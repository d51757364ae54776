#include "output/WasapiError.h"

namespace al::audio {

std::string HresultFailureText(std::string_view step, std::int32_t hresult, HexDigits digits) {
    const char* const alphabet = digits == HexDigits::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    auto value = static_cast<std::uint32_t>(hresult);
    std::string hex;
    do {
        hex.insert(hex.begin(), alphabet[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    std::string text(step);
    text += " failed (HRESULT 0x";
    text += hex;
    text += ')';
    return text;
}

}  // namespace al::audio
