// The SDK on an emulation scenario for as long as a session lives, and its emulated cameras.
#include "Session.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "Scenario.h"

namespace Tarnwell::test {

SdkSession::SdkSession(const std::string& json, const std::filesystem::path& directory) {
    std::string name = (directory.empty() ? std::filesystem::temp_directory_path() : directory) /
                       "tarnwell-session-XXXXXX.json";
    const int fd = ::mkstemps(name.data(), 5);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "mkstemps " + name);
    }
    ::close(fd);
    path_ = name;
    std::ofstream(path_) << ModelledScenario(json);
    ::setenv("ORVEL_EMULATION", path_.c_str(), 1);
    try {
        Orvel::OrvelInitialize();
    } catch (...) {
        std::filesystem::remove(path_);
        throw;
    }
}

SdkSession::~SdkSession() {
    Orvel::OrvelTerminate(true);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

Orvel::DeviceInfoList EnumerateCameras() {
    Orvel::DeviceInfoList list;
    Orvel::CTlFactory::GetInstance().CreateTl(kDeviceClass)->EnumerateDevices(list);
    return list;
}

Orvel::CVelkorUniversalInstantCamera& EmulatedCamera::Create(std::size_t index, bool open) {
    Release();
    Orvel::CInterfaceInfo info;
    info.SetDeviceClass(kDeviceClass);
    interface = std::make_unique<Orvel::CInstantInterface>(info);
    camera = std::make_unique<Orvel::CVelkorUniversalInstantCamera>(
        interface->CreateDevice(EnumerateCameras().at(index)), Orvel::Cleanup_Delete);
    if (open) {
        camera->Open();
    }
    return *camera;
}

void EmulatedCamera::Release() {
    camera.reset();
    interface.reset();
}

std::int64_t EmulatedCamera::Counter(const char* name) {
    return GenApi::CIntegerPtr(camera->GetNodeMap().GetNode(name))->GetValue();
}

}  // namespace Tarnwell::test
