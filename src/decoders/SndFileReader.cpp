#include "decoders/SndFileReader.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "decoders/SndFileApi.h"
#include "platform/Process.h"

namespace al::file {

namespace {

constexpr int kMaxChannels = 8;
constexpr int kMaxSampleRate = 12'288'000;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

template <typename Function>
Function resolve(const platform::DynamicLibrary& library, const std::string& name) {
    const platform::LibrarySymbol symbol = library.symbol(name.c_str());
    if (symbol == nullptr) {
        fail("libsndfile is missing symbol: " + name);
    }
    return reinterpret_cast<Function>(symbol);
}

}  // namespace

struct SndFileReader::State {
    std::filesystem::path path;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t bitDepth = 0;
    std::int64_t frameCount = 0;
    double durationSeconds = 0.0;
    std::string formatName;
    std::mutex lock;
    // The frame the decoder stands at after the last read (under lock), so a
    // read that continues where the last one ended skips the seek: FLAC and
    // MP3 seeks search the stream and decode again. -1 when unknown.
    std::int64_t position = -1;
    sndfile::Handle* handle = nullptr;
    sndfile::CloseFunction close = nullptr;
    sndfile::SeekFunction seek = nullptr;
    sndfile::ReadDoubleFunction readDouble = nullptr;
    sndfile::StrerrorFunction strerror = nullptr;
    platform::DynamicLibrary module;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // The decoder handle first, then the library that implements it.
    ~State() {
        if (handle != nullptr && close != nullptr) {
            close(handle);
        }
        handle = nullptr;
        module.close();
    }

    std::string errorText(sndfile::Handle* of, const char* fallback) const {
        const char* text = strerror != nullptr ? strerror(of) : nullptr;
        return text != nullptr ? std::string(text) : std::string(fallback);
    }
};

SndFileReader::SndFileReader(const std::filesystem::path& path) {
    const std::filesystem::path folder = platform::executableDirectory();
    if (folder.empty()) {
        fail("Unable to locate the Auralith Player executable");
    }
    open(path, platform::sndfileRuntime(folder));
}

SndFileReader::SndFileReader(const std::filesystem::path& path, const platform::SndFileRuntime& runtime) {
    open(path, runtime);
}

SndFileReader::~SndFileReader() { release(); }

void SndFileReader::release() noexcept { state_.reset(); }

void SndFileReader::open(const std::filesystem::path& path, const platform::SndFileRuntime& runtime) {
    release();
    // Everything reached so far is released by State's destructor if a later
    // step throws.
    auto state = std::make_unique<State>();

    for (const auto& candidate : runtime.candidates) {
        if (state->module.open(candidate)) {
            break;
        }
    }
    if (!state->module.isOpen()) {
        fail(runtime.missingMessage);
    }

    const auto openFile = resolve<sndfile::OpenFunction>(state->module, runtime.openSymbol);
    state->close = resolve<sndfile::CloseFunction>(state->module, "sf_close");
    state->seek = resolve<sndfile::SeekFunction>(state->module, "sf_seek");
    state->readDouble = resolve<sndfile::ReadDoubleFunction>(state->module, "sf_readf_double");
    state->strerror = resolve<sndfile::StrerrorFunction>(state->module, "sf_strerror");

    // A zeroed SF_INFO asks the library to detect the format itself. No
    // command is issued, so integer data is normalised to -1..+1.
    sndfile::Info info{};
    state->handle = openFile(path.c_str(), sndfile::kModeRead, &info);
    if (state->handle == nullptr) {
        fail("Unable to open WAV DIRECT source with libsndfile: " +
             state->errorText(nullptr, "unknown decoder error"));
    }

    if (info.channels < 1 || info.channels > kMaxChannels) {
        fail("WAV DIRECT source must contain between 1 and 8 channels");
    }
    if (info.samplerate < 1 || info.samplerate > kMaxSampleRate) {
        fail("WAV DIRECT source sample rate is unsupported");
    }
    if (info.frames < 1) {
        fail("WAV DIRECT source contains no decoded audio frames");
    }
    if (info.seekable == 0) {
        fail("WAV DIRECT source is not seekable");
    }

    state->path = path;
    state->channels = static_cast<std::uint16_t>(info.channels);
    state->sampleRate = static_cast<std::uint32_t>(info.samplerate);
    state->bitDepth = bitDepthFor(info.format);
    state->frameCount = info.frames;
    state->durationSeconds = static_cast<double>(info.frames) / static_cast<double>(info.samplerate);
    state->formatName = formatNameFor(path);
    state_ = std::move(state);
}

std::uint16_t SndFileReader::channelCount() const noexcept { return state_ ? state_->channels : 0; }

std::uint32_t SndFileReader::sampleRate() const noexcept { return state_ ? state_->sampleRate : 0; }

std::uint16_t SndFileReader::bitDepth() const noexcept {
    return state_ ? static_cast<std::uint16_t>(state_->bitDepth) : 0;
}

std::uint64_t SndFileReader::frameCount() const noexcept {
    return state_ ? static_cast<std::uint64_t>(state_->frameCount) : 0;
}

double SndFileReader::durationSeconds() const noexcept { return state_ ? state_->durationSeconds : 0.0; }

std::string SndFileReader::formatLabel() const { return state_ ? state_->formatName : std::string(); }

const std::filesystem::path& SndFileReader::path() const noexcept {
    static const std::filesystem::path none;
    return state_ ? state_->path : none;
}

const std::string& SndFileReader::formatName() const noexcept {
    static const std::string none;
    return state_ ? state_->formatName : none;
}

std::string SndFileReader::formatNameFor(const std::filesystem::path& path) {
    const std::string text = platform::pathToUtf8(path);
    // The final component, after either separator, without a stream suffix.
    const std::size_t slash = text.find_last_of("/\\");
    std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    name = name.substr(0, name.find(':'));
    const std::size_t dot = name.rfind('.');
    if (name == "." || name == ".." || dot == std::string::npos) {
        return "Audio";
    }
    std::string extension = name.substr(dot);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (extension == ".flac") {
        return "FLAC";
    }
    if (extension == ".mp3") {
        return "MP3";
    }
    if (extension == ".aif" || extension == ".aiff") {
        return "AIFF";
    }
    if (extension == ".aifc") {
        return "AIFC";
    }
    return "Audio";
}

std::uint32_t SndFileReader::bitDepthFor(int sndfileFormat) noexcept {
    switch (sndfileFormat & sndfile::kSubtypeMask) {
        case sndfile::kPcmS8:
        case sndfile::kPcmU8:
            return 8;
        case sndfile::kPcm16:
        case sndfile::kAlac16:
            return 16;
        case sndfile::kAlac20:
            return 20;
        case sndfile::kPcm24:
        case sndfile::kAlac24:
            return 24;
        case sndfile::kPcm32:
        case sndfile::kFloat:
        case sndfile::kAlac32:
            return 32;
        case sndfile::kDouble:
            return 64;
        default:
            return 0;  // lossy codecs have no sample width
    }
}

std::vector<double> SndFileReader::ReadFrames(std::uint64_t startFrame, std::uint64_t count) const {
    std::vector<double> samples;
    ReadFramesInto(startFrame, count, samples);
    return samples;
}

void SndFileReader::ReadFramesInto(std::uint64_t startFrame, std::uint64_t count, std::vector<double>& out) const {
    if (!state_ || state_->handle == nullptr) {
        fail("WAV DIRECT source is not open");
    }
    State& state = *state_;
    if (count == 0) {
        out.clear();
        return;
    }
    const auto frames = static_cast<std::uint64_t>(state.frameCount);
    if (startFrame >= frames) {
        throw std::out_of_range("WAV DIRECT frame request starts beyond the source");
    }
    if (frames - startFrame < count) {
        throw std::out_of_range("WAV DIRECT frame request extends beyond the source");
    }
    constexpr auto kMaxFrames = static_cast<std::uint64_t>(std::numeric_limits<sndfile::Count>::max());
    if (startFrame > kMaxFrames || count > kMaxFrames) {
        throw std::overflow_error("WAV DIRECT frame request exceeds decoder limits");
    }
    if (count > std::numeric_limits<std::size_t>::max() / state.channels) {
        throw std::overflow_error("WAV DIRECT decoded buffer is too large");
    }

    out.assign(static_cast<std::size_t>(count) * state.channels, 0.0);
    {
        std::lock_guard guard(state.lock);
        const auto start = static_cast<sndfile::Count>(startFrame);
        if (state.position != start) {
            state.position = -1;
            if (state.seek(state.handle, start, sndfile::kSeekSet) != start) {
                fail("Unable to seek within WAV DIRECT source: " +
                     state.errorText(state.handle, "unknown decoder error"));
            }
        }
        const auto wanted = static_cast<sndfile::Count>(count);
        if (state.readDouble(state.handle, out.data(), wanted) != wanted) {
            state.position = -1;
            fail("Unexpected end of WAV DIRECT source: " +
                 state.errorText(state.handle, "decoder returned too few frames"));
        }
        state.position = start + wanted;
    }
    // The samples are the caller's own now, so the check needs no lock.
    for (const double sample : out) {
        if (!std::isfinite(sample)) {
            fail("WAV DIRECT decoder produced a nonfinite sample");
        }
    }
}

}  // namespace al::file
