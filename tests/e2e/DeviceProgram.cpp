#include "DeviceProgram.h"

#include <chrono>
#include <sstream>

#include <gtest/gtest.h>

#include "ProgramRun.h"
#include "TestFiles.h"

namespace Tarnwell::test {

using namespace std::chrono_literals;

DeviceProgram::DeviceProgram(const std::string& scenario, int cameras) {
    std::vector<std::string> argv{TARNWELL_CAMERA_BINARY};
    if (!scenario.empty()) {
        scenarioFile_ = WriteTestFile("device.json", scenario);
        argv.insert(argv.end(), {"--scenario", scenarioFile_.string()});
    }
    for (int i = 0; i < cameras; ++i) {
        addresses_ += (i > 0 ? "," : "") + Address(i);
        argv.insert(argv.end(), {"--address", Address(i)});
    }
    process_ = std::make_unique<Process>(argv);
    for (int i = 0; i < cameras; ++i) {
        EXPECT_TRUE(process_->WaitForOutput(" at " + Address(i) + "\n", 30s)) << process_->Error();
    }
}

Environment DeviceProgram::ProgramEnvironment() const {
    return {{"ORVEL_GIGE", addresses_}, {"ORVEL_EMULATION", std::nullopt}};
}

ProcessResult RunAgainst(const DeviceProgram& device, std::vector<std::string> args) {
    args.insert(args.begin(), TarnwellBinary());
    return RunProcess(args, device.ProgramEnvironment(), 60s);
}

std::unique_ptr<Process> StartAgainst(const DeviceProgram& device, std::vector<std::string> args) {
    args.insert(args.begin(), TarnwellBinary());
    return std::make_unique<Process>(args, device.ProgramEnvironment());
}

void ExpectOnlyGrabErrors(const std::string& err) {
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with("Grab error occurred (e1000014): ")) << line;
    }
}

}  // namespace Tarnwell::test
