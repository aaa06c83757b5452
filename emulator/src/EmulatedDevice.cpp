// The node map of an emulated Velkor XW camera, and opening and closing it.
#include "EmulatedDevice.h"

#include <utility>

#include "Features.h"
#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

EmulatedDevice::EmulatedDevice(EmulatedCamera& camera, DeviceCreator& creator)
    : DeviceBase(creator),
      camera_(camera),
      acquisition_(camera.config, camera.settings, SceneSeed(camera.seed, camera.index),
                   camera.info.GetFriendlyName().str()),
      nodes_(*this, camera.info.GetFriendlyName().str()) {
    AddNodes();
}

EmulatedDevice::~EmulatedDevice() {
    Close();
}

void EmulatedDevice::Open() {
    if (open_) {
        return;
    }
    const std::string name = camera_.info.GetFriendlyName().str();
    if (camera_.openBy != nullptr) {
        ORVEL_THROW(RuntimeException,
                    "Cannot open device '" + name + "': another device object holds it open.");
    }
    // The camera grants control to one application at a time (GigE Vision CCP).
    if (camera_.config.openedElsewhere) {
        ORVEL_THROW(AccessException,
                    "Cannot open device '" + name +
                        "': access denied; another application has it open for control.");
    }
    if (acquisition_.IsLost()) {
        acquisition_.RaiseLost();
    }
    OpenOnTheCamera();
}

void EmulatedDevice::OpenOnTheCamera() {
    camera_.openBy = this;
    open_ = true;
    std::seed_seq seed{static_cast<std::uint32_t>(camera_.seed),
                       static_cast<std::uint32_t>(camera_.seed >> 32),
                       static_cast<std::uint32_t>(camera_.index)};
    acquisition_.Reset(seed);
}

void EmulatedDevice::Close() {
    if (!open_) {
        return;
    }
    acquisition_.Close();
    camera_.openBy = nullptr;
    open_ = false;
}

GenApi::INodeMap& EmulatedDevice::GetNodeMap() {
    if (!open_) {
        ORVEL_THROW(AccessException, "Cannot use the node map of '" +
                                         camera_.info.GetFriendlyName().str() +
                                         "': the device is not open.");
    }
    return nodes_;
}

IStreamGrabber* EmulatedDevice::GetStreamGrabber(std::size_t index) {
    return index == 0 ? &acquisition_ : nullptr;
}

void EmulatedDevice::AddNodes() {
    const CameraConfig& config = camera_.config;
    FeatureState state{config, camera_.settings, acquisition_};
    for (const Feature& feature : Features()) {
        if (config.missingNodes.count(feature.name) != 0) {
            continue;
        }
        NodeTraits traits;
        traits.name = feature.name;
        traits.description = feature.description;
        traits.access = feature.access;
        traits.lockedWhileGrabbing = feature.lockedWhileGrabbing;
        traits.unreadable = config.unreadableNodes.count(feature.name) != 0;
        feature.add(nodes_, std::move(traits), state);
    }
}

}  // namespace Orvel::detail
