// The native output end to end on Windows (and under Wine): through the
// registry listing, COM creation, the driver interface's binary layout and a
// driver thread of its own, against the test driver DLL built beside this
// program and registered from here before the first test.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "asio_test_driver/TestAsioControl.h"
#include "cli/PlayDsd.h"
#include "dsd/DsfWriter.h"
#include "dsd/NativeAsioOutput.h"
#include "dsd/NativeDsdUnpack.h"
#include "support/TempDir.h"

namespace al::audio {
namespace {

namespace control = test::asio_driver;

constexpr const char* kFault = "ASIO underrun, reset request or clock change; playback stopped";
constexpr std::uint32_t kDsd64Frames = 176400;

std::u16string clsid() {
    const std::wstring text = control::kClsidText;
    return std::u16string(text.begin(), text.end());
}

std::uint16_t word(std::uint32_t n, std::uint32_t i, int channel) {
    std::uint32_t x = n * 2654435761u + i * 40503u + static_cast<std::uint32_t>(channel) * 977u;
    x ^= x >> 13;
    std::uint16_t w = static_cast<std::uint16_t>(x * 2246822519u >> 16);
    if ((w & 0xFF) == 0x69)
        w ^= 0x01;
    if ((w >> 8) == 0x69)
        w ^= 0x0100;
    return w;
}

std::vector<std::uint8_t> dopBuffer(std::uint32_t n, std::uint32_t frames) {
    std::vector<std::uint8_t> out(std::size_t{frames} * 6);
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c) {
            const std::uint16_t w = word(n, i, c);
            out[i * 6 + c * 3 + 0] = static_cast<std::uint8_t>(w & 0xFF);
            out[i * 6 + c * 3 + 1] = static_cast<std::uint8_t>(w >> 8);
            out[i * 6 + c * 3 + 2] = i % 2 == 0 ? 0x05 : 0xFA;
        }
    }
    return out;
}

std::vector<std::uint8_t> nativeBytes(std::uint32_t count, std::uint32_t frames, int c,
                                      bool reversed) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t n = 0; n < count; ++n) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint16_t w = word(n, i, c);
            out.push_back(static_cast<std::uint8_t>(w >> 8));
            out.push_back(static_cast<std::uint8_t>(w & 0xFF));
        }
    }
    if (reversed) {
        for (auto& b : out)
            b = morrow::dsd::reverseBits(b);
    }
    return out;
}

// The test driver DLL, loaded by this program as well as by COM (the same
// module, so its controls see the driver COM created), and registered once.
class TestDriverDll {
  public:
    static TestDriverDll& get() {
        static TestDriverDll dll;
        return dll;
    }
    bool ready() const { return ready_; }
    const std::string& problem() const { return problem_; }

    control::ConfigureFunction configure = nullptr;
    control::ReportFunction report = nullptr;
    control::CaptureFunction capture = nullptr;
    control::LogFunction log = nullptr;

    std::vector<std::uint8_t> captured(int channel) const {
        std::vector<std::uint8_t> out(capture(channel, nullptr, 0));
        capture(channel, out.data(), out.size());
        return out;
    }
    std::string calls() const {
        std::string out(log(nullptr, 0) + 1, '\0');
        out.resize(log(out.data(), out.size()));
        return out;
    }
    control::Report state() const {
        control::Report r;
        report(&r);
        return r;
    }

  private:
    template <typename F>
    F symbol(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module_, name)));
    }

    TestDriverDll() {
        wchar_t path[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dll(path, length);
        dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"al_test_asio_driver.dll";
        module_ = ::LoadLibraryW(dll.c_str());
        if (module_ == nullptr) {
            problem_ = "cannot load the test driver DLL";
            return;
        }
        using Register = HRESULT(STDAPICALLTYPE*)();
        const auto registerServer = symbol<Register>("DllRegisterServer");
        configure = symbol<control::ConfigureFunction>("TestAsioConfigure");
        report = symbol<control::ReportFunction>("TestAsioReport");
        capture = symbol<control::CaptureFunction>("TestAsioCapture");
        log = symbol<control::LogFunction>("TestAsioLog");
        if (!registerServer || !configure || !report || !capture || !log) {
            problem_ = "test driver exports missing";
            return;
        }
        if (registerServer() != S_OK) {
            problem_ = "test driver registration failed";
            return;
        }
        // A driver key without a CLSID value, which the listing skips.
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Auralith Half Installed", 0,
                              nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr) == ERROR_SUCCESS) {
            ::RegCloseKey(key);
        }
        ready_ = true;
    }

    HMODULE module_ = nullptr;
    bool ready_ = false;
    std::string problem_;
};

class NativeAsioDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        dll_ = &TestDriverDll::get();
        ASSERT_TRUE(dll_->ready()) << dll_->problem();
    }
    void configure(const control::Config& config) { dll_->configure(&config); }

    // Waits (as the engine does, 20 ms at a time) until the stream faults;
    // the fault's message, or "" when none came within the limit.
    static std::string waitForFault(Native& native, int limitMs = 5000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (std::chrono::steady_clock::now() < until) {
            try {
                if (native.wait(20)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            } catch (const std::runtime_error& e) {
                return e.what();
            }
        }
        return "";
    }

    TestDriverDll* dll_ = nullptr;
};

TEST_F(NativeAsioDriver, IsListedFromTheRegistryAndKeysWithoutAClassIdAreSkipped) {
    const auto drivers = listAsioDrivers();
    bool found = false;
    for (const auto& entry : drivers) {
        EXPECT_NE(entry.name, u"Auralith Half Installed");
        if (entry.name == u"Auralith Test ASIO") {
            found = true;
            EXPECT_EQ(entry.clsid, clsid());
        }
    }
    EXPECT_TRUE(found);
}

// A 4096-bit buffer: 256 frames, 1536-byte buffers; 8 prefilled buffers play
// and the starved driver then plays the idle pattern and reports an underrun.
TEST_F(NativeAsioDriver, PrefilledBuffersPlayThenStarvingGivesIdleAndTheUnderrun) {
    for (const std::int32_t type : {33, 32}) {
        SCOPED_TRACE(type);
        control::Config config;
        config.sampleType = type;
        configure(config);
        {
            Native native(clsid());
            const DsdOutputFormat format = native.open(u"", kDsd64Frames);
            EXPECT_EQ(format.framesPerBuffer, 256u);
            EXPECT_EQ(format.bufferBytes(), 1536u);
            EXPECT_EQ(format.description, "Native ASIO DSD (no DoP on the wire)");
            try {
                native.submit(std::vector<std::uint8_t>(1530, 0));
                ADD_FAILURE();
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "ASIO packing buffer mismatch");
            }
            for (std::uint32_t n = 0; n < native.queueDepth(); ++n) {
                native.submit(dopBuffer(n, format.framesPerBuffer));
            }
            native.start();
            EXPECT_EQ(waitForFault(native), kFault);
            EXPECT_EQ(native.faults() & Native::kFaultUnderrun, Native::kFaultUnderrun);
            native.stop();
        }
        const control::Report report = dll_->state();
        EXPECT_EQ(report.liveObjects, 0);
        EXPECT_EQ(report.initHandleNonNull, 1);
        EXPECT_EQ(report.ioFormatReservedZero, 1);
        EXPECT_EQ(report.ioFormatType, 1);
        EXPECT_EQ(report.rateSet, 2822400.0);
        EXPECT_EQ(report.bufferSizeAsked, 4096);
        EXPECT_EQ(report.answerEngineVersion, 2);
        EXPECT_EQ(report.answerSupportsReset, 1);
        EXPECT_EQ(report.answerSupportsTimeInfo, 1);
        EXPECT_EQ(report.answerTimeInfo, 1);
        EXPECT_EQ(report.answerSupportsBufferSizeChange, 0);
        EXPECT_GE(report.outputReadyCalls, 1 + 9);
        EXPECT_EQ(dll_->calls(),
                  "init,future,canSampleRate,setSampleRate,getSampleRate,getChannels,"
                  "getBufferSize,getChannelInfo,getChannelInfo,createBuffers,start,stop,"
                  "disposeBuffers,release");
        for (int c = 0; c < 2; ++c) {
            const auto wire = dll_->captured(c);
            const auto music = nativeBytes(8, 256, c, type == 32);
            ASSERT_GT(wire.size(), music.size()) << "channel " << c;
            EXPECT_TRUE(std::equal(music.begin(), music.end(), wire.begin())) << "channel " << c;
            for (std::size_t i = music.size(); i < wire.size(); ++i) {
                ASSERT_EQ(wire[i], 0x69) << "channel " << c << " byte " << i;
            }
        }
    }
}

// Fed like the engine feeds it (wait 20 ms, submit), through the time-info
// form of the callback: every byte of every buffer reaches the wire in order.
TEST_F(NativeAsioDriver, AFedStreamArrivesWhole) {
    control::Config config;
    config.preferredBits = 131072;  // 46 ms a half-buffer at DSD64: room for a loaded machine
    config.useTimeInfo = 1;
    configure(config);
    constexpr std::uint32_t kBuffers = 24;
    std::uint32_t frames = 0;
    {
        Native native(clsid());
        frames = native.open(u"", kDsd64Frames).framesPerBuffer;
        ASSERT_EQ(frames, 8192u);
        std::uint32_t sent = 0;
        for (; sent < native.queueDepth(); ++sent)
            native.submit(dopBuffer(sent, frames));
        native.start();
        while (sent < kBuffers) {
            if (native.wait(20))
                native.submit(dopBuffer(sent++, frames));
        }
        EXPECT_EQ(waitForFault(native), kFault);  // fed no more
        EXPECT_EQ(native.faults(), Native::kFaultUnderrun);
    }
    EXPECT_EQ(dll_->state().usedTimeInfo, 1);
    for (int c = 0; c < 2; ++c) {
        const auto wire = dll_->captured(c);
        const auto music = nativeBytes(kBuffers, frames, c, false);
        ASSERT_GT(wire.size(), music.size());
        EXPECT_TRUE(std::equal(music.begin(), music.end(), wire.begin())) << "channel " << c;
        EXPECT_EQ(wire[music.size()], 0x69);
    }
}

TEST_F(NativeAsioDriver, ARateReadBackOneBelowIsRefused) {
    control::Config config;
    config.rateReadBackOffset = -1.0;
    configure(config);
    Native native(clsid());
    try {
        native.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ASIO rate changed unexpectedly");
    }
    EXPECT_EQ(dll_->state().liveObjects, 0);
    EXPECT_EQ(dll_->calls(), "init,future,canSampleRate,setSampleRate,getSampleRate,release");
}

TEST_F(NativeAsioDriver, ADriverWithoutDsdModeIsRefused) {
    control::Config config;
    config.dsdMode = 0;
    configure(config);
    Native native(clsid());
    try {
        native.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Driver does not accept native DSD mode");
    }
    EXPECT_EQ(dll_->state().liveObjects, 0);
}

TEST_F(NativeAsioDriver, AResetRequestEndsPlayback) {
    control::Config config;
    config.resetAfterSwitches = 3;
    configure(config);
    Native native(clsid());
    const auto format = native.open(u"", kDsd64Frames);
    for (std::uint32_t n = 0; n < native.queueDepth(); ++n) {
        native.submit(dopBuffer(n, format.framesPerBuffer));
    }
    native.start();
    EXPECT_EQ(waitForFault(native), kFault);
    EXPECT_NE(native.faults() & Native::kFaultReset, 0);
}

TEST_F(NativeAsioDriver, ASecondOutputIsRefusedWhileOneIsOpen) {
    configure(control::Config{});
    Native first(clsid());
    first.open(u"", kDsd64Frames);
    Native second(clsid());
    try {
        second.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Another native ASIO output is active");
    }
    EXPECT_EQ(dll_->state().liveObjects, 1);
}

TEST_F(NativeAsioDriver, IdentitiesThatNameNoDriver) {
    Native unregistered(u"{00000000-1111-2222-3333-444444444444}");
    try {
        unregistered.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot load selected 64-bit ASIO driver");
    }
    Native garbled(u"Auralith Test ASIO");
    try {
        garbled.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid ASIO driver identity");
    }
}

// `auralith play FILE.dsf --dsd 64 --dsf-native --asio CLSID`: the engine
// prepares the file's own bits and the driver's wire carries exactly them,
// channel by channel, then only the idle pattern; the end comes only once
// the last of them is in a half the device has begun to play.
TEST_F(NativeAsioDriver, ADsfPlayedThroughTheEngineArrivesAsTheFilesOwnBits) {
    control::Config config;
    config.preferredBits = 131072;  // 46 ms a half-buffer at DSD64: room for a loaded machine
    configure(config);
    constexpr std::uint64_t kHalf = 16'384;       // bytes of a driver half-buffer per channel
    constexpr std::uint64_t kBytes = 10 * kHalf;  // 0.46 s of DSD64 per channel
    auto fileByte = [](int c, std::uint64_t k) {
        const auto b = static_cast<std::uint8_t>(c == 0 ? k * 37 + 11 : k * 91 + 5);
        return b == 0x69 ? std::uint8_t{0x6A} : b;
    };
    test::TempDir dir;
    std::vector<morrow::dsd::DsdBitStream> channels(2);
    for (int c = 0; c < 2; ++c) {
        for (std::uint64_t k = 0; k < kBytes; ++k)
            channels[c].pushByte(fileByte(c, k));
    }
    morrow::dsd::writeDsfFile(dir / "quarter.dsf", channels, {});

    cli::PlayDsdOptions options;
    options.file = dir / "quarter.dsf";
    options.dsfNative = true;
    options.asioDriver = clsid();
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(cli::playDsdWithOptions(options, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("Playback complete."), std::string::npos) << out.str();
    EXPECT_EQ(dll_->state().liveObjects, 0);
    EXPECT_EQ(dll_->state().rateSet, 2'822'400.0);
    for (int c = 0; c < 2; ++c) {
        const auto wire = dll_->captured(c);
        // The half holding the last bits was followed by a switch before the
        // stop: the device began playing it, and one more half came after it.
        ASSERT_GE(wire.size(), kBytes + 2 * kHalf) << "channel " << c;
        for (std::uint64_t k = 0; k < kBytes; ++k)
            ASSERT_EQ(wire[k], fileByte(c, k)) << "channel " << c << " byte " << k;
        for (std::size_t k = kBytes; k < wire.size(); ++k)
            ASSERT_EQ(wire[k], 0x69) << "channel " << c << " byte " << k;
    }
}

}  // namespace
}  // namespace al::audio
