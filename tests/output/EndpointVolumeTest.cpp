#include "output/EndpointVolume.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "VirtualEndpointScope.h"

namespace al::audio {
namespace {

using test::VirtualEndpointScope;

EndpointInfo virtualEndpoint() { return EndpointInfo{u"virtual", u"Virtual Output", true}; }

TEST(EndpointVolume, LevelsAreClampedToTheScalarRange) {
    VirtualEndpointScope scope;
    EndpointVolume volume;
    volume.Open(virtualEndpoint());
    ASSERT_TRUE(volume.HasHardwareVolume());
    volume.SetLevel(1.7f);
    EXPECT_EQ(scope.device().level(), 1.0f);
    EXPECT_EQ(volume.GetLevel(), 1.0f);
    volume.SetLevel(-0.2f);
    EXPECT_EQ(scope.device().level(), 0.0f);
    volume.SetLevel(0.35f);
    EXPECT_FLOAT_EQ(volume.GetLevel(), 0.35f);
    // Not a number is no level at all; the endpoint refuses it.
    try {
        volume.SetLevel(std::numeric_limits<float>::quiet_NaN());
        FAIL() << "no throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Set hardware volume failed (HRESULT 0x80070057)");
    }
    EXPECT_FLOAT_EQ(scope.device().level(), 0.35f);
}

void expectNoHardwareVolume(EndpointVolume& volume) {
    EXPECT_FALSE(volume.HasHardwareVolume());
    try {
        volume.SetLevel(0.5f);
        ADD_FAILURE() << "SetLevel did not throw";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Endpoint has no hardware volume control");
    }
    try {
        volume.GetLevel();
        ADD_FAILURE() << "GetLevel did not throw";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Endpoint has no hardware volume control");
    }
}

TEST(EndpointVolume, AnEndpointWithoutTheHardwareBitOpensButRefusesLevels) {
    VirtualOutputConfig config;
    config.hardwareSupportMask = 0x6;  // mute and meter, no volume
    VirtualEndpointScope scope(config);
    EndpointVolume volume;
    EXPECT_NO_THROW(volume.Open(virtualEndpoint()));
    EXPECT_EQ(volume.HardwareSupport(), 0x6u);
    expectNoHardwareVolume(volume);
}

TEST(EndpointVolume, ClosedOrNeverOpenedHasNoControl) {
    VirtualEndpointScope scope;
    EndpointVolume never;
    expectNoHardwareVolume(never);
    EndpointVolume volume;
    volume.Open(virtualEndpoint());
    volume.Close();
    expectNoHardwareVolume(volume);
}

TEST(EndpointVolume, OpeningAnUnknownEndpointNamesTheStepInLowerCaseHex) {
    VirtualEndpointScope scope;
    EndpointVolume volume;
    try {
        volume.Open(EndpointInfo{u"missing", u"Missing", false});
        FAIL() << "no throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Open render endpoint failed (HRESULT 0x80070490)");
    }
    EXPECT_FALSE(volume.HasHardwareVolume());
}

}  // namespace
}  // namespace al::audio
