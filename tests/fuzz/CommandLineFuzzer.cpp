// Fuzz target: the command line through the program's own option declaration, parsing, value
// reads and name filter, without starting the SDK.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "Configuration.h"
#include "Discovery.h"
#include "Orvel/Orvel.h"
#include "Tarnwell.h"

namespace {

// Arguments are the input's pieces between NUL bytes, as the kernel hands them to main.
std::vector<std::string> SplitArguments(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"tarnwell"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) {
        arguments.push_back(current);
    }
    return arguments;
}

// Discards what the program would print: the help text after a parse error.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

Orvel::CDeviceInfo Device(const char* name, const char* address) {
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(name).SetIpAddress(address);
    return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace po = boost::program_options;
    const std::vector<std::string> arguments = SplitArguments(data, size);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    po::options_description description("Options");
    Tarnwell::DeclareOptions(description);
    po::variables_map options;
    try {
        Tarnwell::ParseOptions(static_cast<int>(arguments.size()), argv.data(), description,
                               options);
    } catch (std::exception& error) {
        NullBuffer discard;
        std::ostream out(&discard);
        out << Tarnwell::ParseErrorText(error) << description << std::endl;
        return 0;
    }
    if (options.count("help") != 0) {
        return 0;
    }

    // Every read the run makes, in its order; none may fail after a successful parse.
    const std::string name = options["name"].as<std::string>();
    (void)options["quality-mode"].as<std::string>();
    (void)options["framerate"].as<float>();
    (void)options["binning"].as<int>();
    (void)options["frames"].as<std::uint64_t>();
    (void)options["duration"].as<std::int64_t>();
    (void)options["measurement-mode"].as<std::string>();
    (void)Tarnwell::SelectComponents(options);
    try {
        const Tarnwell::NameFilter filter = Tarnwell::GlobToRegex(name);
        bool matched = false;
        for (const auto& device : {Device("VelkorXW-40051001", "169.254.1.10"),
                                   Device("VelkorXW-40051002", "169.254.1.11")}) {
            matched = Tarnwell::MatchesFilter(filter, device) || matched;
        }
        if (!matched) {
            Tarnwell::RaiseError(__LINE__, "No camera whose name matches '%s' found.",
                                 name.c_str());
        }
    } catch (const GenICam::GenericException&) {
        // The program's own error for a pattern too long or matching nothing.
    }
    return 0;
}
