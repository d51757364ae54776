#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cli/Commands.h"
#include "output/VirtualEndpointScope.h"

namespace morrow::dsd {
namespace {

using al::audio::VirtualFormat;

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

CommandRun runCommand(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = al::cli::runCommandLine(args, out, err);
    return {status, out.str(), err.str()};
}

al::audio::VirtualOutputConfig dsdCapableEndpoint() {
    al::audio::VirtualOutputConfig config;
    config.id = u"dac";
    config.name = u"DSD DAC";
    config.acceptedFormats = {
        {176'400, 2, 32, 24, false, VirtualFormat::Structure::Any},
        {352'800, 2, 24, 24, false, VirtualFormat::Structure::Plain},
        {705'600, 2, 32, 32, false, VirtualFormat::Structure::Extensible},
    };
    return config;
}

TEST(DsdDevicesCommandTest, ListsTheCarrierOfEveryDopRate) {
    al::audio::test::VirtualEndpointScope scope(dsdCapableEndpoint());
    const CommandRun result = runCommand({"devices", "--dsd"});
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string expected =
        "dac  DSD DAC  (Default)\n"
        "  DoP DSD64   176400 Hz   24-bit in 32 bits\n"
        "  DoP DSD128  352800 Hz   24-bit in 24 bits (legacy PCM carrier)\n"
        "  DoP DSD256  705600 Hz   32-bit in 32 bits\n"
        "  DoP DSD512  1411200 Hz  none\n";
    EXPECT_EQ(result.out.substr(0, expected.size()), expected);
}

TEST(DsdDevicesCommandTest, BusyEndpointIsNamedAsSuch) {
    al::audio::VirtualOutputConfig config = dsdCapableEndpoint();
    config.busy = true;
    al::audio::test::VirtualEndpointScope scope(config);
    const CommandRun result = runCommand({"devices", "--dsd", "--device", "dac"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  DoP DSD64   176400 Hz   in use by another program\n"),
              std::string::npos)
        << result.out;
}

TEST(DsdDevicesCommandTest, UnknownDeviceAndMixedOptions) {
    al::audio::test::VirtualEndpointScope scope(dsdCapableEndpoint());
    const CommandRun unknown = runCommand({"devices", "--dsd", "--device", "nothing"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "no such audio endpoint: nothing\n");
    EXPECT_EQ(runCommand({"devices", "--dsd", "--channels", "2"}).status, 2);
}

}  // namespace
}  // namespace morrow::dsd
