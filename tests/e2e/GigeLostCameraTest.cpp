// A camera on a real GigE Vision link that dies during a run: the device program killed. It waits
// for the heartbeat time-out on purpose, in a loopback-only network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "DeviceProgram.h"
#include "ProgramRun.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

// Makes sure a device killed during a run ends it with the lost-camera line once its heartbeat
// time-out has passed. Example failure: the run waits for the 40-second retrieval time-out, or
// reports a time-out instead of the lost camera.
TEST(GigeLink, AKilledDeviceIsALostCamera) {
    DeviceProgram device(R"({"cameras": [{}]})", 1);
    auto run = StartAgainst(device, {"--measurement-mode", "latency", "--binning", "4"});
    ASSERT_TRUE(run->WaitForOutput("Latency: ", 30s)) << run->Error();  // it grabs
    device.Itself().Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    const auto result = run->Wait(60s);
    EXPECT_GE(std::chrono::steady_clock::now() - killed, 3s);  // the heartbeat time-out
    // A frame the kill cut short is a failed grab first, as it would be on a real link.
    const std::string lost =
        "Camera 'VelkorXW-40051001' was lost: it has not answered the heartbeat for 3000 ms "
        "(cable pulled or power lost).\n";
    ASSERT_TRUE(result.err.ends_with(lost)) << result.err;
    ExpectOnlyGrabErrors(result.err.substr(0, result.err.size() - lost.size()));
    EXPECT_EQ(result.exitCode, 1);
}

}  // namespace
}  // namespace Tarnwell::test
