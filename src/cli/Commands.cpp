#include "cli/Commands.h"

#include <cmath>
#include <exception>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "cli/DemoRecord.h"
#include "cli/Devices.h"
#include "cli/Encode.h"
#include "platform/Process.h"
#include "cli/InfoProviders.h"
#include "playback/PlaybackSource.h"
#include "cli/RecordCheck.h"
#include "cli/Play.h"
#include "cli/Render.h"

namespace al::cli {

namespace {

}  // namespace

std::string helpText() {
    return "usage: auralith <command> [arguments]\n"
           "\n"
           "Commands:\n"
           "  info FILE [--segments]    Print the format, channels, sample rate, bit depth,\n"
           "                            frames, duration and chunk count of any playable file:\n"
           "                            record (.aur), WAVE, FLAC, MP3, AIFF/AIFC, M4A, DSF.\n"
           "                            --segments adds segment counts per kind and control\n"
           "                            points per second (records only; decodes every block).\n"
           "  verify FILE               Fetch, checksum and decode every chunk of a record;\n"
           "                            print \"ok: N chunks\" or the first failure.\n"
           "  encode FILE -o OUT.aur [--segment-frames N] [--force]\n"
           "                            Turn any playable file into a record that plays the\n"
           "                            same; an existing OUT.aur is replaced only with\n"
           "                            --force. N: longest PCHIP piece (default 64).\n"
           "  demo-record FILE [--seconds S]\n"
           "                            Write the demo record (stereo 48 kHz sweep and chord,\n"
           "                            default 10 s).\n"
           "  devices [--channels N] [--device ID]\n"
           "                            List the audio endpoints (default first: id, name);\n"
           "                            with --channels, the exact formats the endpoint\n"
           "                            (--device ID, else the default) accepts for N\n"
           "                            channels, the remembered one marked. --device virtual\n"
           "                            adds the virtual output (always listed when there is\n"
           "                            no other endpoint).\n"
           "  devices --dsd [--device ID]\n"
           "                            For each endpoint (or ID): the DoP rates DSD64 to\n"
           "                            DSD512 it accepts exactly at DSD rate / 16 and the\n"
           "                            carrier used; on Linux also the native DSD sample\n"
           "                            formats of the hw device and the one each rate uses.\n"
           "  render FILE -o OUT.wav [--rate HZ] [--format F] [--start S] [--seconds S]\n"
           "                            Play FILE through the playback lattice offline at\n"
           "                            --rate (default: the file's rate) and write the\n"
           "                            frames as a WAVE file; F is float32 (default),\n"
           "                            pcm32, pcm24in32, pcm24 or pcm16.\n"
           "  render FILE -o OUT.dsf --dsd 64|128|256|512|1024|2048 [--cutoff]\n"
           "                            Make the whole track into DSD at that multiple of\n"
           "                            44.1 kHz (records through their own modulator\n"
           "                            pipeline, other files through their curves) and write\n"
           "                            a stereo or mono DSF; --cutoff adds the 18 kHz\n"
           "                            waveform cutoff. A DSF input without --dsd and\n"
           "                            --cutoff is copied bit for bit at its own rate.\n"
           "  play [FILE] [--device ID] [--format N|LABEL] [--buffer-ms X] [--loop]\n"
           "                            Play FILE (default: the demo record) on an endpoint\n"
           "                            (--device ID, else the default; the virtual output in\n"
           "                            real time when there is no sound card) at an exact\n"
           "                            format: --format N (1 = first as devices lists them)\n"
           "                            or its label, else the remembered one, else the last.\n"
           "                            --buffer-ms: endpoint buffer (default Audio.buffer_ms);\n"
           "                            it grows after underruns and near misses.\n"
           "                            --device virtual:late=D/I[xN],cap=D,busy: the virtual\n"
           "                            output with faults: every I, N events (default 1) each\n"
           "                            D late (e.g. late=8ms/2s); buffers capped at D; busy.\n"
           "                            Keys: space play/pause, s stop, n needle lift, l loop,\n"
           "                            left/right seek 5 s, f choose format (remembered),\n"
           "                            d device, r refresh, m mute, +/- volume, c colour,\n"
           "                            t or Alt+F12 statistics, q quit. Without a terminal it\n"
           "                            plays to the end and waits for the stylus to park.\n"
           "  play [FILE] --dsd N [--device ID | --asio DRIVER | --alsa-dsd] [--cutoff]\n"
           "       [--dsf-native]       Make the whole track DSD at N x 44.1 kHz (N = 64, 128,\n"
           "                            256, 512, 1024 or 2048) in RAM, with a progress bar\n"
           "                            (q or Ctrl-C cancels), then play it from memory: DoP on\n"
           "                            the endpoint (--device ID, else the default), native\n"
           "                            DSD through an ASIO driver (--asio CLSID) or ALSA\n"
           "                            (--alsa-dsd), or on the virtual DSD sink in real time\n"
           "                            (--device virtual, or no sound card). --cutoff: the\n"
           "                            18 kHz waveform cutoff (remodulation only);\n"
           "                            --dsf-native: a DSF plays its own bits at its own rate.\n"
           "                            Keys as for play, and m mute.\n"
           "  --help, -h                Print this text.\n"
           "\n"
           "Errors are printed as \"error: <message>\" on stderr with exit status 1.\n";
}

int runInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    bool segments = false;
    for (const auto& arg : args) {
        if (arg == "--segments") {
            segments = true;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) {
        err << "usage: auralith info FILE [--segments]\n";
        return 2;
    }
    try {
        const auto path = platform::pathFromUtf8(files[0]);
        const std::string extension = playback::playbackExtension(path);
        if (segments && extension != ".aur") {
            throw std::runtime_error("Segment statistics are available for records (.aur) only");
        }
        // Every file is described as the player opens it: through the factory.
        const auto source = playback::createPlaybackSource(path);
        std::ostringstream text;
        printSourceInfo(*source, text);
        for (const auto& provider : infoProviders()) {
            for (const auto& known : provider.extensions) {
                if (known == extension) {
                    provider.print(path, text);
                }
            }
        }
        if (segments) {
            printRecordSegments(path, text);
        }
        out << text.str();
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

int runDemoRecord(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string target;
    double seconds = 10.0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size()) {
            try {
                seconds = std::stod(args[++i]);
            } catch (const std::exception&) {
                seconds = -1.0;
            }
            if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 3600.0) {
                err << "error: --seconds must be between 0 and 3600\n";
                return 1;
            }
        } else if (target.empty() && args[i].rfind("--", 0) != 0) {
            target = args[i];
        } else {
            err << "usage: auralith demo-record FILE [--seconds S]\n";
            return 2;
        }
    }
    if (target.empty()) {
        err << "usage: auralith demo-record FILE [--seconds S]\n";
        return 2;
    }
    try {
        makeDemoRecord(seconds).save(platform::pathFromUtf8(target));
        out << "wrote " << target << '\n';
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << helpText();
        return 2;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        out << helpText();
        return 0;
    }
    if (command == "info") {
        return runInfo(rest, out, err);
    }
    if (command == "verify") {
        return runVerify(rest, out, err);
    }
    if (command == "encode") {
        return runEncode(rest, out, err);
    }
    if (command == "demo-record") {
        return runDemoRecord(rest, out, err);
    }
    if (command == "devices") {
        return runDevices(rest, out, err);
    }
    if (command == "render") {
        return runRender(rest, out, err);
    }
    if (command == "play") {
        return runPlay(rest, out, err);
    }
    err << "error: unknown command \"" << command << "\"\n" << helpText();
    return 2;
}

}  // namespace al::cli
