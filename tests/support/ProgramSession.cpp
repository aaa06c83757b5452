// The program's road up to a measurement, on an SDK session.
#include "ProgramSession.h"

#include "StandardOutput.h"
#include "Tarnwell.h"

namespace Tarnwell::test {

namespace po = boost::program_options;

po::variables_map ParseArguments(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "tarnwell");
    po::options_description description("Options");
    DeclareOptions(description);
    po::variables_map options;
    ParseOptions(static_cast<int>(arguments.size()), arguments.data(), description, options);
    return options;
}

ProgramSession::ProgramSession(const std::string& scenario) : sdk_(scenario) {
    stopRequested = false;
}

ProgramSession::~ProgramSession() {
    selection_.reset();
    stopRequested = false;
}

Orvel::CVelkorUniversalInstantCamera& ProgramSession::Open(std::vector<const char*> arguments,
                                                           bool components) {
    options_ = ParseArguments(std::move(arguments));
    {
        const NullOutput silence;
        SelectCamera(options_, selection_.emplace());
    }
    Orvel::CVelkorUniversalInstantCamera& camera = Camera();
    ApplyCameraSettings(camera, options_);
    if (components) {
        const ComponentSelection selection = SelectComponents(options_);
        ConfigureComponents(camera, ComponentModeFor(selection), selection);
    }
    return camera;
}

}  // namespace Tarnwell::test
