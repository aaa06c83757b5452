// Camera discovery and selection: enumeration, the processing unit, the name filter, opening.
#include "Discovery.h"

#include <cctype>
#include <iostream>
#include <string_view>

#include "Tarnwell.h"

namespace Tarnwell {

namespace {

const GenICam::gcstring kDeviceClass = "VelkorGTC/Velkor/velkor_xw";

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

void AppendTranslated(std::string& expression, std::string_view piece) {
    char previous = '\0';
    for (const char c : piece) {
        // A run of stars matches what one star matches, and each extra ".*" would multiply the
        // matcher's work.
        if (c == '*' && previous == '*') {
            continue;
        }
        previous = c;
        switch (c) {
            case '*':
                expression += ".*";
                break;
            case '?':
                expression += '.';
                break;
            case '.':
            case '$':
            case '^':
            case '(':
            case ')':
            case '+':
            case '[':
            case '{':
            case '\\':
                expression += '\\';
                expression += c;
                break;
            default:
                expression += c;
                break;
        }
    }
}

}  // namespace

std::string GlobToExpression(const std::string& pattern) {
    const std::string_view text = pattern;
    std::string expression;
    bool first = true;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t bar = text.find('|', begin);
        const std::string_view piece =
            TrimWhiteSpace(text.substr(begin, bar == std::string_view::npos ? bar : bar - begin));
        if (!piece.empty()) {
            expression += first ? "^" : "|^";
            first = false;
            AppendTranslated(expression, piece);
        }
        if (bar == std::string_view::npos) {
            break;
        }
        begin = bar + 1;
    }
    expression += '$';
    return expression;
}

std::regex GlobToRegex(std::string pattern) {
    if (pattern.size() > kMaxNamePatternLength) {
        RaiseError(__LINE__, "Camera name filter is too long: %zu characters, at most 1024.",
                   pattern.size());
    }
    // The polynomial (non-backtracking) executor finds the same full matches without
    // exponential time on many stars or recursion as deep as the name is long.
    return std::regex(GlobToExpression(pattern),
                      std::regex::ECMAScript | std::regex_constants::__polynomial);
}

bool MatchesFilter(const std::regex& filter, const Orvel::CDeviceInfo& device) {
    return std::regex_match(device.GetFriendlyName().str(), filter) ||
           std::regex_match(device.GetIpAddress().str(), filter);
}

std::string DetectProcessingUnit(std::string friendlyName) {
    const std::regex unit("(CPU|GPU).*");
    std::smatch match;
    if (std::regex_search(friendlyName, match, unit)) {
        return match.str(0);
    }
    return "Failed to detect whether depth processing is performed on the GPU or CPU.";
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
              << DetectProcessingUnit(transportLayer->GetTlInfo().GetFriendlyName().str())
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
            std::cout << device.GetFriendlyName() << "\n";
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
