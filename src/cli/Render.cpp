#include "cli/Render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <system_error>

#include "output/SampleConverters.h"
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

// Frames the lattice can produce from the current position without meeting a
// chunk that is not ready; waits for the chunk at the position when needed.
std::uint64_t readyFrames(playback::PlaybackLattice& lattice) {
    const auto& source = *lattice.source();
    auto& buffer = lattice.surrogate();
    for (;;) {
        const double t = lattice.currentTime();
        const std::uint64_t chunk = source.chunkIndexAt(t);
        if (buffer.readyAhead(chunk) > 0) {
            const std::uint64_t position = frameAt(lattice);
            const double until = buffer.readyUntil(chunk);
            const double rate = static_cast<double>(lattice.outputRate());
            // framesBefore works on the product rate x until, which may round
            // up past a frame whose time k / rate is exactly `until`; the
            // lattice decides by the division, so count the same way.
            std::uint64_t covered = playback::PlaybackLattice::framesBefore(until, lattice.outputRate());
            while (covered > 0 && static_cast<double>(covered - 1) / rate >= until) {
                --covered;
            }
            // At least the frame at the position: its chunk is ready.
            return covered > position ? covered - position : 1;
        }
        if (!lattice.prime()) {
            throw primeFailure(lattice);
        }
    }
}

class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {
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
        stream_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        if (!stream_) {
            throw std::runtime_error("Unable to write the output file " + platform::pathToUtf8(path_));
        }
    }
    void rewriteHeader(const std::vector<std::uint8_t>& header) {
        stream_.seekp(0);
        write(header.data(), header.size());
        stream_.seekp(0, std::ios::end);
    }
    void commitAs(const std::filesystem::path& target) {
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
    std::filesystem::path path_;
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
    playback::PlaybackLattice lattice(source);
    const std::uint32_t rate = options.rate.value_or(source->metadata().sampleRate);
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

    const std::uint64_t block = std::max<std::uint64_t>(options.blockFrames, 1);
    const std::size_t sampleBytes = audio::BytesPerSample(options.kind);
    std::vector<double> samples(block * channels);
    std::vector<std::uint8_t> bytes(block * channels * sampleBytes + 1);
    const audio::SampleConverter convert = audio::ConverterFor(options.kind);

    std::filesystem::path temporary = options.output;
    temporary += ".partial";
    TemporaryFile file(temporary);
    file.write(waveHeader(options.kind, channels, rate, planned).data(),
               headerBytes(options.kind, channels, rate));

    if (!lattice.prime()) {
        throw primeFailure(lattice);
    }
    std::uint64_t written = 0;
    while (written < planned) {
        const std::uint64_t want = std::min({block, planned - written, readyFrames(lattice)});
        const std::uint64_t missingBefore = lattice.missingFrames();
        const std::uint64_t got = lattice.pull(samples.data(), want);
        if (lattice.missingFrames() != missingBefore) {
            throw std::runtime_error("A playback chunk was not ready while rendering");
        }
        if (got == 0) {
            break;
        }
        const std::size_t count = got * channels;
        convert(samples.data(), count, bytes.data(), bytes.size());
        file.write(bytes.data(), count * sampleBytes);
        written += got;
        if (progress) {
            progress(written, planned);
        }
        if (got < want) {
            break;
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
