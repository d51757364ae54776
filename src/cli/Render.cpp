#include "cli/Render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "cli/RenderDsd.h"
#include "output/AudioEndpoints.h"
#include "output/ExactWasapiOutput.h"
#include "output/LatticePacing.h"
#include "output/VirtualOutput.h"
#include "platform/Process.h"
#include "playback/PlaybackLattice.h"

namespace al::cli {

namespace {

constexpr std::uint64_t kMaxWaveBytes = 0xFFFFFFFFull;

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
void putTag(std::vector<std::uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(tag[i]));
    }
}

// The fmt chunk body: the classic 16-byte PCM structure for plain integers,
// the 18-byte one with its fact chunk for IEEE float, the extensible one for
// 24 valid bits in a 32-bit container (the only layout a reader cannot infer
// from the container width).
std::vector<std::uint8_t> formatBody(audio::SampleKind kind, std::uint16_t channels, std::uint32_t rate) {
    const auto bits = static_cast<std::uint16_t>(audio::BytesPerSample(kind) * 8);
    switch (kind) {
        case audio::SampleKind::Float32:
            return audio::MakePlainWaveFormat(3, channels, rate, bits);
        case audio::SampleKind::Pcm24In32:
            return audio::MakeExtensibleWaveFormat(false, channels, rate, 32, 24, audio::ChannelMask(channels));
        case audio::SampleKind::Pcm32:
        case audio::SampleKind::Pcm24Packed:
        case audio::SampleKind::Pcm16:
            break;
    }
    std::vector<std::uint8_t> plain = audio::MakePlainWaveFormat(1, channels, rate, bits);
    plain.resize(16);  // no extension size field
    return plain;
}

std::uint64_t dataBytes(audio::SampleKind kind, std::uint16_t channels, std::uint64_t frames) {
    return frames * channels * audio::BytesPerSample(kind);
}

std::uint64_t headerBytes(audio::SampleKind kind, std::uint16_t channels, std::uint32_t rate) {
    return waveHeader(kind, channels, rate, 0).size();
}

std::uint64_t frameAt(const playback::PlaybackLattice& lattice) {
    const std::int64_t seek = lattice.pendingSeek();
    return seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice.position();
}

std::runtime_error primeFailure(const playback::PlaybackLattice& lattice) {
    const std::uint64_t failures = lattice.surrogate().failures();
    if (failures != 0) {
        return std::runtime_error("Playback surrogate could not be primed (" + std::to_string(failures) +
                                  " chunk preparations failed)");
    }
    return std::runtime_error("Playback surrogate could not be primed");
}

// The exact endpoint format of a rendered file: the first candidate of the
// output probing for this rate, channel count and sample kind.
audio::EndpointFormat renderFormat(std::uint32_t rate, std::uint16_t channels, audio::SampleKind kind) {
    for (audio::EndpointFormat& candidate : audio::ExactFormatCandidates(rate, channels)) {
        if (candidate.kind == kind) {
            return std::move(candidate);
        }
    }
    throw std::invalid_argument("No exact output format for " + std::to_string(channels) + " channels");
}

// A virtual endpoint listed alone for the life of one render; the endpoint
// choice from before is restored afterwards.
class RenderEndpoint {
public:
    explicit RenderEndpoint(audio::VirtualOutputConfig config)
        : previousDevice_(audio::CurrentVirtualOutput()),
          previousListing_(audio::CurrentVirtualListing()),
          device_(audio::VirtualOutput::create(std::move(config))) {
        audio::UseVirtualOutput(device_, audio::VirtualListing::Only);
    }
    ~RenderEndpoint() { audio::UseVirtualOutput(previousDevice_, previousListing_); }
    RenderEndpoint(const RenderEndpoint&) = delete;
    RenderEndpoint& operator=(const RenderEndpoint&) = delete;

    audio::VirtualOutput& device() { return *device_; }

private:
    std::shared_ptr<audio::VirtualOutput> previousDevice_;
    audio::VirtualListing previousListing_;
    std::shared_ptr<audio::VirtualOutput> device_;
};

class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {
        // Captured buffers arrive some kilobytes at a time; gathered here
        // into large writes they cost few system calls. (The stream's own
        // buffer would not do: it hands every write of a kilobyte or more
        // straight to the system.)
        buffer_.reserve(kBufferBytes);
        stream_.open(path_, std::ios::binary | std::ios::trunc);
        if (!stream_) {
            throw std::runtime_error("Unable to create the output file " + platform::pathToUtf8(path_));
        }
    }
    ~TemporaryFile() {
        if (!kept_) {
            stream_.close();
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void write(const std::uint8_t* bytes, std::size_t size) {
        if (buffer_.size() + size > kBufferBytes) {
            flush();
        }
        // A quarter of the buffer or more is a large write already: copying
        // it first would only cost time (at 192 kHz every captured period is).
        if (size >= kBufferBytes / 4) {
            flush();
            put(bytes, size);
        } else {
            buffer_.insert(buffer_.end(), bytes, bytes + size);
        }
    }
    void rewriteHeader(const std::vector<std::uint8_t>& header) {
        flush();
        stream_.seekp(0);
        put(header.data(), header.size());
        stream_.seekp(0, std::ios::end);
    }
    void commitAs(const std::filesystem::path& target) {
        flush();
        stream_.close();
        if (!stream_) {
            throw std::runtime_error("Unable to write the output file " + platform::pathToUtf8(path_));
        }
        std::error_code error;
        std::filesystem::rename(path_, target, error);
        if (error) {
            throw std::runtime_error("Unable to replace " + platform::pathToUtf8(target) + ": " + error.message());
        }
        kept_ = true;
    }

private:
    void put(const std::uint8_t* bytes, std::size_t size) {
        stream_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        if (!stream_) {
            throw std::runtime_error("Unable to write the output file " + platform::pathToUtf8(path_));
        }
    }
    void flush() {
        if (!buffer_.empty()) {
            put(buffer_.data(), buffer_.size());
            buffer_.clear();
        }
    }

    std::filesystem::path path_;
    static constexpr std::size_t kBufferBytes = 1024 * 1024;
    std::vector<std::uint8_t> buffer_;  // bytes not yet handed to the stream
    std::ofstream stream_;
    bool kept_ = false;
};

bool parseDouble(const std::string& text, double& value) {
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size() && std::isfinite(value);
    } catch (const std::exception&) {
        return false;
    }
}

bool parseRate(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = static_cast<std::uint32_t>(std::stoul(text));
    return true;
}

// The chunks the lattice keeps prepared ahead while rendering: the playback
// default, or enough for two endpoint buffers and the chunks they straddle,
// so that the free-running endpoint finds a whole buffer prepared while the
// producer refills the window in batches rather than chunk by chunk.
// Buffers before the end from which the render's drain loop naps briefly.
constexpr std::uint64_t kNearTheEndBuffers = 4;

std::uint64_t renderLookahead(const playback::PlaybackSource& source, double blockMs) {
    const std::uint32_t sourceRate = source.metadata().sampleRate;
    const std::uint64_t playback = playback::PlaybackLattice::defaultLookahead(sourceRate);
    const double sourceFrames = std::ceil(blockMs * 1e-3 * static_cast<double>(sourceRate));
    const auto perBuffer = static_cast<std::uint64_t>(std::ceil(sourceFrames / 1024.0)) + 2;
    return std::max(playback, 2 * perBuffer + 2);
}

const char* kUsage =
    "usage: auralith render FILE -o OUT.wav [--rate HZ] [--format float32|pcm32|pcm24in32|pcm24|pcm16]\n"
    "                       [--start SECONDS] [--seconds SECONDS]\n";

}  // namespace

std::vector<std::uint8_t> waveHeader(audio::SampleKind kind, std::uint16_t channels, std::uint32_t rate,
                                     std::uint64_t frames) {
    const std::vector<std::uint8_t> fmt = formatBody(kind, channels, rate);
    const bool fact = kind == audio::SampleKind::Float32;
    const std::uint64_t data = dataBytes(kind, channels, frames);
    const std::uint64_t riff = 4 + (8 + fmt.size()) + (fact ? 12 : 0) + 8 + data + (data & 1);
    std::vector<std::uint8_t> out;
    putTag(out, "RIFF");
    put32(out, static_cast<std::uint32_t>(std::min(riff, kMaxWaveBytes)));
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, static_cast<std::uint32_t>(fmt.size()));
    for (const std::uint8_t b : fmt) {
        out.push_back(b);
    }
    if (fact) {
        putTag(out, "fact");
        put32(out, 4);
        put32(out, static_cast<std::uint32_t>(std::min(frames, kMaxWaveBytes)));
    }
    putTag(out, "data");
    put32(out, static_cast<std::uint32_t>(std::min(data, kMaxWaveBytes)));
    return out;
}

std::optional<audio::SampleKind> parseRenderFormat(const std::string& text) {
    if (text == "float32") return audio::SampleKind::Float32;
    if (text == "pcm32") return audio::SampleKind::Pcm32;
    if (text == "pcm24in32") return audio::SampleKind::Pcm24In32;
    if (text == "pcm24") return audio::SampleKind::Pcm24Packed;
    if (text == "pcm16") return audio::SampleKind::Pcm16;
    return std::nullopt;
}

RenderResult renderToWave(const RenderOptions& options, const RenderProgress& progress) {
    if (!std::isfinite(options.startSeconds) || options.startSeconds < 0.0) {
        throw std::invalid_argument("--start must be a number of seconds, 0 or more");
    }
    if (options.seconds && (!std::isfinite(*options.seconds) || *options.seconds < 0.0)) {
        throw std::invalid_argument("--seconds must be a number of seconds, 0 or more");
    }
    const auto source = playback::createPlaybackSource(options.input);
    const std::uint32_t rate = options.rate.value_or(source->metadata().sampleRate);
    const double blockMs =
        std::clamp(static_cast<double>(std::max<std::uint64_t>(options.blockFrames, 1)) * 1000.0 / rate, 1.0, 200.0);
    playback::PlaybackLattice lattice(source, renderLookahead(*source, blockMs));
    lattice.setOutputRate(rate);
    lattice.seekToTime(options.startSeconds);

    const std::uint16_t channels = lattice.channelCount();
    const std::uint64_t first = frameAt(lattice);
    std::uint64_t planned = lattice.totalFrames() - std::min(first, lattice.totalFrames());
    if (options.seconds) {
        const double wanted = std::floor(*options.seconds * static_cast<double>(rate));
        if (wanted < static_cast<double>(planned)) {
            planned = static_cast<std::uint64_t>(wanted);
        }
    }
    if (headerBytes(options.kind, channels, rate) + dataBytes(options.kind, channels, planned) + 1 >
        kMaxWaveBytes) {
        throw std::runtime_error("The rendered audio would exceed the 4 GiB limit of a WAVE file");
    }

    const std::size_t frameBytes = static_cast<std::size_t>(channels) * audio::BytesPerSample(options.kind);
    const audio::EndpointFormat format = renderFormat(rate, channels, options.kind);

    std::filesystem::path temporary = options.output;
    temporary += ".partial";
    TemporaryFile file(temporary);
    file.write(waveHeader(options.kind, channels, rate, planned).data(),
               headerBytes(options.kind, channels, rate));

    // The frames go through the real output path: the exact-format output's
    // render thread, its converter and an endpoint of their own that accepts
    // exactly this format, runs as fast as the lattice's chunks are prepared
    // and captures every byte. The file holds what an endpoint receives.
    std::uint64_t written = 0;
    if (planned > 0) {
        audio::ExactWasapiOutput output;
        audio::VirtualOutputConfig config;
        config.id = u"render";
        config.name = u"Render";
        config.acceptedFormats = {audio::VirtualFormat{rate, channels, format.containerBits, format.validBits,
                                                       options.kind == audio::SampleKind::Float32,
                                                       audio::VirtualFormat::Structure::Any}};
        config.minimumPeriod = 10'000;  // 1 ms
        config.pace = audio::VirtualPace::FreeRunning;
        config.captureWrites = true;
        config.freeRunningGate = [&lattice, &output] {
            return audio::LatticeFramesReady(lattice, output.Statistics().bufferFrames);
        };
        config.freeRunningGateWait = [&lattice, &output] {
            audio::LatticeWaitForFrames(lattice, output.Statistics().bufferFrames, 1);
        };
        RenderEndpoint endpoint(std::move(config));

        output.Initialize(u"render", format, &lattice, {blockMs, 0.0});
        // The first buffer is written before the stream starts, without the
        // endpoint's pacing: wait until its chunks are ready.
        const std::uint64_t firstBuffer = output.Statistics().bufferFrames;
        const auto primeUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!audio::LatticeFramesReady(lattice, firstBuffer)) {
            if (!lattice.prime() || std::chrono::steady_clock::now() >= primeUntil) {
                throw primeFailure(lattice);
            }
            // The first buffer's chunks take a fraction of a millisecond.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        output.Start();

        // Drained into the same vector each time, so that the capture reuses
        // its storage instead of allocating on the render thread.
        std::vector<std::uint8_t> bytes;
        auto drainCapture = [&] {
            endpoint.device().takeCaptured(bytes);
            const std::uint64_t frames = std::min<std::uint64_t>(bytes.size() / frameBytes, planned - written);
            if (frames > 0) {
                file.write(bytes.data(), static_cast<std::size_t>(frames) * frameBytes);
                written += frames;
                if (progress) {
                    progress(written, planned);
                }
            }
        };
        while (written < planned) {
            const bool stopped = !output.IsRunning();
            drainCapture();
            if (stopped) {
                break;
            }
            if (lattice.surrogate().failures() != 0) {
                throw primeFailure(lattice);
            }
            // A few buffers from the end the last ones come within a fraction
            // of a millisecond: shorter naps then, so that the render does not
            // end with most of a long one.
            const bool nearTheEnd = planned - written <= kNearTheEndBuffers * firstBuffer;
            std::this_thread::sleep_for(nearTheEnd ? std::chrono::microseconds(100)
                                                   : std::chrono::microseconds(2000));
        }
        output.Pause();
        const std::string failure = output.LastErrorMessage();
        output.Shutdown();
        if (!failure.empty()) {
            throw std::runtime_error(failure);
        }
        if (lattice.missingFrames() != 0) {
            throw std::runtime_error("A playback chunk was not ready while rendering");
        }
    }
    if (dataBytes(options.kind, channels, written) % 2 != 0) {
        const std::uint8_t pad = 0;
        file.write(&pad, 1);
    }
    if (written != planned) {
        file.rewriteHeader(waveHeader(options.kind, channels, rate, written));
    }
    file.commitAs(options.output);
    return RenderResult{written, rate, channels};
}

int runRender(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsDsdRender(args)) {
        return runRenderDsd(args, out, err);
    }
    RenderOptions options;
    std::string input;
    std::string output;
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& arg = args[i];
            const bool hasValue = i + 1 < args.size();
            if ((arg == "-o" || arg == "--output") && hasValue) {
                output = args[++i];
            } else if (arg == "--rate" && hasValue) {
                std::uint32_t rate = 0;
                if (!parseRate(args[++i], rate)) {
                    throw std::invalid_argument("--rate must be a whole number of hertz");
                }
                options.rate = rate;
            } else if (arg == "--format" && hasValue) {
                const auto kind = parseRenderFormat(args[++i]);
                if (!kind) {
                    throw std::invalid_argument("unknown --format \"" + args[i] +
                                                "\" (float32, pcm32, pcm24in32, pcm24, pcm16)");
                }
                options.kind = *kind;
            } else if (arg == "--start" && hasValue) {
                if (!parseDouble(args[++i], options.startSeconds) || options.startSeconds < 0.0) {
                    throw std::invalid_argument("--start must be a number of seconds, 0 or more");
                }
            } else if (arg == "--seconds" && hasValue) {
                double seconds = 0.0;
                if (!parseDouble(args[++i], seconds) || seconds < 0.0) {
                    throw std::invalid_argument("--seconds must be a number of seconds, 0 or more");
                }
                options.seconds = seconds;
            } else if (input.empty() && arg.rfind("-", 0) != 0) {
                input = arg;
            } else {
                err << kUsage;
                return 2;
            }
        }
        if (input.empty() || output.empty()) {
            err << kUsage;
            return 2;
        }
        options.input = platform::pathFromUtf8(input);
        options.output = platform::pathFromUtf8(output);

        using Clock = std::chrono::steady_clock;
        const auto begun = Clock::now();
        auto lastReport = begun;
        bool reported = false;
        const RenderResult result = renderToWave(options, [&](std::uint64_t done, std::uint64_t planned) {
            const auto now = Clock::now();
            if (now - lastReport >= std::chrono::seconds(1) && planned != 0) {
                lastReport = now;
                reported = true;
                err << "\rrendering: " << (done * 100 / planned) << "% (" << done << " of " << planned
                    << " frames)" << std::flush;
            }
        });
        if (reported) {
            err << '\n';
        }
        out << "wrote " << output << ": " << result.frames << " frames, " << result.channels << " channels, "
            << result.rate << " Hz\n";
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

}  // namespace al::cli
