#include "platform/AsioDriver.h"

// windows.h first: the COM headers rely on it.
#include <windows.h>

#include <objbase.h>

#include <cstring>

#include "platform/windows/AsioInterface.h"

namespace al::platform {
namespace {

const wchar_t* wide(const std::u16string& text) noexcept {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Closes a registry key when the listing leaves, by any path.
struct KeyHolder {
    HKEY key = nullptr;
    ~KeyHolder() {
        if (key != nullptr) {
            ::RegCloseKey(key);
        }
    }
};

class ComAsioDriver final : public AsioDriver {
  public:
    explicit ComAsioDriver(asio::IAsio* driver) noexcept : driver_(driver) {}
    ~ComAsioDriver() override { driver_->Release(); }

    bool init() noexcept override { return driver_->init(::GetDesktopWindow()) != 0; }

    AsioResult setIoFormat(std::int32_t& formatType) noexcept override {
        asio::IoFormat format;
        std::memset(&format, 0, sizeof format);
        format.formatType = formatType;
        const AsioResult result = driver_->future(kAsioSetIoFormat, &format);
        formatType = format.formatType;
        return result;
    }

    AsioResult canSampleRate(double rate) noexcept override { return driver_->canSampleRate(rate); }
    AsioResult setSampleRate(double rate) noexcept override { return driver_->setSampleRate(rate); }
    AsioResult getSampleRate(double& rate) noexcept override {
        return driver_->getSampleRate(&rate);
    }

    AsioResult getChannels(std::int32_t& inputs, std::int32_t& outputs) noexcept override {
        return driver_->getChannels(&inputs, &outputs);
    }

    AsioResult getBufferSize(AsioBufferSize& size) noexcept override {
        return driver_->getBufferSize(&size.minimum, &size.maximum, &size.preferred,
                                      &size.granularity);
    }

    AsioResult getChannelInfo(std::int32_t channel, bool isInput,
                              std::int32_t& sampleType) noexcept override {
        asio::ChannelInfo info;
        std::memset(&info, 0, sizeof info);
        info.channel = channel;
        info.isInput = isInput ? 1 : 0;
        const AsioResult result = driver_->getChannelInfo(&info);
        sampleType = info.type;
        return result;
    }

    AsioResult createBuffers(std::span<AsioBufferInfo> infos, std::int32_t bufferSize,
                             const AsioCallbacks& callbacks) noexcept override {
        // A host opens a handful of channels; more than that is refused.
        constexpr std::size_t kMaxChannels = 64;
        if (infos.size() > kMaxChannels) {
            return kAsioInvalidParameter;
        }
        asio::BufferInfo records[kMaxChannels];
        for (std::size_t i = 0; i < infos.size(); ++i) {
            records[i].isInput = infos[i].isInput ? 1 : 0;
            records[i].channelNum = infos[i].channel;
            records[i].buffers[0] = nullptr;
            records[i].buffers[1] = nullptr;
        }
        // Drivers keep the pointer to the callbacks, so they live in this object.
        callbacks_ = callbacks;
        const AsioResult result = driver_->createBuffers(
            records, static_cast<asio::Long>(infos.size()), bufferSize, &callbacks_);
        for (std::size_t i = 0; i < infos.size(); ++i) {
            infos[i].buffers[0] = records[i].buffers[0];
            infos[i].buffers[1] = records[i].buffers[1];
        }
        return result;
    }

    AsioResult disposeBuffers() noexcept override { return driver_->disposeBuffers(); }
    AsioResult outputReady() noexcept override { return driver_->outputReady(); }
    AsioResult start() noexcept override { return driver_->start(); }
    AsioResult stop() noexcept override { return driver_->stop(); }

  private:
    asio::IAsio* driver_;
    asio::Callbacks callbacks_{};
};

class WindowsAsioSystem final : public AsioSystem {
  public:
    bool initializeCom() noexcept override {
        return SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    }
    void uninitializeCom() noexcept override { ::CoUninitialize(); }

    AsioCreateResult createDriver(const std::u16string& identity,
                                  std::unique_ptr<AsioDriver>& driver) noexcept override {
        driver.reset();
        CLSID clsid{};
        if (identity.empty() || FAILED(::CLSIDFromString(wide(identity), &clsid))) {
            return AsioCreateResult::InvalidIdentity;
        }
        // The class id doubles as the interface id of an ASIO driver.
        void* object = nullptr;
        if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object)) ||
            object == nullptr) {
            return AsioCreateResult::CannotLoad;
        }
        auto* asioDriver = static_cast<asio::IAsio*>(object);
        try {
            driver = std::make_unique<ComAsioDriver>(asioDriver);
        } catch (...) {
            asioDriver->Release();
            return AsioCreateResult::CannotLoad;
        }
        return AsioCreateResult::Created;
    }

    std::vector<AsioDriverEntry> listDrivers() override {
        std::vector<AsioDriverEntry> entries;
        KeyHolder rootKey;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ | KEY_WOW64_64KEY,
                            &rootKey.key) != ERROR_SUCCESS) {
            return entries;
        }
        for (DWORD index = 0;; ++index) {
            wchar_t name[257];
            DWORD nameLength = 257;
            const LONG status = ::RegEnumKeyExW(rootKey.key, index, name, &nameLength, nullptr,
                                                nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (status != ERROR_SUCCESS) {
                continue;  // a name longer than 256 characters
            }
            KeyHolder driverKey;
            if (::RegOpenKeyExW(rootKey.key, name, 0, KEY_READ | KEY_WOW64_64KEY, &driverKey.key) !=
                ERROR_SUCCESS) {
                continue;
            }
            // Up to 256 bytes, plus room for a terminator the value may lack.
            wchar_t value[129] = {};
            DWORD type = 0;
            DWORD bytes = 256;
            const LONG read = ::RegQueryValueExW(driverKey.key, L"CLSID", nullptr, &type,
                                                 reinterpret_cast<BYTE*>(value), &bytes);
            if (read != ERROR_SUCCESS || type != REG_SZ) {
                continue;
            }
            value[bytes / sizeof(wchar_t)] = L'\0';
            entries.push_back(
                {std::u16string(reinterpret_cast<const char16_t*>(value)),
                 std::u16string(reinterpret_cast<const char16_t*>(name), nameLength)});
        }
        return entries;
    }
};

}  // namespace

bool platformHasAsio() noexcept { return true; }

AsioSystem& platformAsioSystem() noexcept {
    static WindowsAsioSystem system;
    return system;
}

}  // namespace al::platform
