#include "platform/AudioEndpoint.h"

#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <endpointvolume.h>
#include <propidl.h>

#include <exception>
#include <utility>

// WASAPI and MMDevice behind the audio-endpoint interface. Each wrapper holds
// one COM reference and a share of the apartment its enumerator joined, so the
// apartment is left only after the last object made in it is released.

namespace al::platform {

namespace {

// {a45c254e-df1c-4efd-8020-67d146a850e0}, 14: the endpoint's friendly name.
constexpr PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    void reset() noexcept {
        if (pointer_ != nullptr) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }
    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    T** put() noexcept {
        reset();
        return &pointer_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* pointer_ = nullptr;
};

// This thread's membership of the multithreaded apartment, left when the last
// share goes.
class Apartment {
public:
    AudioResult join() noexcept {
        const HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(result)) {
            joined_ = true;
            return kAudioOk;
        }
        return result == RPC_E_CHANGED_MODE ? kAudioOk : static_cast<AudioResult>(result);
    }
    ~Apartment() {
        if (joined_) {
            ::CoUninitialize();
        }
    }

private:
    bool joined_ = false;
};
using ApartmentShare = std::shared_ptr<Apartment>;

class WasapiRenderService final : public AudioRenderService {
public:
    WasapiRenderService(ApartmentShare apartment, ComPtr<IAudioRenderClient> client)
        : apartment_(std::move(apartment)), client_(std::move(client)) {}

    AudioResult getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept override {
        BYTE* bytes = nullptr;
        const HRESULT result = client_->GetBuffer(frames, &bytes);
        data = bytes;
        return result;
    }
    AudioResult releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept override {
        return client_->ReleaseBuffer(frames, flags);
    }

private:
    ApartmentShare apartment_;
    ComPtr<IAudioRenderClient> client_;
};

class WasapiClockService final : public AudioClockService {
public:
    WasapiClockService(ApartmentShare apartment, ComPtr<IAudioClock> clock)
        : apartment_(std::move(apartment)), clock_(std::move(clock)) {}

    AudioResult getFrequency(std::uint64_t& frequency) noexcept override {
        UINT64 value = 0;
        const HRESULT result = clock_->GetFrequency(&value);
        frequency = value;
        return result;
    }
    AudioResult getPosition(std::uint64_t& position) noexcept override {
        UINT64 value = 0;
        const HRESULT result = clock_->GetPosition(&value, nullptr);
        position = value;
        return result;
    }

private:
    ApartmentShare apartment_;
    ComPtr<IAudioClock> clock_;
};

class WasapiClient final : public AudioClient {
public:
    WasapiClient(ApartmentShare apartment, ComPtr<IAudioClient> client)
        : apartment_(std::move(apartment)), client_(std::move(client)) {}

    AudioResult isExclusiveFormatSupported(std::span<const std::uint8_t> format) noexcept override {
        return client_->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, waveFormat(format), nullptr);
    }
    AudioResult getDevicePeriod(std::int64_t& defaultPeriod, std::int64_t& minimumPeriod) noexcept override {
        REFERENCE_TIME byDefault = 0;
        REFERENCE_TIME minimum = 0;
        const HRESULT result = client_->GetDevicePeriod(&byDefault, &minimum);
        defaultPeriod = byDefault;
        minimumPeriod = minimum;
        return result;
    }
    AudioResult initialize(AudioShareMode mode, std::int64_t bufferDuration, std::int64_t periodicity,
                           std::span<const std::uint8_t> format) noexcept override {
        return client_->Initialize(
            mode == AudioShareMode::Exclusive ? AUDCLNT_SHAREMODE_EXCLUSIVE : AUDCLNT_SHAREMODE_SHARED,
            AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST, bufferDuration, periodicity,
            waveFormat(format), nullptr);
    }
    AudioResult setEventHandle(Event& event) noexcept override {
        return client_->SetEventHandle(reinterpret_cast<HANDLE>(event.nativeHandle()));
    }
    AudioResult getBufferSize(std::uint32_t& frames) noexcept override {
        UINT32 value = 0;
        const HRESULT result = client_->GetBufferSize(&value);
        frames = value;
        return result;
    }
    AudioResult getCurrentPadding(std::uint32_t& frames) noexcept override {
        UINT32 value = 0;
        const HRESULT result = client_->GetCurrentPadding(&value);
        frames = value;
        return result;
    }
    AudioResult getRenderService(std::unique_ptr<AudioRenderService>& service) noexcept override {
        ComPtr<IAudioRenderClient> render;
        const HRESULT result = client_->GetService(__uuidof(IAudioRenderClient), render.putVoid());
        if (FAILED(result)) {
            return result;
        }
        try {
            service = std::make_unique<WasapiRenderService>(apartment_, std::move(render));
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return result;
    }
    AudioResult getClockService(std::unique_ptr<AudioClockService>& service) noexcept override {
        ComPtr<IAudioClock> clock;
        const HRESULT result = client_->GetService(__uuidof(IAudioClock), clock.putVoid());
        if (FAILED(result)) {
            return result;
        }
        try {
            service = std::make_unique<WasapiClockService>(apartment_, std::move(clock));
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return result;
    }
    AudioResult start() noexcept override { return client_->Start(); }
    AudioResult stop() noexcept override { return client_->Stop(); }
    AudioResult reset() noexcept override { return client_->Reset(); }

private:
    // The platform reads the structure in place; it only needs the bytes to be
    // as long as their own header says, which the caller guarantees.
    static const WAVEFORMATEX* waveFormat(std::span<const std::uint8_t> format) noexcept {
        return format.size() >= sizeof(WAVEFORMATEX) ? reinterpret_cast<const WAVEFORMATEX*>(format.data())
                                                     : nullptr;
    }

    ApartmentShare apartment_;
    ComPtr<IAudioClient> client_;
};

class WasapiVolume final : public AudioVolumeControl {
public:
    WasapiVolume(ApartmentShare apartment, ComPtr<IAudioEndpointVolume> volume)
        : apartment_(std::move(apartment)), volume_(std::move(volume)) {}

    AudioResult queryHardwareSupport(std::uint32_t& mask) noexcept override {
        DWORD value = 0;
        const HRESULT result = volume_->QueryHardwareSupport(&value);
        mask = value;
        return result;
    }
    AudioResult setMasterLevelScalar(float level) noexcept override {
        return volume_->SetMasterVolumeLevelScalar(level, nullptr);
    }
    AudioResult getMasterLevelScalar(float& level) noexcept override {
        return volume_->GetMasterVolumeLevelScalar(&level);
    }

private:
    ApartmentShare apartment_;
    ComPtr<IAudioEndpointVolume> volume_;
};

class WasapiDevice final : public AudioDevice {
public:
    WasapiDevice(ApartmentShare apartment, ComPtr<IMMDevice> device)
        : apartment_(std::move(apartment)), device_(std::move(device)) {}

    ~WasapiDevice() override { properties_.reset(); }

    AudioResult getId(std::u16string& id) noexcept override {
        LPWSTR text = nullptr;
        const HRESULT result = device_->GetId(&text);
        if (FAILED(result)) {
            return result;
        }
        try {
            id.assign(reinterpret_cast<const char16_t*>(text), ::lstrlenW(text));
        } catch (const std::exception&) {
            ::CoTaskMemFree(text);
            return E_OUTOFMEMORY;
        }
        ::CoTaskMemFree(text);
        return result;
    }
    AudioResult openProperties() noexcept override {
        return device_->OpenPropertyStore(STGM_READ, properties_.put());
    }
    AudioResult readFriendlyName(std::optional<std::u16string>& name) noexcept override {
        if (properties_.get() == nullptr) {
            return E_POINTER;
        }
        PROPVARIANT value;
        ::PropVariantInit(&value);
        const HRESULT result = properties_->GetValue(kFriendlyNameKey, &value);
        if (FAILED(result)) {
            return result;
        }
        HRESULT answer = result;
        try {
            if (value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
                name = std::u16string(reinterpret_cast<const char16_t*>(value.pwszVal), ::lstrlenW(value.pwszVal));
            } else {
                name.reset();
            }
        } catch (const std::exception&) {
            answer = E_OUTOFMEMORY;
        }
        ::PropVariantClear(&value);
        return answer;
    }
    AudioResult activateClient(std::unique_ptr<AudioClient>& client) noexcept override {
        ComPtr<IAudioClient> audio;
        const HRESULT result = device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, audio.putVoid());
        if (FAILED(result)) {
            return result;
        }
        try {
            client = std::make_unique<WasapiClient>(apartment_, std::move(audio));
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return result;
    }
    AudioResult activateVolume(std::unique_ptr<AudioVolumeControl>& volume) noexcept override {
        ComPtr<IAudioEndpointVolume> control;
        const HRESULT result =
            device_->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr, control.putVoid());
        if (FAILED(result)) {
            return result;
        }
        try {
            volume = std::make_unique<WasapiVolume>(apartment_, std::move(control));
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return result;
    }

private:
    ApartmentShare apartment_;
    ComPtr<IMMDevice> device_;
    ComPtr<IPropertyStore> properties_;
};

class WasapiEnumerator final : public AudioDeviceEnumerator {
public:
    WasapiEnumerator(ApartmentShare apartment, ComPtr<IMMDeviceEnumerator> enumerator)
        : apartment_(std::move(apartment)), enumerator_(std::move(enumerator)) {}

    ~WasapiEnumerator() override {
        collection_.reset();
        enumerator_.reset();
    }

    AudioResult getDefaultRenderEndpoint(std::unique_ptr<AudioDevice>& device) noexcept override {
        ComPtr<IMMDevice> endpoint;
        const HRESULT result = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, endpoint.put());
        return wrap(result, std::move(endpoint), device);
    }
    AudioResult enumerateActiveRenderEndpoints() noexcept override {
        return enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection_.put());
    }
    AudioResult getRenderEndpointCount(std::uint32_t& count) noexcept override {
        if (collection_.get() == nullptr) {
            return E_POINTER;
        }
        UINT value = 0;
        const HRESULT result = collection_->GetCount(&value);
        count = value;
        return result;
    }
    AudioResult getRenderEndpoint(std::uint32_t index, std::unique_ptr<AudioDevice>& device) noexcept override {
        if (collection_.get() == nullptr) {
            return E_POINTER;
        }
        ComPtr<IMMDevice> endpoint;
        const HRESULT result = collection_->Item(index, endpoint.put());
        return wrap(result, std::move(endpoint), device);
    }
    AudioResult openEndpoint(const std::u16string& id, std::unique_ptr<AudioDevice>& device) noexcept override {
        std::wstring text;
        try {
            text.assign(id.begin(), id.end());
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        ComPtr<IMMDevice> endpoint;
        const HRESULT result = enumerator_->GetDevice(text.c_str(), endpoint.put());
        return wrap(result, std::move(endpoint), device);
    }

private:
    AudioResult wrap(HRESULT result, ComPtr<IMMDevice> endpoint, std::unique_ptr<AudioDevice>& device) noexcept {
        if (FAILED(result)) {
            return result;
        }
        if (endpoint.get() == nullptr) {
            return E_POINTER;
        }
        try {
            device = std::make_unique<WasapiDevice>(apartment_, std::move(endpoint));
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return result;
    }

    ApartmentShare apartment_;
    ComPtr<IMMDeviceEnumerator> enumerator_;
    ComPtr<IMMDeviceCollection> collection_;
};

}  // namespace

AudioResult createSystemAudioEnumerator(std::unique_ptr<AudioDeviceEnumerator>& enumerator) noexcept {
    try {
        auto apartment = std::make_shared<Apartment>();
        if (const AudioResult joined = apartment->join(); audioFailed(joined)) {
            return joined;
        }
        ComPtr<IMMDeviceEnumerator> devices;
        const HRESULT result = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                                  __uuidof(IMMDeviceEnumerator), devices.putVoid());
        if (FAILED(result)) {
            return result;
        }
        enumerator = std::make_unique<WasapiEnumerator>(std::move(apartment), std::move(devices));
        return result;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
}

AudioThreadApartment::~AudioThreadApartment() {
    if (joined_) {
        ::CoUninitialize();
    }
}

AudioResult AudioThreadApartment::join() noexcept {
    if (joined_) {
        return kAudioOk;
    }
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(result)) {
        joined_ = true;
        return kAudioOk;
    }
    return result;
}

}  // namespace al::platform
