// The program's road up to a measurement, on an SDK session: the options parsed as the program
// parses them, the camera selected, opened and configured. For tests and benchmarks alike.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "Configuration.h"
#include "Discovery.h"
#include "Orvel/Orvel.h"
#include "Session.h"

namespace Tarnwell::test {

// `arguments` (without the program name) parsed as the program parses its command line.
boost::program_options::variables_map ParseArguments(std::vector<const char*> arguments);

// An SDK session whose camera the program's own phases open; no stop is requested at its start or
// after its end, and the camera goes before the SDK.
class ProgramSession {
public:
    explicit ProgramSession(const std::string& scenario = "{}");
    ~ProgramSession();
    ProgramSession(const ProgramSession&) = delete;
    ProgramSession& operator=(const ProgramSession&) = delete;

    // Parses `arguments`, selects and opens the camera (its lines go to /dev/null) and writes
    // its settings; with `components`, also the components the switches select.
    Orvel::CVelkorUniversalInstantCamera& Open(std::vector<const char*> arguments,
                                               bool components = false);

    Orvel::CVelkorUniversalInstantCamera& Camera() { return *selection_->camera; }
    const boost::program_options::variables_map& Options() const { return options_; }
    std::optional<CameraSelection>& Selection() { return selection_; }

private:
    SdkSession sdk_;
    boost::program_options::variables_map options_;
    std::optional<CameraSelection> selection_;
};

}  // namespace Tarnwell::test
