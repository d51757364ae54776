#include "cli/DsdDevices.h"

#include <exception>
#include <memory>
#include <ostream>
#include <vector>

#include "dsd/AlsaDsdOutput.h"
#include "dsd/NativeAsioOutput.h"
#include "dsd/WasapiOutput.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"
#include "output/WasapiError.h"
#include "platform/AsioDriver.h"
#include "platform/AudioEndpoint.h"
#include "platform/DsdDevice.h"
#include "platform/Utf16.h"

namespace al::cli {

namespace {

struct DsdRate {
    const char* name;
    std::uint32_t multiple;  // of 44,100 bits per second
};

constexpr DsdRate kDsdRates[] = {{"DSD64", 64}, {"DSD128", 128}, {"DSD256", 256}, {"DSD512", 512}};

std::string utf8(const std::u16string& text) {
    return platform::utf8FromUtf16(text);
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

void printDop(const std::u16string& id, std::ostream& out) {
    std::unique_ptr<platform::AudioDeviceEnumerator> enumerator;
    std::unique_ptr<platform::AudioDevice> device;
    std::unique_ptr<platform::AudioClient> client;
    try {
        audio::CheckWasapi(audio::CreateAudioDeviceEnumerator(enumerator),
                           "Create MMDeviceEnumerator");
        audio::CheckWasapi(enumerator->openEndpoint(id, device), "Open render endpoint");
        audio::CheckWasapi(device->activateClient(client), "Activate IAudioClient");
    } catch (const std::exception& error) {
        out << "  DoP: " << error.what() << '\n';
        return;
    }
    for (const DsdRate& rate : kDsdRates) {
        const std::uint32_t frameRate = 44'100u * rate.multiple / 16u;
        const morrow::dsd::DopCarrierAnswer answer =
            morrow::dsd::queryDopCarriers(*client, frameRate);
        out << "  DoP " << padded(rate.name, 8) << padded(std::to_string(frameRate) + " Hz", 12);
        if (answer.index >= 0) {
            out << morrow::dsd::dopCarriers()[static_cast<std::size_t>(answer.index)].description;
        } else {
            out << (answer.busy ? "in use by another program" : "none");
        }
        out << '\n';
    }
}

void printNative(const std::u16string& id, std::ostream& out) {
    std::unique_ptr<platform::DsdPlaybackDevice> device;
    const platform::DsdResult opened = platform::openDsdPlaybackDevice(id, device);
    if (opened == platform::DsdResult::Gone) {
        out << "  native DSD: not a hardware device\n";
        return;
    }
    if (opened == platform::DsdResult::Busy) {
        out << "  native DSD: in use by another program\n";
        return;
    }
    if (opened != platform::DsdResult::Ok || device == nullptr) {
        out << "  native DSD: cannot open the device";
        if (device != nullptr && !device->detail().empty()) {
            out << " (" << device->detail() << ')';
        }
        out << '\n';
        return;
    }
    std::string offered;
    for (const platform::DsdSampleFormat format : platform::kDsdSampleFormats) {
        if (device->offersFormat(format) == platform::DsdResult::Ok) {
            offered += offered.empty() ? "" : " ";
            offered += platform::dsdSampleFormatName(format);
        }
    }
    if (offered.empty()) {
        out << "  native DSD: none (the device offers no DSD sample format)\n";
        return;
    }
    out << "  native DSD: " << offered << '\n';
    for (const DsdRate& rate : kDsdRates) {
        const auto chosen =
            morrow::dsd::chooseNativeDsdFormat(*device, std::uint64_t{44'100} * rate.multiple);
        out << "  native " << padded(rate.name, 8)
            << (chosen ? platform::dsdSampleFormatName(*chosen) : "none") << '\n';
    }
}

// The 64-bit ASIO drivers where the platform has them (Windows): one line
// each with the key name and the identity to pass to play --asio.
void printAsioDrivers(std::ostream& out) {
    if (!platform::platformHasAsio()) {
        return;
    }
    const std::vector<platform::AsioDriverEntry> drivers = audio::listAsioDrivers();
    if (drivers.empty()) {
        out << "No 64-bit ASIO drivers installed\n";
        return;
    }
    out << "64-bit ASIO drivers (native DSD, play --asio CLSID):\n";
    for (const platform::AsioDriverEntry& driver : drivers) {
        out << "  " << platform::utf8FromUtf16(driver.name) << "  " << platform::utf8FromUtf16(driver.clsid)
            << '\n';
    }
}

}  // namespace

int runDsdDevices(const std::optional<std::u16string>& deviceId, std::ostream& out,
                  std::ostream& err) {
    try {
        const std::vector<audio::EndpointInfo> endpoints = audio::EnumerateRenderEndpoints();
        bool listed = false;
        for (const audio::EndpointInfo& endpoint : endpoints) {
            if (deviceId && endpoint.id != *deviceId) {
                continue;
            }
            listed = true;
            out << utf8(endpoint.id) << "  " << utf8(endpoint.name)
                << (endpoint.isDefault ? "  (Default)" : "") << '\n';
            printDop(endpoint.id, out);
            if (platform::nativeDsdDevicesAvailable()) {
                printNative(endpoint.id, out);
            }
        }
        if (!listed) {
            out << (deviceId ? "no such audio endpoint: " + utf8(*deviceId)
                             : std::string("no audio endpoints"))
                << '\n';
        }
        if (!deviceId) {
            printAsioDrivers(out);
        }
        return deviceId && !listed ? 1 : 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

}  // namespace al::cli
