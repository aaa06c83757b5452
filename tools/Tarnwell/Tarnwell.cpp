// The tarnwell run sequence: command-line options, the guarded run block and the stop request.
#include "Tarnwell.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Configuration.h"
#include "Console.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"

namespace Tarnwell {

std::atomic<bool> stopRequested{false};
std::atomic<bool> stopSignalled{false};

namespace {

constexpr const char* kLatencyMode = "latency";

// The frame limit as the library reads it, except that a negative number is an invalid value:
// the library's conversion would wrap "-1" to the largest count, which means "no limit".
class FrameCountValue : public po::typed_value<std::uint64_t> {
public:
    FrameCountValue() : po::typed_value<std::uint64_t>(nullptr) {}

    void xparse(boost::any& valueStore, const std::vector<std::string>& tokens) const override {
        po::validators::check_first_occurrence(valueStore);
        const std::string& token = po::validators::get_single_string(tokens);
        if (!token.empty() && token.front() == '-' &&
            token.find_first_not_of('0', 1) != std::string::npos) {
            throw po::invalid_option_value(token);
        }
        po::typed_value<std::uint64_t>::xparse(valueStore, tokens);
    }
};

// Reaches the substitutions of a parse error: the library offers no reader, and a member
// pointer taken through a derived class may be applied to the base.
struct SubstitutionsOf : po::error_with_option_name {
    static std::map<std::string, std::string>& Get(po::error_with_option_name& error) {
        return error.*(&SubstitutionsOf::m_substitutions);
    }
};

// A byte that stands for the percent sign while the library builds a message: a control or
// non-ASCII byte, which the library's own words never hold, that no value and not the template
// holds either, so that the swap back is exact. '%' itself when every such byte is taken.
char PercentStandIn(const po::error_with_option_name& error,
                    const std::map<std::string, std::string>& values) {
    std::array<bool, 256> used{};
    auto mark = [&used](const std::string& text) {
        for (const char c : text) {
            used[static_cast<unsigned char>(c)] = true;
        }
    };
    mark(error.m_error_template);
    for (const auto& entry : values) {
        mark(entry.second);
    }
    for (int byte = 1; byte < 256; ++byte) {
        const bool printable = byte >= ' ' && byte < 127;
        if (!printable && !used[static_cast<std::size_t>(byte)]) {
            return static_cast<char>(byte);
        }
    }
    return '%';
}

// Without SA_RESTART: a signal that comes while standard output blocks interrupts the write, so
// that the stop request is seen there too.
void InstallStopHandler(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = StopHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signalNumber, &action, nullptr);
}

// The run between the SDK's start-up and its shut-down. Resources are locals declared in
// creation order, so that they are released in reverse also when an error leaves.
int RunCameraBlock(const po::variables_map& options) {
    // 1. SDK start-up.
    Orvel::OrvelInitialize();

    // 2. Discovery, name filter, listing or opening.
    CameraSelection selection;
    if (SelectCamera(options, selection) == SelectionOutcome::Listed) {
        std::cout.flush();
        return 0;
    }
    Orvel::CVelkorUniversalInstantCamera& camera = *selection.camera;

    // 3. Settings, report, components.
    ApplyCameraSettings(camera, options);
    PrintConnectionReport(camera);
    const ComponentSelection components = SelectComponents(options);
    ConfigureComponents(camera, ComponentModeFor(components), components);

    // 4. From here on an interrupt ends the measurement instead of the process.
    Orvel::CGrabResultPtr grabResult;
    InstallStopHandler(SIGINT);
    InstallStopHandler(SIGTERM);

    // 5. Measurement; any mode but exactly "latency" measures the frame rate.
    if (options["measurement-mode"].as<std::string>() == kLatencyMode) {
        MeasureLatency(camera, components, options);
    } else {
        MeasureFrameRate(camera, grabResult, options);
    }

    // 6. Counters, then the camera closes before its result and the camera itself go.
    camera.StopGrabbing();
    PrintStreamStatistics(camera);
    camera.Close();
    grabResult.Release();
    return 0;
}

int RunChecked(int argc, char* argv[]) {
    // 1. Options.
    po::options_description description("Options");
    DeclareOptions(description);
    po::variables_map options;
    try {
        ParseOptions(argc, argv, description, options);
    } catch (std::exception& error) {
        std::cerr << ParseErrorText(error) << std::endl;
        std::cout << description << std::endl;
        return 1;
    }

    // 2. Help, before the SDK starts.
    if (options.count("help") != 0) {
        std::cout << description << std::endl;
        return 1;
    }

    // 3. The run, with every error that leaves it reported as one line. Texts from the SDK may
    // hold terminal control bytes; they are shown escaped.
    int exitCode = 0;
    try {
        exitCode = RunCameraBlock(options);
    } catch (const GenICam::GenericException& error) {
        std::cerr << ErrorText(error) << std::endl;
        exitCode = 1;
    } catch (const std::exception& error) {
        std::cerr << Printable{error.what()} << std::endl;
        exitCode = 1;
    }

    // 4. Shut-down, also after a failed start-up, which leaves nothing to shut down.
    Orvel::OrvelTerminate(true);
    return exitCode;
}

}  // namespace

void DeclareOptions(po::options_description& description) {
    // clang-format off
    description.add_options()
        ("help,h", "print help")
        ("name,n", po::value<std::string>()->default_value("*"),
            "Camera name filter (glob pattern). First matching device will be used.")
        ("quality-mode", po::value<std::string>()->default_value("High"),
            "Set depth quality mode (Low, Medium, High, Full).")
        ("framerate", po::value<float>()->default_value(2.0F), "Set acquisition framerate [Hz].")
        ("binning", po::value<int>()->default_value(1), "Set binning mode (1, 2, 4)")
        ("frames", (new FrameCountValue)->default_value(std::numeric_limits<std::uint64_t>::max()),
            "Maximum number of frames to grab.")
        ("duration,d",
            po::value<std::int64_t>()->default_value(std::numeric_limits<std::int64_t>::max()),
            "Maximum duration to grab [seconds].")
        ("enable-disparity", "Enable disparty component")
        ("enable-intensity", "Enable intensity component")
        ("enable-intensity-combined", "Enable intensity combined component")
        ("enable-confidence", "Enable confidence component")
        ("enable-error", "Enable error component")
        ("enable-raw-combined",
            "Enable raw combined component. This will disables all other component")
        ("measurement-mode", po::value<std::string>()->default_value("framerate"),
            "Set measurement mode (framerate, latency)")
        ("list,l", "list cameras matching the name filter and exit.");
    // clang-format on
}

void ParseOptions(int argc, const char* const argv[], const po::options_description& description,
                  po::variables_map& options) {
    // No positional options: a word that is not an option ("list" for "--list") is an error of
    // the library's own instead of being dropped.
    po::store(po::command_line_parser(argc, argv)
                  .options(description)
                  .positional(po::positional_options_description())
                  .run(),
              options);
    po::notify(options);
}

std::string ParseErrorText(std::exception& error) {
    auto* named = dynamic_cast<po::error_with_option_name*>(&error);
    if (named == nullptr) {
        return error.what();
    }
    // The library replaces "%value%" until none is left, also inside the value it put in: a value
    // that holds its own placeholder would grow without end.
    const std::map<std::string, std::string> values = SubstitutionsOf::Get(*named);
    const char standIn = PercentStandIn(*named, values);
    for (const auto& [name, value] : values) {
        std::string swapped = value;
        std::replace(swapped.begin(), swapped.end(), '%', standIn == '%' ? '?' : standIn);
        named->set_substitute(name, swapped);
    }
    std::string text = named->what();
    if (standIn != '%') {
        std::replace(text.begin(), text.end(), standIn, '%');
    }
    return text;
}

std::string ErrorText(const GenICam::GenericException& error) {
    if (std::string_view(error.GetSourceFileName()) == kOwnErrorSource) {
        return error.GetDescription();
    }
    return EscapeControlBytes(error.GetDescription());
}

void StopHandler(int signalNumber) {
    if (signalNumber == SIGINT || signalNumber == SIGTERM) {
        stopSignalled.exchange(true);
        stopRequested.exchange(true);
    }
}

void RaiseError(unsigned int sourceLine, const char* format, ...) {
    char message[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    throw GenICam::RuntimeException(message, kOwnErrorSource, sourceLine, "RuntimeException");
}

int Run(int argc, char* argv[]) {
    // A write to standard output that fails raises OutputError from then on.
    const CheckedStandardOutput checkedOutput(stopSignalled);
    try {
        return RunChecked(argc, argv);
    } catch (const OutputError& error) {
        // Only the help and parse-error paths get here: the run block reports its own.
        std::cerr << error.what() << std::endl;
        return 1;
    }
}

}  // namespace Tarnwell
