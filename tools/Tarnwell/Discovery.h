// Camera discovery and selection: enumeration, the processing unit, the name filter, opening.
#pragma once

#include <cstddef>
#include <optional>
#include <regex>
#include <string>

#include <boost/program_options.hpp>

#include "Orvel/Orvel.h"

namespace Tarnwell {

// Longer name patterns are refused: the regular-expression compiler recurses once per term.
inline constexpr std::size_t kMaxNamePatternLength = 1024;

// What the selection keeps alive for the rest of the run. Members are destroyed in reverse
// order of declaration: camera, interface, matching list, filter, device list, which is the
// order the SDK needs (the interface must outlive the device it created for the camera).
struct CameraSelection {
    Orvel::DeviceInfoList devices;
    std::regex filter;
    Orvel::DeviceInfoList matching;
    std::optional<Orvel::CInstantInterface> cameraInterface;
    std::optional<Orvel::CVelkorUniversalInstantCamera> camera;
};

enum class SelectionOutcome {
    Listed,  // the matching cameras were printed; nothing was opened
    Opened,  // `camera` holds the first matching camera, open
};

// Enumerates the stereo cameras, prints the processing-unit line, filters by the `name` option,
// then lists the matches (`list`) or opens the first one. Fills `selection` as it goes, so that
// whatever exists is released in order also when an exception leaves.
SelectionOutcome SelectCamera(const boost::program_options::variables_map& options,
                              CameraSelection& selection);

// The regular-expression text for a glob pattern: alternatives split at "|" and trimmed, "*" and
// "?" as wildcards, every other special character literal.
std::string GlobToExpression(const std::string& pattern);

// The compiled name filter. Raises the program's own error for a pattern longer than
// kMaxNamePatternLength characters.
std::regex GlobToRegex(std::string pattern);

// A device matches when the filter matches its whole friendly name or its whole IP address.
bool MatchesFilter(const std::regex& filter, const Orvel::CDeviceInfo& device);

// The piece of a transport layer's name that names the depth processing unit, or a fixed text
// saying that there is none.
std::string DetectProcessingUnit(std::string friendlyName);

}  // namespace Tarnwell
