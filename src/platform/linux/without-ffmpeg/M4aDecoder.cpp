// Builds without FFmpeg's development files have no M4A decoder; opening an
// M4A file says so and everything else keeps working.

#include <stdexcept>

#include "platform/M4aDecoder.h"

namespace al::platform {

bool m4aDecoderAvailable() noexcept { return false; }

std::unique_ptr<M4aDecoder> createM4aDecoder() {
    throw std::runtime_error(
        "M4A support is unavailable because this program was built without FFmpeg "
        "(libavformat, libavcodec)");
}

}  // namespace al::platform
