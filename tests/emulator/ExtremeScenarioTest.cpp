// Scenarios at the far ends of their ranges: a link or a computation so slow that a frame's time
// does not fit the clock.
#include <string>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

struct Extreme {
    const char* keys;
    bool framesArrive;  // the link is not the slow part: frames arrive, results never come
};

class ExtremeTiming : public EmulationTest, public testing::WithParamInterface<Extreme> {};

// Makes sure such a frame never comes, in both trigger modes, and the camera still stops at once.
// Example failure: the frame's delay overflowed the clock's 64-bit count and wrapped negative,
// so a camera on a 1 nbit/s link delivered every frame at once.
TEST_P(ExtremeTiming, FrameTooSlowForTheClockNeverComes) {
    Start(std::string(R"({"cameras": [{)") + GetParam().keys + "}]}");
    Orvel::CVelkorUniversalInstantCamera& camera = Camera();
    Orvel::CGrabResultPtr result;
    for (const char* mode : {"Off", "On"}) {
        camera.TriggerMode.SetValue(mode);
        camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
        if (std::string(mode) == "On") {
            camera.TriggerSoftware.Execute();
        }
        EXPECT_FALSE(camera.RetrieveResult(200, result, Orvel::TimeoutHandling_Return)) << mode;
        camera.StopGrabbing();
    }
    if (!GetParam().framesArrive) {
        EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 0);
        EXPECT_EQ(Counter("Statistic_Buffer_Underrun_Count"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ExtremeTiming,
                         testing::Values(Extreme{R"("linkBandwidth": 1e-9)", false},
                                         Extreme{R"("linkBandwidth": 1e-320)", false},
                                         Extreme{R"("processingScale": 1e300)", true}));

}  // namespace
}  // namespace Tarnwell::test
