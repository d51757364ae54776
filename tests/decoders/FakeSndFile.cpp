// A stand-in for libsndfile with the same entry points, driven by a one-line
// description in the "audio" file, so the reader's checks and failure
// messages can be exercised on every platform, including those without the
// real library. The line is: channels rate frames seekable format behaviour,
// where behaviour is ok, nan, short, badseek, refuse or silentrefuse.
// Frame f, channel c decodes to (16 f + c) / 4096.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "decoders/SndFileApi.h"

namespace sf = al::file::sndfile;

struct sf::Handle {
    sf::Info info;
    std::string behaviour;
    sf::Count position = 0;
};

namespace {

const char* lastOpenError = nullptr;

sf::Handle* openDescribed(const std::filesystem::path& path, sf::Info* info) {
    std::ifstream in(path);
    auto* handle = new sf::Handle{};
    if (!(in >> handle->info.channels >> handle->info.samplerate >> handle->info.frames >>
          handle->info.seekable >> handle->info.format >> handle->behaviour) ||
        handle->behaviour == "refuse" || handle->behaviour == "silentrefuse") {
        lastOpenError = handle->behaviour == "silentrefuse" ? nullptr : "fake decoder refused the file";
        delete handle;
        return nullptr;
    }
    *info = handle->info;
    return handle;
}

}  // namespace

extern "C" {

sf::Handle* sf_open(const char* path, int, sf::Info* info) { return openDescribed(path, info); }

sf::Handle* sf_wchar_open(const wchar_t* path, int, sf::Info* info) { return openDescribed(path, info); }

int sf_close(sf::Handle* handle) {
    delete handle;
    return 0;
}

sf::Count sf_seek(sf::Handle* handle, sf::Count frames, int) {
    if (handle->behaviour == "badseek") {
        return -1;
    }
    handle->position = frames;
    return frames;
}

sf::Count sf_readf_double(sf::Handle* handle, double* out, sf::Count count) {
    const sf::Count delivered = handle->behaviour == "short" ? count - 1 : count;
    for (sf::Count i = 0; i < delivered; ++i) {
        for (int c = 0; c < handle->info.channels; ++c) {
            const sf::Count frame = handle->position + i;
            *out++ = handle->behaviour == "nan" && frame == 5 && c == 0
                         ? std::numeric_limits<double>::quiet_NaN()
                         : static_cast<double>(16 * frame + c) / 4096.0;
        }
    }
    handle->position += delivered;
    return delivered;
}

const char* sf_strerror(sf::Handle* handle) {
    if (handle == nullptr) {
        return lastOpenError;
    }
    return handle->behaviour == "badseek" ? "fake seek failure" : nullptr;
}

}  // extern "C"
