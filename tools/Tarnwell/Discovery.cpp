// Camera discovery and selection: enumeration, the processing unit, the name filter, opening.
#include "Discovery.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string_view>

#include "Console.h"
#include "Tarnwell.h"

namespace Tarnwell {

namespace {

const GenICam::gcstring kDeviceClass = Orvel::VelkorXwDeviceClass;

std::string_view TrimWhiteSpace(std::string_view text) {
    // isspace takes an unsigned char value: a plain char above 127 would be negative.
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsLineTerminator(unsigned char c) {
    return c == '\n' || c == '\r';
}

// Pieces split at "|", trimmed, empty ones dropped, runs of stars folded into one star.
std::vector<std::string> GlobPieces(std::string_view pattern) {
    std::vector<std::string> pieces;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t bar = pattern.find('|', begin);
        const std::string_view piece = TrimWhiteSpace(
            pattern.substr(begin, bar == std::string_view::npos ? bar : bar - begin));
        if (!piece.empty()) {
            std::string folded;
            for (const char c : piece) {
                if (c != '*' || folded.empty() || folded.back() != '*') {
                    folded += c;
                }
            }
            pieces.push_back(std::move(folded));
        }
        if (bar == std::string_view::npos) {
            return pieces;
        }
        begin = bar + 1;
    }
}

}  // namespace

// Position i of a piece is the state "the text so far matches the piece's first i characters";
// each piece ends in an accepting state, which nothing advances from, so pieces never run into
// each other.
NameFilter::NameFilter(const std::vector<std::string>& pieces) {
    // No alternative at all is the expression that matches the empty text alone.
    const std::vector<std::string> alternatives =
        pieces.empty() ? std::vector<std::string>{""} : pieces;
    std::size_t states = 0;
    for (const std::string& piece : alternatives) {
        states += piece.size() + 1;
    }
    const std::size_t words = (states + 63) / 64;
    starts_.assign(words, 0);
    accepts_.assign(words, 0);
    stars_.assign(words, 0);
    for (Bits& bits : advances_) {
        bits.assign(words, 0);
    }
    const auto set = [](Bits& bits, std::size_t at) {
        bits[at / 64] |= std::uint64_t{1} << (at % 64);
    };
    std::size_t at = 0;
    for (const std::string& piece : alternatives) {
        set(starts_, at);
        for (const char c : piece) {
            if (c == '*') {
                set(stars_, at);
            } else if (c == '?') {
                for (unsigned byte = 0; byte < 256; ++byte) {
                    if (!IsLineTerminator(static_cast<unsigned char>(byte))) {
                        set(advances_[byte], at);
                    }
                }
            } else {
                set(advances_[static_cast<unsigned char>(c)], at);
            }
            ++at;
        }
        set(accepts_, at);
        ++at;
    }
}

void NameFilter::SkipStars(Bits& states) const {
    // Star runs are folded, so a state skipped to is never a star: one shift does it.
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < states.size(); ++w) {
        const std::uint64_t skipping = states[w] & stars_[w];
        states[w] |= (skipping << 1) | carry;
        carry = skipping >> 63;
    }
}

void NameFilter::Step(const Bits& states, unsigned char c, Bits& next) const {
    const Bits& advance = advances_[c];
    const bool starsStay = !IsLineTerminator(c);
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < states.size(); ++w) {
        const std::uint64_t advancing = states[w] & advance[w];
        next[w] = (advancing << 1) | carry | (starsStay ? states[w] & stars_[w] : 0);
        carry = advancing >> 63;
    }
    SkipStars(next);
}

bool NameFilter::Matches(std::string_view text) const {
    if (starts_.empty()) {
        return false;
    }
    Bits states = starts_;
    SkipStars(states);
    Bits next(states.size());
    for (const char c : text) {
        Step(states, static_cast<unsigned char>(c), next);
        states.swap(next);
        if (std::all_of(states.begin(), states.end(), [](std::uint64_t w) { return w == 0; })) {
            return false;
        }
    }
    for (std::size_t w = 0; w < states.size(); ++w) {
        if ((states[w] & accepts_[w]) != 0) {
            return true;
        }
    }
    return false;
}

NameFilter GlobToRegex(std::string pattern) {
    if (pattern.size() > kMaxNamePatternLength) {
        RaiseError(__LINE__, "Camera name filter is too long: %zu characters, at most 1024.",
                   pattern.size());
    }
    return NameFilter(GlobPieces(pattern));
}

bool MatchesFilter(const NameFilter& filter, const Orvel::CDeviceInfo& device) {
    return filter.Matches(device.GetFriendlyName().str()) ||
           filter.Matches(device.GetIpAddress().str());
}

std::string DetectProcessingUnit(std::string friendlyName) {
    // The leftmost "CPU" or "GPU" up to the end of its line, found without a regular-expression
    // matcher, whose recursion grows with the name's length.
    const std::size_t at = std::min(friendlyName.find("CPU"), friendlyName.find("GPU"));
    if (at == std::string::npos) {
        return "Failed to detect whether depth processing is performed on the GPU or CPU.";
    }
    const std::size_t end = friendlyName.find_first_of("\n\r", at);
    return friendlyName.substr(at, end == std::string::npos ? end : end - at);
}

SelectionOutcome SelectCamera(const po::variables_map& options, CameraSelection& selection) {
    // 1. The transport layer of the stereo cameras; the SDK's shut-down releases it.
    Orvel::ITransportLayer* transportLayer =
        Orvel::CTlFactory::GetInstance().CreateTl(kDeviceClass);
    if (transportLayer == nullptr) {
        RaiseError(__LINE__, "Failed to create orvel XRV Device Class");
    }

    // 2. Enumeration.
    transportLayer->EnumerateDevices(selection.devices, false);
    if (selection.devices.empty()) {
        RaiseError(__LINE__, "No camera present.");
    }

    // 3. Processing unit.
    std::cout << "Processing Unit: "
              << Printable{DetectProcessingUnit(
                     transportLayer->GetTlInfo().GetFriendlyName().str())}
              << std::endl;

    // 4. Name filter, over every device in enumeration order.
    selection.filter = GlobToRegex(options["name"].as<std::string>());
    for (const Orvel::CDeviceInfo& device : selection.devices) {
        if (MatchesFilter(selection.filter, device)) {
            selection.matching.push_back(device);
        }
    }
    if (selection.matching.empty()) {
        RaiseError(__LINE__, "No camera whose name matches '%s' found.",
                   options["name"].as<std::string>().c_str());
    }

    // 5. Listing.
    if (options.count("list") != 0) {
        for (const Orvel::CDeviceInfo& device : selection.matching) {
            std::cout << Printable{device.GetFriendlyName().str()} << "\n";
        }
        return SelectionOutcome::Listed;
    }

    // 6. The first match, created through an interface that outlives it, with no SDK
    // configuration of its own: the camera keeps its settings but those the run writes.
    selection.cameraInterface.emplace(Orvel::CInterfaceInfo().SetDeviceClass(kDeviceClass));
    Orvel::IOrvelDevice* device =
        selection.cameraInterface->CreateDevice(selection.matching.front());
    Orvel::CVelkorUniversalInstantCamera& camera =
        selection.camera.emplace(device, Orvel::Cleanup_Delete);
    camera.RegisterConfiguration(new Orvel::CConfigurationEventHandler,
                                 Orvel::RegistrationMode_ReplaceAll, Orvel::Cleanup_Delete);
    camera.Open();
    return SelectionOutcome::Opened;
}

}  // namespace Tarnwell
