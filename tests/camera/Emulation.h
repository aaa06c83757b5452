// Test fixture: starts the SDK on an emulation scenario and opens one of its cameras.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Orvel/Orvel.h"
#include "Scenario.h"
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

namespace OrvelTest {

inline constexpr const char* kDeviceClass = "VelkorGTC/Velkor/velkor_xw";

// Writes `json` to a file of the test's own directory and returns its path.
inline std::string WriteScenario(const std::string& json, const std::string& name = "scenario") {
    return tarnwell::test::WriteTestFile(name + ".json", json).string();
}

inline void SetEmulation(const std::string& setting) {
    ::setenv("ORVEL_EMULATION", setting.c_str(), 1);
}

class EmulationTest : public testing::Test {
protected:
    // Made before the test body, so that the child of a death test writes where its parent
    // cleans up.
    EmulationTest() { tarnwell::test::TestDirectory(); }

    void TearDown() override { Stop(); }

    // Starts the SDK on the scenario `json` ("" for the default cameras). Cameras process in
    // modelled time unless the scenario says "processing": "real".
    void Start(const std::string& json = "") {
        using tarnwell::test::ModelledScenario;
        SetEmulation(WriteScenario(ModelledScenario(json.empty() ? "{}" : json)));
        Orvel::OrvelInitialize();
        started_ = true;
    }

    void Stop() {
        camera_.reset();
        interface_.reset();
        if (started_) {
            Orvel::OrvelTerminate(true);
            started_ = false;
        }
    }

    Orvel::DeviceInfoList Devices() {
        Orvel::DeviceInfoList list;
        Orvel::CTlFactory::GetInstance().CreateTl(kDeviceClass)->EnumerateDevices(list);
        return list;
    }

    // Creates camera `index` the way the program does; opened unless `open` is false.
    Orvel::CVelkorUniversalInstantCamera& Camera(std::size_t index = 0, bool open = true) {
        Orvel::CInterfaceInfo info;
        info.SetDeviceClass(kDeviceClass);
        interface_ = std::make_unique<Orvel::CInstantInterface>(info);
        camera_ = std::make_unique<Orvel::CVelkorUniversalInstantCamera>(
            interface_->CreateDevice(Devices().at(index)), Orvel::Cleanup_Delete);
        if (open) {
            camera_->Open();
        }
        return *camera_;
    }

    // A camera fast enough for timing tests: little payload, quick link, no depth computation.
    static std::string FastCamera(const std::string& extra = "") {
        return R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1e12,
                                "processingScale": 0)" +
               (extra.empty() ? "" : ", " + extra) + "}]}";
    }

    std::int64_t Counter(const char* name) {
        return GenApi::CIntegerPtr(camera_->GetNodeMap().GetNode(name))->GetValue();
    }

    std::unique_ptr<Orvel::CInstantInterface> interface_;
    std::unique_ptr<Orvel::CVelkorUniversalInstantCamera> camera_;
    bool started_ = false;
};

}  // namespace OrvelTest
