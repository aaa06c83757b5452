// The stereo camera's generated parameters.
#include "Orvel/VelkorUniversal.h"

namespace Orvel {

void CVelkorUniversalCameraParams::AttachAll(GenApi::INodeMap* map) {
    for (CParameter* parameter : std::initializer_list<CParameter*>{
             &VkrDepthQuality, &AcquisitionFrameRate, &BinningHorizontal, &BinningVertical,
             &VkrIlluminationStrength, &VkrComponentMode, &ComponentSelector, &ComponentEnable,
             &Width, &Height, &PayloadSize, &GevSCPD, &GevSCPSPacketSize, &TriggerMode,
             &TriggerSoftware}) {
        parameter->Attach(map);
    }
}

// Closes while this class's parameters still exist, so they are detached, not left dangling.
CVelkorUniversalInstantCamera::~CVelkorUniversalInstantCamera() {
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; the base class destroys the device either way.
    }
}

}  // namespace Orvel
