#include "cli/Devices.h"

#include <exception>
#include <optional>
#include <ostream>

#include "cli/DsdDevices.h"
#include "output/AudioEndpoints.h"
#include "output/FormatsCache.h"
#include "output/VirtualOutput.h"
#include "platform/Utf16.h"

namespace al::cli {

namespace {

constexpr const char* kUsage = "usage: auralith devices [--channels N | --dsd] [--device ID]\n";

std::string utf8(const std::u16string& text) { return platform::utf8FromUtf16(text); }

}  // namespace

int runDevices(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<int> channels;
    std::optional<std::u16string> deviceId;
    bool dsd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--channels" && i + 1 < args.size()) {
            const std::string& text = args[++i];
            if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
                err << kUsage;
                return 2;
            }
            channels = std::stoi(text);
        } else if (args[i] == "--dsd") {
            dsd = true;
        } else if (args[i] == "--device" && i + 1 < args.size()) {
            deviceId = platform::utf16FromUtf8(args[++i]);
        } else {
            err << kUsage;
            return 2;
        }
    }
    if (dsd && channels) {
        err << kUsage;
        return 2;
    }
    try {
        if (deviceId && *deviceId == audio::CurrentVirtualOutput()->config().id &&
            audio::CurrentVirtualListing() != audio::VirtualListing::Only) {
            audio::UseVirtualOutput(nullptr, audio::VirtualListing::Always);
        }
        if (dsd) {
            return runDsdDevices(deviceId, out, err);
        }
        const std::vector<audio::EndpointInfo> endpoints = audio::EnumerateRenderEndpoints();
        if (endpoints.empty()) {
            out << "no audio endpoints\n";
        }
        for (const audio::EndpointInfo& endpoint : endpoints) {
            out << utf8(endpoint.id) << "  " << utf8(endpoint.name) << (endpoint.isDefault ? "  (Default)" : "")
                << '\n';
        }
        if (!channels) {
            return 0;
        }
        std::u16string probed;
        if (deviceId) {
            probed = *deviceId;
        } else if (!endpoints.empty()) {
            probed = endpoints.front().id;
        }
        const std::vector<audio::EndpointFormat> formats = audio::ProbeExactFormats(probed, *channels);
        const audio::FormatsCache cache = audio::LoadFormatsCache();
        const audio::RememberedFormat* remembered =
            cache.Find(audio::FormatsCacheKey(probed, static_cast<std::uint16_t>(*channels)));
        out << "\nexact formats of " << utf8(probed) << " for " << *channels
            << (*channels == 1 ? " channel" : " channels") << ":\n";
        if (formats.empty()) {
            out << "  none\n";
        }
        for (const audio::EndpointFormat& format : formats) {
            const bool marked = remembered != nullptr && remembered->Matches(format);
            out << (marked ? "* " : "  ") << utf8(audio::FormatLabel(format)) << (marked ? "  (remembered)" : "")
                << '\n';
        }
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

}  // namespace al::cli
