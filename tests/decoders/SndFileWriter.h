#pragma once
// Writes test and benchmark files through the same run-time loaded libsndfile
// the reader uses, so lossless fixtures can be compared sample for sample.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoders/SndFileApi.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

namespace al::test {

class SndFileWriter {
public:
    SndFileWriter() {
        const auto runtime = platform::sndfileRuntime(platform::executableDirectory());
        for (const auto& candidate : runtime.candidates) {
            if (library_.open(candidate)) {
                break;
            }
        }
        open_ = reinterpret_cast<file::sndfile::OpenFunction>(library_.symbol(runtime.openSymbol.c_str()));
        write_ = reinterpret_cast<file::sndfile::WriteDoubleFunction>(library_.symbol("sf_writef_double"));
        close_ = reinterpret_cast<file::sndfile::CloseFunction>(library_.symbol("sf_close"));
        command_ = reinterpret_cast<file::sndfile::CommandFunction>(library_.symbol("sf_command"));
        strerror_ = reinterpret_cast<file::sndfile::StrerrorFunction>(library_.symbol("sf_strerror"));
    }

    // False where the platform has no libsndfile (the Windows build under Wine).
    bool available() const noexcept {
        return open_ != nullptr && write_ != nullptr && close_ != nullptr && command_ != nullptr &&
               strerror_ != nullptr;
    }

    // Writes interleaved frames. With `rawIntegers` the values are the integer
    // sample codes (no scaling on the way in), so what is stored is exact.
    void write(const std::filesystem::path& path, int format, int channels, int rate,
               const std::vector<double>& interleaved, bool rawIntegers) const {
        file::sndfile::Info info{};
        info.channels = channels;
        info.samplerate = rate;
        info.format = format;
        file::sndfile::Handle* handle = open_(path.c_str(), file::sndfile::kModeWrite, &info);
        if (handle == nullptr) {
            throw std::runtime_error(std::string("libsndfile refused to write: ") + strerror_(nullptr));
        }
        if (rawIntegers) {
            command_(handle, file::sndfile::kCommandSetNormDouble, nullptr, 0);
        }
        const auto frames = static_cast<file::sndfile::Count>(interleaved.size() / static_cast<std::size_t>(channels));
        const auto written = write_(handle, interleaved.data(), frames);
        close_(handle);
        if (written != frames) {
            throw std::runtime_error("libsndfile wrote too few frames");
        }
    }

private:
    platform::DynamicLibrary library_;
    file::sndfile::OpenFunction open_ = nullptr;
    file::sndfile::WriteDoubleFunction write_ = nullptr;
    file::sndfile::CloseFunction close_ = nullptr;
    file::sndfile::CommandFunction command_ = nullptr;
    file::sndfile::StrerrorFunction strerror_ = nullptr;
};

}  // namespace al::test
