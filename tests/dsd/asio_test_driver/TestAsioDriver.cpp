// A small 64-bit ASIO driver for tests: an in-process COM server that speaks
// the driver interface, runs its own buffer-switch thread paced like hardware
// and records every byte the host leaves in its half-buffers.

// windows.h first: the COM headers rely on it.
#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestAsioControl.h"
#include "platform/windows/AsioInterface.h"

// COM objects are released through IUnknown, never deleted through an
// interface pointer, so their classes have no virtual destructor.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace asio = al::platform::asio;
namespace control = al::test::asio_driver;

namespace {

// {6C1B4F0E-3A7D-4B52-9E8F-1D2C3B4A5F60}
const CLSID kClsid = {0x6C1B4F0E, 0x3A7D, 0x4B52, {0x9E, 0x8F, 0x1D, 0x2C, 0x3B, 0x4A, 0x5F, 0x60}};

HMODULE gModule = nullptr;
std::atomic<long> gLocks{0};

// Everything the test reads, under one lock (the driver thread records here;
// a test driver need not be real-time).
std::mutex gMutex;
control::Config gConfig;
control::Report gReport;
std::string gLog;
std::vector<std::uint8_t> gCapture[2];

void log(const char* call) {
    std::lock_guard lock(gMutex);
    if (!gLog.empty())
        gLog += ',';
    gLog += call;
}

control::Config config() {
    std::lock_guard lock(gMutex);
    return gConfig;
}

constexpr asio::Error kOk = 0;
constexpr asio::Error kSuccess = 0x3F4847A0;
constexpr asio::Error kNotPresent = -1000;
constexpr asio::Error kInvalidParameter = -998;
constexpr asio::Error kInvalidMode = -997;
constexpr asio::Long kSetIoFormat = 0x23111961;

class TestDriver final : public asio::IAsio {
  public:
    TestDriver() : config_(config()) {
        std::lock_guard lock(gMutex);
        ++gReport.liveObjects;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kClsid)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            stopThread();
            log("release");
            {
                std::lock_guard lock(gMutex);
                --gReport.liveObjects;
            }
            delete this;
        }
        return left;
    }

    // IAsio
    asio::Bool init(void* sysHandle) override {
        log("init");
        std::lock_guard lock(gMutex);
        gReport.initHandleNonNull = sysHandle != nullptr ? 1 : 0;
        return 1;
    }
    void getDriverName(char* name) override { std::strcpy(name, "Auralith Test ASIO"); }
    asio::Long getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override { std::strcpy(text, "No error"); }

    asio::Error start() override {
        log("start");
        if (halves_[0][0].empty())
            return kNotPresent;
        stopThread();
        running_ = true;
        thread_ = std::thread([this] { run(); });
        return kOk;
    }
    asio::Error stop() override {
        log("stop");
        stopThread();
        return kOk;
    }

    asio::Error getChannels(asio::Long* inputs, asio::Long* outputs) override {
        log("getChannels");
        *inputs = 0;
        *outputs = 2;
        return kOk;
    }
    asio::Error getLatencies(asio::Long* input, asio::Long* output) override {
        *input = *output = config_.preferredBits;
        return kOk;
    }
    asio::Error getBufferSize(asio::Long* minSize, asio::Long* maxSize, asio::Long* preferred,
                              asio::Long* granularity) override {
        log("getBufferSize");
        *minSize = config_.minimumBits;
        *maxSize = config_.maximumBits;
        *preferred = config_.preferredBits;
        *granularity = 16;
        return kOk;
    }
    asio::Error canSampleRate(asio::SampleRate rate) override {
        log("canSampleRate");
        // DSD64 to DSD512 in DSD mode only.
        if (!dsd_)
            return kNoClock;
        for (double r = 2822400.0; r <= 22579200.0; r *= 2) {
            if (rate == r)
                return kOk;
        }
        return kNoClock;
    }
    asio::Error getSampleRate(asio::SampleRate* rate) override {
        log("getSampleRate");
        *rate = rate_ + config_.rateReadBackOffset;
        return kOk;
    }
    asio::Error setSampleRate(asio::SampleRate rate) override {
        log("setSampleRate");
        rate_ = rate;
        std::lock_guard lock(gMutex);
        gReport.rateSet = rate;
        return kOk;
    }
    asio::Error getClockSources(asio::ClockSource* clocks, asio::Long* count) override {
        std::memset(clocks, 0, sizeof *clocks);
        clocks->isCurrentSource = 1;
        *count = 1;
        return kOk;
    }
    asio::Error setClockSource(asio::Long) override { return kOk; }
    asio::Error getSamplePosition(asio::Samples* position, asio::TimeStamp* stamp) override {
        const std::uint64_t samples = static_cast<std::uint64_t>(switches_.load()) *
                                      static_cast<std::uint64_t>(config_.preferredBits);
        position->hi = static_cast<std::uint32_t>(samples >> 32);
        position->lo = static_cast<std::uint32_t>(samples);
        stamp->hi = stamp->lo = 0;
        return kOk;
    }
    asio::Error getChannelInfo(asio::ChannelInfo* info) override {
        log("getChannelInfo");
        if (info->channel < 0 || info->channel > 1 || info->isInput != 0)
            return kInvalidParameter;
        info->isActive = 1;
        info->channelGroup = 0;
        info->type = config_.sampleType;
        std::strcpy(info->name, info->channel == 0 ? "Left" : "Right");
        return kOk;
    }
    asio::Error createBuffers(asio::BufferInfo* infos, asio::Long channels, asio::Long bufferSize,
                              asio::Callbacks* callbacks) override {
        log("createBuffers");
        {
            std::lock_guard lock(gMutex);
            gReport.bufferSizeAsked = bufferSize;
        }
        if (channels != 2 || bufferSize <= 0 || bufferSize % 8 != 0)
            return kInvalidMode;
        for (asio::Long i = 0; i < channels; ++i) {
            if (infos[i].isInput != 0 || infos[i].channelNum < 0 || infos[i].channelNum > 1) {
                return kInvalidParameter;
            }
        }
        halfBytes_ = static_cast<std::size_t>(bufferSize) / 8;
        for (asio::Long i = 0; i < channels; ++i) {
            for (int half = 0; half < 2; ++half) {
                auto& memory = halves_[infos[i].channelNum][half];
                memory.assign(halfBytes_, 0xEE);  // anything but the idle pattern
                infos[i].buffers[half] = memory.data();
            }
        }
        callbacks_ = callbacks;  // kept as a pointer, as drivers do
        // What a driver asks its host right after creating buffers.
        const asio::Long version = callbacks_->message(2, 0, nullptr, nullptr);
        const asio::Long reset = callbacks_->message(1, 3, nullptr, nullptr);
        const asio::Long timeInfo = callbacks_->message(1, 7, nullptr, nullptr);
        const asio::Long sizeChange = callbacks_->message(1, 4, nullptr, nullptr);
        asio::Long timeInfoAnswer = -1;
        if (timeInfo == 1)
            timeInfoAnswer = callbacks_->message(7, 0, nullptr, nullptr);
        useTimeInfo_ = config_.useTimeInfo != 0 && timeInfoAnswer == 1;
        std::lock_guard lock(gMutex);
        gReport.answerEngineVersion = version;
        gReport.answerSupportsReset = reset;
        gReport.answerSupportsTimeInfo = timeInfo;
        gReport.answerTimeInfo = timeInfoAnswer;
        gReport.answerSupportsBufferSizeChange = sizeChange;
        gReport.usedTimeInfo = useTimeInfo_ ? 1 : 0;
        return kOk;
    }
    asio::Error disposeBuffers() override {
        log("disposeBuffers");
        stopThread();
        for (auto& channel : halves_) {
            for (auto& half : channel)
                half.clear();
        }
        callbacks_ = nullptr;
        return kOk;
    }
    asio::Error controlPanel() override { return kNotPresent; }
    asio::Error future(asio::Long selector, void* opt) override {
        if (selector != kSetIoFormat)
            return kNotPresent;
        log("future");
        auto* format = static_cast<asio::IoFormat*>(opt);
        bool zero = true;
        for (char c : format->future)
            zero = zero && c == 0;
        {
            std::lock_guard lock(gMutex);
            gReport.ioFormatReservedZero = zero ? 1 : 0;
            gReport.ioFormatType = format->formatType;
        }
        if (config_.dsdMode == 0)
            return kNotPresent;
        if (format->formatType != 0 && format->formatType != 1)
            return kInvalidParameter;
        dsd_ = format->formatType == 1;
        return kSuccess;
    }
    asio::Error outputReady() override {
        std::lock_guard lock(gMutex);
        ++gReport.outputReadyCalls;
        return config_.outputReady != 0 ? kOk : kNotPresent;
    }

  private:
    static constexpr asio::Error kNoClock = -995;

    ~TestDriver() = default;

    void stopThread() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }

    // Paced like hardware: one half-buffer per buffer duration. After the
    // host has filled a half it is "played": recorded byte for byte.
    void run() {
        const auto period = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<double>(config_.preferredBits) / rate_ * 1e9));
        auto next = std::chrono::steady_clock::now();
        asio::Long index = 0;
        asio::Long done = 0;
        while (running_) {
            if (useTimeInfo_) {
                callbacks_->bufferSwitchTimeInfo(nullptr, index, 1);
            } else {
                callbacks_->bufferSwitch(index, 1);
            }
            ++done;
            switches_ = done;
            {
                std::lock_guard lock(gMutex);
                gReport.switches = done;
                for (int channel = 0; channel < 2; ++channel) {
                    auto& capture = gCapture[channel];
                    const auto& half = halves_[channel][index];
                    if (capture.size() + half.size() <=
                        static_cast<std::size_t>(config_.captureLimitBytes)) {
                        capture.insert(capture.end(), half.begin(), half.end());
                    }
                }
            }
            if (config_.resetAfterSwitches > 0 && done == config_.resetAfterSwitches) {
                callbacks_->message(3, 0, nullptr, nullptr);
            }
            index ^= 1;
            next += period;
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<ULONG> refs_{1};
    control::Config config_;
    double rate_ = 2822400.0;
    bool dsd_ = false;
    bool useTimeInfo_ = false;
    std::size_t halfBytes_ = 0;
    std::vector<std::uint8_t> halves_[2][2];
    asio::Callbacks* callbacks_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<asio::Long> switches_{0};
    std::thread thread_;
};

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* driver = new (std::nothrow) TestDriver();
        if (driver == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT result = driver->QueryInterface(riid, out);
        driver->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++gLocks;
        } else {
            --gLocks;
        }
        return S_OK;
    }
};

Factory gFactory;

bool setString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

bool writeKey(const std::wstring& path, const wchar_t* name, const std::wstring& value,
              const wchar_t* name2 = nullptr, const std::wstring& value2 = {}) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                          KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = setString(key, name, value);
    if (ok && name2 != nullptr)
        ok = setString(key, name2, value2);
    ::RegCloseKey(key);
    return ok;
}

std::wstring classKey() {
    return std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + control::kClsidText;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        gModule = instance;
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    return gFactory.QueryInterface(riid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    std::lock_guard lock(gMutex);
    return gReport.liveObjects == 0 && gLocks == 0 ? S_OK : S_FALSE;
}

// The COM class under HKLM\SOFTWARE\Classes and the driver under
// HKLM\SOFTWARE\ASIO, both in the 64-bit view.
HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(gModule, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return E_FAIL;
    const bool ok = writeKey(classKey(), nullptr, control::kDriverName) &&
                    writeKey(classKey() + L"\\InprocServer32", nullptr, path, L"ThreadingModel",
                             L"Apartment") &&
                    writeKey(std::wstring(L"SOFTWARE\\ASIO\\") + control::kDriverName, L"CLSID",
                             control::kClsidText, L"Description", control::kDriverName);
    return ok ? S_OK : E_FAIL;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey().c_str());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                     (std::wstring(L"SOFTWARE\\ASIO\\") + control::kDriverName).c_str());
    return S_OK;
}

void TestAsioConfigure(const control::Config* config) {
    std::lock_guard lock(gMutex);
    gConfig = *config;
    const std::int32_t live = gReport.liveObjects;
    gReport = control::Report{};
    gReport.liveObjects = live;
    gLog.clear();
    for (auto& capture : gCapture) {
        capture.clear();
        capture.reserve(static_cast<std::size_t>(config->captureLimitBytes));
    }
}

void TestAsioReport(control::Report* report) {
    std::lock_guard lock(gMutex);
    *report = gReport;
}

std::size_t TestAsioCapture(std::int32_t channel, std::uint8_t* out, std::size_t capacity) {
    std::lock_guard lock(gMutex);
    const auto& capture = gCapture[channel & 1];
    const std::size_t n = capture.size() < capacity ? capture.size() : capacity;
    if (n > 0)
        std::memcpy(out, capture.data(), n);
    return capture.size();
}

std::size_t TestAsioLog(char* out, std::size_t capacity) {
    std::lock_guard lock(gMutex);
    if (capacity == 0)
        return gLog.size();
    const std::size_t n = gLog.size() < capacity - 1 ? gLog.size() : capacity - 1;
    std::memcpy(out, gLog.data(), n);
    out[n] = '\0';
    return gLog.size();
}

}  // extern "C"
