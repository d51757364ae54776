#include "platform/AsioDriver.h"

// ASIO drivers exist only on Windows. Here the list is empty and every
// creation fails the way a missing driver does, so the native output gives
// its orderly message and everything else keeps working.

namespace al::platform {
namespace {

class NoAsioSystem final : public AsioSystem {
  public:
    bool initializeCom() noexcept override { return true; }
    void uninitializeCom() noexcept override {}
    AsioCreateResult createDriver(const std::u16string& identity,
                                  std::unique_ptr<AsioDriver>& driver) noexcept override {
        driver.reset();
        return looksLikeClsid(identity) ? AsioCreateResult::CannotLoad
                                        : AsioCreateResult::InvalidIdentity;
    }
    std::vector<AsioDriverEntry> listDrivers() override { return {}; }
};

}  // namespace

bool platformHasAsio() noexcept { return false; }

AsioSystem& platformAsioSystem() noexcept {
    static NoAsioSystem system;
    return system;
}

}  // namespace al::platform
