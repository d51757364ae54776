#pragma once
// The failure of a checked audio-endpoint call: its step, its HRESULT.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/AudioEndpoint.h"

namespace al::audio {

// Thrown by endpoint probing and the PCM output. what() is the fixed message;
// hresult() the failing code (negative), or the code the message stands for.
class WasapiError : public std::runtime_error {
public:
    WasapiError(const std::string& message, std::int32_t hresult)
        : std::runtime_error(message), hresult_(hresult) {}

    std::int32_t hresult() const noexcept { return hresult_; }

private:
    std::int32_t hresult_;
};

enum class HexDigits { Upper, Lower };

// "<step> failed (HRESULT 0x<code>)", the code in hexadecimal without leading
// zeros (a failure code always has eight digits).
std::string HresultFailureText(std::string_view step, std::int32_t hresult, HexDigits digits);

// Throws WasapiError with the upper-case text when result is a failure.
inline void CheckWasapi(platform::AudioResult result, std::string_view step) {
    if (platform::audioFailed(result)) {
        throw WasapiError(HresultFailureText(step, result, HexDigits::Upper), result);
    }
}

}  // namespace al::audio
