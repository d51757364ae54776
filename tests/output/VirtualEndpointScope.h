#pragma once
// Makes one virtual device the only endpoint for the life of a test.

#include <memory>

#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"

namespace al::audio::test {

class VirtualEndpointScope {
public:
    explicit VirtualEndpointScope(VirtualOutputConfig config = {})
        : previousDevice_(CurrentVirtualOutput()),
          previousListing_(CurrentVirtualListing()),
          device_(VirtualOutput::create(std::move(config))) {
        UseVirtualOutput(device_, VirtualListing::Only);
    }
    ~VirtualEndpointScope() { UseVirtualOutput(previousDevice_, previousListing_); }
    VirtualEndpointScope(const VirtualEndpointScope&) = delete;
    VirtualEndpointScope& operator=(const VirtualEndpointScope&) = delete;

    VirtualOutput& device() { return *device_; }
    std::shared_ptr<VirtualOutput> shared() { return device_; }

private:
    std::shared_ptr<VirtualOutput> previousDevice_;
    VirtualListing previousListing_;
    std::shared_ptr<VirtualOutput> device_;
};

}  // namespace al::audio::test
