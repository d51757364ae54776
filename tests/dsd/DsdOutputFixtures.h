#pragma once
// Shared by the DSD output tests: deterministic frame words, and the loop the
// engine runs over an output (prefill queueDepth buffers, start, one buffer
// per wait), packing with one DoP packer so the expected bytes are known
// without the output.

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "dsd/AudioOutput.h"
#include "dsd/DopPacker.h"

namespace morrow::dsd::test {

using Bytes = std::vector<std::uint8_t>;

// A fixed pseudo-random word sequence (xorshift32, seed 0x2545F491), every
// seventh word the idle pattern.
inline std::vector<std::uint32_t> testWords(std::size_t count) {
    std::vector<std::uint32_t> words(count);
    std::uint32_t state = 0x2545F491u;
    for (std::size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        words[i] = i % 7 == 6 ? kDsdIdleFrameWord : state;
    }
    return words;
}

// Packs `buffers` buffers of `words` (wrapping) and plays them as the engine
// does. Returns every byte submitted, in order.
inline Bytes playBuffers(al::audio::IAudioOutput& output, const al::audio::DsdOutputFormat& format,
                         const std::vector<std::uint32_t>& words, std::size_t buffers,
                         std::uint32_t waitMs = 2000) {
    DopPacker packer(format.carrierBytes);
    Bytes buffer(format.bufferBytes());
    Bytes submitted;
    std::size_t next = 0;
    auto fill = [&] {
        for (std::uint32_t f = 0; f < format.framesPerBuffer; ++f) {
            packer.pack(std::span<std::uint8_t>(buffer).subspan(f * packer.frameBytes()),
                        words[next]);
            next = (next + 1) % words.size();
        }
        output.submit(buffer);
        submitted.insert(submitted.end(), buffer.begin(), buffer.end());
    };
    std::size_t sent = 0;
    for (; sent < output.queueDepth() && sent < buffers; ++sent) {
        fill();
    }
    output.start();
    while (sent < buffers) {
        if (!output.wait(waitMs)) {
            throw std::runtime_error("output stopped taking buffers");
        }
        fill();
        ++sent;
    }
    return submitted;
}

}  // namespace morrow::dsd::test
