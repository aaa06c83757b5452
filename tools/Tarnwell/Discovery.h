// Camera discovery and selection: enumeration, the processing unit, the name filter, opening.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/program_options.hpp>

#include "Orvel/Orvel.h"

namespace Tarnwell {

// Longer name patterns are refused: they select no camera a shorter one could not, and the
// filter's size and matching time grow with the pattern.
inline constexpr std::size_t kMaxNamePatternLength = 1024;

// The camera name filter: alternatives of glob pieces, each matched against a whole text. "*"
// stands for any run of characters but line terminators ("\n", "\r"), "?" for one such
// character, every other character for itself. Matching runs all alternatives side by side, a
// bit per pattern position, so its time is the text's length times the pattern's and nothing
// recurses, however long the text.
class NameFilter {
public:
    NameFilter() = default;
    // `pieces`: the trimmed, non-empty alternatives; none stands for the empty text alone.
    explicit NameFilter(const std::vector<std::string>& pieces);
    bool Matches(std::string_view text) const;

private:
    using Bits = std::vector<std::uint64_t>;
    // next = states that `text` advances from `states` by one character.
    void Step(const Bits& states, unsigned char c, Bits& next) const;
    // Adds the states a star at a set position skips to.
    void SkipStars(Bits& states) const;

    Bits starts_;
    Bits accepts_;
    Bits stars_;
    std::array<Bits, 256> advances_;  // per character: the positions it matches
};

// What the selection keeps alive for the rest of the run. Members are destroyed in reverse
// order of declaration: camera, interface, matching list, filter, device list, which is the
// order the SDK needs (the interface must outlive the device it created for the camera).
struct CameraSelection {
    Orvel::DeviceInfoList devices;
    NameFilter filter;
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

// The name filter of a glob pattern: alternatives split at "|" and trimmed of white space, empty
// ones dropped. Raises the program's own error for a pattern longer than kMaxNamePatternLength.
NameFilter GlobToRegex(std::string pattern);

// A device matches when the filter matches its whole friendly name or its whole IP address.
bool MatchesFilter(const NameFilter& filter, const Orvel::CDeviceInfo& device);

// The piece of a transport layer's name that names the depth processing unit, or a fixed text
// saying that there is none.
std::string DetectProcessingUnit(std::string friendlyName);

}  // namespace Tarnwell
