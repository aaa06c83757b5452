// Camera configuration and the connection report: settings, component selection, listings.
#pragma once

#include <string>

#include <boost/program_options.hpp>

#include "Orvel/Orvel.h"

namespace Tarnwell {

// Which image components the camera is to send; members in the order they are written.
struct ComponentSelection {
    bool intensity = false;
    bool intensityCombined = false;
    bool disparity = false;
    bool confidence = false;
    bool error = false;
    bool rawCombined = false;

    friend bool operator==(const ComponentSelection&, const ComponentSelection&) = default;
};

// Writes depth quality, frame rate, binning and illumination strength, verified.
void ApplyCameraSettings(Orvel::CVelkorUniversalInstantCamera& camera,
                         const boost::program_options::variables_map& options);

// The selection the six component switches ask for: raw combined excludes the others, and
// intensity is sent when nothing else is.
ComponentSelection SelectComponents(const boost::program_options::variables_map& options);

// The component mode that can send `selection`: the raw pair only travels alone, in
// "SingleComponent"; every other selection in "SynchronizedAlternateComponents".
const char* ComponentModeFor(const ComponentSelection& selection);

// Sets the component mode, then selects and enables the components one by one, "IntensityCombined"
// first. The raw combined component is written only when the mode reads back as
// "SingleComponent", the only mode in which the camera can send it.
void ConfigureComponents(Orvel::CVelkorUniversalInstantCamera& camera, std::string mode,
                         const ComponentSelection& selection);

// The block that opens with "Connected to camera ": identity, geometry, depth quality, payload
// and the GigE Vision stream channel where readable. Leaves ComponentSelector on "Disparity".
void PrintConnectionReport(Orvel::CVelkorUniversalInstantCamera& camera);

// The enable state of every component as the camera holds it, then an empty line.
void PrintComponentStates(Orvel::CVelkorUniversalInstantCamera& camera);

}  // namespace Tarnwell
