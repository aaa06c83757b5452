// Tests that open GigE Vision sockets run in a network namespace of their own with only loopback
// up, so that nothing they send (discovery, streams) can reach a real network.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace Tarnwell::test {

// Moves the calling thread (and every thread and process it starts afterwards) into a new network
// namespace and brings its loopback interface up. Call it before any thread starts. Returns an
// empty text on success, else why no namespace could be made.
std::string EnterLoopbackNamespace();

// Enters the namespace before the first test; when none can be made, every test is skipped with
// the reason (never run on the host's network). Register it once in a test executable:
//   ::testing::AddGlobalTestEnvironment(new Tarnwell::test::LoopbackNamespaceEnvironment);
// or link `tarnwell_loopback_main`, whose main() does that.
class LoopbackNamespaceEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
};

}  // namespace Tarnwell::test
