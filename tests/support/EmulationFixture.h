// The fixture of the SDK layer's tests: the SDK on a scenario of the test's and one of its cameras.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "Orvel/Orvel.h"
#include "Session.h"
#include "TestFiles.h"

// Expects `statement` to raise exactly `Type` with the description `text`.
#define EXPECT_THROW_MSG(statement, Type, text)                          \
    EXPECT_THROW(                                                        \
        {                                                                \
            try {                                                        \
                statement;                                               \
            } catch (const Type& error_) {                               \
                EXPECT_EQ(std::string(error_.GetDescription()), (text)); \
                throw;                                                   \
            }                                                            \
        },                                                               \
        Type)

namespace Tarnwell::test {

// Writes `json` to a file of the test's own directory and returns its path.
inline std::string WriteScenario(const std::string& json, const std::string& name = "scenario") {
    return WriteTestFile(name + ".json", json).string();
}

inline void SetEmulation(const std::string& setting) {
    ::setenv("ORVEL_EMULATION", setting.c_str(), 1);
}

// The SDK on a scenario of the test's, and the camera under test.
class EmulationTest : public testing::Test {
protected:
    // Made before the test body, so that the child of a death test writes where its parent
    // cleans up.
    EmulationTest() { TestDirectory(); }
    void TearDown() override { Stop(); }

    // Starts the SDK on the scenario `json` ("" for the default cameras). Cameras process in
    // modelled time unless the scenario says "processing": "real".
    void Start(const std::string& json = "") {
        session_.emplace(json.empty() ? "{}" : json, TestDirectory());
    }

    void Stop() {
        emulated_.Release();
        session_.reset();
    }

    static Orvel::DeviceInfoList Devices() { return EnumerateCameras(); }

    // Creates camera `index` the way the program does; opened unless `open` is false.
    Orvel::CVelkorUniversalInstantCamera& Camera(std::size_t index = 0, bool open = true) {
        return emulated_.Create(index, open);
    }

    // A camera fast enough for timing tests: little payload, quick link, no depth computation.
    static std::string FastCamera(const std::string& extra = "") {
        return R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1e12,
                                "processingScale": 0)" +
               (extra.empty() ? "" : ", " + extra) + "}]}";
    }

    std::int64_t Counter(const char* name) { return emulated_.Counter(name); }

    std::optional<SdkSession> session_;
    EmulatedCamera emulated_;
};

}  // namespace Tarnwell::test
