// What the tests of the program's phases share: standard output redirected, and the SDK running
// on a scenario of their own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Discovery.h"
#include "Orvel/Orvel.h"
#include "Tarnwell.h"
#include "TestFiles.h"

namespace Tarnwell::test {

// Sends standard output to a string while it lives.
class CapturedOutput {
public:
    CapturedOutput() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* previous_;
};

// Sends standard output to /dev/null while it lives: a string would allocate as it grows.
class NullOutput {
public:
    NullOutput() {
        file_.open("/dev/null", std::ios::out);
        previous_ = std::cout.rdbuf(&file_);
    }
    ~NullOutput() { std::cout.rdbuf(previous_); }
    NullOutput(const NullOutput&) = delete;
    NullOutput& operator=(const NullOutput&) = delete;

private:
    std::filebuf file_;
    std::streambuf* previous_ = nullptr;
};

// A fixture whose SDK runs on the emulation scenario `Scenario()` gives, whatever the environment
// says, with no stop requested; the selected camera is released before the SDK shuts down, as
// the SDK demands.
class ProgramTest {
protected:
    void StartSdk(const std::string& scenario) {
        ::setenv("ORVEL_EMULATION", tarnwell::test::WriteTestFile("program.json", scenario).c_str(),
                 1);
        Orvel::OrvelInitialize();
        stopRequested = false;
    }

    void StopSdk() {
        selection_.reset();
        Orvel::OrvelTerminate(true);
        stopRequested = false;
    }

    std::optional<CameraSelection> selection_;
};

}  // namespace Tarnwell::test
