// The SDK on an emulation scenario for as long as a session lives, and its cameras made the way
// the program makes them: for tests and benchmarks alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "Orvel/Orvel.h"

namespace Tarnwell::test {

inline constexpr const char* kDeviceClass = "VelkorGTC/Velkor/velkor_xw";

// Starts the SDK on the scenario `json` (cameras that do not say otherwise process in modelled
// time, see ModelledScenario), written to a file of its own that goes with the session; shuts
// the SDK down at the end. Cameras and interfaces must be gone by then, as the SDK demands.
// The file goes to `directory`, by default the temporary directory.
class SdkSession {
public:
    explicit SdkSession(const std::string& json = "{}",
                        const std::filesystem::path& directory = {});
    ~SdkSession();
    SdkSession(const SdkSession&) = delete;
    SdkSession& operator=(const SdkSession&) = delete;

    const std::filesystem::path& ScenarioPath() const { return path_; }

private:
    std::filesystem::path path_;
};

// The enumerated devices of the stereo device class.
Orvel::DeviceInfoList EnumerateCameras();

// An emulated camera and the interface it was created through, made the way the program makes
// them; the camera goes first, as the SDK demands. Tests may reset either member themselves.
struct EmulatedCamera {
    std::unique_ptr<Orvel::CInstantInterface> interface;
    std::unique_ptr<Orvel::CVelkorUniversalInstantCamera> camera;

    EmulatedCamera() = default;
    ~EmulatedCamera() { Release(); }
    EmulatedCamera(const EmulatedCamera&) = delete;
    EmulatedCamera& operator=(const EmulatedCamera&) = delete;

    // Camera `index` of the enumeration, opened unless `open` is false; replaces any earlier one.
    Orvel::CVelkorUniversalInstantCamera& Create(std::size_t index = 0, bool open = true);
    void Release();
    // A statistics counter of the open camera.
    std::int64_t Counter(const char* name);
};

}  // namespace Tarnwell::test
