// Camera configuration and the connection report: settings, component selection, listings.
#include "Configuration.h"

#include <cstdint>
#include <iostream>

#include "Console.h"
#include "Tarnwell.h"

namespace Tarnwell {

namespace {

// The illumination strength is a fixed setting of the benchmark, not an option.
constexpr double kIlluminationStrength = 0.5;

void PrintIntegerLine(const char* label, const Orvel::CIntegerParameter& feature) {
    std::cout << label;
    std::cout << feature.GetValue(false, false);
    std::cout << ' ';
    std::cout << Printable{feature.GetUnit().str()} << std::endl;
}

void PrintEnableState(Orvel::CVelkorUniversalInstantCamera& camera, const char* component,
                      const char* label) {
    camera.ComponentSelector.SetValue(component);
    std::cout << label << camera.ComponentEnable.GetValue(false, false) << std::endl;
}

}  // namespace

void ApplyCameraSettings(Orvel::CVelkorUniversalInstantCamera& camera,
                         const po::variables_map& options) {
    camera.VkrDepthQuality.SetValue(options["quality-mode"].as<std::string>(), true);
    camera.AcquisitionFrameRate.SetValue(static_cast<double>(options["framerate"].as<float>()),
                                         true);
    const std::int64_t binning = options["binning"].as<int>();
    camera.BinningHorizontal.SetValue(binning, true);
    camera.BinningVertical.SetValue(binning, true);
    GenApi::CFloatPtr illumination(camera.GetNodeMap().GetNode("VkrIlluminationStrength"));
    illumination->SetValue(kIlluminationStrength, true);
}

ComponentSelection SelectComponents(const po::variables_map& options) {
    ComponentSelection selection;
    selection.rawCombined = options.count("enable-raw-combined") != 0;
    const auto chosen = [&](const char* name) {
        return !selection.rawCombined && options.count(name) != 0;
    };
    selection.intensity = chosen("enable-intensity");
    selection.intensityCombined = chosen("enable-intensity-combined");
    selection.disparity = chosen("enable-disparity");
    selection.confidence = chosen("enable-confidence");
    selection.error = chosen("enable-error");
    if (!selection.rawCombined && !selection.intensity && !selection.intensityCombined &&
        !selection.disparity && !selection.confidence && !selection.error) {
        selection.intensity = true;
    }
    return selection;
}

const char* ComponentModeFor(const ComponentSelection& selection) {
    return selection.rawCombined ? "SingleComponent" : "SynchronizedAlternateComponents";
}

void ConfigureComponents(Orvel::CVelkorUniversalInstantCamera& camera, std::string mode,
                         const ComponentSelection& selection) {
    camera.VkrComponentMode.SetValue(mode, true);
    const auto enable = [&](const char* component, bool enabled) {
        camera.ComponentSelector.SetValue(component, true);
        camera.ComponentEnable.SetValue(enabled, true);
    };
    enable("IntensityCombined", selection.intensityCombined);
    enable("Intensity", selection.intensity);
    enable("Disparity", selection.disparity);
    enable("Confidence", selection.confidence);
    enable("Error", selection.error);
    if (camera.VkrComponentMode.GetValue() == "SingleComponent") {
        enable("RawCombined", selection.rawCombined);
    }
}

void PrintConnectionReport(Orvel::CVelkorUniversalInstantCamera& camera) {
    std::cout << "Connected to camera " << Printable{camera.GetDeviceInfo().GetFriendlyName().str()}
              << std::endl;
    std::cout << "Serial Number          = "
              << Printable{camera.GetDeviceInfo().GetSerialNumber().str()} << std::endl;

    camera.ComponentSelector.SetValue("Intensity");
    PrintIntegerLine("Image binning          = ", camera.BinningHorizontal);
    PrintIntegerLine("Intensity image width  = ", camera.Width);
    PrintIntegerLine("Intensity image height = ", camera.Height);

    camera.ComponentSelector.SetValue("Disparity");
    std::cout << "Depth quality          = " << Printable{camera.VkrDepthQuality.ToString().str()}
              << std::endl;
    PrintIntegerLine("Disparity image width  = ", camera.Width);
    PrintIntegerLine("Disparity image height = ", camera.Height);
    PrintIntegerLine("Payload size           = ", camera.PayloadSize);

    // Only a GigE Vision stream channel has these; other cameras simply end the block here.
    if (camera.GevSCPD.IsReadable()) {
        PrintIntegerLine("GEV packet delay       = ", camera.GevSCPD);
    }
    if (camera.GevSCPSPacketSize.IsReadable()) {
        PrintIntegerLine("GEV packet size        = ", camera.GevSCPSPacketSize);
    }
}

void PrintComponentStates(Orvel::CVelkorUniversalInstantCamera& camera) {
    PrintEnableState(camera, "IntensityCombined", "IntensityCombined Component = ");
    PrintEnableState(camera, "Intensity", "Intensity Component         = ");
    PrintEnableState(camera, "Disparity", "Disparity Component         = ");
    PrintEnableState(camera, "Confidence", "Confidence Component        = ");
    PrintEnableState(camera, "Error", "Error Component             = ");
    // Not every mode or camera offers the raw images; the line then shows them as disabled.
    std::cout << "RawCombined Component       = ";
    if (camera.ComponentSelector.TrySetValue("RawCombined")) {
        std::cout << camera.ComponentEnable.GetValue(false, false);
    } else {
        std::cout << '0';
    }
    std::cout << std::endl;
    std::cout << std::endl;
}

}  // namespace Tarnwell
