// Emulation scenarios for tests: cameras compute their images in modelled time unless told not to.
#pragma once

#include <string>

namespace Tarnwell::test {

// `json` with "processing": "modelled" on every camera that does not name its processing (and two
// such default cameras when it names none), so that test timings follow the timing formulas and
// not this machine's speed. Text that is not a JSON object is returned as it is, for the tests of
// scenario errors.
std::string ModelledScenario(const std::string& json);

// Two default cameras with modelled processing.
std::string ModelledDefaultCameras();

}  // namespace Tarnwell::test
