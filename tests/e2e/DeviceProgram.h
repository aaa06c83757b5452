// The device program serving emulated cameras as GigE Vision devices on loopback addresses, for
// end-to-end tests that run in a loopback-only network namespace.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"

namespace Tarnwell::test {

// The device program serving a scenario's cameras (default: the two default cameras), the i-th
// at 127.0.0.(2 + i), ready when the constructor returns.
class DeviceProgram {
public:
    explicit DeviceProgram(const std::string& scenario = {}, int cameras = 2);
    static std::string Address(int i) { return "127.0.0." + std::to_string(2 + i); }
    // The program's environment: these cameras through ORVEL_GIGE, and no emulation.
    Environment ProgramEnvironment() const;
    Process& Itself() { return *process_; }

private:
    std::filesystem::path scenarioFile_;
    std::string addresses_;
    std::unique_ptr<Process> process_;
};

// The program, run against these cameras.
ProcessResult RunAgainst(const DeviceProgram& device, std::vector<std::string> args);
std::unique_ptr<Process> StartAgainst(const DeviceProgram& device, std::vector<std::string> args);

// Fails the test unless every line of `err` is a failed grab's: a frame the receiver gave up, as
// a busy host's may, or one a killed device cut short.
void ExpectOnlyGrabErrors(const std::string& err);

}  // namespace Tarnwell::test
