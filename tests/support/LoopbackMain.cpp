// main() of the test executables that open GigE Vision sockets: every test runs in a network
// namespace with only loopback up, or is skipped.
#include <gtest/gtest.h>

#include "LoopbackNamespace.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Tarnwell::test::LoopbackNamespaceEnvironment);
    return RUN_ALL_TESTS();
}
