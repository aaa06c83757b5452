// The emulated Velkor XW provider: reads the scenario at start-up and serves its cameras.
#include "EmulatedTransport.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "EmulatedDevice.h"
#include "Orvel/Transport/Errors.h"
#include "Scenario.h"

namespace Orvel::detail {

namespace {

class EmulatedTransportLayer final : public TransportLayerBase {
public:
    EmulatedTransportLayer(const Scenario& scenario,
                           std::vector<std::unique_ptr<EmulatedCamera>>& cameras)
        : scenario_(scenario), cameras_(cameras) {}

    CTlInfo GetTlInfo() const override {
        CTlInfo info;
        info.SetFriendlyName(scenario_.transportLayerName)
            .SetFullName(kEmulatedTlFullName)
            .SetDeviceClass(kEmulatedDeviceClass)
            .SetVendorName("Orvel")
            .SetVersion("1.0");
        return info;
    }

    int EnumerateDevices(DeviceInfoList& list, bool addToList) override {
        if (!addToList) {
            list.clear();
        }
        for (const auto& camera : cameras_) {
            list.push_back(camera->info);
        }
        return static_cast<int>(list.size());
    }

    int EnumerateInterfaces(InterfaceInfoList& list, bool addToList) override {
        if (!addToList) {
            list.clear();
        }
        CInterfaceInfo info;
        info.SetDeviceClass(kEmulatedDeviceClass)
            .SetInterfaceID(kEmulatedInterfaceId)
            .SetFriendlyName("Emulated Velkor XW link");
        list.push_back(info);
        return static_cast<int>(list.size());
    }

    IOrvelDevice* CreateDevice(const CDeviceInfo& info) override {
        return CreateDeviceFor(info, *this);
    }

    IOrvelDevice* CreateDeviceFor(const CDeviceInfo& info, DeviceCreator& creator) override {
        auto it = std::find_if(cameras_.begin(), cameras_.end(), [&](const auto& camera) {
            return camera->info.GetFullName() == info.GetFullName();
        });
        if (it == cameras_.end()) {
            ORVEL_THROW(RuntimeException,
                        "Cannot create device '" + info.GetFullName().str() + "': no such device.");
        }
        // Discovery is a broadcast and finds it; the control channel needs a route.
        if ((*it)->config.unreachable) {
            ORVEL_THROW(RuntimeException,
                        "Cannot create device '" + info.GetFullName().str() + "': the camera at " +
                            (*it)->config.ipAddress +
                            " is not reachable from this host (it is on another subnet).");
        }
        return Keep(std::make_unique<EmulatedDevice>(**it, creator));
    }

private:
    const Scenario& scenario_;
    std::vector<std::unique_ptr<EmulatedCamera>>& cameras_;
    // Cameras on different threads create and destroy their devices through the one shared
    // transport layer.
};

class EmulatedProvider final : public ITransportProvider {
public:
    const char* DeviceClass() const noexcept override { return kEmulatedDeviceClass; }

    void Start() override {
        const char* setting = std::getenv("ORVEL_EMULATION");
        scenario_ = LoadScenario(setting);
        origin_ = setting != nullptr ? setting : "";
        for (std::size_t i = 0; i < scenario_.cameras.size(); ++i) {
            auto camera = std::make_unique<EmulatedCamera>();
            camera->config = scenario_.cameras[i];
            camera->index = i;
            camera->seed = scenario_.seed;
            const CameraConfig& config = camera->config;
            camera->info.SetFriendlyName(config.friendlyName)
                .SetFullName("emulated://" + config.serialNumber)
                .SetSerialNumber(config.serialNumber)
                .SetIpAddress(config.ipAddress)
                .SetModelName("Velkor XW")
                .SetVendorName("Velkor")
                .SetDeviceClass(kEmulatedDeviceClass);
            Settings& settings = camera->settings;
            settings.frameRate = std::min(settings.frameRate, config.maxFrameRate);
            if (!config.componentPresent[settings.selector]) {
                settings.selector =
                    static_cast<std::size_t>(std::find(config.componentPresent.begin(),
                                                       config.componentPresent.end(), true) -
                                             config.componentPresent.begin());
            }
            cameras_.push_back(std::move(camera));
            ApplyPowerOnValues(*cameras_.back(), scenario_.cameras[i], i);
        }
        if (scenario_.deviceClassAvailable) {
            layer_ = std::make_unique<EmulatedTransportLayer>(scenario_, cameras_);
        }
    }

    void Stop() noexcept override {
        layer_.reset();
        cameras_.clear();
    }

    TransportLayerBase* TransportLayer() override { return layer_.get(); }

    InterfaceOutcome CheckInterface(const CInterfaceInfo& info) override {
        switch (scenario_.interfaceFailure) {
            case InterfaceFailure::TransportLayer:
                return InterfaceOutcome::TransportLayerFails;
            case InterfaceFailure::Interface:
                return InterfaceOutcome::InterfaceFails;
            case InterfaceFailure::None:
                break;
        }
        return info.GetInterfaceID().empty() || info.GetInterfaceID() == kEmulatedInterfaceId
                   ? InterfaceOutcome::Created
                   : InterfaceOutcome::InterfaceFails;
    }

private:
    // Writes what the camera holds at power-on through its own node map, so that every value
    // meets the checks a write would; a value it refuses is the scenario's fault.
    void ApplyPowerOnValues(EmulatedCamera& camera, const CameraConfig& config, std::size_t index) {
        if (config.powerOn.empty()) {
            return;
        }
        struct Creator final : DeviceCreator {
            void DestroyDevice(IOrvelDevice*) override {}
        } creator;
        EmulatedDevice device(camera, creator);
        device.OpenOnTheCamera();
        GenApi::INodeMap& nodes = device.GetNodeMap();
        for (const PowerOnValue& value : config.powerOn) {
            const std::string path = "cameras[" + std::to_string(index) + "].powerOn." +
                                     value.feature +
                                     (value.component.empty() ? "" : "." + value.component);
            try {
                if (!value.component.empty()) {
                    Write(nodes, "ComponentSelector", value.component);
                }
                Write(nodes, value.feature, value.text);
            } catch (const GenICam::GenericException& error) {
                ORVEL_THROW(RuntimeException, "Emulation scenario '" + origin_ + "': " + path +
                                                  ": " + error.GetDescription());
            }
        }
        device.Close();
    }

    static void Write(GenApi::INodeMap& nodes, const std::string& feature,
                      const std::string& text) {
        auto* node = dynamic_cast<GenApi::IValue*>(nodes.GetNode(feature.c_str()));
        if (node == nullptr) {
            ORVEL_THROW(AccessException, "[" + feature + "] the camera has no such feature");
        }
        node->FromString(text.c_str(), true);
    }

    Scenario scenario_;
    std::string origin_;
    std::vector<std::unique_ptr<EmulatedCamera>> cameras_;
    std::unique_ptr<EmulatedTransportLayer> layer_;
};

}  // namespace

std::unique_ptr<ITransportProvider> MakeEmulatedProvider() {
    return std::make_unique<EmulatedProvider>();
}

}  // namespace Orvel::detail
