#pragma once
// The PCM output as the player window drives it: the operations of the exact
// output it uses, behind an interface so that the transport rules can be
// tested against an output whose timing the test decides.

#include <cstdint>
#include <memory>
#include <string>

#include "output/AudioEndpoints.h"
#include "output/EndpointFormat.h"
#include "output/EndpointVolume.h"
#include "output/ExactWasapiOutput.h"
#include "output/RenderStatistics.h"

namespace al::app {

// Same contracts as ExactWasapiOutput; user-interface thread.
class PcmOutput {
  public:
    virtual ~PcmOutput() = default;
    virtual void Initialize(const std::u16string& endpointId, const audio::EndpointFormat& format,
                            playback::PlaybackLattice* lattice,
                            audio::WasapiBufferPolicy policy) = 0;
    virtual void Start() = 0;
    virtual std::uint32_t Pause() noexcept = 0;
    virtual void RequestPause() noexcept = 0;
    virtual void Shutdown() noexcept = 0;
    virtual void ResetStatistics() noexcept = 0;
    virtual bool IsRunning() const noexcept = 0;
    virtual bool IsInitialized() const noexcept = 0;
    virtual bool TakeEnded() noexcept = 0;
    virtual audio::RenderStatistics::Snapshot Statistics() const noexcept = 0;
    virtual std::string LastErrorMessage() const = 0;
};

// The real output.
class ExactPcmOutput final : public PcmOutput {
  public:
    void Initialize(const std::u16string& endpointId, const audio::EndpointFormat& format,
                    playback::PlaybackLattice* lattice, audio::WasapiBufferPolicy policy) override {
        output_.Initialize(endpointId, format, lattice, policy);
    }
    void Start() override { output_.Start(); }
    std::uint32_t Pause() noexcept override { return output_.Pause(); }
    void RequestPause() noexcept override { output_.RequestPause(); }
    void Shutdown() noexcept override { output_.Shutdown(); }
    void ResetStatistics() noexcept override { output_.ResetStatistics(); }
    bool IsRunning() const noexcept override { return output_.IsRunning(); }
    bool IsInitialized() const noexcept override { return output_.IsInitialized(); }
    bool TakeEnded() noexcept override { return output_.TakeEnded(); }
    audio::RenderStatistics::Snapshot Statistics() const noexcept override {
        return output_.Statistics();
    }
    std::string LastErrorMessage() const override { return output_.LastErrorMessage(); }

  private:
    audio::ExactWasapiOutput output_;
};

// The endpoint's hardware volume, as EndpointVolume offers it.
class VolumeControl {
  public:
    virtual ~VolumeControl() = default;
    virtual void Open(const audio::EndpointInfo& endpoint) = 0;
    virtual void Close() noexcept = 0;
    virtual bool HasHardwareVolume() const noexcept = 0;
    virtual void SetLevel(float level) = 0;
    virtual float GetLevel() const = 0;
};

class EndpointVolumeControl final : public VolumeControl {
  public:
    void Open(const audio::EndpointInfo& endpoint) override { volume_.Open(endpoint); }
    void Close() noexcept override { volume_.Close(); }
    bool HasHardwareVolume() const noexcept override { return volume_.HasHardwareVolume(); }
    void SetLevel(float level) override { volume_.SetLevel(level); }
    float GetLevel() const override { return volume_.GetLevel(); }

  private:
    audio::EndpointVolume volume_;
};

}  // namespace al::app
