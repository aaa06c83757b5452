// The GigE Vision provider of the Velkor XW class: off unless ORVEL_GIGE names the cameras'
// addresses, which it then asks by unicast; no socket is opened otherwise.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "Discovery.h"
#include "GigeDevice.h"
#include "Orvel/Transport/Errors.h"
#include "Orvel/Transport/Transport.h"
#include "Orvel/VelkorUniversal.h"

namespace Orvel::detail {

namespace {

constexpr const char* kGigeTlFullName = "OrvelGigEVisionVelkorXW";
constexpr const char* kGigeInterfaceId = "GigEVisionUnicast";
constexpr const char* kModel = "Velkor XW";
constexpr auto kDiscoveryWait = std::chrono::milliseconds(600);

class GigeTransportLayer final : public TransportLayerBase {
public:
    explicit GigeTransportLayer(std::vector<std::string> addresses)
        : addresses_(std::move(addresses)) {}

    CTlInfo GetTlInfo() const override {
        CTlInfo info;
        // The host computes depth, on its processor.
        info.SetFriendlyName("Orvel Velkor XW GigE Vision Producer CPU")
            .SetFullName(kGigeTlFullName)
            .SetDeviceClass(VelkorXwDeviceClass)
            .SetVendorName("Orvel")
            .SetVersion("1.0");
        return info;
    }

    int EnumerateDevices(DeviceInfoList& list, bool addToList) override {
        if (!addToList) {
            list.clear();
        }
        const std::vector<DiscoveredCamera> found = DiscoverCameras(addresses_, kDiscoveryWait);
        std::lock_guard lock(mutex_);
        for (const DiscoveredCamera& camera : found) {
            if (camera.model != kModel) {
                continue;  // another class's camera at an address given
            }
            list.push_back(Remember(camera).info);
        }
        return static_cast<int>(list.size());
    }

    int EnumerateInterfaces(InterfaceInfoList& list, bool addToList) override {
        if (!addToList) {
            list.clear();
        }
        CInterfaceInfo info;
        info.SetDeviceClass(VelkorXwDeviceClass)
            .SetInterfaceID(kGigeInterfaceId)
            .SetFriendlyName("GigE Vision, cameras at the addresses of ORVEL_GIGE");
        list.push_back(info);
        return static_cast<int>(list.size());
    }

    IOrvelDevice* CreateDevice(const CDeviceInfo& info) override {
        return CreateDeviceFor(info, *this);
    }

    IOrvelDevice* CreateDeviceFor(const CDeviceInfo& info, DeviceCreator& creator) override {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(cameras_.begin(), cameras_.end(), [&](const auto& camera) {
            return camera->info.GetFullName() == info.GetFullName();
        });
        if (it == cameras_.end()) {
            ORVEL_THROW(RuntimeException,
                        "Cannot create device '" + info.GetFullName().str() + "': no such device.");
        }
        return Keep(std::make_unique<GigeDevice>(**it, creator));
    }

private:
    // A camera found again keeps its object, which open devices refer to.
    GigeCamera& Remember(const DiscoveredCamera& found) {
        const std::string fullName = "gige://" + found.address;
        auto it = std::find_if(cameras_.begin(), cameras_.end(), [&](const auto& camera) {
            return camera->info.GetFullName() == fullName.c_str();
        });
        if (it == cameras_.end()) {
            cameras_.push_back(std::make_unique<GigeCamera>());
            it = std::prev(cameras_.end());
        }
        GigeCamera& camera = **it;
        camera.found = found;
        // The class names a camera without a user-defined name after its serial number.
        const std::string name = !found.userDefinedName.empty() ? found.userDefinedName
                                                                : "VelkorXW-" + found.serialNumber;
        camera.info.SetFriendlyName(name.c_str())
            .SetFullName(fullName.c_str())
            .SetSerialNumber(found.serialNumber.c_str())
            .SetIpAddress(found.currentIp.c_str())
            .SetModelName(found.model.c_str())
            .SetVendorName(found.manufacturer.c_str())
            .SetDeviceClass(VelkorXwDeviceClass);
        return camera;
    }

    const std::vector<std::string> addresses_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<GigeCamera>> cameras_;
};

class GigeProvider final : public ITransportProvider {
public:
    const char* DeviceClass() const noexcept override { return VelkorXwDeviceClass; }

    void Start() override {
        const char* setting = std::getenv("ORVEL_GIGE");
        if (setting == nullptr || *setting == '\0') {
            return;  // off: the class is served by another provider, and no socket is opened
        }
        std::vector<std::string> addresses = ParseGigeAddresses(setting);
        if (addresses.empty()) {
            ORVEL_THROW(RuntimeException,
                        "ORVEL_GIGE names no address (give the cameras' addresses, separated by "
                        "commas).");
        }
        layer_ = std::make_unique<GigeTransportLayer>(std::move(addresses));
    }

    void Stop() noexcept override { layer_.reset(); }

    TransportLayerBase* TransportLayer() override { return layer_.get(); }

    InterfaceOutcome CheckInterface(const CInterfaceInfo& info) override {
        return info.GetInterfaceID().empty() || info.GetInterfaceID() == kGigeInterfaceId
                   ? InterfaceOutcome::Created
                   : InterfaceOutcome::InterfaceFails;
    }

private:
    std::unique_ptr<GigeTransportLayer> layer_;
};

}  // namespace

std::unique_ptr<ITransportProvider> MakeGigeProvider() {
    return std::make_unique<GigeProvider>();
}

}  // namespace Orvel::detail
